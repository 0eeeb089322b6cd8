#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

// Without `empty_index`: a 0-based position among the regular words of the
// mention's sentence. With it: the empty word whose id is word.empty_index.
struct CorefWordPosition {
  int word = 0;
  std::optional<int> empty_index;
};

class CorefMention {
public:
  // `end_word` is one past the last word for a regular mention, and the same
  // empty word as `start_word` for a zero mention.
  CorefMention(int sentence, CorefWordPosition start_word, CorefWordPosition end_word);

  int sentence() const noexcept { return sentence_; }
  CorefWordPosition start_word() const { return start_word_; }
  CorefWordPosition end_word() const { return end_word_; }

private:
  int sentence_;
  CorefWordPosition start_word_;
  CorefWordPosition end_word_;
};

class CorefChain {
public:
  CorefChain(int index, std::vector<CorefMention> mentions, std::string representative_text,
             std::optional<int> representative_index);

  int index() const noexcept { return index_; }
  const std::vector<CorefMention>& mentions() const noexcept { return mentions_; }
  const std::string& representative_text() const noexcept { return representative_text_; }
  std::optional<int> representative_index() const noexcept { return representative_index_; }

private:
  int index_;
  std::vector<CorefMention> mentions_;
  std::string representative_text_;
  std::optional<int> representative_index_;
};

// One chain a word belongs to, and the word's place in that chain's mention.
class CorefAttachment {
public:
  CorefAttachment(std::shared_ptr<const CorefChain> chain, bool is_start, bool is_end,
                  bool is_representative);

  const std::shared_ptr<const CorefChain>& chain() const noexcept { return chain_; }
  bool is_start() const noexcept { return is_start_; }
  bool is_end() const noexcept { return is_end_; }
  bool is_representative() const noexcept { return is_representative_; }

private:
  std::shared_ptr<const CorefChain> chain_;
  bool is_start_;
  bool is_end_;
  bool is_representative_;
};

} // namespace velmora
