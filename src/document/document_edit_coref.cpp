#include <velmora/document_storage.hpp>

#include <memory>
#include <stdexcept>

namespace velmora {
namespace {

void attach_regular(DocumentStorage& storage, const std::shared_ptr<const CorefChain>& chain,
                    std::uint32_t s, const CorefMention& mention, bool representative) {
  const std::uint32_t first_word = storage.sentence_word_offsets.at(s);
  const std::int64_t words =
      static_cast<std::int64_t>(storage.sentence_word_offsets.at(s + 1)) - first_word;
  const std::int64_t start = mention.start_word().word;
  const std::int64_t end = mention.end_word().word;
  if (start < 0 || start > end || end > words) {
    throw std::out_of_range("a coreference mention has an invalid word range");
  }
  for (std::int64_t p = start; p < end; ++p) {
    storage.word_coref.at(first_word + static_cast<std::uint64_t>(p))
        .emplace_back(chain, p == start, p + 1 == end, representative);
  }
}

void attach_zero(DocumentStorage& storage, const std::shared_ptr<const CorefChain>& chain,
                 std::uint32_t s, const CorefMention& mention) {
  const CorefWordPosition start = mention.start_word();
  const CorefWordPosition end = mention.end_word();
  if (!start.empty_index || !end.empty_index || start.word != end.word ||
      *start.empty_index != *end.empty_index) {
    throw std::out_of_range("a zero coreference mention must name one empty word");
  }
  for (std::uint32_t row : storage.sentence_empty_words.at(s)) {
    if (storage.word_id.at(row) == start.word &&
        storage.word_empty_index.at(row) == *start.empty_index) {
      storage.word_coref.at(row).emplace_back(chain, true, true, false);
      return;
    }
  }
  throw std::out_of_range("a zero coreference mention has no matching empty word");
}

} // namespace

void DocumentStorage::set_coref(const std::vector<CorefChain>& chains) {
  coref_chains.clear();
  for (std::vector<CorefAttachment>& attachments : word_coref) {
    attachments.clear();
  }
  coref_chains.reserve(chains.size());
  const std::uint64_t sentences = sentence_count();
  for (const CorefChain& input : chains) {
    auto chain = std::make_shared<const CorefChain>(input);
    coref_chains.push_back(chain);
    const std::vector<CorefMention>& mentions = chain->mentions();
    const std::optional<int> representative = chain->representative_index();
    for (std::size_t i = 0; i < mentions.size(); ++i) {
      const CorefMention& mention = mentions[i];
      if (mention.sentence() < 0 || static_cast<std::uint64_t>(mention.sentence()) >= sentences) {
        throw std::out_of_range("a coreference mention has an invalid sentence index");
      }
      const auto s = static_cast<std::uint32_t>(mention.sentence());
      if (mention.start_word().empty_index || mention.end_word().empty_index) {
        attach_zero(*this, chain, s, mention);
      } else {
        const bool is_representative =
            representative && static_cast<std::size_t>(*representative) == i;
        attach_regular(*this, chain, s, mention, is_representative);
      }
    }
  }
}

} // namespace velmora
