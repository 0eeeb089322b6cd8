#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "document/unicode_case_tables.hpp"
#include "text_python_peer.hpp"
#include "velmora/text.hpp"

namespace velmora {
namespace {

namespace tables = detail::case_tables;
using detail::unicode_is_lower;
using detail::unicode_is_upper;
using detail::unicode_lower;
using detail::unicode_upper;

std::string utf8(const std::vector<std::uint32_t>& codepoints) {
  std::string out;
  for (std::uint32_t cp : codepoints) {
    detail::append_utf8(cp, out);
  }
  return out;
}

template <typename Range> std::size_t point_count(const Range& ranges) {
  std::size_t count = 0;
  for (const auto& range : ranges) {
    count += range.last - range.first + 1;
  }
  return count;
}

TEST(TextCase, TablesHoldUnicode15) {
  EXPECT_EQ(tables::lowercase_pairs.size(), 1432u);
  EXPECT_EQ(tables::uppercase_pairs.size(), 1423u);
  ASSERT_EQ(tables::uppercase_expansions.size(), 102u);
  const auto three =
      std::count_if(tables::uppercase_expansions.begin(), tables::uppercase_expansions.end(),
                    [](const auto& entry) { return entry.count == 3; });
  EXPECT_EQ(three, 16);
  EXPECT_EQ(tables::lowercase_ranges.size(), 671u);
  EXPECT_EQ(tables::uppercase_ranges.size(), 651u);
  EXPECT_EQ(tables::cased_ranges.size(), 157u);
  EXPECT_EQ(point_count(tables::lowercase_ranges), 2544u);
  EXPECT_EQ(point_count(tables::uppercase_ranges), 1951u);
  EXPECT_EQ(point_count(tables::cased_ranges), 4526u);

  EXPECT_EQ(tables::lowercase_pairs.front().from, 0x41u);
  EXPECT_EQ(tables::lowercase_pairs.back().from, 0x1E921u);
  EXPECT_EQ(tables::lowercase_pairs.back().to, 0x1E943u);
  EXPECT_EQ(tables::uppercase_pairs.front().from, 0x61u);
  EXPECT_EQ(tables::uppercase_pairs.back().to, 0x1E921u);
  EXPECT_EQ(tables::uppercase_expansions.front().codepoint, 0xDFu);
  EXPECT_EQ(tables::uppercase_expansions.back().codepoint, 0xFB17u);
}

TEST(TextCase, TellingRows) {
  EXPECT_EQ(unicode_lower(utf8({0x1E9E})), utf8({0xDF}));
  EXPECT_EQ(unicode_lower(utf8({0x130, 'A', 'B'})), "i\xCC\x87"
                                                    "ab");
  EXPECT_EQ(unicode_upper(utf8({0x130})), utf8({0x130}));
  EXPECT_EQ(unicode_lower(utf8({0x3A3, 0x391, 0x3A3})), utf8({0x3C3, 0x3B1, 0x3C3}));
  EXPECT_EQ(unicode_lower(utf8({0x1C5})), utf8({0x1C6}));
  EXPECT_EQ(unicode_upper(utf8({0x1C5})), utf8({0x1C4}));
  EXPECT_FALSE(unicode_is_lower(utf8({0x1C5})));
  EXPECT_FALSE(unicode_is_upper(utf8({0x1C5})));
  EXPECT_EQ(unicode_upper(utf8({0x345})), utf8({0x399}));
  EXPECT_EQ(unicode_upper(utf8({0x131})), "I");
  EXPECT_EQ(unicode_upper(utf8({0x1F80})), utf8({0x1F08, 0x399}));
  EXPECT_EQ(unicode_upper(utf8({0x1F88})), utf8({0x1F08, 0x399}));
  EXPECT_EQ(unicode_upper(utf8({0x390})), utf8({0x399, 0x308, 0x301}));
  EXPECT_EQ(unicode_upper(utf8({0xDF})), "SS");
  EXPECT_EQ(unicode_upper(utf8({0xFB03})), "FFI");
  EXPECT_EQ(unicode_lower(utf8({0x2160})), utf8({0x2170}));
  EXPECT_EQ(unicode_lower(utf8({0x24B6})), utf8({0x24D0}));
  EXPECT_TRUE(unicode_is_upper(utf8({0x2160, 0x24B6})));
  // Letters whose counterparts only arrived after Unicode 15.0.
  EXPECT_EQ(unicode_upper(utf8({0x19B, 0x264})), utf8({0x19B, 0x264}));
  EXPECT_EQ(unicode_lower(utf8({0x1C89, 0xA7CB, 0x10D50})), utf8({0x1C89, 0xA7CB, 0x10D50}));
  EXPECT_TRUE(unicode_is_lower(utf8({0x1E030, 0x1E06D})));
  EXPECT_EQ(unicode_upper("12 \xE4\xB8\xAD!"), "12 \xE4\xB8\xAD!");
  EXPECT_EQ(unicode_lower(""), "");
}

TEST(TextCase, CaseTests) {
  EXPECT_TRUE(unicode_is_lower("a1"));
  EXPECT_FALSE(unicode_is_lower("123"));
  EXPECT_FALSE(unicode_is_lower(""));
  EXPECT_FALSE(unicode_is_lower("aB"));
  EXPECT_TRUE(unicode_is_upper("A-1"));
  EXPECT_FALSE(unicode_is_upper("Ab"));
  EXPECT_TRUE(unicode_is_lower(utf8({0xAA})));
  EXPECT_FALSE(unicode_is_upper(utf8({0xAA})));
}

// The database files, parsed independently of the generator.
struct Ucd {
  std::map<std::uint32_t, std::uint32_t> simple_lower, simple_upper;
  std::map<std::uint32_t, std::vector<std::uint32_t>> full_lower, full_upper;
  std::map<std::string, std::set<std::uint32_t>> properties;
};

std::vector<std::string> split(const std::string& line, char sep) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, sep);) {
    const auto begin = field.find_first_not_of(' ');
    const auto end = field.find_last_not_of(' ');
    fields.push_back(begin == std::string::npos ? "" : field.substr(begin, end - begin + 1));
  }
  return fields;
}

