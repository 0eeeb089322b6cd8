// The lemmatiser's loader, its dictionary rules and its edge cases. Loader
// cases copy the dictionary-only bundle and rewrite its assets (checksums are
// not verified, so the manifest's digest of the assets does not matter).

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/lemma.hpp>

#include "test_support.hpp"
#include "wordform/lemma_impl.hpp"

namespace velmora {
namespace {

namespace fs = std::filesystem;

fs::path bundle(const std::string& name) {
  return test::fixture("wordform/" + name + "/bundle");
}

Document
one_sentence(const std::vector<std::pair<std::string, std::optional<std::string>>>& words) {
  SentenceInput sentence;
  std::string text;
  for (const auto& [form, upos] : words) {
    const auto id = static_cast<std::int32_t>(sentence.tokens.size() + 1);
    TokenInput& token = sentence.tokens.emplace_back();
    token.first_id = token.last_id = id;
    token.text = form;
    WordInput& word = token.words.emplace_back();
    word.id = id;
    word.text = form;
    word.upos = upos;
    text += form + " ";
  }
  return Document(text, {sentence});
}

class LemmaLoadTest : public ::testing::Test {
protected:
  // The message of the LemmaModelError that loading these assets throws.
  std::string load_error(const std::string& assets) {
    const fs::path target = temp_.path() / ("bundle" + std::to_string(++copies_));
    fs::copy(bundle("lemma_dict"), target, fs::copy_options::recursive);
    std::ofstream(target / "assets.json", std::ios::binary | std::ios::trunc) << assets;
    try {
      LemmaPlan plan(target, false);
    } catch (const LemmaModelError& error) {
      return error.what();
    }
    return "<loaded>";
  }

private:
  test::TempDir temp_;
  int copies_ = 0;
};

TEST_F(LemmaLoadTest, ReportsJsonErrorsAsLemmaErrorsWithTheirPlace) {
  EXPECT_EQ(load_error(R"({"pos_dict": {}})"), "missing JSON key 'config' at assets");
  // The dictionary is required even when the model alone would answer; it
  // is read before the model is loaded.
  EXPECT_EQ(load_error(R"({"config": {"dict_only": false}})"),
            "missing JSON key 'pos_dict' at assets");
  EXPECT_EQ(load_error(R"({"config": {"dict_only": "yes"}, "pos_dict": {}})"),
            "expected JSON boolean at assets.config.dict_only");
  EXPECT_EQ(load_error(R"({"config": {"dict_only": true}, "caseless": 1, "pos_dict": {}})"),
            "expected JSON boolean at assets.caseless");
  EXPECT_EQ(load_error(R"({"config": {"dict_only": true}, "pos_dict": {"NOUN": ["a"]}})"),
            "expected JSON object at assets.pos_dict.NOUN");
  // The context names the tag's object, not the word.
  EXPECT_EQ(load_error(R"({"config": {"dict_only": true}, "pos_dict": {"VERB": {"a": 1}}})"),
            "expected JSON string at assets.pos_dict.VERB");
  EXPECT_NE(load_error(R"({"config": )").find("at JSON byte"), std::string::npos);
  EXPECT_EQ(load_error(R"({"config": {"dict_only": true, "pos": null}, "pos_dict": {}})"),
            "<loaded>");
}

TEST(LemmaPlanTest, RefusesOtherBundlesAndReportsItsSettings) {
  try {
    LemmaPlan plan(bundle("mwt_dict"), false);
    FAIL() << "an MWT bundle was accepted";
  } catch (const LemmaModelError& error) {
    EXPECT_STREQ(error.what(), "expected a lemma bundle, got 'mwt'");
  }
  // Dictionary-only: no model, but the configured POS flag is reported.
  EXPECT_TRUE(LemmaPlan(bundle("lemma_dict"), false).uses_pos());
  EXPECT_TRUE(LemmaPlan(bundle("lemma_ensemble"), false).uses_pos());
  EXPECT_FALSE(LemmaPlan(bundle("lemma_model"), false).uses_pos());
  EXPECT_EQ(LemmaPlan::Impl(bundle("lemma_dict"), false).seq2seq, nullptr);

  LemmaPlan source(bundle("lemma_dict"), false);
  LemmaPlan moved(std::move(source));
  EXPECT_EQ(moved.bundle().processor(), "lemma");
  EXPECT_EQ(moved.lemmatize("Dogs", "NOUN"), "dog");
}

// The reference covers the dictionary rules over real words; these are the
// degenerate inputs.
TEST(LemmaPlanTest, EmptyAndMalformedWords) {
  const LemmaPlan plan(bundle("lemma_dict"), false);
  EXPECT_EQ(plan.lemmatize("", std::nullopt), "_");
  EXPECT_EQ(plan.lemmatize("nothing", "NOUN"), "_"); // stored as ""
  // Lower-casing refuses ill-formed UTF-8.
  EXPECT_THROW(plan.lemmatize("\xC3", "NOUN"), std::invalid_argument);
}

TEST(LemmaPlanTest, UnknownEditClassFailsAndBulkWritesNothing) {
  // This model's edit classifier always picks a fourth class.
  const LemmaPlan plan(bundle("lemma_edit4"), false);
  EXPECT_EQ(plan.lemmatize("was", "VERB"), "be"); // the dictionary answers first
  try {
    plan.lemmatize("abc", std::nullopt);
    FAIL() << "edit class 3 was accepted";
  } catch (const LemmaModelError& error) {
    EXPECT_STREQ(error.what(), "seq2seq returned an unknown lemma edit class");
  }

  const Document document = one_sentence({{"was", "VERB"}, {"abc", std::nullopt}});
  EXPECT_THROW(plan.process_bulk({document}), LemmaModelError);
  EXPECT_FALSE(document.words().at(0).lemma());
  // One document runs the same batched call and writes nothing either.
  EXPECT_THROW(plan.process(document), LemmaModelError);
  EXPECT_FALSE(document.words().at(0).lemma());
  EXPECT_FALSE(document.words().at(1).lemma());
}

TEST(LemmaPlanTest, BulkEdgeCases) {
  const LemmaPlan plan(bundle("lemma_edit4"), false);
  EXPECT_TRUE(plan.process_bulk({}).empty());
  // Documents without words, and words all answered by the dictionary, never
  // reach the model (which would fail here).
  const Document empty("no sentences");
  const Document known = one_sentence({{"was", "VERB"}, {"ran", "VERB"}, {"mice", "ADV"}});
  const std::vector<Document> result = plan.process_bulk({empty, known});
  ASSERT_EQ(result.size(), 2U);
  EXPECT_EQ(result[0].num_words(), 0U);
  EXPECT_EQ(known.words().at(0).lemma(), "be");
  EXPECT_EQ(known.words().at(1).lemma(), "run");
  EXPECT_EQ(known.words().at(2).lemma(), "mouse*");

  const LemmaPlan::Impl impl(bundle("lemma_dict"), false);
  try {
    impl.lemmatize_batch({"a", "b"}, {std::nullopt});
    FAIL() << "batches of different lengths were accepted";
  } catch (const LemmaModelError& error) {
    EXPECT_STREQ(error.what(), "lemma word and POS batches must have equal lengths");
  }
}

} // namespace
} // namespace velmora
