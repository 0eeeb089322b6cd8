// Which stages of a chain can share work, decided once when it is built.

#include <velmora/depparse.hpp>
#include <velmora/pos.hpp>
#include <velmora/processors.hpp>

#include "depparse/depparse_impl.hpp"
#include "pipeline/pipeline_call.hpp"
#include "taggers/pos_impl.hpp"

namespace velmora::detail {

bool tagger_shares_backward_charlm(const std::vector<std::shared_ptr<Processor>>& processors) {
  const POSPlan* tagger = nullptr;
  for (const auto& processor : processors) {
    if (const auto* stage = dynamic_cast<const POSProcessor*>(processor.get())) {
      tagger = stage->plan();
      continue;
    }
    const auto* stage = dynamic_cast<const DepparseProcessor*>(processor.get());
    if (stage == nullptr) {
      continue;
    }
    const DepparsePlan* parser = stage->plan();
    if (tagger == nullptr || parser == nullptr) {
      return false;
    }
    const POSPlan::Impl& from = tagger->impl();
    const DepparsePlan::Impl& to = parser->impl();
    return from.use_charlm && to.use_charlm && from.charlm_backward && to.charlm_backward &&
           !from.charlm_backward->is_forward() &&
           from.charlm_backward->same_model(*to.charlm_backward);
  }
  return false;
}

} // namespace velmora::detail