std::vector<std::uint32_t> hex_list(const std::string& field) {
  std::vector<std::uint32_t> out;
  std::istringstream in(field);
  for (std::string item; in >> item;) {
    out.push_back(static_cast<std::uint32_t>(std::stoul(item, nullptr, 16)));
  }
  return out;
}

Ucd read_ucd(const std::filesystem::path& dir) {
  Ucd ucd;
  std::ifstream data(dir / "UnicodeData.txt");
  for (std::string line; std::getline(data, line);) {
    const auto f = split(line, ';');
    const auto cp = static_cast<std::uint32_t>(std::stoul(f[0], nullptr, 16));
    if (f.size() > 12 && !f[12].empty())
      ucd.simple_upper[cp] = hex_list(f[12])[0];
    if (f.size() > 13 && !f[13].empty())
      ucd.simple_lower[cp] = hex_list(f[13])[0];
  }
  std::ifstream special(dir / "SpecialCasing.txt");
  for (std::string line; std::getline(special, line);) {
    const auto f = split(line.substr(0, line.find('#')), ';');
    if (f.size() < 4 || (f.size() > 4 && !f[4].empty()))
      continue; // conditional
    const auto cp = hex_list(f[0])[0];
    ucd.full_lower[cp] = hex_list(f[1]);
    ucd.full_upper[cp] = hex_list(f[3]);
  }
  std::ifstream derived(dir / "DerivedCoreProperties.txt");
  for (std::string line; std::getline(derived, line);) {
    const auto f = split(line.substr(0, line.find('#')), ';');
    if (f.size() < 2)
      continue;
    const auto dots = f[0].find("..");
    const auto first = static_cast<std::uint32_t>(std::stoul(f[0].substr(0, dots), nullptr, 16));
    const auto last =
        dots == std::string::npos
            ? first
            : static_cast<std::uint32_t>(std::stoul(f[0].substr(dots + 2), nullptr, 16));
    for (std::uint32_t cp = first; cp <= last; ++cp)
      ucd.properties[f[1]].insert(cp);
  }
  return ucd;
}

