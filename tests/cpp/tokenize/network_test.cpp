#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/tokenizer.hpp>

#include "tokenize/tokenizer_impl.hpp"
#include "tokenizer_test_support.hpp"

namespace velmora {
namespace {

using detail::tokenize::Paragraph;

std::vector<Paragraph> paragraphs_of(const TokenizerPlan::Impl& impl, const std::string& text) {
  return detail::tokenize::split_paragraphs(text.data(), text.size(), impl.skip_newline);
}

TEST(TokenizerNetwork, LabelsEqualTheReference) {
  for (const char* bundle : {"mwt_gated", "dict_plain", "no_sentences"}) {
    TokenizerPlan::Impl impl(test::tokenizer_bundle(bundle), false);
    for (const auto& item : test::reference_cases(bundle)) {
      const std::string& text = item.at("text").as_string();
      const auto paragraphs = paragraphs_of(impl, text);
      const auto& expected = item.at("paragraphs").as_array();
      ASSERT_EQ(paragraphs.size(), expected.size()) << bundle << ": " << text;
      for (std::size_t p = 0; p < paragraphs.size(); ++p) {
        const auto labels = impl.predict_paragraph(paragraphs[p]);
        EXPECT_EQ(labels, test::integers(expected[p].at("labels")))
            << bundle << " paragraph " << p << " of: " << text;
        EXPECT_TRUE(labels.back() == 2 || labels.back() == 4);
        if (!impl.use_mwt) {
          EXPECT_LE(*std::max_element(labels.begin(), labels.end()), 2);
        }
      }
    }
  }
}

// The reference cases must reach both window rules: a first window cut after
// its last sentence end, and a window without any that keeps all its labels.
TEST(TokenizerNetwork, ReferenceCasesCoverBothWindowRules) {
  const auto longest = [](const char* bundle) {
    std::vector<std::int64_t> labels;
    for (const auto& item : test::reference_cases(bundle)) {
      for (const auto& paragraph : item.at("paragraphs").as_array()) {
        auto candidate = test::integers(paragraph.at("labels"));
        if (candidate.size() > labels.size()) {
          labels = std::move(candidate);
        }
      }
    }
    return labels;
  };
  const auto ends = [](const std::vector<std::int64_t>& labels, std::size_t from, std::size_t to) {
    return std::count_if(labels.begin() + static_cast<long>(from),
                         labels.begin() + static_cast<long>(to),
                         [](std::int64_t label) { return label == 2 || label == 4; });
  };
  const auto cut = longest("mwt_gated");
  ASSERT_EQ(cut.size(), 2500u);
  EXPECT_GT(ends(cut, 0, 1000), 0);
  const auto kept = longest("no_sentences");
  ASSERT_EQ(kept.size(), 2500u);
  EXPECT_EQ(ends(kept, 0, 2499), 0);
}

TEST(TokenizerNetwork, EmptyParagraphAndUnknownUnits) {
  TokenizerPlan::Impl impl(test::tokenizer_bundle("mwt_gated"), false);
  EXPECT_TRUE(impl.predict_paragraph({}).empty());
  const auto ids = impl.unit_ids(test::units_of("a\xF0\x9F\x90\x8D"));
  EXPECT_EQ(ids[0], impl.unit2id.at("a"));
  EXPECT_EQ(ids[1], impl.unk_id);
}

TEST(TokenizerNetwork, PredictLabelsTakesOneParagraph) {
  TokenizerPlan plan(test::tokenizer_bundle("mwt_gated"), false);
  EXPECT_TRUE(plan.predict_labels("").empty());
  EXPECT_TRUE(plan.predict_labels(" \n\t ").empty());
  EXPECT_EQ(plan.predict_labels("a\nb").size(), 3u);
  EXPECT_EQ(plan.predict_labels("a   b").size(), 3u);
  try {
    plan.predict_labels("a\n\nb");
    FAIL() << "two paragraphs accepted";
  } catch (const TokenizerModelError& error) {
    EXPECT_STREQ(error.what(), "predict_labels expects text containing one tokenizer paragraph");
  }
  EXPECT_THROW(plan.predict_labels("a\xC3"), TokenizerModelError);

  const auto cases = test::reference_cases("mwt_gated");
  const auto& first = cases.at(0);
  EXPECT_EQ(plan.predict_labels(first.at("text").as_string()),
            test::integers(first.at("paragraphs").as_array().at(0).at("labels")));
}

// Every paragraph of every reference text of a bundle, plus edge lengths.
std::vector<Paragraph> sample_paragraphs(const TokenizerPlan::Impl& impl, const char* bundle) {
  std::vector<Paragraph> out;
  for (const auto& item : test::reference_cases(bundle)) {
    for (auto& paragraph : paragraphs_of(impl, item.at("text").as_string())) {
      if (paragraph.size() <= detail::kTokenizerWindow) {
        out.push_back(std::move(paragraph));
      }
    }
  }
  return out;
}

TEST(TokenizerBatches, LabelEachParagraphAsAlone) {
  for (const char* bundle : {"mwt_gated", "dict_plain"}) {
    TokenizerPlan::Impl impl(test::tokenizer_bundle(bundle), false);
    const auto paragraphs = sample_paragraphs(impl, bundle);
    std::vector<const Paragraph*> batch;
    for (const Paragraph& paragraph : paragraphs) {
      batch.push_back(&paragraph);
    }
    const auto labels = impl.predict_batch(batch);
    ASSERT_EQ(labels.size(), paragraphs.size());
    for (std::size_t p = 0; p < paragraphs.size(); ++p) {
      EXPECT_EQ(labels[p], impl.predict_paragraph(paragraphs[p])) << bundle << " paragraph " << p;
    }
  }
}

// A document's tokens as comparable text.
std::string describe(const Document& document) {
  std::string out = document.lang().value_or("<none>") + "\n";
  for (std::uint64_t s = 0; s < document.sentences().size(); ++s) {
    const Sentence sentence = document.sentences().at(static_cast<std::int64_t>(s));
    out += "S\n";
    for (std::uint64_t t = 0; t < sentence.tokens().size(); ++t) {
      const Token token = sentence.tokens().at(static_cast<std::int64_t>(t));
      out += token.text() + " [" + std::to_string(*token.start_char()) + "," +
             std::to_string(*token.end_char()) + ") " + token.misc().value_or("-") + " '" +
             token.spaces_before() + "' '" + token.spaces_after() + "'\n";
    }
  }
  return out;
}

TEST(TokenizerBatches, ProcessBulkEqualsProcess) {
  std::vector<std::string> texts;
  for (const auto& item : test::reference_cases("mwt_gated")) {
    texts.push_back(item.at("text").as_string());
  }
  // Paragraphs of exactly 1000 and 1001 characters around short ones, and
  // documents without any paragraph.
  texts.insert(texts.begin() + 3, std::string(999, 'a') + ".");
  texts.insert(texts.begin() + 5, "b\n\n" + std::string(1000, 'c') + ".\n\nd e.");
  texts.insert(texts.begin() + 1, "");
  texts.push_back(" \n \n ");
  std::vector<Document> documents;
  for (const std::string& text : texts) {
    documents.emplace_back(text);
  }
  for (const char* bundle : {"mwt_gated", "dict_plain"}) {
    for (const std::string batch : {"1", "3", "1000"}) {
      test::TempDir dir;
      const auto path = test::edited_bundle(
          dir, bundle, {{"\"batch_size\": ", "\"batch_size\": " + batch + ", \"x\": "}});
      TokenizerPlan plan(path, false);
      const std::vector<Document> bulk = plan.process_bulk(documents);
      ASSERT_EQ(bulk.size(), documents.size());
      for (std::size_t d = 0; d < documents.size(); ++d) {
        EXPECT_EQ(describe(bulk[d]), describe(plan.process(documents[d])))
            << bundle << " batch " << batch << " document " << d;
        EXPECT_FALSE(bulk[d].same_storage(documents[d]));
      }
    }
  }
  TokenizerPlan plan(test::tokenizer_bundle("mwt_gated"), false);
  EXPECT_TRUE(plan.process_bulk({}).empty());
}

TEST(TokenizerBatches, ThreadsShareOnePlan) {
  TokenizerPlan plan(test::tokenizer_bundle("mwt_gated"), false);
  std::vector<Document> documents;
  for (const auto& item : test::reference_cases("mwt_gated")) {
    documents.emplace_back(item.at("text").as_string());
  }
  std::vector<std::string> expected;
  for (const Document& document : plan.process_bulk(documents)) {
    expected.push_back(describe(document));
  }
  std::vector<std::vector<std::string>> seen(3);
  std::vector<std::thread> threads;
  for (auto& out : seen) {
    threads.emplace_back([&plan, &documents, &out] {
      for (int round = 0; round < 3; ++round) {
        for (const Document& document : documents) {
          out.push_back(describe(plan.process(document)));
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (const auto& out : seen) {
    ASSERT_EQ(out.size(), 3 * expected.size());
    for (std::size_t k = 0; k < out.size(); ++k) {
      EXPECT_EQ(out[k], expected[k % expected.size()]);
    }
  }
}

} // namespace
} // namespace velmora
