#pragma once

// Large tensors straight from the system and straight back to it.
//
// glibc serves a thread from an arena of its own and keeps what the thread
// frees there for its next allocation; once a large block has been freed it
// also raises the size from which it maps blocks directly (up to 32 MiB), so
// that later blocks of activations stay in the arenas too. With a call's
// units spread over the team, every thread's arena then holds the largest
// working set its thread ever had, and a bulk call peaks at the sum of those
// high-water marks rather than at what its threads hold at once (a
// transformer forward pass per thread leaves about 150 MiB in each arena).
// Tensors of at least kReturnedTensorBytes allocated inside a
// ReturnedTensors scope are therefore mapped for themselves and unmapped when
// freed; smaller ones, and those of work outside a scope, keep the tensor
// library's own allocator. The scope is for work whose large tensors are few
// and costly to compute (a transformer's forward pass, a document's pair
// scores): fresh pages cost a page fault each, which the recurrent models'
// many batches would notice. Up to kKeptMappingBytes of the latest freed
// mappings are kept for the next tensors of about their length, the bound of
// what the process holds beyond its live tensors.

#include <cstddef>

namespace velmora::detail {

inline constexpr std::size_t kReturnedTensorBytes = std::size_t{1} << 20;
inline constexpr std::size_t kKeptMappingBytes = std::size_t{64} << 20;

// Makes the tensor library allocate its CPU tensors through the returning
// allocator from now on; tensors allocated before keep their own release.
// Idempotent and safe from several threads; every bundle opens through it.
void use_returning_allocator();

// While alive, the calling thread's large tensors are returned when freed.
class ReturnedTensors {
public:
  ReturnedTensors();
  ~ReturnedTensors();
  ReturnedTensors(const ReturnedTensors&) = delete;
  ReturnedTensors& operator=(const ReturnedTensors&) = delete;
};

// Unmaps the freed mappings kept for reuse.
void release_kept_mappings();

// The bytes of tensors mapped by the returning allocator and not yet freed.
std::size_t returned_tensor_bytes_live();

} // namespace velmora::detail
