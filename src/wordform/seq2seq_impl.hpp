#pragma once

// The loaded encoder-decoder behind Seq2SeqPlan and the network operations
// that single-word and batched prediction drive. Include only from .cpp files:
// it pulls in ATen.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/model_bundle.hpp>
#include <velmora/seq2seq.hpp>

namespace velmora::detail {

// Fixed ids at the head of every seq2seq vocabulary.
inline constexpr std::int64_t kSeq2SeqPad = 0;
inline constexpr std::int64_t kSeq2SeqUnk = 1;
inline constexpr std::int64_t kSeq2SeqSos = 2;
inline constexpr std::int64_t kSeq2SeqEos = 3;

struct Seq2SeqVocab {
  std::vector<std::string> id2unit;
  std::unordered_map<std::string, std::int64_t> unit2id;
};

// A word as source ids over its extended vocabulary: <SOS>, one id per code
// point, <EOS>. The k-th distinct code point the vocabulary lacks has the id
// vocab_size + k and is unknown_units[k].
struct EncodedSource {
  std::vector<std::int64_t> ids;
  std::vector<std::string> unknown_units;
};

// Throws std::invalid_argument for malformed UTF-8.
EncodedSource encode_source(const Seq2SeqVocab& vocab, std::int64_t vocab_size,
                            const std::string& word);

struct Seq2SeqEncoding {
  at::Tensor outputs; // [B, T, H]; zero past each row's length
  at::Tensor hidden;  // decoder start state [B, H]
  at::Tensor cell;    // [B, H]
  at::Tensor mask;    // [B, T], true at padding; undefined for a single row
};

struct Seq2SeqStep {
  at::Tensor scores; // log-probabilities [B, W]
  at::Tensor hidden; // [B, H]
  at::Tensor cell;   // [B, H]
};

} // namespace velmora::detail

namespace velmora {

class Seq2SeqPlan::Impl {
public:
  // Loads and checks the bundle; JSON errors pass as detail::JsonError (the
  // plan's constructor turns them into Seq2SeqModelError).
  Impl(std::filesystem::path bundle_path, bool verify_checksums);

  // Throws Seq2SeqModelError "missing seq2seq tensor: '<name>'".
  const at::Tensor& require_tensor(const std::string& name) const;
  // Throws Seq2SeqModelError "seq2seq config disagrees with tensor '<name>'"
  // for a tensor of another shape than the configuration gives, "seq2seq
  // vocabulary disagrees with tensor '<name>'" for an id outside the
  // embedding's rows and "seq2seq tensor has an unsupported dtype: '<name>'"
  // for one not of the embedding's floating type.
  void check_shapes(const std::vector<std::string>& encoder_names) const;

  // The POS vocabulary id of a tag, <UNK> when it is not there.
  std::int64_t pos_id(const std::string& tag) const;

  // Runs the encoder over `source_ids` [B, T0] (extended ids, padded with
  // <PAD>; rows ordered by non-increasing `lengths`). `pos_ids` holds one id
  // per row when the bundle uses POS and is ignored otherwise. The mask is
  // built only when `with_mask` is set.
  detail::Seq2SeqEncoding run_encoder(const at::Tensor& source_ids,
                                      const std::vector<std::int64_t>& lengths,
                                      const std::vector<std::int64_t>& pos_ids,
                                      bool with_mask) const;

  // One edit class per row of the start hidden state [B, H] (int64 [B]).
  at::Tensor classify_edit(const at::Tensor& hidden) const;

  // One decoder step for B rows. `source_ids` [B, S] are the extended ids
  // without the POS slot; `mask` and `row_limits` may be undefined.
  detail::Seq2SeqStep decoder_step(const at::Tensor& input_ids, const at::Tensor& hidden,
                                   const at::Tensor& cell, const at::Tensor& encoder_outputs,
                                   const at::Tensor& source_ids, std::int64_t extended_vocab_size,
                                   bool suppress_unk, const at::Tensor& mask,
                                   const at::Tensor& row_limits) const;

  // Vocabulary units for ids below the vocabulary size, the word's own
  // unknown code points for the extended ids, "<UNK>" for anything else.
  std::string ids_to_text(const std::vector<std::int64_t>& ids,
                          const std::vector<std::string>& unknown_units) const;

  // The beam size of a call; throws when it is below 1.
  std::int64_t resolve_beam_size(std::optional<long long> beam_size) const;

  Seq2SeqPrediction predict(const std::string& word, const std::optional<std::string>& pos,
                            std::optional<long long> beam_size, bool suppress_unk) const;
  std::vector<Seq2SeqPrediction> predict_many(const std::vector<std::string>& words,
                                              const std::vector<std::optional<std::string>>& pos,
                                              std::optional<long long> beam_size,
                                              bool suppress_unk) const;

  std::shared_ptr<ModelBundle> bundle;
  detail::Seq2SeqVocab char_vocab;
  std::optional<detail::Seq2SeqVocab> pos_vocab;
  std::unordered_map<std::string, at::Tensor> tensors;
  std::vector<at::Tensor> encoder_weights;
  at::Tensor encoder_initial_hidden; // [2L, 1, H / 2] zeros
  at::Tensor encoder_initial_cell;
  std::int64_t vocab_size = 0;
  std::int64_t emb_dim = 0;
  std::int64_t hidden_dim = 0;
  std::int64_t num_layers = 0;
  std::int64_t max_dec_len = 0;
  std::int64_t beam_size = 1;
  std::int64_t batch_size = 50;
  std::int64_t pos_dim = 0;
  bool pos = false;
  bool edit = false;
  bool copy = false;
  // The score of masked positions and ids (-1e12) and the stand-in for an
  // empty copy mass before its logarithm (1e-12), or the floating type's
  // lowest finite and smallest normal values where it cannot hold those.
  double masked_score = -1e12;
  double empty_mass = 1e-12;
};

} // namespace velmora
