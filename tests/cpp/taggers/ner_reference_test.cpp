// Native tags against the PyTorch reference tagger, through tag() and
// process(), on hand-written sentences and on the EWT dev treebank's
// documents (multi-word tokens tagged by their surface text).

#include <gtest/gtest.h>

#include <velmora/json.hpp>
#include <velmora/ner.hpp>

#include "ner_test_support.hpp"

namespace velmora {
namespace {

using test::ner_fixture;
using Tags = std::vector<std::vector<std::string>>;

const char* const kModels[] = {
    "charlstm_l1",           "charlstm2_transform_l2", "charlm_lower",  "transformer_transform",
    "two_columns_connected", "two_columns_plain",      "case_sensitive"};

struct Reference {
  Tags tags;
  std::vector<double> margins;
};

Reference reference_of(const detail::JsonValue& model) {
  Reference reference;
  for (const auto& sentence : model.at("tags").as_array()) {
    reference.tags.push_back(test::strings(sentence));
  }
  for (const auto& margin : model.at("margins").as_array()) {
    reference.margins.push_back(margin.as_number());
  }
  return reference;
}

// Every sentence whose reference path is clear must match exactly; at most
// one sentence in a hundred may be a near-tie.
void expect_reference(const Tags& got, const Reference& want, const std::string& label) {
  ASSERT_EQ(got.size(), want.tags.size()) << label;
  std::size_t near_ties = 0;
  std::size_t failures = 0;
  for (std::size_t s = 0; s < got.size(); ++s) {
    if (want.margins[s] < test::kPathMarginTolerance) {
      ++near_ties;
      continue;
    }
    if (got[s] != want.tags[s] && ++failures <= 5) {
      ADD_FAILURE() << label << ": sentence " << s << " differs";
    }
  }
  EXPECT_EQ(failures, 0u) << label;
  EXPECT_LE(near_ties * 100, got.size()) << label << ": too many near-ties to be meaningful";
}

// The sentences tagged one by one through tag(), and as documents through
// process(), compared with the reference.
void check_model(const std::string& model,
                 const std::vector<std::vector<std::vector<test::TokenWords>>>& documents,
                 const Reference& reference) {
  const NERPlan plan(ner_fixture("models/" + model), false);
  Tags tagged;
  for (const auto& document : documents) {
    for (const auto& sentence : document) {
      std::vector<std::string> texts;
      for (const test::TokenWords& token : sentence) {
        texts.push_back(token.at(0));
      }
      tagged.push_back(plan.tag(texts));
    }
  }
  expect_reference(tagged, reference, model + " tag");

  Tags processed;
  for (const auto& sentences : documents) {
    const Document document = test::document_of(sentences);
    const Document result = plan.process(document);
    EXPECT_TRUE(result.same_storage(document));
    const Tags written = test::written_tags(document);
    processed.insert(processed.end(), written.begin(), written.end());
  }
  expect_reference(processed, reference, model + " process");
}

class NERReference : public ::testing::TestWithParam<const char*> {};

TEST_P(NERReference, EdgeSentences) {
  const detail::JsonValue edge = detail::load_json(ner_fixture("edge.json"));
  std::vector<std::vector<std::vector<test::TokenWords>>> documents(1);
  for (const auto& sentence : edge.at("sentences").as_array()) {
    auto& tokens = documents.back().emplace_back();
    for (const std::string& word : test::strings(sentence)) {
      tokens.push_back({word});
    }
    if (documents.back().size() == 3) {
      documents.emplace_back();
    }
  }
  check_model(GetParam(), documents, reference_of(edge.at("models").at(GetParam())));
}

TEST_P(NERReference, EwtDevDocuments) {
  VELMORA_REQUIRE_SHARED(treebank, "ud-en-ewt/en_ewt-ud-dev.conllu");
  (void)treebank;
  static const detail::JsonValue ewt = detail::load_json(ner_fixture("ewt.json"));
  if (const detail::JsonValue* skipped = ewt.find("skipped")) {
    GTEST_SKIP() << "fixtures were generated without the treebank: " << skipped->as_string();
  }
  std::vector<std::vector<std::vector<test::TokenWords>>> documents;
  std::size_t multi_word = 0;
  for (const auto& document : ewt.at("documents").as_array()) {
    auto& sentences = documents.emplace_back();
    for (const auto& sentence : document.as_array()) {
      auto& tokens = sentences.emplace_back();
      for (const auto& token : sentence.as_array()) {
        tokens.push_back(test::strings(token));
        multi_word += tokens.back().size() > 1;
      }
    }
  }
  ASSERT_GT(multi_word, 100u);
  check_model(GetParam(), documents, reference_of(ewt.at("models").at(GetParam())));
}

INSTANTIATE_TEST_SUITE_P(Models, NERReference, ::testing::ValuesIn(kModels));

} // namespace
} // namespace velmora
