// The parser's public face: loading, parsing one sentence, and writing heads
// and relations into documents sentence by sentence.

#include <utility>

#include <velmora/json.hpp>

#include "bundle/tensor_errors.hpp"
#include "depparse/depparse_impl.hpp"
#include "depparse/depparse_words.hpp"
#include "encoders/model_call.hpp"

namespace velmora {

DepparsePlan::DepparsePlan(std::filesystem::path bundle_path, bool verify_checksums) {
  try {
    impl_ = detail::with_model_errors<DepparseModelError>(
        [&] { return std::make_unique<Impl>(std::move(bundle_path), verify_checksums); });
  } catch (const detail::JsonError& error) {
    throw DepparseModelError(error.what());
  }
}

DepparsePlan::~DepparsePlan() = default;
DepparsePlan::DepparsePlan(DepparsePlan&& other) noexcept = default;
DepparsePlan& DepparsePlan::operator=(DepparsePlan&& other) noexcept {
  if (this != &other) {
    impl_ = std::move(other.impl_);
  }
  return *this;
}

const ModelBundle& DepparsePlan::bundle() const {
  return *impl_->bundle;
}

const DepparsePlan::Impl& DepparsePlan::impl() const {
  return *impl_;
}

std::vector<DepparsePrediction> DepparsePlan::parse(const std::vector<DepparseWord>& words) const {
  if (words.empty()) {
    return {};
  }
  return detail::model_call<DepparseModelError>([&] {
    const at::Tensor encoded = impl_->encode_sentence(words, nullptr, nullptr);
    at::Tensor arcs = impl_->arc_log_probabilities(encoded, nullptr);
    return impl_->decode_sentence(words, arcs, impl_->relation_scores(encoded.squeeze(0)));
  });
}

Document DepparsePlan::process(Document document) const {
  return process(std::move(document), nullptr);
}

Document DepparsePlan::process(Document document, detail::PipelineCall* call) const {
  std::vector<Document> one;
  one.push_back(std::move(document));
  return std::move(process_bulk(std::move(one), call).front());
}

at::Tensor DepparsePlan::Impl::encode_sentence(const std::vector<DepparseWord>& words,
                                               const at::Tensor* forward_charlm,
                                               const at::Tensor* backward_charlm) const {
  return detail::highway_lstm_dense(encode_inputs(words, forward_charlm, backward_charlm),
                                    parser_layers);
}

} // namespace velmora
