// Trees of the in-order parser against the PyTorch reference's, through
// parse_many, process and process_bulk, and the fixed rankings whose trees
// follow from the transition rules alone.

#include <gtest/gtest.h>

#include <velmora/constituency.hpp>

#include "constituency/constituency_impl.hpp"
#include "constituency_test_support.hpp"

namespace velmora {
namespace {

using test::constituency_fixture;
using test::TaggedSentence;

// Below this smallest gap between the applied transition's score and the
// best other legal one, rounding may choose differently: any well-formed
// tree passes.
constexpr double kGapTolerance = 1e-4;

// A tree over exactly these words and tags under a root label.
void expect_well_formed(const ConstituencyTree& tree, const ConstituencyPlan::Impl& impl,
                        const std::vector<std::string>& words,
                        const std::vector<std::string>& tags) {
  EXPECT_EQ(impl.root_labels.count(tree.label()), 1u);
  EXPECT_EQ(tree.leaf_labels(), words);
  std::vector<std::string> preterminals;
  std::vector<ConstituencyTree> pending = {tree};
  while (!pending.empty()) {
    const ConstituencyTree node = pending.back();
    pending.pop_back();
    if (node.is_preterminal()) {
      preterminals.push_back(node.label());
      continue;
    }
    ASSERT_FALSE(node.is_leaf()) << "a word directly under " << node.label();
    const TreeSequence children = node.children();
    for (std::int64_t i = static_cast<std::int64_t>(children.size()) - 1; i >= 0; --i) {
      pending.push_back(children.at(i));
    }
  }
  EXPECT_EQ(preterminals, tags);
}

void expect_reference(const ConstituencyTree& tree, const detail::JsonValue& expected,
                      const ConstituencyPlan::Impl& impl, const TaggedSentence& sentence) {
  if (expected.at("gap").as_number() >= kGapTolerance) {
    EXPECT_EQ(tree.to_string(), expected.at("tree").as_string());
  } else {
    expect_well_formed(tree, impl, sentence.words, sentence.tags(impl.uses_xpos));
  }
}

TEST(ConstituencyParse, TreesEqualTheReference) {
  const detail::JsonValue encoder = detail::load_json(constituency_fixture("encoder.json"));
  const detail::JsonValue parses = detail::load_json(constituency_fixture("parses.json"));
  const std::vector<TaggedSentence> all = test::tagged_sentences(encoder.at("sentences"));
  for (const auto& [name, expected] : parses.at("models").as_object()) {
    SCOPED_TRACE(name);
    const auto& results = expected.as_array();
    const std::vector<TaggedSentence> sentences(all.begin(), all.begin() + results.size());
    const std::string path = constituency_fixture("models/" + name);
    const ConstituencyPlan plan(path, false);
    const ConstituencyPlan::Impl impl(path, false);
    for (std::size_t s = 0; s < results.size(); ++s) {
      ASSERT_TRUE(results[s].find("error") == nullptr) << "sentence " << s;
    }

    std::vector<ConstituencyTree> trees;
    if (name == "plain" || name == "everything_l2") {
      // Every sentence, through documents holding the treebank's empty words.
      std::vector<Document> documents = test::tagged_documents(sentences, encoder.at("empty"), 50);
      if (name == "plain") {
        documents = plan.process_bulk(documents);
      } else {
        for (Document& document : documents) {
          document = plan.process(document);
        }
      }
      for (const Document& document : documents) {
        const SentenceSequence written = document.sentences();
        for (std::uint64_t i = 0; i < written.size(); ++i) {
          trees.push_back(*written.at(static_cast<std::int64_t>(i)).constituency());
        }
      }
    } else {
      std::vector<std::vector<std::string>> words;
      std::vector<std::vector<std::string>> tags;
      for (const TaggedSentence& sentence : sentences) {
        words.push_back(sentence.words);
        tags.push_back(sentence.tags(plan.uses_xpos()));
      }
      trees = plan.parse_many(words, tags);
    }
    ASSERT_EQ(trees.size(), results.size());
    for (std::size_t s = 0; s < trees.size(); ++s) {
      SCOPED_TRACE(s);
      expect_reference(trees[s], results[s], impl, sentences[s]);
    }
  }
}

TEST(ConstituencyParse, TwoThousandWordSentence) {
  const detail::JsonValue long_sentence =
      detail::load_json(constituency_fixture("parses.json")).at("long");
  const TaggedSentence sentence = test::tagged_sentence(long_sentence.at("sentence"));
  ASSERT_EQ(sentence.words.size(), 2000u);
  const ConstituencyPlan::Impl impl(
      constituency_fixture("models/" + long_sentence.at("model").as_string()), false);
  expect_reference(impl.parse(sentence.words, sentence.tags(impl.uses_xpos)), long_sentence, impl,
                   sentence);
}

TEST(ConstituencyParse, FixedRankingsFollowTheRules) {
  const detail::JsonValue forced = detail::load_json(constituency_fixture("forced.json"));
  ASSERT_GE(forced.as_array().size(), 12u);
  for (const auto& entry : forced.as_array()) {
    const std::string name = entry.at("name").as_string();
    SCOPED_TRACE(name);
    std::vector<std::string> words;
    std::vector<std::string> tags;
    for (const auto& word : entry.at("words").as_array()) {
      words.push_back(word.as_string());
    }
    for (const auto& tag : entry.at("tags").as_array()) {
      tags.push_back(tag.as_string());
    }
    const ConstituencyPlan plan(constituency_fixture("forced/" + name), false);
    const std::string expected = entry.at("expected").as_string();
    if (expected.rfind("error:", 0) == 0) {
      EXPECT_EQ(test::message_of<ConstituencyModelError>([&] { plan.parse(words, tags); }),
                expected.substr(6));
    } else {
      EXPECT_EQ(plan.parse(words, tags).to_string(), expected);
    }
  }
}

} // namespace
} // namespace velmora
