// Coreference onto a document: the words go through resolve(), the
// prediction becomes empty words and chains, and only when all of it has been
// planned is the document changed.

#include <algorithm>
#include <exception>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "coref/coref_impl.hpp"
#include "encoders/bulk_slices.hpp"
#include "encoders/model_call.hpp"

namespace velmora {
namespace detail {
namespace {

// The empty words a sentence holds while an edit is planned: those of the
// document's input (the ones an earlier run generated are dropped first) and
// those planned so far.
class PlannedEmptyWords {
public:
  explicit PlannedEmptyWords(const DocumentStorage& storage) : storage_(storage) {}

  // The empty index of a new empty word with `id` in `sentence`: one past the
  // number of empty words with this id, or the next index after it that none
  // of them holds yet. Empty words are numbered after their own word (n.1,
  // n.2, ...), so counting the whole sentence would leave gaps.
  std::int32_t take(std::uint32_t sentence, std::int32_t id) {
    std::vector<std::pair<std::int32_t, std::int32_t>>& held = held_words(sentence);
    const auto same_id = std::count_if(held.begin(), held.end(),
                                       [id](const auto& word) { return word.first == id; });
    auto index = static_cast<std::int32_t>(same_id) + 1;
    while (std::find(held.begin(), held.end(), std::make_pair(id, index)) != held.end()) {
      ++index;
    }
    held.emplace_back(id, index);
    return index;
  }

private:
  std::vector<std::pair<std::int32_t, std::int32_t>>& held_words(std::uint32_t sentence) {
    auto [found, fresh] = held_.try_emplace(sentence);
    if (fresh) {
      for (const std::uint32_t row : storage_.sentence_empty_words[sentence]) {
        if (row < storage_.built_word_count) {
          found->second.emplace_back(storage_.word_id[row], storage_.word_empty_index[row]);
        }
      }
    }
    return found->second;
  }

