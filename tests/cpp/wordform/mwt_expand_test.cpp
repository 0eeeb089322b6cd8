// Expanding single tokens: the reference of the fixture generator
// (gen_wordform.py) for every mode, the dictionary's case rules, and the
// native model's edge cases.

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/json.hpp>
#include <velmora/mwt.hpp>

#include "test_support.hpp"

namespace velmora {
namespace {

std::filesystem::path bundle(const std::string& name) {
  return test::fixture("wordform/" + name + "/bundle");
}

// Dictionary: du -> "de le", au -> "à le", a -> "à la", zum -> "zu dem",
// solo -> "solo", leer -> "", été -> "é té", ...
class MWTDictionaryTest : public ::testing::Test {
protected:
  MWTPlan plan{bundle("mwt_dict"), false};
};

TEST_F(MWTDictionaryTest, ExactRule) {
  EXPECT_EQ(plan.expand("du"), "de le");
  // Entries are returned as they are, with or without a space.
  EXPECT_EQ(plan.expand("solo"), "solo");
  EXPECT_EQ(plan.expand("leer"), "");
  // A miss returns the token itself.
  EXPECT_EQ(plan.expand("xyz"), "xyz");
  EXPECT_EQ(plan.expand(""), "");
}

TEST_F(MWTDictionaryTest, AllUpperCaseRule) {
  EXPECT_EQ(plan.expand("DU"), "DE LE");
  EXPECT_EQ(plan.expand("ZUM"), "ZU DEM");
  EXPECT_EQ(plan.expand("ÉTÉ"), "É TÉ");
  // A single capital is all upper case, never capitalised.
  EXPECT_EQ(plan.expand("A"), "À LA");
  EXPECT_EQ(plan.expand("XYZ"), "XYZ");
}

TEST_F(MWTDictionaryTest, CapitalisedRule) {
  EXPECT_EQ(plan.expand("Du"), "De le");
  EXPECT_EQ(plan.expand("Été"), "É té");
  EXPECT_EQ(plan.expand("Leer"), "");
  // Neither all upper case nor capitalised.
  EXPECT_EQ(plan.expand("dU"), "dU");
  EXPECT_EQ(plan.expand("DuM"), "DuM");
}

TEST_F(MWTDictionaryTest, InvalidUtf8IsRefusedUnlessItIsAnExactKey) {
  EXPECT_THROW(plan.expand("d\xC3"), std::invalid_argument);
  const MWTPlan native(bundle("mwt_native"), false);
  EXPECT_THROW(native.expand("\xFF"), std::invalid_argument);
}

class MWTReferenceTest : public ::testing::TestWithParam<const char*> {};

TEST_P(MWTReferenceTest, ExpandMatchesTheReference) {
  const detail::JsonValue reference =
      detail::load_json(test::fixture(std::string("wordform/") + GetParam() + "/reference.json"));
  const detail::JsonValue::Array& cases = reference.at("cases").as_array();
  ASSERT_GT(cases.size(), 280U);
  const MWTPlan plan(bundle(GetParam()), true);
  for (const detail::JsonValue& entry : cases) {
    const std::string& token = entry.at("token").as_string();
    EXPECT_EQ(plan.expand(token), entry.at("expansion").as_string()) << "'" << token << "'";
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, MWTReferenceTest,
                         ::testing::Values("mwt_dict", "mwt_native", "mwt_native_dict",
                                           "mwt_seq2seq", "mwt_seq2seq_dict"));

TEST(MWTNativeTest, ConstantHeads) {
  // Equal scores everywhere: a tie never inserts a space.
  const MWTPlan tied(bundle("mwt_tied"), false);
  EXPECT_EQ(tied.expand("du"), "du");
  EXPECT_EQ(tied.expand("zum"), "zum");
  // A space before every character; the one before the first is trimmed.
  const MWTPlan spaces(bundle("mwt_spaces"), false);
  EXPECT_EQ(spaces.expand("zum"), "z u m");
  EXPECT_EQ(spaces.expand("x"), "x");
  EXPECT_EQ(spaces.expand(""), "");
  // Characters outside the vocabulary run as <UNK> and come back unchanged.
  EXPECT_EQ(spaces.expand("中ß"), "中 ß");
  // The dictionary is not consulted outside ensemble mode.
  EXPECT_EQ(spaces.expand("du"), "d u");
}

TEST(MWTSeq2SeqTest, ModelErrorsPassUnchanged) {
  // The expander never passes a POS tag.
  const MWTPlan plan(bundle("mwt_seq2seq_pos"), false);
  EXPECT_EQ(plan.expand("du"), "de le");
  try {
    plan.expand("zz");
    FAIL() << "a POS model ran without a tag";
  } catch (const Seq2SeqModelError& error) {
    EXPECT_STREQ(error.what(), "this seq2seq bundle requires a POS tag");
  }
}

} // namespace
} // namespace velmora
