#include <velmora/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace {

using velmora::detail::JsonError;
using velmora::detail::JsonValue;
using velmora::detail::parse_json;

std::string parse_error(std::string_view text) {
  try {
    parse_json(text);
  } catch (const JsonError& error) {
    return error.what();
  }
  return "<parsed>";
}

struct ParseFailure {
  std::string text;
  std::string message;
};

TEST(JsonParser, EveryFailureNamesReasonAndByte) {
  const std::vector<ParseFailure> failures = {
      {"", "unexpected end of JSON at JSON byte 0"},
      {"   ", "unexpected end of JSON at JSON byte 3"},
      {"[", "unexpected end of JSON at JSON byte 1"},
      {"tru", "invalid JSON literal at JSON byte 0"},
      {"[nul]", "invalid JSON literal at JSON byte 1"},
      {" true x", "unexpected trailing data at JSON byte 6"},
      {"nullx", "unexpected trailing data at JSON byte 4"},
      {"[truex]", "expected ',' at JSON byte 5"},
      {"[1,]", "unexpected JSON token at JSON byte 3"},
      {"[1 2]", "expected ',' at JSON byte 3"},
      {"[1", "expected ',' at JSON byte 2"},
      {"+1", "unexpected JSON token at JSON byte 0"},
      {"]", "unexpected JSON token at JSON byte 0"},
      {"\xC3\xA9", "unexpected JSON token at JSON byte 0"},
      {"{", "expected object key at JSON byte 1"},
      {"{\"a\":1 , }", "expected object key at JSON byte 9"},
      {"{\"a\" 1}", "expected ':' at JSON byte 5"},
      {"{\"a\":1 \"b\":2}", "expected ',' at JSON byte 7"},
      {"{\"a\":1,\"a\":[2] }", "duplicate object key at JSON byte 14"},
      {"{\"b\":1,\"c\":2,\"b\":3}", "duplicate object key at JSON byte 18"},
      {"01", "leading zero in number at JSON byte 1"},
      {"-01", "leading zero in number at JSON byte 2"},
      {"-", "truncated number at JSON byte 1"},
      {"-a", "invalid number at JSON byte 1"},
      {"1.", "missing fractional digits at JSON byte 2"},
      {"1.e5", "missing fractional digits at JSON byte 2"},
      {"1e+", "missing exponent digits at JSON byte 3"},
      {"[1E]", "missing exponent digits at JSON byte 3"},
      {"1e400", "invalid floating-point number at JSON byte 5"},
      {"[-1.5e999 ]", "invalid floating-point number at JSON byte 9"},
      {"\"abc", "unterminated string at JSON byte 4"},
      {"\"ab\\", "truncated string escape at JSON byte 4"},
      {"\"a\tb\"", "unescaped control character in string at JSON byte 3"},
      {"\"\\x\"", "invalid string escape at JSON byte 3"},
      {"\"\\U0041\"", "invalid string escape at JSON byte 3"},
      {"\"\\u12\"", "truncated Unicode escape at JSON byte 3"},
      {"\"\\u12G4\"", "invalid Unicode escape at JSON byte 6"},
      {"\"\\ude00\"", "unpaired low surrogate at JSON byte 7"},
      {"\"\\ud83d\"", "missing low surrogate at JSON byte 7"},
      {"\"\\ud83d\\u00\"", "missing low surrogate at JSON byte 7"},
      {"\"\\ud83d\\u0041\"", "invalid low surrogate at JSON byte 13"},
  };
  for (const ParseFailure& failure : failures) {
    EXPECT_EQ(parse_error(failure.text), failure.message) << "text: " << failure.text;
  }
}

TEST(JsonParser, NestingIsBoundedAt512Levels) {
  const std::string deepest = std::string(512, '[') + std::string(512, ']');
  EXPECT_NO_THROW(parse_json(deepest));
  EXPECT_EQ(parse_error(std::string(513, '[') + std::string(513, ']')),
            "JSON nesting is too deep at JSON byte 512");
  EXPECT_EQ(parse_error(std::string(100000, '[')), "JSON nesting is too deep at JSON byte 512");

  // Objects count as levels too; the offset is that of the offending bracket.
  std::string mixed;
  for (int i = 0; i < 256; ++i) {
    mixed += "{\"k\": [";
  }
  EXPECT_EQ(parse_error(mixed + "{}"),
            "JSON nesting is too deep at JSON byte " + std::to_string(mixed.size()));
}

