#pragma once

// The loaded lemmatiser behind LemmaPlan: its dictionary, its settings and its
// optional seq2seq model.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <velmora/lemma.hpp>
#include <velmora/model_bundle.hpp>
#include <velmora/seq2seq.hpp>

namespace velmora {

class LemmaPlan::Impl {
public:
  // Loads the bundle; JSON errors pass as detail::JsonError (the plan's
  // constructor turns them into LemmaModelError).
  Impl(std::filesystem::path bundle_path, bool verify_checksums);

  // The dictionary lemma of `key` under `tag`, then under "*"; null on a
  // miss. The pointer lives as long as the plan.
  const std::string* lookup(const std::string& key, const std::string& tag) const;

  std::string lemmatize(const std::string& word, const std::optional<std::string>& upos) const;

  // One lemma per word, with every word that needs the model predicted in one
  // batched call. Throws LemmaModelError when the lists differ in length.
  std::vector<std::string>
  lemmatize_batch(const std::vector<std::string>& words,
                  const std::vector<std::optional<std::string>>& upos) const;

  using Lemmas = std::unordered_map<std::string, std::string>;

  std::shared_ptr<ModelBundle> bundle;
  std::unique_ptr<Seq2SeqPlan> seq2seq; // empty exactly when dict_only
  std::unordered_map<std::string, Lemmas> pos_dict;
  bool dict_only = false;
  bool ensemble_dict = false;
  bool caseless = false;
  bool pos = false;
};

} // namespace velmora
