#include <utility>

#include <velmora/json.hpp>
#include <velmora/seq2seq.hpp>

#include "bundle/tensor_errors.hpp"
#include "encoders/model_call.hpp"
#include "wordform/seq2seq_impl.hpp"

namespace velmora {

Seq2SeqPlan::Seq2SeqPlan(std::filesystem::path bundle_path, bool verify_checksums) {
  try {
    impl_ = detail::with_model_errors<Seq2SeqModelError>(
        [&] { return std::make_unique<Impl>(std::move(bundle_path), verify_checksums); });
  } catch (const detail::JsonError& error) {
    throw Seq2SeqModelError(error.what());
  }
}

Seq2SeqPlan::~Seq2SeqPlan() = default;
Seq2SeqPlan::Seq2SeqPlan(Seq2SeqPlan&& other) noexcept = default;
Seq2SeqPlan& Seq2SeqPlan::operator=(Seq2SeqPlan&& other) noexcept = default;

const Seq2SeqPlan::Impl& Seq2SeqPlan::impl() const {
  if (!impl_) {
    throw Seq2SeqModelError("seq2seq plan has been moved from");
  }
  return *impl_;
}

const ModelBundle& Seq2SeqPlan::bundle() const {
  return *impl().bundle;
}

bool Seq2SeqPlan::uses_pos() const {
  return impl().pos;
}

std::int64_t Seq2SeqPlan::configured_beam_size() const {
  return impl().beam_size;
}

Seq2SeqPrediction Seq2SeqPlan::predict(const std::string& word,
                                       const std::optional<std::string>& pos,
                                       std::optional<long long> beam_size,
                                       bool suppress_unk) const {
  const Impl& plan = impl();
  return detail::model_call<Seq2SeqModelError>(
      [&] { return plan.predict(word, pos, beam_size, suppress_unk); });
}

std::vector<Seq2SeqPrediction>
Seq2SeqPlan::predict_many(const std::vector<std::string>& words,
                          const std::vector<std::optional<std::string>>& pos,
                          std::optional<long long> beam_size, bool suppress_unk) const {
  const Impl& plan = impl();
  return detail::model_call<Seq2SeqModelError>(
      [&] { return plan.predict_many(words, pos, beam_size, suppress_unk); });
}

} // namespace velmora
