#include "velmora/string_pool.hpp"

#include <stdexcept>

namespace velmora {

StringPool::StringPool() {
  index_.max_load_factor(1.0f);
  intern(std::string_view{});
}

std::uint32_t StringPool::intern(std::string_view text) {
  if (const auto it = index_.find(text); it != index_.end()) {
    return it->second;
  }
  // kAbsent itself is never issued, so the largest id is kAbsent - 1.
  if (strings_.size() >= kAbsent) {
    throw std::overflow_error("the document string pool is full");
  }
  const auto id = static_cast<std::uint32_t>(strings_.size());
  strings_.emplace_back(text);
  try {
    index_.emplace(std::string(text), id);
  } catch (...) {
    strings_.pop_back();
    throw;
  }
  return id;
}

std::uint32_t StringPool::intern_optional(const std::optional<std::string>& text) {
  return text ? intern(*text) : kAbsent;
}

const std::string& StringPool::get(std::uint32_t id) const {
  if (id >= strings_.size()) {
    throw std::out_of_range("invalid string pool identifier");
  }
  return strings_[id];
}

std::optional<std::string> StringPool::optional(std::uint32_t id) const {
  if (id == kAbsent) {
    return std::nullopt;
  }
  return get(id);
}

} // namespace velmora
