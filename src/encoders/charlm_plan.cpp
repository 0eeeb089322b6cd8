#include <velmora/charlm.hpp>

#include <utility>

#include <c10/core/ScalarType.h>

#include <velmora/json.hpp>
#include <velmora/model_bundle.hpp>

#include "bundle/tensor_errors.hpp"
#include "encoders/model_call.hpp"
#include "encoders/native_charlm.hpp"

namespace velmora {

// The model is declared after the bundle so that it is released first.
struct CharLMPlan::Impl {
  std::shared_ptr<ModelBundle> bundle;
  std::unique_ptr<detail::NativeCharLM> model;
};

CharLMPlan::CharLMPlan(std::filesystem::path bundle_path, bool verify_checksums)
    : impl_(std::make_unique<Impl>()) {
  impl_->bundle = std::make_shared<ModelBundle>(std::move(bundle_path), verify_checksums);
  const std::string& processor = impl_->bundle->processor();
  if (processor != "forward_charlm" && processor != "backward_charlm") {
    throw CharLMModelError("expected a forward/backward_charlm bundle, got '" + processor + "'");
  }
  // The direction comes from the assets, not from the processor name. JSON
  // errors reach the caller unchanged.
  const detail::JsonValue assets = detail::parse_json(impl_->bundle->assets_json());
  impl_->model = detail::with_model_errors<CharLMModelError>(
      [&] { return std::make_unique<detail::NativeCharLM>(impl_->bundle, std::string(), assets); });
}

CharLMPlan::CharLMPlan(CharLMPlan&& other) noexcept = default;
CharLMPlan& CharLMPlan::operator=(CharLMPlan&& other) noexcept {
  if (this != &other) {
    impl_.reset();
    impl_ = std::move(other.impl_);
  }
  return *this;
}
CharLMPlan::~CharLMPlan() = default;

const ModelBundle& CharLMPlan::bundle() const {
  return *impl_->bundle;
}

bool CharLMPlan::is_forward() const {
  return impl_->model->is_forward();
}

std::int64_t CharLMPlan::hidden_size() const {
  return impl_->model->hidden_size();
}

std::vector<std::vector<float>> CharLMPlan::encode(const std::vector<std::string>& words) const {
  const at::Tensor vectors = detail::model_call<CharLMModelError>(
      [&] { return impl_->model->encode(words).to(at::kFloat).contiguous(); });
  const std::int64_t rows = vectors.size(0);
  const std::int64_t width = vectors.size(1);
  const float* data = vectors.const_data_ptr<float>();
  std::vector<std::vector<float>> result;
  result.reserve(static_cast<std::size_t>(rows));
  for (std::int64_t row = 0; row < rows; ++row) {
    result.emplace_back(data + row * width, data + (row + 1) * width);
  }
  return result;
}

} // namespace velmora
