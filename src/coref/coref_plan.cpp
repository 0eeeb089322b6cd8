#include <velmora/coref_plan.hpp>

#include <stdexcept>

#include "bundle/tensor_errors.hpp"
#include "coref/coref_impl.hpp"
#include "encoders/model_call.hpp"

namespace velmora {

CorefPlan::CorefPlan(std::filesystem::path bundle_path, bool verify_checksums)
    : impl_(detail::with_model_errors<CorefModelError>(
          [&] { return std::make_unique<Impl>(std::move(bundle_path), verify_checksums); })) {}

CorefPlan::~CorefPlan() = default;
CorefPlan::CorefPlan(CorefPlan&& other) noexcept = default;
CorefPlan& CorefPlan::operator=(CorefPlan&& other) noexcept = default;

const ModelBundle& CorefPlan::bundle() const {
  return *impl_->bundle;
}

bool CorefPlan::predicts_singletons() const {
  return impl_->singletons;
}

bool CorefPlan::predicts_zero_anaphora() const {
  return impl_->use_zeros;
}

CorefPrediction CorefPlan::resolve(const std::vector<std::string>& words,
                                   const std::vector<std::size_t>& sentence_ids,
                                   const std::vector<std::string>& speakers) const {
  if (words.size() != sentence_ids.size()) {
    throw std::invalid_argument("coref words and sentence ids must have equal lengths");
  }
  std::vector<std::string> filled = speakers;
  if (filled.empty()) {
    filled.assign(words.size(), "_");
  }
  if (filled.size() != words.size()) {
    throw std::invalid_argument("coref words and speakers must have equal lengths");
  }
  for (const std::size_t sentence : sentence_ids) {
    if (sentence >= words.size()) {
      throw std::invalid_argument("coref sentence id is outside the document");
    }
  }
  return detail::model_call<CorefModelError>(
      [&] { return detail::coref_predict(*impl_, words, sentence_ids, filled); });
}

} // namespace velmora
