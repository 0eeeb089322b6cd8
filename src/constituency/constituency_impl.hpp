#pragma once

// The loaded constituency parser. Include only from .cpp files: it pulls in
// ATen.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/constituency.hpp>
#include <velmora/constituency_tree.hpp>
#include <velmora/model_bundle.hpp>

#include "encoders/native_charlm.hpp"
#include "encoders/native_transformer.hpp"
#include "taggers/word_inputs.hpp"

namespace velmora {
namespace detail {

enum class TransitionKind : std::uint32_t { Shift = 0, Close = 1, Open = 2 };

// One row of the transition table; its position in the table is its index
// everywhere (embedding row, score column).
struct Transition {
  TransitionKind kind = TransitionKind::Shift;
  std::vector<std::string> labels; // Open only, outermost first
  std::int64_t open_index = -1;    // Open only: row of the dummy embeddings
};

} // namespace detail

// Built once by the loader and never written afterwards; the members are
// released in reverse order, so `bundle` outlives every view of its mapping.
struct ConstituencyPlan::Impl {
  using UnitMap = detail::UnitMap;
  using TensorMap = detail::TensorMap;

  // Loads a "constituency" bundle. JSON errors of the assets escape
  // unchanged.
  Impl(std::filesystem::path bundle_dir, bool verify_checksums);
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Throws ConstituencyModelError "missing constituency tensor: '<name>'".
  const at::Tensor& tensor(std::string_view name) const;

  // The id of a word in the pretrained vocabulary; a miss, or the unknown id,
  // is retried lower-cased.
  std::int64_t word_id(const std::string& word) const;
  // N + 2 rows of `hidden_size` values for N >= 1 words with as many tags:
  // the start entry, one per word, the end entry.
  std::vector<at::Tensor> encode_words(const std::vector<std::string>& words,
                                       const std::vector<std::string>& tags) const;
  // The tree of one sentence, by the in-order transition system.
  ConstituencyTree parse(const std::vector<std::string>& words,
                         const std::vector<std::string>& tags) const;

  // What parsing one sentence gave: its tree, or the error it raised.
  struct ParseOutcome {
    std::optional<ConstituencyTree> tree;
    std::exception_ptr error;
  };
  // Every sentence of equally long lists parsed on its own, the sentences
  // spread over the calling thread's team.
  std::vector<ParseOutcome> parse_each(const std::vector<std::vector<std::string>>& words,
                                       const std::vector<std::vector<std::string>>& tags) const;

  std::shared_ptr<ModelBundle> bundle;
  TensorMap tensors;
  UnitMap pretrain_vocab;
  UnitMap delta_vocab;
  UnitMap tag_vocab;
  std::unordered_set<std::string> root_labels;
  std::vector<detail::Transition> transitions;
  std::unique_ptr<detail::NativeCharLM> charlm_forward;
  std::unique_ptr<detail::NativeCharLM> charlm_backward;
  std::unique_ptr<detail::NativeTransformer> transformer;
  std::vector<at::Tensor> word_lstm_weights;
  std::vector<at::Tensor> transition_lstm_weights;
  std::vector<at::Tensor> constituent_lstm_weights;
  std::vector<at::Tensor> word_lstm_init;
  std::vector<at::Tensor> transition_lstm_init;
  std::vector<at::Tensor> constituent_lstm_init;
  std::vector<std::pair<at::Tensor, at::Tensor>> output_layers;
  std::int64_t hidden_size = 0;
  std::int64_t transition_hidden_size = 0;
  std::int64_t tag_embedding_dim = 0;
  std::int64_t transition_embedding_dim = 0;
  std::int64_t delta_embedding_dim = 0;
  std::int64_t num_lstm_layers = 0;
  std::int64_t num_output_layers = 0;
  std::int64_t unary_limit = 0;
  bool boundary_vectors = false;
  bool uses_xpos = false;
  bool pretrain_lower = false;
  bool has_charlm_forward = false;
  bool has_charlm_backward = false;
  bool use_transformer = false;
  bool has_shift = false;
  bool has_close = false;

private:
  void bind_tensors();
  void check_tensors() const;
  void check_network() const;
  // The flat parameter list of one LSTM, in the operator's order.
  std::vector<at::Tensor> lstm_weights(const std::string& prefix, bool bidirectional) const;
  void bind_recurrent_weights();
};

} // namespace velmora
