#pragma once

// The state behind TransformerEncoder, shared by its construction and its
// inference sources. Include only from .cpp files: it pulls in ATen.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/bert_tokenizer.hpp>
#include <velmora/byte_bpe_tokenizer.hpp>
#include <velmora/transformer_encoder.hpp>
#include <velmora/xlmr_tokenizer.hpp>

#include "encoders/package_loading.hpp"

namespace velmora {

class ModelBundle;

class TransformerEncoder::Impl {
public:
  using Tokenizer = std::variant<WordPieceTokenizer, ByteBPETokenizer, XLMRobertaTokenizer>;

  // Where the package comes from: the file or directory at `path`, or, with a
  // bundle, the bundle's artifact `artifact` (and `path` is the bundle
  // directory joined with it, for messages and model_path()).
  struct PackageSource {
    std::filesystem::path path;
    const ModelBundle* bundle = nullptr;
    std::filesystem::path artifact;
  };

  // Checks the package source and the limits, then loads the package.
  // Throws TransformerError.
  Impl(PackageSource source, Tokenizer subword_tokenizer, std::size_t intra_op_threads,
       std::size_t max_length);
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  WordPieceEncoding tokenize(const std::vector<std::string>& words, bool add_special_tokens) const;

  // One package run over `count` ids: float32 [count, hidden]. `mask` holds
  // `mask_count` values; none means every position is attended to. The
  // inputs are viewed, not copied, so they must outlive the call.
  at::Tensor run(const std::int64_t* ids, std::size_t count, const std::int64_t* mask,
                 std::size_t mask_count) const;

  // The word rows of one sentence (see TransformerEncoder::encode_words_tensor).
  at::Tensor encode_words(const std::vector<std::string>& words, bool keep_endpoints) const;

  // Kept exactly as the caller passed it.
  std::filesystem::path path;
  Tokenizer tokenizer;
  // The longest subword sequence, special tokens included, given to one run.
  std::uint64_t model_max_length;
  // Declared last so that it is destroyed first.
  detail::LoadedPackage package;

private:
  // The output rows of every subword of `ids`, run whole or as overlapping
  // windows when longer than model_max_length.
  at::Tensor subword_rows(const std::vector<std::int64_t>& ids) const;
};

} // namespace velmora
