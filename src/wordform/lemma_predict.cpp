// Lemmas of words: dictionary lookups, the seq2seq fallback and its edit
// classes, one word at a time or with the model calls gathered into one.

#include <string>
#include <vector>

#include <velmora/text.hpp>

#include "wordform/lemma_impl.hpp"

namespace velmora {
namespace {

// The lemmatiser writes "_" rather than an empty lemma.
std::string or_placeholder(std::string lemma) {
  return lemma.empty() ? "_" : lemma;
}

// A word on its way to a lemma: the lookup key, the tag, and the answer when
// the dictionary (or the lack of a model) already settles it.
struct Pending {
  std::string key;
  std::string tag;
  std::optional<std::string> answer;
};

Pending prepare(const LemmaPlan::Impl& plan, const std::string& word,
                const std::optional<std::string>& upos) {
  Pending pending{plan.caseless ? detail::unicode_lower(word) : word, upos.value_or("_"),
                  std::nullopt};
  if (plan.dict_only || plan.ensemble_dict) {
    if (const std::string* lemma = plan.lookup(pending.key, pending.tag)) {
      pending.answer = or_placeholder(*lemma);
      return pending;
    }
  }
  if (plan.dict_only || !plan.seq2seq) {
    pending.answer = or_placeholder(pending.key);
  }
  return pending;
}

std::string finish(const std::string& key, const Seq2SeqPrediction& prediction) {
  std::string lemma = prediction.text;
  if (prediction.edit_class) {
    switch (*prediction.edit_class) {
    case 0:
      break;
    case 1:
      lemma = key;
      break;
    case 2:
      lemma = detail::unicode_lower(key);
      break;
    default:
      throw LemmaModelError("seq2seq returned an unknown lemma edit class");
    }
  }
  // The model's <UNK> can never be a sound lemma: the word form is safer.
  if (lemma.empty() || lemma.find("<UNK>") != std::string::npos) {
    lemma = key;
  }
  return or_placeholder(std::move(lemma));
}

} // namespace

const std::string* LemmaPlan::Impl::lookup(const std::string& key, const std::string& tag) const {
  // Entries under "*" apply to every tag, after the tag's own.
  static const std::string any_tag = "*";
  for (const std::string* name : {&tag, &any_tag}) {
    const auto lemmas = pos_dict.find(*name);
    if (lemmas == pos_dict.end()) {
      continue;
    }
    if (const auto found = lemmas->second.find(key); found != lemmas->second.end()) {
      return &found->second;
    }
  }
  return nullptr;
}

std::string LemmaPlan::Impl::lemmatize(const std::string& word,
                                       const std::optional<std::string>& upos) const {
  Pending pending = prepare(*this, word, upos);
  if (pending.answer) {
    return std::move(*pending.answer);
  }
  return finish(pending.key, seq2seq->predict(pending.key, pending.tag, std::nullopt, false));
}

std::vector<std::string>
LemmaPlan::Impl::lemmatize_batch(const std::vector<std::string>& words,
                                 const std::vector<std::optional<std::string>>& upos) const {
  if (words.size() != upos.size()) {
    throw LemmaModelError("lemma word and POS batches must have equal lengths");
  }
  std::vector<std::string> lemmas(words.size());
  std::vector<std::size_t> indices;
  std::vector<std::string> keys;
  std::vector<std::optional<std::string>> tags;
  for (std::size_t i = 0; i < words.size(); ++i) {
    Pending pending = prepare(*this, words[i], upos[i]);
    if (pending.answer) {
      lemmas[i] = std::move(*pending.answer);
      continue;
    }
    indices.push_back(i);
    keys.push_back(std::move(pending.key));
    tags.emplace_back(std::move(pending.tag));
  }
  if (indices.empty()) {
    return lemmas;
  }
  const std::vector<Seq2SeqPrediction> predictions =
      seq2seq->predict_many(keys, tags, std::nullopt, false);
  for (std::size_t j = 0; j < indices.size(); ++j) {
    lemmas[indices[j]] = finish(keys[j], predictions[j]);
  }
  return lemmas;
}

} // namespace velmora
