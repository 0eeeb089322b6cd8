#include <velmora/transformer_encoder.hpp>

#include <exception>
#include <new>
#include <system_error>
#include <utility>

#include <ATen/Parallel.h>
#include <ATen/ops/empty.h>
#include <c10/util/Exception.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>

#include "bundle/bundle_artifact.hpp"
#include "bundle/tensor_errors.hpp"
#include "encoders/model_call.hpp"
#include "encoders/transformer_encoder_impl.hpp"

namespace velmora {
namespace {

std::vector<std::vector<float>> rows_of(const at::Tensor& matrix) {
  std::vector<std::vector<float>> rows;
  if (matrix.size(0) == 0) {
    return rows;
  }
  const at::Tensor host = matrix.cpu().contiguous();
  const std::int64_t width = host.size(1);
  const float* data = host.const_data_ptr<float>();
  rows.reserve(static_cast<std::size_t>(host.size(0)));
  for (std::int64_t r = 0; r < host.size(0); ++r) {
    rows.emplace_back(data + r * width, data + (r + 1) * width);
  }
  return rows;
}

} // namespace

TransformerEncoder::Impl::Impl(PackageSource source, Tokenizer subword_tokenizer,
                               std::size_t intra_op_threads, std::size_t max_length)
    : path(std::move(source.path)), tokenizer(std::move(subword_tokenizer)),
      model_max_length(max_length) {
  const detail::BundleArtifact* artifact = nullptr;
  if (source.bundle != nullptr) {
    // Only a file the manifest lists has been sized and, with verification,
    // hashed; anything else beside the bundle's files is not its code.
    artifact = detail::find_artifact(*source.bundle, source.artifact);
    if (artifact == nullptr) {
      throw TransformerError("transformer artifact is not listed in the bundle manifest: '" +
                             source.artifact.string() + "'");
    }
  } else {
    std::error_code ignored;
    const std::filesystem::file_status status = std::filesystem::status(path, ignored);
    if (!std::filesystem::is_regular_file(status) && !std::filesystem::is_directory(status)) {
      throw TransformerError("AOTInductor transformer model does not exist: " + path.string());
    }
  }
  if (model_max_length <= 4) {
    throw TransformerError("transformer model_max_length must be at least 5");
  }
  // The pool is process-wide: resizing it here would silently change every
  // other model in the process, so a mismatch is refused instead.
  if (intra_op_threads != 0 &&
      intra_op_threads != static_cast<std::size_t>(at::get_num_threads())) {
    throw TransformerError(
        "intra_op_threads cannot change the process-wide ATen thread pool during "
        "TransformerEncoder construction; call torch.set_num_threads() before constructing "
        "Velmora models");
  }
  const std::string prefix = "could not load AOTInductor transformer '" + path.string() + "': ";
  try {
    package = artifact != nullptr
                  ? detail::load_package(*artifact, source.bundle->checksums_verified())
                  : detail::load_package(path);
  } catch (const std::exception& error) {
    detail::rethrow_allocation_failure(error);
    throw TransformerError(prefix + detail::libtorch_error_message(error));
  }
}

TransformerEncoder::Impl::~Impl() = default;

WordPieceEncoding TransformerEncoder::Impl::tokenize(const std::vector<std::string>& words,
                                                     bool add_special_tokens) const {
  return std::visit(
      [&](const auto& alternative) { return alternative.encode(words, add_special_tokens); },
      tokenizer);
}

TransformerEncoder::TransformerEncoder(std::filesystem::path model_path,
                                       std::vector<std::string> vocabulary, bool lowercase,
                                       bool strip_accents, std::size_t intra_op_threads,
                                       std::size_t model_max_length, std::string unknown_token,
                                       std::string cls_token, std::string sep_token,
                                       std::string continuing_subword_prefix,
                                       std::size_t max_input_characters_per_word)
    : impl_(std::make_unique<Impl>(
          Impl::PackageSource{std::move(model_path), nullptr, {}},
          Impl::Tokenizer(std::in_place_index<0>, std::move(vocabulary), lowercase, strip_accents,
                          std::move(unknown_token), std::move(cls_token), std::move(sep_token),
                          std::move(continuing_subword_prefix), max_input_characters_per_word),
          intra_op_threads, model_max_length)) {}

TransformerEncoder::TransformerEncoder(std::filesystem::path model_path,
                                       std::vector<std::string> vocabulary,
                                       std::vector<std::pair<std::string, std::string>> merges,
                                       bool add_prefix_space, std::size_t intra_op_threads,
                                       std::size_t model_max_length, std::string unknown_token,
                                       std::string cls_token, std::string sep_token)
    : impl_(std::make_unique<Impl>(Impl::PackageSource{std::move(model_path), nullptr, {}},
                                   Impl::Tokenizer(std::in_place_index<1>, std::move(vocabulary),
                                                   std::move(merges), std::move(unknown_token),
                                                   std::move(cls_token), std::move(sep_token),
                                                   add_prefix_space),
                                   intra_op_threads, model_max_length)) {}

TransformerEncoder::TransformerEncoder(std::filesystem::path model_path,
                                       std::vector<std::string> vocabulary,
                                       std::vector<float> scores,
                                       std::vector<unsigned char> precompiled_charsmap,
                                       std::int64_t unknown_id, std::size_t intra_op_threads,
                                       std::size_t model_max_length, std::string cls_token,
                                       std::string sep_token)
    : impl_(std::make_unique<Impl>(Impl::PackageSource{std::move(model_path), nullptr, {}},
                                   Impl::Tokenizer(std::in_place_index<2>, std::move(vocabulary),
                                                   std::move(scores),
                                                   std::move(precompiled_charsmap), unknown_id,
                                                   std::move(cls_token), std::move(sep_token)),
                                   intra_op_threads, model_max_length)) {}

TransformerEncoder::TransformerEncoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

TransformerEncoder::~TransformerEncoder() = default;
TransformerEncoder::TransformerEncoder(TransformerEncoder&& other) noexcept = default;
TransformerEncoder& TransformerEncoder::operator=(TransformerEncoder&& other) noexcept = default;

at::Tensor TransformerEncoder::encode_words_tensor(const std::vector<std::string>& words,
                                                   bool keep_endpoints) const {
  return detail::model_call<TransformerError>(
      [&] { return impl_->encode_words(words, keep_endpoints); });
}

std::vector<std::vector<float>> TransformerEncoder::encode(const std::vector<std::string>& words,
                                                           bool keep_endpoints) const {
  return rows_of(encode_words_tensor(words, keep_endpoints));
}

WordPieceEncoding TransformerEncoder::tokenize(const std::vector<std::string>& words,
                                               bool add_special_tokens) const {
  return impl_->tokenize(words, add_special_tokens);
}

at::Tensor
TransformerEncoder::encode_ids_tensor(const std::vector<std::int64_t>& input_ids,
                                      const std::vector<std::int64_t>& attention_mask) const {
  if (input_ids.empty()) {
    return at::empty({0, 0}, at::TensorOptions().dtype(at::kFloat));
  }
  return detail::model_call<TransformerError>([&] {
    return impl_->run(input_ids.data(), input_ids.size(), attention_mask.data(),
                      attention_mask.size());
  });
}

std::vector<std::vector<float>>
TransformerEncoder::encode_ids(const std::vector<std::int64_t>& input_ids,
                               const std::vector<std::int64_t>& attention_mask) const {
  return rows_of(encode_ids_tensor(input_ids, attention_mask));
}

const std::filesystem::path& TransformerEncoder::model_path() const {
  return impl_->path;
}

std::string TransformerEncoder::runtime_version() {
  return "2.13.0";
}

} // namespace velmora
