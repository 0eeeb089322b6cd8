#include "bundle/tensor_errors.hpp"

#include <string_view>

namespace velmora::detail {
namespace {

// The CPU allocator's refusal, after the "[enforce fail at ...]" prefix of
// its check: "DefaultCPUAllocator: can't allocate memory: you tried to
// allocate <n> bytes. ..." (or "not enough memory: ...").
constexpr std::string_view kCpuAllocator = "DefaultCPUAllocator: ";

} // namespace

std::string libtorch_error_message(const std::exception& error) {
  const auto* torch_error = dynamic_cast<const c10::Error*>(&error);
  std::string message = torch_error ? torch_error->what_without_backtrace() : error.what();
  const std::size_t backtrace = message.find("\nException raised from ");
  if (backtrace != std::string::npos) {
    message.erase(backtrace);
  }
  return message;
}

void rethrow_allocation_failure(const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
    throw;
  }
  const auto* torch_error = dynamic_cast<const c10::Error*>(&error);
  if (torch_error == nullptr) {
    return;
  }
  const std::string& message = torch_error->msg();
  if (dynamic_cast<const c10::OutOfMemoryError*>(torch_error) != nullptr) {
    throw AllocationFailure(message);
  }
  const std::size_t allocator = message.find(kCpuAllocator);
  if (allocator != std::string::npos) {
    throw AllocationFailure(message.substr(allocator));
  }
}

std::string kernel_run_failure_message(const std::string& run, const std::exception& error) {
  // The tensor library's checks say what they found; a kernel library's
  // error (its own class) only that it failed.
  if (dynamic_cast<const c10::Error*>(&error) != nullptr) {
    const std::string message = libtorch_error_message(error);
    if (message.find("could not create") == std::string::npos) {
      return run + " failed: " + message;
    }
  }
  return run + " could not be set up by the kernel library";
}

} // namespace velmora::detail
