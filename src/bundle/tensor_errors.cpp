#include "bundle/tensor_errors.hpp"

namespace velmora::detail {

std::string libtorch_error_message(const std::exception& error) {
  const auto* torch_error = dynamic_cast<const c10::Error*>(&error);
  std::string message = torch_error ? torch_error->what_without_backtrace() : error.what();
  const std::size_t backtrace = message.find("\nException raised from ");
  if (backtrace != std::string::npos) {
    message.erase(backtrace);
  }
  return message;
}

} // namespace velmora::detail
