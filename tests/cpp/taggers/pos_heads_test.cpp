// Tag strings from forced head ids, and how tags are written into documents.

#include <gtest/gtest.h>

#include <velmora/json.hpp>
#include <velmora/pos.hpp>

#include "pos_test_support.hpp"
#include "taggers/pos_impl.hpp"

namespace velmora {
namespace {

using test::pos_fixture;

const std::vector<std::string> kWords = {"the", "New", "bcd", "?"};

TEST(POSHeads, ForcedIdsBecomeTagStrings) {
  const detail::JsonValue cases = detail::load_json(pos_fixture("forced.json"));
  for (const auto& entry : cases.as_array()) {
    const std::string name = entry.at("name").as_string();
    SCOPED_TRACE(name);
    const POSPlan plan(pos_fixture("forced/" + name), false);
    if (const detail::JsonValue* error = entry.find("error")) {
      try {
        plan.tag(kWords);
        ADD_FAILURE() << "tagged";
      } catch (const POSModelError& failure) {
        EXPECT_EQ(failure.what(), error->as_string());
      }
      continue;
    }
    const auto& fields = entry.at("tags").as_array();
    const POSTags want{fields[0].as_string(), fields[1].as_string(), fields[2].as_string()};
    EXPECT_EQ(plan.tag(kWords), std::vector<POSTags>(kWords.size(), want));
  }
}

TEST(POSHeads, UnderscoreClearsAndOtherValuesReplace) {
  // Every word is forced to UPOS "N", no XPOS and no features.
  const POSPlan plan(pos_fixture("forced/composite_none"), false);
  std::vector<Document> documents = test::make_documents({{"the", "New"}}, 1);
  Word word = documents[0].words().at(1);
  word.set_upos("VERB");
  word.set_xpos("VBZ");
  word.set_feats("Number=Sing");
  plan.process(documents[0]);
  EXPECT_EQ(word.upos(), "N");
  EXPECT_EQ(word.xpos(), std::nullopt);
  EXPECT_EQ(word.feats(), std::nullopt);

  const POSPlan feats(pos_fixture("forced/plain_ignore"), false);
  feats.process_bulk(documents);
  EXPECT_EQ(word.xpos(), std::nullopt);
  EXPECT_EQ(word.feats(), "Number=Plur|Person=1");
}

TEST(POSHeads, EmptyInputsRunNothing) {
  const POSPlan plan(pos_fixture("models/plain_l1"), false);
  EXPECT_TRUE(plan.tag({}).empty());
  EXPECT_TRUE(plan.process_bulk({}).empty());
  const Document empty{std::string("no sentences")};
  const Document result = plan.process(empty);
  EXPECT_TRUE(result.same_storage(empty));
  EXPECT_EQ(result.sentences().size(), 0u);
  EXPECT_EQ(plan.process_bulk({empty}).size(), 1u);
}

TEST(POSHeads, WordFailures) {
  const POSPlan plan(pos_fixture("models/plain_l1"), false);
  try {
    plan.tag({"a", ""});
    FAIL() << "tagged";
  } catch (const POSModelError& failure) {
    EXPECT_STREQ(failure.what(), "POS cannot encode an empty word");
  }
  EXPECT_THROW(plan.tag({"a", "\xC3"}), std::invalid_argument);
  // The batched path refuses it too (documents cannot hold an empty word).
  const POSPlan::Impl impl(pos_fixture("models/plain_l1"), false);
  try {
    impl.tag_sentences({{"a"}, {"b", ""}});
    FAIL() << "tagged";
  } catch (const POSModelError& failure) {
    EXPECT_STREQ(failure.what(), "POS cannot encode an empty word");
  }
  // The language models read an empty word like any other.
  const POSPlan charlm(pos_fixture("models/composite_charlm_raw_l1"), false);
  EXPECT_EQ(charlm.tag({"a", ""}).size(), 2u);
}

} // namespace
} // namespace velmora
