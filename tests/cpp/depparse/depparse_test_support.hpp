#pragma once

// Shared helpers of the parser tests: fixture sentences and reference parses,
// documents built from them, and the comparison with the reference that
// tolerates ties broken differently by rounding.

#include <cmath>
#include <string>
#include <vector>

#include <ATen/core/Tensor.h>
#include <c10/core/InferenceMode.h>

#include <velmora/depparse.hpp>
#include <velmora/document.hpp>
#include <velmora/json.hpp>

#include "../taggers/tagger_test_support.hpp"
#include "depparse/depparse_impl.hpp"

namespace velmora::test {

using Parse = std::vector<DepparsePrediction>;

inline std::filesystem::path depparse_fixture(const std::string& relative) {
  return fixture("depparse/" + relative);
}

inline std::optional<std::string> optional_string(const detail::JsonValue& value) {
  if (value.is_null()) {
    return std::nullopt;
  }
  return value.as_string();
}

// Sentences of [text, lemma, upos, xpos, feats] words, null for absent.
inline std::vector<std::vector<DepparseWord>> json_sentences(const detail::JsonValue& value) {
  std::vector<std::vector<DepparseWord>> sentences;
  for (const auto& sentence : value.as_array()) {
    auto& words = sentences.emplace_back();
    for (const auto& word : sentence.as_array()) {
      const auto& f = word.as_array();
      words.push_back({f.at(0).as_string(), optional_string(f.at(1)), optional_string(f.at(2)),
                       optional_string(f.at(3)), optional_string(f.at(4))});
    }
  }
  return sentences;
}

inline std::vector<Parse> reference_parses(const detail::JsonValue& model) {
  std::vector<Parse> parses;
  const auto& heads = model.at("heads").as_array();
  const auto& deprels = model.at("deprels").as_array();
  for (std::size_t s = 0; s < heads.size(); ++s) {
    Parse& parse = parses.emplace_back();
    for (std::size_t w = 0; w < heads[s].as_array().size(); ++w) {
      parse.push_back({static_cast<std::int32_t>(heads[s].as_array()[w].as_integer()),
                       deprels[s].as_array()[w].as_string()});
    }
  }
  return parses;
}

// One document per group of `per_document` sentences, each word its own
// token.
inline std::vector<Document> make_documents(const std::vector<std::vector<DepparseWord>>& sentences,
                                            std::size_t per_document) {
  return documents_of(sentences, per_document, [](WordInput& word, const DepparseWord& record) {
    word.text = record.text;
    word.lemma = record.lemma;
    word.upos = record.upos;
    word.xpos = record.xpos;
    word.feats = record.feats;
  });
}

// What process() or process_bulk() wrote, sentence by sentence; -1 and "?"
// for a word left without head or relation.
inline std::vector<Parse> written(const std::vector<Document>& documents) {
  std::vector<Parse> parses;
  for (const Document& document : documents) {
    const SentenceSequence sentences = document.sentences();
    for (std::uint64_t s = 0; s < sentences.size(); ++s) {
      const WordSequence words = sentences.at(static_cast<std::int64_t>(s)).words();
      Parse& parse = parses.emplace_back();
      for (std::uint64_t w = 0; w < words.size(); ++w) {
        const Word word = words.at(static_cast<std::int64_t>(w));
        parse.push_back({word.head().value_or(-1), word.deprel().value_or("?")});
      }
    }
  }
  return parses;
}

// The arc plus relation score of a parse under the parser's own scores.
inline double parse_score(const DepparsePlan::Impl& impl, const std::vector<DepparseWord>& words,
                          const Parse& parse) {
  c10::InferenceMode guard;
  const at::Tensor encoded = impl.encode_sentence(words, nullptr, nullptr);
  const at::Tensor arcs = impl.arc_log_probabilities(encoded, nullptr);
  std::vector<std::int64_t> dependents;
  std::vector<std::int64_t> heads;
  for (std::size_t i = 0; i < parse.size(); ++i) {
    dependents.push_back(static_cast<std::int64_t>(i + 1));
    heads.push_back(parse[i].head);
  }
  const std::vector<float> relations =
      impl.relation_scores(encoded.squeeze(0)).arc_scores(dependents, heads);
  const std::size_t labels = impl.deprel_labels.size() - 4;
  double total = 0.0;
  for (std::size_t i = 0; i < parse.size(); ++i) {
    const auto label =
        std::find(impl.deprel_labels.begin(), impl.deprel_labels.end(), parse[i].deprel) -
        impl.deprel_labels.begin();
    total += arcs[0][dependents[i]][parse[i].head].item<double>() +
             relations[i * labels + static_cast<std::size_t>(label - 4)];
  }
  return total;
}

// Every parse must equal the reference's, except a parse that ties with the
// reference's under the native scores (rounding may break a tie either way);
// such ties must stay rare.
inline void expect_reference(const DepparsePlan::Impl& impl,
                             const std::vector<std::vector<DepparseWord>>& sentences,
                             const std::vector<Parse>& got, const std::vector<Parse>& want,
                             const std::string& label) {
  ASSERT_EQ(got.size(), want.size()) << label;
  ASSERT_EQ(got.size(), sentences.size()) << label;
  std::size_t ties = 0;
  std::size_t failures = 0;
  for (std::size_t s = 0; s < got.size(); ++s) {
    ASSERT_EQ(got[s].size(), want[s].size()) << label << " sentence " << s;
    if (got[s] == want[s]) {
      continue;
    }
    const double mine = parse_score(impl, sentences[s], got[s]);
    const double theirs = parse_score(impl, sentences[s], want[s]);
    if (std::abs(mine - theirs) < 1e-3) {
      ++ties;
    } else if (++failures <= 5) {
      std::string words;
      for (std::size_t w = 0; w < got[s].size(); ++w) {
        words += " " + std::to_string(got[s][w].head) + "/" + got[s][w].deprel + "~" +
                 std::to_string(want[s][w].head) + "/" + want[s][w].deprel;
      }
      ADD_FAILURE() << label << " sentence " << s << " (got~want):" << words << "; scores " << mine
                    << " vs " << theirs;
    }
  }
  EXPECT_EQ(failures, 0u) << label;
  EXPECT_LE(ties * 100, got.size()) << label << ": too many ties to be meaningful";
}

} // namespace velmora::test
