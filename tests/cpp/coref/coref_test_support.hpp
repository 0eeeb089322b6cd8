#pragma once

// Shared helpers of the coreference tests: the fixture's bundles and
// reference, documents built from the reference's sentences, and predictions
// and chains in the reference's JSON shapes.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <velmora/coref_plan.hpp>
#include <velmora/document.hpp>
#include <velmora/json.hpp>

#include "../document/storage_test_support.hpp"
#include "test_support.hpp"

namespace velmora::test {

inline std::filesystem::path coref_fixture(const std::string& relative) {
  return fixture("coref/" + relative);
}

inline const detail::JsonValue& coref_reference() {
  static const detail::JsonValue reference = detail::load_json(coref_fixture("reference.json"));
  return reference;
}

// A document of single-word tokens from the reference's sentences
// {"words", "upos", "empty"}; with `alternating`, sentences are spoken by "A"
// and "B" in turn.
inline Document reference_document(const detail::JsonValue& document, bool alternating) {
  std::vector<SentenceInput> inputs;
  for (const detail::JsonValue& sentence : document.at("sentences").as_array()) {
    std::vector<std::string> words;
    for (const detail::JsonValue& word : sentence.at("words").as_array()) {
      words.push_back(word.as_string());
    }
    SentenceInput& input = inputs.emplace_back(make_sentence(words));
    const detail::JsonValue::Array& upos = sentence.at("upos").as_array();
    for (std::size_t w = 0; w < upos.size(); ++w) {
      if (!upos[w].is_null()) {
        input.tokens[w].words[0].upos = upos[w].as_string();
      }
    }
    for (const detail::JsonValue& empty : sentence.at("empty").as_array()) {
      const detail::JsonValue::Array& fields = empty.as_array();
      input.empty_words.push_back(make_empty_word(static_cast<int>(fields[0].as_integer()),
                                                  static_cast<int>(fields[1].as_integer()),
                                                  fields[2].as_string()));
    }
    if (alternating) {
      input.speaker = inputs.size() % 2 == 1 ? "A" : "B";
    }
  }
  return Document(std::string(), std::move(inputs));
}

// resolve()'s inputs for a document built by reference_document().
struct ResolveInputs {
  std::vector<std::string> words;
  std::vector<std::size_t> sentence_ids;
  std::vector<std::string> speakers;
};

inline ResolveInputs resolve_inputs(const detail::JsonValue& document, bool alternating) {
  ResolveInputs inputs;
  std::size_t s = 0;
  for (const detail::JsonValue& sentence : document.at("sentences").as_array()) {
    for (const detail::JsonValue& word : sentence.at("words").as_array()) {
      inputs.words.push_back(word.as_string());
      inputs.sentence_ids.push_back(s);
      inputs.speakers.push_back(alternating ? (s % 2 == 0 ? "A" : "B") : "_");
    }
    ++s;
  }
  return inputs;
}

inline std::vector<std::vector<std::size_t>> index_lists(const detail::JsonValue& value) {
  std::vector<std::vector<std::size_t>> lists;
  for (const detail::JsonValue& list : value.as_array()) {
    std::vector<std::size_t>& out = lists.emplace_back();
    for (const detail::JsonValue& index : list.as_array()) {
      out.push_back(static_cast<std::size_t>(index.as_integer()));
    }
  }
  return lists;
}

inline CorefPrediction reference_prediction(const detail::JsonValue& result) {
  CorefPrediction prediction;
  prediction.word_clusters = index_lists(result.at("word_clusters"));
  prediction.zero_words = index_lists(result.at("zero_words"));
  for (const detail::JsonValue& cluster : result.at("span_clusters").as_array()) {
    auto& spans = prediction.span_clusters.emplace_back();
    for (const detail::JsonValue& span : cluster.as_array()) {
      spans.emplace_back(static_cast<std::size_t>(span.as_array()[0].as_integer()),
                         static_cast<std::size_t>(span.as_array()[1].as_integer()));
    }
  }
  return prediction;
}

inline bool same_prediction(const CorefPrediction& a, const CorefPrediction& b) {
  return a.word_clusters == b.word_clusters && a.span_clusters == b.span_clusters &&
         a.zero_words == b.zero_words;
}

// A chain as text: "text|index|s:start-end s:id.k ...", for comparisons that
// show the difference.
inline std::string chain_text(const CorefChain& chain) {
  std::string out = chain.representative_text() + "|" +
                    (chain.representative_index() ? std::to_string(*chain.representative_index())
                                                  : std::string("-")) +
                    "|";
  for (const CorefMention& mention : chain.mentions()) {
    out += std::to_string(mention.sentence()) + ":";
    if (mention.start_word().empty_index) {
      out += std::to_string(mention.start_word().word) + "." +
             std::to_string(*mention.start_word().empty_index) + " ";
    } else {
      out += std::to_string(mention.start_word().word) + "-" +
             std::to_string(mention.end_word().word) + " ";
    }
  }
  return out;
}

inline std::vector<std::string> chain_texts(const Document& document) {
  std::vector<std::string> out;
  for (const auto& chain : document.coref()) {
    out.push_back(std::to_string(chain->index()) + "#" + chain_text(*chain));
  }
  return out;
}

inline std::vector<std::string> reference_chain_texts(const detail::JsonValue& result) {
  std::vector<std::string> out;
  int index = 0;
  for (const detail::JsonValue& chain : result.at("chains").as_array()) {
    std::vector<CorefMention> mentions;
    for (const detail::JsonValue& mention : chain.at("mentions").as_array()) {
      const detail::JsonValue::Array& m = mention.as_array();
      const int s = static_cast<int>(m[0].as_integer());
      if (m.size() == 2) {
        const int id = static_cast<int>(m[1].as_array()[0].as_integer());
        const int k = static_cast<int>(m[1].as_array()[1].as_integer());
        mentions.emplace_back(s, CorefWordPosition{id, k}, CorefWordPosition{id, k});
      } else {
        mentions.emplace_back(s, CorefWordPosition{static_cast<int>(m[1].as_integer()), {}},
                              CorefWordPosition{static_cast<int>(m[2].as_integer()), {}});
      }
    }
    const detail::JsonValue& best = chain.at("index");
    std::optional<int> representative;
    if (!best.is_null()) {
      representative = static_cast<int>(best.as_integer());
    }
    out.push_back(std::to_string(index) + "#" +
                  chain_text(CorefChain(index, std::move(mentions), chain.at("text").as_string(),
                                        representative)));
    ++index;
  }
  return out;
}

// Every empty word of the document as "sentence:id.k:text", sentence by
// sentence in (id, index) order.
inline std::vector<std::string> empty_word_texts(const Document& document) {
  std::vector<std::string> out;
  const SentenceSequence sentences = document.sentences();
  for (std::uint64_t s = 0; s < sentences.size(); ++s) {
    const WordSequence empties = sentences.at(static_cast<std::int64_t>(s)).empty_words();
    for (std::uint64_t e = 0; e < empties.size(); ++e) {
      const Word word = empties.at(static_cast<std::int64_t>(e));
      out.push_back(std::to_string(s) + ":" + std::to_string(word.id()) + "." +
                    std::to_string(word.empty_index().value_or(-1)) + ":" + word.text());
    }
  }
  return out;
}

} // namespace velmora::test
