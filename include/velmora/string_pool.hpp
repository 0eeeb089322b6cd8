#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmora {

// Per-document interning of annotation strings into dense 32-bit ids. Id 0 is
// the empty string; kAbsent is never issued and stands for "not set".
class StringPool {
public:
  static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;

  StringPool();

  std::uint32_t intern(std::string_view text);
  std::uint32_t intern_optional(const std::optional<std::string>& text);

  // The reference stays valid only until the next intern.
  const std::string& get(std::uint32_t id) const;
  std::optional<std::string> optional(std::uint32_t id) const;

  std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(strings_.size()); }

private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
      return std::hash<std::string_view>{}(text);
    }
  };

  std::vector<std::string> strings_;
  std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> index_;
};

} // namespace velmora
