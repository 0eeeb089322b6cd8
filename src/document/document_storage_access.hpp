#pragma once

#include <cstddef>
#include <stdexcept>

namespace velmora::detail {

inline constexpr const char* kInvalidSentenceView = "invalid sentence view";
inline constexpr const char* kInvalidTokenView = "invalid token view";
inline constexpr const char* kInvalidWordView = "invalid word view";
inline constexpr const char* kInvalidSpanView = "invalid span view";

// Reads (or refers to) one cell of a column, refusing rows outside it. Views
// may outlive an edit that shrinks or renumbers their rows, so every column
// read they make goes through here and a stale row throws the view's error.
template <class Column> decltype(auto) cell(Column& column, std::size_t row, const char* message) {
  if (row >= column.size()) {
    throw std::out_of_range(message);
  }
  return (column[row]);
}

} // namespace velmora::detail
