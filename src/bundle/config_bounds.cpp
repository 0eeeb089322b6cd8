#include "bundle/config_bounds.hpp"

namespace velmora::detail {

std::string config_bound_message(std::string_view model, std::string_view key, std::int64_t value,
                                 std::int64_t bound) {
  return std::string(model) + " config '" + std::string(key) + "' exceeds its bound of " +
         std::to_string(bound) + ": " + std::to_string(value);
}

} // namespace velmora::detail
