#include <velmora/document_storage.hpp>

#include <memory>
#include <stdexcept>

namespace velmora {
namespace {

// The word rows a mention attaches to: [first, end) of a regular mention, or
// the one empty word of a zero mention.
struct MentionRows {
  std::uint32_t first = 0;
  std::uint32_t end = 0;
  bool zero = false;
};

MentionRows regular_rows(const DocumentStorage& storage, std::uint32_t s,
                         const CorefMention& mention) {
  const std::uint32_t first_word = storage.sentence_word_offsets.at(s);
  const std::int64_t words =
      static_cast<std::int64_t>(storage.sentence_word_offsets.at(s + 1)) - first_word;
  const std::int64_t start = mention.start_word().word;
  const std::int64_t end = mention.end_word().word;
  if (start < 0 || start > end || end > words) {
    throw std::out_of_range("a coreference mention has an invalid word range");
  }
  return {first_word + static_cast<std::uint32_t>(start),
          first_word + static_cast<std::uint32_t>(end), false};
}

MentionRows zero_row(const DocumentStorage& storage, std::uint32_t s, const CorefMention& mention) {
  const CorefWordPosition start = mention.start_word();
  const CorefWordPosition end = mention.end_word();
  if (!start.empty_index || !end.empty_index || start.word != end.word ||
      *start.empty_index != *end.empty_index) {
    throw std::out_of_range("a zero coreference mention must name one empty word");
  }
  for (std::uint32_t row : storage.sentence_empty_words.at(s)) {
    if (storage.word_id.at(row) == start.word &&
        storage.word_empty_index.at(row) == *start.empty_index) {
      return {row, row + 1, true};
    }
  }
  throw std::out_of_range("a zero coreference mention has no matching empty word");
}

MentionRows mention_rows(const DocumentStorage& storage, const CorefMention& mention) {
  if (mention.sentence() < 0 ||
      static_cast<std::uint64_t>(mention.sentence()) >= storage.sentence_count()) {
    throw std::out_of_range("a coreference mention has an invalid sentence index");
  }
  const auto s = static_cast<std::uint32_t>(mention.sentence());
  if (mention.start_word().empty_index || mention.end_word().empty_index) {
    return zero_row(storage, s, mention);
  }
  return regular_rows(storage, s, mention);
}

} // namespace

void DocumentStorage::set_coref(const std::vector<CorefChain>& chains) {
  // Every mention is checked before anything changes: a refused call leaves
  // the earlier chains and attachments in place.
  std::vector<std::vector<MentionRows>> rows(chains.size());
  std::vector<std::shared_ptr<const CorefChain>> stored;
  stored.reserve(chains.size());
  for (std::size_t c = 0; c < chains.size(); ++c) {
    for (const CorefMention& mention : chains[c].mentions()) {
      rows[c].push_back(mention_rows(*this, mention));
    }
    stored.push_back(std::make_shared<const CorefChain>(chains[c]));
  }

  for (std::vector<CorefAttachment>& attachments : word_coref) {
    attachments.clear();
  }
  coref_chains = std::move(stored);
  for (std::size_t c = 0; c < chains.size(); ++c) {
    const std::shared_ptr<const CorefChain>& chain = coref_chains[c];
    const std::optional<int> representative = chain->representative_index();
    for (std::size_t i = 0; i < rows[c].size(); ++i) {
      const MentionRows& target = rows[c][i];
      if (target.zero) {
        word_coref.at(target.first).emplace_back(chain, true, true, false);
        continue;
      }
      const bool is_representative =
          representative && static_cast<std::size_t>(*representative) == i;
      for (std::uint32_t row = target.first; row < target.end; ++row) {
        word_coref.at(row).emplace_back(chain, row == target.first, row + 1 == target.end,
                                        is_representative);
      }
    }
  }
}

} // namespace velmora
