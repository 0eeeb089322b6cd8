#pragma once

// The loaded tokenizer model. Include only from .cpp files: it pulls in ATen.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/tokenizer.hpp>

#include "tokenize/char_units.hpp"

namespace velmora {

using TokenizerLabels = std::vector<std::int64_t>;

class TokenizerPlan::Impl {
public:
  using Paragraph = detail::tokenize::Paragraph;

  // Loads a "tokenize" bundle; JSON type errors escape as detail::JsonError.
  Impl(const std::filesystem::path& path, bool verify_checksums);

  // Throws TokenizerModelError "missing tokenizer weight: '<name>'".
  const at::Tensor& weight(std::string_view name) const;
  // Throws TokenizerModelError "tokenizer config disagrees with tensor
  // '<name>'" for a weight whose shape the configuration does not give, and
  // "tokenizer vocabulary disagrees with tensor 'embeddings.weight'" for a
  // unit id outside the embedding's rows.
  void check_shapes() const;

  // n x feat_dim feature values, row-major, one row per unit.
  std::vector<float> compute_features(const Paragraph& paragraph) const;
  // Vocabulary ids of the units' texts.
  std::vector<std::int64_t> unit_ids(const Paragraph& paragraph) const;

  // One label per unit, windows of at most 1000 characters.
  TokenizerLabels predict_paragraph(const Paragraph& paragraph) const;
  // One label vector per paragraph (each at most 1000 characters), in order.
  std::vector<TokenizerLabels> predict_batch(const std::vector<const Paragraph*>& paragraphs) const;

  Document decode_labels(const Document& source, const std::vector<Paragraph>& paragraphs,
                         const std::vector<TokenizerLabels>& labels) const;

  std::shared_ptr<ModelBundle> bundle;
  std::unordered_map<std::string, std::int64_t> unit2id;
  std::unordered_map<std::string, at::Tensor> tensors;
  std::vector<at::Tensor> rnn_weights;
  std::vector<at::Tensor> rnn2_weights;
  std::vector<at::Tensor> initial_state;
  std::unordered_set<std::string> lexicon;
  std::unordered_set<std::string> lexicon_prefixes;
  std::unordered_set<std::string> lexicon_suffixes;
  std::vector<std::string> feat_funcs;
  std::int64_t pad_id = 0;
  std::int64_t unk_id = 0;
  std::int64_t emb_dim = 0;
  std::int64_t hidden_dim = 0;
  std::int64_t feat_dim = 0;
  std::int64_t rnn_layers = 0;
  std::int64_t num_dict_feat = 0;
  std::int64_t batch_size = 32;
  bool hierarchical = false;
  bool use_mwt = false;
  bool use_dictionary = false;
  bool skip_newline = false;
  double hier_invtemp = 0.0;
  std::string shorthand;
  std::string lang;
};

namespace detail {

// Paragraphs and windows are at most this many characters long.
inline constexpr std::size_t kTokenizerWindow = 1000;

// Makes the last label of a paragraph end a sentence (0, 1 -> 2; 3 -> 4).
void apply_last_label_rule(TokenizerLabels& labels);

// Keeps every web and e-mail address of the paragraph in one token.
void merge_url_and_email_tokens(const tokenize::Paragraph& paragraph, TokenizerLabels& labels);

} // namespace detail
} // namespace velmora