  const DocumentStorage& storage_;
  std::unordered_map<std::uint32_t, std::vector<std::pair<std::int32_t, std::int32_t>>> held_;
};

[[noreturn]] void throw_crossed() {
  throw CorefModelError("coref span crossed a sentence boundary");
}

struct Mention {
  std::size_t start;
  std::size_t end;
  std::optional<std::size_t> head;
};

} // namespace

CorefDocumentEdit coref_document_edit(const DocumentStorage& storage,
                                      const CorefPrediction& prediction) {
  const std::uint64_t n = storage.regular_word_count;
  PlannedEmptyWords empties(storage);
  CorefDocumentEdit edit;
  edit.chains.reserve(prediction.span_clusters.size());
  for (std::size_t c = 0; c < prediction.span_clusters.size(); ++c) {
    const std::vector<std::pair<std::size_t, std::size_t>>& spans = prediction.span_clusters[c];
    const std::vector<std::size_t> no_words;
    const std::vector<std::size_t>& heads =
        c < prediction.word_clusters.size() ? prediction.word_clusters[c] : no_words;
    // Each span keeps its own head through the sort, so a zero head marks
    // the mention grown around it.
    std::vector<Mention> ordered;
    ordered.reserve(spans.size());
    for (std::size_t i = 0; i < spans.size(); ++i) {
      ordered.push_back({spans[i].first, spans[i].second,
                         i < heads.size() ? std::optional<std::size_t>(heads[i]) : std::nullopt});
    }
    std::sort(ordered.begin(), ordered.end(), [](const Mention& a, const Mention& b) {
      return std::tie(a.start, a.end, a.head) < std::tie(b.start, b.end, b.head);
    });
    std::unordered_set<std::size_t> zeros;
    if (c < prediction.zero_words.size()) {
      zeros.insert(prediction.zero_words[c].begin(), prediction.zero_words[c].end());
    }

    std::vector<CorefMention> mentions;
    std::optional<int> best;
    std::size_t best_length = 0;
    std::int64_t best_propn = -1;
    for (const Mention& mention : ordered) {
      if (mention.end <= mention.start || mention.end > n ||
          storage.word_sentence[mention.start] != storage.word_sentence[mention.end - 1]) {
        throw_crossed();
      }
      const std::uint32_t sentence = storage.word_sentence[mention.start];
      const std::uint32_t first = storage.sentence_word_offsets[sentence];
      if (mention.head && zeros.count(*mention.head) != 0) {
        // The empty word goes right before its word: its id is the number of
        // regular words before that word in the sentence.
        if (*mention.head >= n || storage.word_sentence[*mention.head] != sentence) {
          throw_crossed();
        }
        const auto id = static_cast<std::int32_t>(*mention.head - first);
        const std::int32_t index = empties.take(sentence, id);
        WordInput word;
        word.id = id;
        word.empty_index = index;
        word.text = "_";
        word.lemma = "_";
        edit.empty_words.emplace_back(sentence, std::move(word));
        mentions.emplace_back(static_cast<int>(sentence), CorefWordPosition{id, index},
                              CorefWordPosition{id, index});
        continue;
      }
      mentions.emplace_back(static_cast<int>(sentence),
                            CorefWordPosition{static_cast<int>(mention.start - first), {}},
                            CorefWordPosition{static_cast<int>(mention.end - first), {}});
      const std::size_t length = mention.end - mention.start;
      std::int64_t proper = 0;
      for (std::size_t w = mention.start; w < mention.end; ++w) {
        const std::uint32_t upos = storage.word_upos[w];
        proper += upos != kAbsentString && storage.pool.get(upos) == "PROPN" ? 1 : 0;
      }
      if (length > best_length || (length == best_length && proper > best_propn)) {
        best_length = length;
        best_propn = proper;
        best = static_cast<int>(mentions.size() - 1);
      }
    }

    std::string representative = "_";
    if (best) {
      const CorefMention& chosen = mentions[static_cast<std::size_t>(*best)];
      const std::uint32_t first =
          storage.sentence_word_offsets[static_cast<std::uint32_t>(chosen.sentence())];
      representative.clear();
      for (auto w = first + static_cast<std::uint32_t>(chosen.start_word().word);
           w < first + static_cast<std::uint32_t>(chosen.end_word().word); ++w) {
        if (!representative.empty()) {
          representative += ' ';
        }
        representative += storage.pool.get(storage.word_text[w]);
      }
    }
    edit.chains.emplace_back(static_cast<int>(c), std::move(mentions), std::move(representative),
                             best);
  }
  return edit;
}

void apply_coref_document_edit(DocumentStorage& storage, CorefDocumentEdit edit) {
  storage.reset_generated_empty_words();
  std::vector<std::uint32_t> changed;
  for (auto& [sentence, word] : edit.empty_words) {
    storage.add_empty_word(sentence, std::move(word));
    changed.push_back(sentence);
  }
  // New empty words come in chain order, but CoNLL-U and the dictionary form
  // place a sentence's empty words in the order it lists them: one listed
  // after an empty word with a larger id would be written after the wrong
  // word.
  std::sort(changed.begin(), changed.end());
  changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
  for (const std::uint32_t sentence : changed) {
    std::vector<std::uint32_t>& rows = storage.sentence_empty_words[sentence];
    std::stable_sort(rows.begin(), rows.end(), [&](std::uint32_t a, std::uint32_t b) {
      return std::make_pair(storage.word_id[a], storage.word_empty_index[a]) <
             std::make_pair(storage.word_id[b], storage.word_empty_index[b]);
    });
  }
  storage.set_coref(edit.chains);
}

} // namespace detail

namespace {

// The model's view of a document: its regular words, each with its
// sentence's rank among the sentences that have regular words (the model
// only compares the ids) and its sentence's speaker.
struct CorefInputs {
  std::vector<std::string> texts;
  std::vector<std::size_t> ranks;
  std::vector<std::string> speakers;
};

CorefInputs coref_inputs(const DocumentStorage& storage) {
  CorefInputs inputs;
  inputs.texts.reserve(storage.regular_word_count);
  inputs.ranks.reserve(storage.regular_word_count);
  inputs.speakers.reserve(storage.regular_word_count);
  std::size_t rank = 0;
  for (std::uint64_t s = 0; s < storage.sentence_count(); ++s) {
    const std::uint32_t first = storage.sentence_word_offsets[s];
    const std::uint32_t end = storage.sentence_word_offsets[s + 1];
    if (first == end) {
      continue;
    }
    const std::string speaker =
        storage.pool.optional(storage.sentence_speaker[s]).value_or(std::string("_"));
    for (std::uint32_t w = first; w < end; ++w) {
      inputs.texts.push_back(storage.pool.get(storage.word_text[w]));
      inputs.ranks.push_back(rank);
      inputs.speakers.push_back(speaker);
    }
    ++rank;
  }
  return inputs;
}

} // namespace

Document CorefPlan::process(Document document) const {
  DocumentStorage& storage = *document.storage();
  const CorefInputs inputs = coref_inputs(storage);
  const CorefPrediction prediction = resolve(inputs.texts, inputs.ranks, inputs.speakers);
  detail::apply_coref_document_edit(storage, detail::coref_document_edit(storage, prediction));
  return document;
}

std::vector<Document> CorefPlan::process_bulk(std::vector<Document> documents) const {
  const detail::BulkCallScope bulk_call;
  // Documents that share a storage see each other's edits: those go one
  // after the other.
  std::unordered_set<const DocumentStorage*> storages;
  for (const Document& document : documents) {
    if (!storages.insert(document.storage().get()).second) {
      for (Document& each : documents) {
        each = process(std::move(each));
      }
      return documents;
    }
  }
  std::vector<std::size_t> counts;
  counts.reserve(documents.size());
  for (const Document& document : documents) {
    counts.push_back(document.words().size());
  }
  // A slice of documents at a time, each document resolved as one unit of
  // the team; the edits then go in in order, up to the first document that
  // failed, as if the documents had been processed one after another.
  struct Outcome {
    std::optional<CorefPrediction> prediction;
    std::exception_ptr error;
  };
  for (const detail::BatchRange& slice : detail::plan_bulk_slices(counts)) {
    std::vector<Outcome> outcomes(slice.end - slice.begin);
    detail::model_call<CorefModelError>([&] {
      detail::for_each_unit(outcomes.size(), [&](std::size_t unit) {
        try {
          const CorefInputs inputs = coref_inputs(*documents[slice.begin + unit].storage());
          outcomes[unit].prediction = resolve(inputs.texts, inputs.ranks, inputs.speakers);
        } catch (...) {
          outcomes[unit].error = std::current_exception();
        }
      });
    });
    for (std::size_t unit = 0; unit < outcomes.size(); ++unit) {
      if (outcomes[unit].error) {
        std::rethrow_exception(outcomes[unit].error);
      }
      DocumentStorage& storage = *documents[slice.begin + unit].storage();
      detail::apply_coref_document_edit(
          storage, detail::coref_document_edit(storage, *outcomes[unit].prediction));
    }
  }
  return documents;
}

} // namespace velmora
