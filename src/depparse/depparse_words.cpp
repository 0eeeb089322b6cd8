// Reading a sentence's words for the parser and writing its results back.

#include "depparse/depparse_words.hpp"

#include <optional>
#include <string>

namespace velmora::detail {

std::vector<DepparseWord> collect_depparse_words(const WordSequence& words) {
  std::vector<DepparseWord> records;
  records.reserve(words.size());
  for (std::uint64_t i = 0; i < words.size(); ++i) {
    const Word word = words.at(static_cast<std::int64_t>(i));
    if (!word.upos() && !word.xpos()) {
      throw DepparseModelError("POS must run before depparse");
    }
    DepparseWord& record = records.emplace_back();
    record.text = word.text();
    record.lemma = word.lemma();
    record.upos = word.upos();
    record.xpos = word.xpos();
    record.feats = word.feats();
  }
  return records;
}

std::vector<std::string> depparse_texts(const std::vector<DepparseWord>& words) {
  std::vector<std::string> texts;
  texts.reserve(words.size());
  for (const DepparseWord& word : words) {
    texts.push_back(word.text);
  }
  return texts;
}

std::vector<std::vector<std::string>>
depparse_texts(const std::vector<std::vector<DepparseWord>>& sentences) {
  std::vector<std::vector<std::string>> texts;
  texts.reserve(sentences.size());
  for (const std::vector<DepparseWord>& words : sentences) {
    texts.push_back(depparse_texts(words));
  }
  return texts;
}

void apply_predictions(const WordSequence& words, const std::vector<DepparsePrediction>& results) {
  if (words.size() != results.size()) {
    throw DepparseModelError("depparse word and prediction counts disagree");
  }
  for (std::size_t i = 0; i < results.size(); ++i) {
    Word word = words.at(static_cast<std::int64_t>(i));
    word.set_head(results[i].head);
    word.set_deprel(results[i].deprel);
  }
}

} // namespace velmora::detail
