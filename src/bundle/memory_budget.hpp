#pragma once

// Requests whose memory grows with one input beyond what running it in
// pieces can bound (the arc scores of one sentence, the buffers of one word)
// are refused before anything is allocated when they exceed the machine's
// physical memory: the allocation would otherwise end the process through
// the kernel's out-of-memory killer, or with an address-space cap as a bare
// allocation failure.

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::detail {

// The machine's physical memory in bytes, or the figure set with
// set_physical_memory_bytes.
std::uint64_t physical_memory_bytes();

// Replaces the figure physical_memory_bytes() reports (0 restores the
// machine's own), so that refusals can be exercised without a machine of
// that size. Not synchronised: set it before any call that reads it.
void set_physical_memory_bytes(std::uint64_t bytes);

// `bytes` with one decimal, in GB (2^30 bytes) from 1 GB on and in MB
// below: "20.0 GB", "512.3 MB".
std::string format_memory_size(double bytes);

// The refusal of a request of `bytes` for `purpose`, or an empty string when
// it fits: `request` + " needs 20.0 GB of " + `purpose` + ", more than this
// machine's 23.4 GB of memory". Counted in double precision, so sizes far
// beyond 64 bits are refused, not wrapped.
std::string memory_refusal(double bytes, std::string_view request, std::string_view purpose);

// Throws Error with memory_refusal's message when the request does not fit.
template <class Error>
void require_memory(double bytes, std::string_view request, std::string_view purpose) {
  std::string refusal = memory_refusal(bytes, request, purpose);
  if (!refusal.empty()) {
    throw Error(refusal);
  }
}

} // namespace velmora::detail
