// Which stages of a chain can share work, decided once when it is built.

#include <velmora/depparse.hpp>
#include <velmora/pos.hpp>
#include <velmora/processors.hpp>

#include "depparse/depparse_impl.hpp"
#include "pipeline/pipeline_call.hpp"
#include "taggers/pos_impl.hpp"

namespace velmora::detail {

std::optional<StageRange>
stages_sharing_backward_charlm(const std::vector<std::shared_ptr<Processor>>& processors) {
  const POSPlan* tagger = nullptr;
  std::size_t tagger_stage = 0;
  bool whole_call_between = false;
  for (std::size_t stage = 0; stage < processors.size(); ++stage) {
    const Processor* processor = processors[stage].get();
    if (const auto* tagging = dynamic_cast<const POSProcessor*>(processor)) {
      tagger = tagging->plan();
      tagger_stage = stage;
      continue;
    }
    if (dynamic_cast<const SentimentProcessor*>(processor) != nullptr ||
        dynamic_cast<const LangIDProcessor*>(processor) != nullptr) {
      whole_call_between = tagger != nullptr;
      continue;
    }
    const auto* parsing = dynamic_cast<const DepparseProcessor*>(processor);
    if (parsing == nullptr) {
      continue;
    }
    const DepparsePlan* parser = parsing->plan();
    if (tagger == nullptr || parser == nullptr || whole_call_between) {
      return std::nullopt;
    }
    const POSPlan::Impl& from = tagger->impl();
    const DepparsePlan::Impl& to = parser->impl();
    if (from.use_charlm && to.use_charlm && from.charlm_backward && to.charlm_backward &&
        !from.charlm_backward->is_forward() &&
        from.charlm_backward->same_model(*to.charlm_backward)) {
      return StageRange{tagger_stage, stage};
    }
    return std::nullopt;
  }
  return std::nullopt;
}

} // namespace velmora::detail
