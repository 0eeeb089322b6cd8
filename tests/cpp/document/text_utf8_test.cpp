#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "text_python_peer.hpp"
#include "velmora/text.hpp"

namespace velmora {
namespace {

std::string utf8_error_offset(const std::string& bytes) {
  try {
    Utf8Text text(bytes);
  } catch (const std::invalid_argument& error) {
    const std::string prefix = "invalid UTF-8 sequence at byte offset ";
    const std::string message = error.what();
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    return message.substr(prefix.size());
  }
  return "accepted";
}

template <typename F> std::string out_of_range_message(F&& f) {
  try {
    f();
  } catch (const std::out_of_range& error) {
    return error.what();
  }
  return "no exception";
}

TEST(TextUtf8, EmptyText) {
  const Utf8Text text{std::string()};
  EXPECT_EQ(text.codepoint_count(), 0u);
  EXPECT_EQ(text.byte_offset(0), 0u);
  EXPECT_EQ(text.slice(0, 0), "");
  EXPECT_EQ(out_of_range_message([&] { text.byte_offset(1); }),
            "code point index is outside the document");
}

TEST(TextUtf8, OffsetsAndSlicesCountCodePoints) {
  const std::string source = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"; // a é € 😀
  const Utf8Text text(source);
  EXPECT_EQ(text.bytes(), source);
  ASSERT_EQ(text.codepoint_count(), 4u);
  const std::vector<std::uint64_t> expected{0, 1, 3, 6, 10};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(text.byte_offset(i), expected[i]) << i;
  }
  EXPECT_EQ(text.slice(1, 3), "\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(text.slice(4, 4), "");
  EXPECT_EQ(text.slice(0, 4), source);
  EXPECT_EQ(out_of_range_message([&] { text.slice(2, 1); }),
            "code point slice is outside the document");
  EXPECT_EQ(out_of_range_message([&] { text.slice(0, 5); }),
            "code point slice is outside the document");
  EXPECT_EQ(out_of_range_message([&] { text.byte_offset(5); }),
            "code point index is outside the document");
}

TEST(TextUtf8, RefusedSequencesNameTheirOffset) {
  EXPECT_EQ(utf8_error_offset("\x80"), "0");
  EXPECT_EQ(utf8_error_offset("a\xE2\x82"), "1");          // truncated
  EXPECT_EQ(utf8_error_offset("\xE2\x28\xA1"), "1");       // bad second byte
  EXPECT_EQ(utf8_error_offset("\xE2\x82\x28"), "2");       // bad third byte
  EXPECT_EQ(utf8_error_offset("\xC0\xAF"), "0");           // overlong U+002F
  EXPECT_EQ(utf8_error_offset("\xED\xA0\x80"), "0");       // surrogate
  EXPECT_EQ(utf8_error_offset("\xF4\x90\x80\x80"), "0");   // above U+10FFFF
  EXPECT_EQ(utf8_error_offset("ab\xF8\x88\x80\x80"), "2"); // five-byte lead
  EXPECT_EQ(utf8_error_offset(std::string("x\0\xFF", 3)), "2");
  // The same rules hold for every decoding entry point.
  EXPECT_THROW(detail::decode_utf8("\xC1\xBF", 2), std::invalid_argument);
  EXPECT_THROW(detail::unicode_lower("A\xE2\x82"), std::invalid_argument);
  EXPECT_THROW(detail::split_codepoints("\xED\xBF\xBF"), std::invalid_argument);
}

TEST(TextUtf8, AppendRoundTripsEveryScalarValue) {
  std::string all;
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp < 0xD800 || cp > 0xDFFF) {
      detail::append_utf8(cp, all);
    }
  }
  EXPECT_EQ(all.size(), 0x80u + 0x780u * 2 + (0x10000u - 0x800u - 0x800u) * 3 + 0x100000u * 4);
  const auto decoded = detail::decode_utf8(all.data(), all.size());
  ASSERT_EQ(decoded.size(), 0x110000u - 0x800u);
  EXPECT_EQ(decoded[0xD7FF], 0xD7FFu);
  EXPECT_EQ(decoded[0xD800], 0xE000u);
  EXPECT_EQ(decoded.back(), 0x10FFFFu);
  EXPECT_EQ(Utf8Text(all).codepoint_count(), decoded.size());
  EXPECT_TRUE(detail::decode_utf8(nullptr, 0).empty());
}

