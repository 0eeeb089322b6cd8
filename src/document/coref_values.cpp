#include "velmora/coref.hpp"

#include <stdexcept>

namespace velmora {

CorefMention::CorefMention(int sentence, CorefWordPosition start_word, CorefWordPosition end_word)
    : sentence_(sentence), start_word_(start_word), end_word_(end_word) {
  if (sentence < 0) {
    throw std::invalid_argument("a coreference mention sentence index cannot be negative");
  }
}

CorefChain::CorefChain(int index, std::vector<CorefMention> mentions,
                       std::string representative_text, std::optional<int> representative_index)
    : index_(index), mentions_(std::move(mentions)),
      representative_text_(std::move(representative_text)),
      representative_index_(representative_index) {
  if (index < 0) {
    throw std::invalid_argument("a coreference chain index cannot be negative");
  }
  if (representative_index &&
      (*representative_index < 0 ||
       static_cast<std::size_t>(*representative_index) >= mentions_.size())) {
    throw std::invalid_argument("the representative coreference mention index is invalid");
  }
}

CorefAttachment::CorefAttachment(std::shared_ptr<const CorefChain> chain, bool is_start,
                                 bool is_end, bool is_representative)
    : chain_(std::move(chain)), is_start_(is_start), is_end_(is_end),
      is_representative_(is_representative) {}

} // namespace velmora
