#pragma once

#include <cstddef>
#include <string_view>

namespace velmora::detail {

// True when the little-endian elements of a bundle dtype in
// [data, data + size) hold a NaN or an infinity. Only the floating dtypes
// (the complex ones by their parts) can; for any other dtype the answer is
// false. `size` is a whole number of elements.
bool holds_non_finite(std::string_view dtype, const std::byte* data, std::size_t size);

} // namespace velmora::detail
