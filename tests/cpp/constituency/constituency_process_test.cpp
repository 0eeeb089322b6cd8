// Documents: words and tags are collected from every sentence first, trees
// are stored only when all of them parsed, and refusals leave documents as
// they were.

#include <gtest/gtest.h>

#include <velmora/constituency.hpp>

#include "constituency_test_support.hpp"

namespace velmora {
namespace {

using test::constituency_fixture;
using test::message_of;

// One document whose sentences hold these [text, upos, xpos] words; an
// empty tag is stored absent.
Document document_of(const std::vector<std::vector<std::array<std::string, 3>>>& sentences) {
  std::vector<SentenceInput> inputs;
  for (const auto& words : sentences) {
    SentenceInput& sentence = inputs.emplace_back();
    for (const auto& [text, upos, xpos] : words) {
      TokenInput& token = sentence.tokens.emplace_back();
      WordInput& word = token.words.emplace_back();
      token.first_id = token.last_id = word.id = static_cast<std::int32_t>(sentence.tokens.size());
      token.text = word.text = text;
      word.upos = upos.empty() ? std::nullopt : std::optional(upos);
      word.xpos = xpos.empty() ? std::nullopt : std::optional(xpos);
    }
  }
  return Document(std::string(), std::move(inputs));
}

bool has_tree(const Document& document, std::int64_t sentence) {
  return document.sentences().at(sentence).constituency().has_value();
}

TEST(ConstituencyProcess, RefusalsBeforeAnyParse) {
  const ConstituencyPlan plan(constituency_fixture("models/plain"), false);
  EXPECT_EQ(message_of<ConstituencyModelError>([&] { plan.parse({}, {"NN"}); }),
            "constituency parser cannot parse an empty sentence");
  EXPECT_EQ(message_of<ConstituencyModelError>([&] { plan.parse({"a"}, {}); }),
            "constituency words and tags have different lengths");
  EXPECT_EQ(message_of<ConstituencyModelError>([&] {
              plan.parse_many({{"a"}, {"b"}, {"c"}}, {{"NN"}, {"NN"}});
            }),
            "constituency sentence and tag batches have different lengths");
  EXPECT_TRUE(plan.parse_many({}, {}).empty());
  EXPECT_TRUE(plan.process_bulk({}).empty());
  const Document empty(std::string("no sentences"));
  EXPECT_TRUE(plan.process(empty).same_storage(empty));
}

TEST(ConstituencyProcess, TreesAreStoredOnlyWhenEverySentenceParses) {
  const ConstituencyPlan xpos(constituency_fixture("models/plain"), false);
  const ConstituencyPlan upos(constituency_fixture("models/everything_l2"), false);
  Document document = document_of({{{"The", "DET", "DT"}, {"cat", "NOUN", "NN"}},
                                   {{"It", "PRON", "PRP"}, {"sat", "VERB", ""}}});
  EXPECT_EQ(message_of<ConstituencyModelError>([&] { xpos.process(document); }),
            "constituency requires XPOS on every word");
  EXPECT_FALSE(has_tree(document, 0));

  // The UPOS model parses it; processing again replaces every tree.
  const Document same = upos.process(document);
  ASSERT_TRUE(same.same_storage(document));
  const ConstituencyTree first = *document.sentences().at(0).constituency();
  EXPECT_EQ(first.leaf_labels(), (std::vector<std::string>{"The", "cat"}));
  upos.process(document);
  EXPECT_FALSE(document.sentences().at(0).constituency()->same_node(first));
  EXPECT_EQ(document.sentences().at(0).constituency()->to_string(), first.to_string());

  // A failure leaves the trees there were.
  Document no_upos = document_of({{{"The", "DET", "DT"}}, {{"cat", "", "NN"}}});
  no_upos.sentences().at(0).set_constituency(first);
  EXPECT_EQ(message_of<ConstituencyModelError>([&] { upos.process(no_upos); }),
            "constituency requires UPOS on every word");
  EXPECT_TRUE(no_upos.sentences().at(0).constituency()->same_node(first));
}

TEST(ConstituencyProcess, EmptyWordsAloneAreAnEmptySentence) {
  const ConstituencyPlan plan(constituency_fixture("models/plain"), false);
  std::vector<SentenceInput> inputs(2);
  TokenInput& token = inputs[0].tokens.emplace_back();
  WordInput& word = token.words.emplace_back();
  token.first_id = token.last_id = word.id = 1;
  token.text = word.text = "Hi";
  word.xpos = "UH";
  WordInput& empty = inputs[1].empty_words.emplace_back();
  empty.id = 0;
  empty.empty_index = 1;
  empty.text = "gone";
  empty.xpos = "VBD";
  const Document document(std::string(), std::move(inputs));
  EXPECT_EQ(message_of<ConstituencyModelError>([&] { plan.process(document); }),
            "constituency parser cannot parse an empty sentence");
  EXPECT_FALSE(has_tree(document, 0));
}

TEST(ConstituencyProcess, BulkKeepsTheDocumentsBeforeAFailure) {
  const ConstituencyPlan plan(constituency_fixture("models/plain"), false);
  const std::vector<Document> documents = {document_of({{{"One", "NUM", "CD"}}}),
                                           document_of({{{"Two", "NUM", ""}}}),
                                           document_of({{{"Three", "NUM", "CD"}}})};
  EXPECT_EQ(message_of<ConstituencyModelError>([&] { plan.process_bulk(documents); }),
            "constituency requires XPOS on every word");
  EXPECT_TRUE(has_tree(documents[0], 0));
  EXPECT_FALSE(has_tree(documents[1], 0));
  EXPECT_FALSE(has_tree(documents[2], 0));
}

} // namespace
} // namespace velmora