TEST(JsonParser, NumbersSplitIntoIntegersAndDoubles) {
  EXPECT_TRUE(parse_json("-0").is_integer());
  EXPECT_EQ(parse_json("-0").as_integer(), 0);
  EXPECT_EQ(parse_json("9223372036854775807").as_integer(), 9223372036854775807LL);
  EXPECT_EQ(parse_json("-9223372036854775808").as_integer(), -9223372036854775807LL - 1);

  const JsonValue too_big = parse_json("9223372036854775808");
  EXPECT_FALSE(too_big.is_integer());
  EXPECT_EQ(too_big.as_number(), 9223372036854775808.0);

  for (const char* text : {"1.0", "1e0", "1E+0", "10e-1"}) {
    const JsonValue value = parse_json(text);
    EXPECT_TRUE(value.is_number() && !value.is_integer()) << text;
    EXPECT_EQ(value.as_number(), 1.0) << text;
  }
  EXPECT_EQ(parse_json("-12.5e-1").as_number(), -1.25);
  EXPECT_EQ(parse_json("0.1").as_number(), 0.1);
  EXPECT_EQ(parse_json("1e-400").as_number(), 0.0); // underflow is not an error
}

TEST(JsonParser, StringsDecodeEscapesAndKeepRawBytes) {
  EXPECT_EQ(parse_json(R"("\"\\\/\b\f\n\r\t")").as_string(), "\"\\/\b\f\n\r\t");
  EXPECT_EQ(parse_json(R"("\u0041\u00e9\u20AC")").as_string(), "A\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(parse_json(R"("\ud83d\ude00")").as_string(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(parse_json(R"("\uDBFF\uDFFF")").as_string(), "\xF4\x8F\xBF\xBF");
  EXPECT_EQ(parse_json(R"("a\u0000b")").as_string(), std::string("a\0b", 3));
  // No UTF-8 validation of raw bytes; DEL is not a control character here.
  const std::string raw = "\"\x80\xFF\xC3(\x7F\"";
  EXPECT_EQ(parse_json(raw).as_string(), raw.substr(1, raw.size() - 2));
}

TEST(JsonParser, ContainersKeepOrderAndWhitespaceRules) {
  EXPECT_TRUE(parse_json(" [ \t\r\n] ").as_array().empty());
  EXPECT_TRUE(parse_json("{\n}").as_object().empty());
  // A form feed is not JSON whitespace.
  EXPECT_EQ(parse_error("\f1"), "unexpected JSON token at JSON byte 0");

  const JsonValue object = parse_json(R"({"b": [1, true, null], "a": {"x": "y"}, "B": false})");
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.as_object()) {
    keys.push_back(key);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "b"}));
  const JsonValue::Array& items = object.at("b").as_array();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].as_integer(), 1);
  EXPECT_TRUE(items[1].as_bool());
  EXPECT_TRUE(items[2].is_null());
  EXPECT_EQ(object.at("a").at("x").as_string(), "y");
}

// https://github.com/nst/JSONTestSuite: y_ files must parse, n_ files must be
// refused, i_ files may go either way; none may crash or hang. Duplicate keys
// are the one deliberate exception: manifests must be unambiguous, so the
// two y_ files that repeat a key are refused.
TEST(JsonParser, JsonTestSuite) {
  VELMORA_REQUIRE_SHARED(suite, "json-test-suite/test_parsing");
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(suite)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".json") {
      continue;
    }
    ++files;
    const std::string text = velmora::test::read_file(entry.path());
    bool parsed = false;
    std::string error;
    try {
      parse_json(text);
      parsed = true;
    } catch (const JsonError& e) {
      error = e.what();
    }
    if (name.starts_with("y_object_duplicated_key")) {
      EXPECT_TRUE(error.starts_with("duplicate object key at JSON byte ")) << name;
    } else if (name.starts_with("y_")) {
      EXPECT_TRUE(parsed) << name << " must parse";
    } else if (name.starts_with("n_")) {
      EXPECT_FALSE(parsed) << name << " must be refused";
    }
  }
  EXPECT_GT(files, 300);
}

} // namespace
