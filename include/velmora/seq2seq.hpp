#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <velmora/errors.hpp>
#include <velmora/model_bundle.hpp>

namespace velmora {

// The result of rewriting one word.
struct Seq2SeqPrediction {
  std::string text;
  // Present exactly when the bundle has an edit classifier: the index of its
  // highest-scoring class.
  std::optional<std::int64_t> edit_class;
};

// The character-level attention encoder-decoder (with optional copy gate, POS
// input and edit classifier) that the lemmatiser and the multi-word-token
// expander run over their "lemma" and "mwt" bundles. Immutable once loaded;
// every operation is const and takes no lock. Movable, not copyable; a
// moved-from plan may only be destroyed or assigned to.
class Seq2SeqPlan {
public:
  class Impl;

  // Throws Seq2SeqModelError for a bundle it cannot run (JSON errors of the
  // assets included) and ModelBundleError from the bundle reader.
  Seq2SeqPlan(std::filesystem::path bundle_path, bool verify_checksums);
  ~Seq2SeqPlan();
  Seq2SeqPlan(Seq2SeqPlan&& other) noexcept;
  Seq2SeqPlan& operator=(Seq2SeqPlan&& other) noexcept;
  Seq2SeqPlan(const Seq2SeqPlan&) = delete;
  Seq2SeqPlan& operator=(const Seq2SeqPlan&) = delete;

  const ModelBundle& bundle() const;
  bool uses_pos() const;
  std::int64_t configured_beam_size() const;

  // Rewrites one word; greedy with beam size 1, beam search above. An absent
  // `beam_size` takes the bundle's configured one. `suppress_unk` keeps the
  // vocabulary's <UNK> from ever being chosen. A bundle with POS input needs
  // `pos`; an unknown tag is encoded as <UNK>.
  Seq2SeqPrediction predict(const std::string& word, const std::optional<std::string>& pos,
                            std::optional<long long> beam_size, bool suppress_unk) const;

  // One prediction per word, in input order, as predict() gives them; with
  // beam size 1 the words are decoded together in length-sorted batches.
  // `pos` must be as long as `words` (absent tags when the bundle has no POS).
  std::vector<Seq2SeqPrediction> predict_many(const std::vector<std::string>& words,
                                              const std::vector<std::optional<std::string>>& pos,
                                              std::optional<long long> beam_size,
                                              bool suppress_unk) const;

private:
  const Impl& impl() const;

  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