TEST(TextCase, MatchesTheCharacterDatabase) {
  VELMORA_REQUIRE_SHARED(dir, "ucd-15.0.0");
  const Ucd ucd = read_ucd(dir);
  const auto& lowercase = ucd.properties.at("Lowercase");
  const auto& uppercase = ucd.properties.at("Uppercase");
  EXPECT_EQ(lowercase.size(), 2544u);
  EXPECT_EQ(uppercase.size(), 1951u);
  EXPECT_EQ(ucd.properties.at("Cased").size(), 4526u);
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF)
      continue;
    const std::string text = utf8({cp});
    std::vector<std::uint32_t> lower{ucd.simple_lower.contains(cp) ? ucd.simple_lower.at(cp) : cp};
    if (ucd.full_lower.contains(cp))
      lower = ucd.full_lower.at(cp);
    std::vector<std::uint32_t> upper{ucd.simple_upper.contains(cp) ? ucd.simple_upper.at(cp) : cp};
    if (ucd.full_upper.contains(cp))
      upper = ucd.full_upper.at(cp);
    ASSERT_EQ(unicode_lower(text), utf8(lower)) << std::hex << cp;
    ASSERT_EQ(unicode_upper(text), utf8(upper)) << std::hex << cp;
    ASSERT_EQ(unicode_is_lower(text), lowercase.contains(cp)) << std::hex << cp;
    ASSERT_EQ(unicode_is_upper(text), uppercase.contains(cp)) << std::hex << cp;
  }
}

// Python 3.12's str methods follow the same full, unconditional mappings for a
// lone code point (the final-sigma context needs a preceding letter).
constexpr const char* kCasePeer = R"PY(
import random, sys, unicodedata
assigned = [chr(cp) for cp in range(0x110000)
            if unicodedata.category(chr(cp)) not in ("Cn", "Cs")]
rng = random.Random(7)
cased = [c for c in assigned if c.lower() != c or c.upper() != c or c.islower() or c.isupper()]
uncased = ["1", " ", "-", "\u4e2d", "\u0301", "\u02b0"]
with open(sys.argv[1], "w") as out:
    for c in assigned:
        out.write(f"{c.encode().hex()} {c.lower().encode().hex()} {c.upper().encode().hex()} "
                  f"{int(c.islower())}{int(c.isupper())}\n")
    for _ in range(20000):
        pool = rng.choice([cased, uncased + cased[:200], assigned])
        s = "".join(rng.choice(pool) for _ in range(rng.randint(1, 6)))
        if rng.random() < 0.5:
            s = s.lower() if rng.random() < 0.5 else s.upper()
        out.write(f"{s.encode().hex()} - - {int(s.islower())}{int(s.isupper())}\n")
)PY";

TEST(TextCase, MatchesPythonStrMethods) {
  VELMORA_REQUIRE_PYTHON_UNICODE15(python);
  const auto lines = test::run_peer(python, kCasePeer);
  ASSERT_GT(lines.size(), 150000u);
  std::size_t lower_true = 0;
  std::size_t upper_true = 0;
  for (const std::string& line : lines) {
    std::istringstream fields(line);
    std::string hex, lower, upper, tests;
    fields >> hex >> lower >> upper >> tests;
    const std::string text = test::from_hex(hex);
    if (lower != "-") {
      ASSERT_EQ(unicode_lower(text), test::from_hex(lower)) << hex;
      ASSERT_EQ(unicode_upper(text), test::from_hex(upper)) << hex;
    }
    ASSERT_EQ(unicode_is_lower(text), tests[0] == '1') << hex;
    ASSERT_EQ(unicode_is_upper(text), tests[1] == '1') << hex;
    lower_true += tests[0] == '1';
    upper_true += tests[1] == '1';
  }
  EXPECT_GT(lower_true, 5000u);
  EXPECT_GT(upper_true, 5000u);
}

} // namespace
} // namespace velmora