TEST(TextUtf8, SplitCodepoints) {
  const auto pieces = detail::split_codepoints("a\xC3\xB1\xF0\x9F\x98\x80");
  EXPECT_EQ(pieces, (std::vector<std::string>{"a", "\xC3\xB1", "\xF0\x9F\x98\x80"}));
  EXPECT_TRUE(detail::split_codepoints("").empty());
}

// Python's strict decoder refuses exactly the same byte strings. Its error
// start is the first byte of the refused sequence; this library names the
// offending continuation byte instead when the sequence is complete but one of
// its following bytes is not a continuation byte.
constexpr const char* kDecoderPeer = R"PY(
import random, sys
rng = random.Random(20240607)
cases = set()
interesting = [0x00, 0x41, 0x7F, 0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF,
               0xF0, 0xF4, 0xF5, 0xF7, 0xF8, 0xFF, 0x9F, 0xA0, 0x8F, 0x90]
for a in range(256):
    cases.add(bytes([a]))
    for b in range(256):
        cases.add(bytes([a, b]))
for a in range(0xE0, 0xF8):
    for b in range(0x70, 0xD0):
        for c in (0x28, 0x80, 0xBF, 0xC0):
            cases.add(bytes([a, b, c]))
            cases.add(bytes([a, b, c, 0x80]))
            cases.add(bytes([a, b, 0x80, c]))
for _ in range(60000):
    n = rng.randint(1, 12)
    cases.add(bytes(rng.choice(interesting) if rng.random() < 0.7 else rng.randrange(256)
                    for _ in range(n)))
for _ in range(20000):
    text = "".join(chr(rng.choice([rng.randrange(0x80), rng.randrange(0x80, 0x800),
                                   rng.randrange(0x800, 0xD800), rng.randrange(0xE000, 0x10000),
                                   rng.randrange(0x10000, 0x110000)]))
                   for _ in range(rng.randint(1, 6)))
    data = bytearray(text.encode())
    cases.add(bytes(data))
    cases.add(bytes(data[: rng.randrange(len(data))]))
    data[rng.randrange(len(data))] = rng.randrange(256)
    cases.add(bytes(data))
cases.discard(b"")
with open(sys.argv[1], "w") as out:
    for case in sorted(cases):
        try:
            decoded = case.decode("utf-8", "strict")
            out.write(f"{case.hex()} ok {','.join(f'{ord(c):x}' for c in decoded)}\n")
        except UnicodeDecodeError as error:
            out.write(f"{case.hex()} err {error.start}\n")
)PY";

std::size_t expected_offset(const std::string& bytes, std::size_t start) {
  const auto lead = static_cast<unsigned char>(bytes[start]);
  std::size_t length = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
  }
  if (length == 0 || start + length > bytes.size()) {
    return start;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(bytes[start + k]) & 0xC0) != 0x80) {
      return start + k;
    }
  }
  return start;
}

TEST(TextUtf8, AgreesWithPythonStrictDecoder) {
  VELMORA_REQUIRE_PYTHON_UNICODE15(python);
  const auto lines = test::run_peer(python, kDecoderPeer);
  ASSERT_GT(lines.size(), 100000u);
  std::size_t refused = 0;
  for (const std::string& line : lines) {
    std::istringstream fields(line);
    std::string hex, verdict, detail;
    fields >> hex >> verdict >> detail;
    const std::string bytes = test::from_hex(hex);
    if (verdict == "ok") {
      std::vector<std::uint32_t> expected;
      std::istringstream cps(detail);
      for (std::string cp; std::getline(cps, cp, ',');) {
        expected.push_back(static_cast<std::uint32_t>(std::stoul(cp, nullptr, 16)));
      }
      ASSERT_EQ(detail::decode_utf8(bytes.data(), bytes.size()), expected) << hex;
      ASSERT_EQ(Utf8Text(bytes).codepoint_count(), expected.size()) << hex;
    } else {
      ++refused;
      const std::size_t start = std::stoul(detail);
      ASSERT_EQ(utf8_error_offset(bytes), std::to_string(expected_offset(bytes, start))) << hex;
      ASSERT_THROW(detail::decode_utf8(bytes.data(), bytes.size()), std::invalid_argument) << hex;
    }
  }
  EXPECT_GT(refused, 10000u);
}

} // namespace
} // namespace velmora
