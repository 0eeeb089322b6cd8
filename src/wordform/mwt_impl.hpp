#pragma once

// The loaded expander behind MWTPlan: its dictionary, its mode and either the
// native space-insertion network or the embedded seq2seq model, plus the
// export of a document into input records that its rewrite starts from.
// Include only from .cpp files: it pulls in ATen.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/document_storage.hpp>
#include <velmora/model_bundle.hpp>
#include <velmora/mwt.hpp>
#include <velmora/seq2seq.hpp>

namespace velmora {

class MWTPlan::Impl {
public:
  // Loads the bundle; JSON errors pass as detail::JsonError (the plan's
  // constructor turns them into MWTModelError).
  Impl(std::filesystem::path bundle_path, bool verify_checksums);

  std::string expand(const std::string& token) const;
  // The dictionary's expansion under the exact, all-upper-case and
  // capitalised rules, in that order; nothing on a miss.
  std::optional<std::string> lookup(const std::string& token) const;
  // The token's characters with the spaces the native network votes for.
  std::string insert_spaces(const std::string& token) const;
  // The seq2seq model's expansion, or the token when it has no space.
  std::string rewrite(const std::string& token) const;

  // Throws MWTModelError "missing MWT tensor: '<name>'".
  const at::Tensor& require_tensor(const std::string& name) const;

  std::shared_ptr<ModelBundle> bundle;
  std::unique_ptr<Seq2SeqPlan> seq2seq;
  std::unordered_map<std::string, std::string> expansion_dict;
  std::unordered_map<std::string, std::int64_t> unit_ids;
  std::unordered_map<std::string, at::Tensor> tensors;
  std::vector<at::Tensor> lstm_weights;
  std::vector<at::Tensor> initial_state; // hidden, cell: [2 * layers, 1, hidden_dim / 2]
  at::Tensor embedding_weight;
  at::Tensor output0_weight;
  at::Tensor output0_bias;
  at::Tensor output2_weight;
  at::Tensor output2_bias;
  std::int64_t vocab_size = 0;
  std::int64_t hidden_dim = 0;
  std::int64_t num_layers = 0;
  bool dict_only = false;
  bool ensemble_dict = false;
  bool force_exact_pieces = false;

private:
  void load_native_model();
  // Shapes and types the native forward pass relies on.
  void check_native_shapes() const;
};

namespace detail {

// The document's sentences as input records that rebuild the same content:
// every column back in its record member, sentinels back to absent values.
// Constituency trees, coreference and entity spans are not carried over.
std::vector<SentenceInput> export_sentences(const DocumentStorage& storage);

} // namespace detail
} // namespace velmora
