#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "velmora/string_pool.hpp"

namespace velmora {
namespace {

std::string out_of_range_message(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::out_of_range& error) {
    return error.what();
  }
  return "no exception";
}

TEST(StringPool, FreshPoolHoldsTheEmptyString) {
  StringPool pool;
  EXPECT_EQ(pool.size(), 1u);
  EXPECT_EQ(pool.get(0), "");
  EXPECT_EQ(pool.intern(""), 0u);
  EXPECT_EQ(pool.size(), 1u);
}

TEST(StringPool, IdsAreDenseInOrderOfFirstInterning) {
  StringPool pool;
  EXPECT_EQ(pool.intern("NOUN"), 1u);
  EXPECT_EQ(pool.intern("VERB"), 2u);
  EXPECT_EQ(pool.intern(std::string("NOUN")), 1u);
  EXPECT_EQ(pool.size(), 3u);
  EXPECT_EQ(pool.get(2), "VERB");
  // Comparison is by bytes: case and normalisation form both matter.
  EXPECT_EQ(pool.intern("noun"), 3u);
  EXPECT_EQ(pool.intern("\xC3\xA9"), 4u);
  EXPECT_EQ(pool.intern("e\xCC\x81"), 5u);
  // Embedded NUL bytes are part of the key.
  EXPECT_EQ(pool.intern(std::string_view("a\0b", 3)), 6u);
  EXPECT_EQ(pool.intern(std::string_view("a\0c", 3)), 7u);
  EXPECT_EQ(pool.get(6), std::string("a\0b", 3));
}

TEST(StringPool, OptionalStringsKeepEmptyAndAbsentApart) {
  StringPool pool;
  EXPECT_EQ(pool.intern_optional(std::nullopt), StringPool::kAbsent);
  EXPECT_EQ(pool.size(), 1u);
  EXPECT_EQ(pool.intern_optional(std::string()), 0u);
  EXPECT_EQ(pool.intern_optional(std::string("Gender=Fem")), 1u);
  EXPECT_EQ(pool.optional(StringPool::kAbsent), std::nullopt);
  EXPECT_EQ(pool.optional(0), std::optional<std::string>(""));
  EXPECT_EQ(pool.optional(1), std::optional<std::string>("Gender=Fem"));
}

TEST(StringPool, UnissuedIdsAreRefused) {
  StringPool pool;
  pool.intern("x");
  const std::string message = "invalid string pool identifier";
  EXPECT_EQ(out_of_range_message([&] { pool.get(StringPool::kAbsent); }), message);
  EXPECT_EQ(out_of_range_message([&] { pool.get(2); }), message);
  EXPECT_EQ(out_of_range_message([&] { pool.optional(2); }), message);
}

TEST(StringPool, ManyStringsKeepTheirIds) {
  StringPool pool;
  for (std::uint32_t i = 1; i <= 20000; ++i) {
    ASSERT_EQ(pool.intern("tag" + std::to_string(i)), i);
  }
  for (std::uint32_t i = 1; i <= 20000; ++i) {
    ASSERT_EQ(pool.intern("tag" + std::to_string(i)), i);
    ASSERT_EQ(pool.get(i), "tag" + std::to_string(i));
  }
}

} // namespace
} // namespace velmora
