#include <velmora/json.hpp>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace {

using velmora::detail::JsonError;
using velmora::detail::JsonValue;
using velmora::detail::parse_json;

template <typename Read> std::string error_of(Read read) {
  try {
    read();
  } catch (const JsonError& error) {
    return error.what();
  }
  return "<no error>";
}

TEST(JsonValue, AccessorsNameTheExpectedKindAndContext) {
  const JsonValue text(std::string("x"));
  const JsonValue number(1.0);
  EXPECT_EQ(error_of([&] { text.as_bool("a.b"); }), "expected JSON boolean at a.b");
  EXPECT_EQ(error_of([&] { number.as_integer("manifest.size"); }),
            "expected JSON integer at manifest.size");
  EXPECT_EQ(error_of([&] { number.as_integer(""); }), "expected JSON integer");
  EXPECT_EQ(error_of([&] { text.as_number("n"); }), "expected JSON number at n");
  EXPECT_EQ(error_of([&] { number.as_string(); }), "expected JSON string");
  EXPECT_EQ(error_of([&] { JsonValue().as_array("index.bundles"); }),
            "expected JSON array at index.bundles");
  EXPECT_EQ(error_of([&] { JsonValue(true).as_object("assets"); }),
            "expected JSON object at assets");

  EXPECT_EQ(JsonValue(3LL).as_number(), 3.0);
  EXPECT_TRUE(JsonValue().is_null());
  EXPECT_FALSE(JsonValue(false).is_number());
  EXPECT_TRUE(JsonValue(JsonValue::Array{}).is_array());
}

TEST(JsonValue, MemberLookupNamesTheObject) {
  const JsonValue object = parse_json(R"({"a": {"b": 1}})");
  EXPECT_EQ(object.at("a", "root").at("b", "root.a").as_integer(), 1);
  EXPECT_EQ(error_of([&] { object.at("k", ""); }), "missing JSON key 'k'");
  EXPECT_EQ(error_of([&] { object.at("a").at("c", "root.a"); }), "missing JSON key 'c' at root.a");
  EXPECT_EQ(error_of([&] { object.at("a").at("b").at("c", "root.a.b"); }),
            "expected JSON object at root.a.b");

  ASSERT_NE(object.find("a"), nullptr);
  EXPECT_EQ(object.find("a")->find("b")->as_integer(), 1);
  EXPECT_EQ(object.find("z"), nullptr);
  EXPECT_EQ(parse_json("[1]").find("a"), nullptr);
}

TEST(JsonValue, FilesAreReadAsRawBytes) {
  velmora::test::TempDir dir;
  const auto path = dir.path() / "data.json";
  {
    std::ofstream out(path, std::ios::binary);
    out << "{\"a\":\r\n\"\xFF\"}";
  }
  EXPECT_EQ(velmora::detail::load_text_file(path), "{\"a\":\r\n\"\xFF\"}");
  EXPECT_EQ(velmora::detail::load_json(path).at("a").as_string(), "\xFF");

  { std::ofstream empty(dir.path() / "empty.json"); }
  EXPECT_EQ(error_of([&] { velmora::detail::load_json(dir.path() / "empty.json"); }),
            "unexpected end of JSON at JSON byte 0");
  EXPECT_EQ(error_of([&] { velmora::detail::load_json(dir.path() / "absent.json"); }),
            "cannot open JSON file: " + (dir.path() / "absent.json").string());
  // A directory opens but cannot be read; it must not pass for an empty file.
  EXPECT_EQ(error_of([&] { velmora::detail::load_text_file(dir.path()); }),
            "cannot read JSON file: " + dir.path().string());
}

} // namespace
