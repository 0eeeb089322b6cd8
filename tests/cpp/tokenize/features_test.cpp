#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/text.hpp>

#include "tokenize/tokenizer_impl.hpp"
#include "tokenizer_test_support.hpp"

namespace velmora {
namespace {

const std::string kFuncs = "\"feat_funcs\": [\n   \"space_before\"\n  ]";

class TokenizerFeatures : public ::testing::Test {
protected:
  // Only the features are under test: the width goes into the loaded model,
  // whose weights keep the one they were made for.
  TokenizerPlan::Impl with_features(const std::string& funcs, int dim,
                                    std::vector<std::pair<std::string, std::string>> more = {}) {
    more.emplace_back(kFuncs, "\"feat_funcs\": " + funcs);
    TokenizerPlan::Impl impl(test::edited_bundle(dir_, "cases/valid", more), false);
    impl.feat_dim = dim;
    return impl;
  }
  test::TempDir dir_;
};

TEST_F(TokenizerFeatures, ColumnsFollowAFixedOrder) {
  const auto impl = with_features(R"(["start_of_para", "end_of_para", "numeric"])", 3);
  // numeric, end_of_para, start_of_para whatever the listed order.
  EXPECT_EQ(impl.compute_features(test::units_of("7a9")),
            (std::vector<float>{1, 0, 1, 0, 0, 0, 1, 1, 0}));

  const auto listed = with_features(
      R"(["currency", "capitalized", "labeled_field", "space_before", "end_of_para"])", 5);
  // capitalized, space_before, end_of_para, labeled_field, currency.
  EXPECT_EQ(listed.compute_features(test::units_of("Ab: $1")),
            (std::vector<float>{1,      0, 0, 1, 0, /**/ 0, 0, 0, 1, 0, /**/ 0, 0, 0, 1, 0,
                                /**/ 0, 1, 0, 0, 0, /**/ 0, 0, 0, 0, 1, /**/ 0, 0, 1, 0, 1}));
}

TEST_F(TokenizerFeatures, RepeatedNamesCountOnceOnlyForPatterns) {
  EXPECT_EQ(with_features(R"(["space_before", "space_before"])", 2)
                .compute_features(test::units_of("a b")),
            (std::vector<float>{0, 0, 1, 1, 0, 0}));
  EXPECT_EQ(with_features(R"(["currency", "currency"])", 1).compute_features(test::units_of("$5")),
            (std::vector<float>{1, 1}));
  EXPECT_TRUE(with_features("[]", 0).compute_features(test::units_of("ab")).empty());
}

TEST_F(TokenizerFeatures, WidthMismatchFailsOnFirstUse) {
  const auto impl = with_features(R"(["numeric", "currency"])", 3);
  try {
    impl.compute_features(test::units_of("x"));
    FAIL() << "accepted a feature width of 2 for feat_dim 3";
  } catch (const TokenizerModelError& error) {
    EXPECT_STREQ(error.what(), "tokenizer feature dimension does not match feat_funcs");
  }
}

TEST_F(TokenizerFeatures, CapitalsAndDigitsBeyondAscii) {
  const auto impl = with_features(R"(["capitalized", "numeric"])", 2);
  // É upper, ǅ title case (not upper), Ⅻ upper by property, ٣ and 𝟘 digits, ² not.
  EXPECT_EQ(impl.compute_features(test::units_of("Éǅ\u216B٣𝟘²")),
            (std::vector<float>{1, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0}));
}

TEST_F(TokenizerFeatures, DigitTableHoldsExactlyTheDecimalDigits) {
  VELMORA_REQUIRE_SHARED(ucd, "ucd-15.0.0/UnicodeData.txt");
  const auto impl = with_features(R"(["numeric"])", 1);
  // Every Nd code point and both its neighbours.
  std::ifstream in(ucd);
  std::string line;
  std::vector<std::uint32_t> digits;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string code, name, category;
    std::getline(fields, code, ';');
    std::getline(fields, name, ';');
    std::getline(fields, category, ';');
    if (category == "Nd") {
      digits.push_back(static_cast<std::uint32_t>(std::stoul(code, nullptr, 16)));
    }
  }
  ASSERT_EQ(digits.size(), 680u);
  std::string text;
  std::vector<float> expected;
  for (std::uint32_t digit : digits) {
    for (std::uint32_t cp : {digit - 1, digit, digit + 1}) {
      const bool is_digit = std::binary_search(digits.begin(), digits.end(), cp);
      detail::append_utf8(cp, text);
      expected.push_back(is_digit ? 1.0F : 0.0F);
    }
  }
  EXPECT_EQ(impl.compute_features(test::units_of(text)), expected);
}

TEST_F(TokenizerFeatures, LexiconWindowsLookBothWays) {
  const auto impl =
      with_features(R"(["space_before"])", 17,
                    {{"\"lang\"", "\"use_dictionary\": true, \"num_dict_feat\": 8, \"lang\""},
                     {"\"vocab\"", "\"lexicon\": [\"new york\"], \"vocab\""}});
  const auto column = [&](const std::string& text, std::size_t unit) {
    const auto features = impl.compute_features(test::units_of(text));
    return std::vector<float>(features.begin() + static_cast<long>(unit * 17 + 1),
                              features.begin() + static_cast<long>(unit * 17 + 17));
  };
  std::vector<float> expected(16, 0.0F);
  expected[6] = 1.0F; // seven characters added to "n"
  EXPECT_EQ(column("new york", 0), expected);
  expected[6] = 0.0F;
  expected[8 + 6] = 1.0F; // seven characters put before "k"
  EXPECT_EQ(column("new york", 7), expected);
  // The unit's own text is not lower-cased, the added ones are.
  EXPECT_EQ(column("New York", 0), std::vector<float>(16, 0.0F));
  expected[8 + 6] = 0.0F;
  expected[6] = 1.0F;
  EXPECT_EQ(column("nEW YORK", 0), expected);
  // Near the paragraph's edge the window simply runs out.
  EXPECT_EQ(column("new yor", 0), std::vector<float>(16, 0.0F));
}

TEST(TokenizerReferenceFeatures, MatchTheReference) {
  for (const char* bundle : {"mwt_gated", "dict_plain"}) {
    TokenizerPlan::Impl impl(test::tokenizer_bundle(bundle), false);
    std::size_t compared = 0;
    for (const auto& item : test::reference_cases(bundle)) {
      const std::string& text = item.at("text").as_string();
      const auto paragraphs =
          detail::tokenize::split_paragraphs(text.data(), text.size(), impl.skip_newline);
      const auto& expected = item.at("paragraphs").as_array();
      ASSERT_EQ(paragraphs.size(), expected.size()) << bundle << ": " << text;
      for (std::size_t p = 0; p < paragraphs.size(); ++p) {
        if (expected[p].at("features").is_null()) {
          continue;
        }
        EXPECT_EQ(impl.compute_features(paragraphs[p]), test::floats(expected[p].at("features")))
            << bundle << " paragraph " << p << " of: " << text;
        ++compared;
      }
    }
    EXPECT_GT(compared, 10u);
  }
}

} // namespace
} // namespace velmora
