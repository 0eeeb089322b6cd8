// Segmenting batches of words: normalising, grouping equal forms and equal
// lengths, running the network batch by batch (and a long word's BiLSTM in
// chunks of its characters), and rebuilding every word from its actions.

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <ATen/ATen.h>

#include <velmora/text.hpp>

#include "bundle/memory_budget.hpp"
#include "encoders/calling_thread.hpp"
#include "encoders/lstm.hpp"
#include "wordform/morphseg_impl.hpp"

namespace velmora::detail {

MorphSegAction parse_morphseg_action(std::string_view text) {
  MorphSegAction action;
  if (text == "DELETE") {
    action.drop = true;
    return action;
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t plus = text.find('+', start);
    const std::string_view piece = text.substr(start, plus - start);
    MorphSegAction::Piece& entry = action.pieces.emplace_back();
    entry.copy = piece == "COPY";
    if (!entry.copy) {
      entry.text = piece;
    }
    if (plus == std::string_view::npos) {
      return action;
    }
    start = plus + 1;
  }
}

void apply_morphseg_action(const MorphSegAction& action, std::string_view character,
                           std::string& out) {
  if (action.drop) {
    return;
  }
  for (const MorphSegAction::Piece& piece : action.pieces) {
    out += piece.copy ? character : std::string_view(piece.text);
  }
}

std::vector<std::string> split_morphemes(std::string_view rebuilt) {
  static constexpr std::string_view kBoundary = " @@";
  std::vector<std::string> morphemes;
  std::size_t start = 0;
  while (true) {
    const std::size_t found = rebuilt.find(kBoundary, start);
    morphemes.emplace_back(rebuilt.substr(start, found - start));
    if (found == std::string_view::npos) {
      return morphemes;
    }
    start = found + kBoundary.size();
  }
}

} // namespace velmora::detail

namespace velmora {
namespace {

// Characters (words times length) of one network call beyond which its
// BiLSTM runs in chunks: the whole call's activations take about 15 KB per
// character at the sizes of a converted model.
constexpr std::int64_t kCharacterBudget = 8192;

} // namespace

void MorphSegPlan::Impl::action_scores(std::int64_t n, std::int64_t length, std::int64_t chunk,
                                       const IdSource& ids, const ScoreVisitor& visit) const {
  const at::Tensor h0 = detail::expand_state(initial_hidden, n);
  const at::Tensor c0 = detail::expand_state(initial_cell, n);
  const auto classify = [&](std::int64_t start, const at::Tensor& encoded) {
    const at::Tensor reduced = at::gelu(at::linear(encoded, reduce_weight, reduce_bias));
    visit(start, at::linear(reduced, classifier_weight, classifier_bias));
  };
  const auto embedded = [&](std::int64_t start, std::int64_t count) {
    return at::embedding(embedding, ids(start, count), /*padding_idx=*/0);
  };
  if (chunk >= length) {
    classify(0, detail::lstm_dense(embedded(0, length), h0, c0, lstm_weights, {num_layers, true},
                                   "segmenter LSTM"));
  } else {
    detail::lstm_chunked(length, chunk, embedded, h0, c0, lstm_weights, num_layers, classify,
                         "segmenter LSTM");
  }
}

std::vector<std::vector<std::string>>
MorphSegPlan::Impl::segment_batch(const std::vector<std::string>& words) const {
  // Equal raw words share one normalisation, and equal normalised forms one
  // network row: the network sees only the form, so their answers agree.
  struct Form {
    std::vector<std::string> characters;
    std::vector<std::string> morphemes;
  };
  std::vector<Form> forms;
  std::unordered_map<std::string_view, std::size_t> by_word;
  std::unordered_map<std::string, std::size_t> by_form;
  std::vector<std::size_t> form_of(words.size());
  // Distinct forms by length; a map keeps the lengths ascending.
  std::map<std::size_t, std::vector<std::size_t>> groups;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const auto known = by_word.find(words[i]);
    if (known != by_word.end()) {
      form_of[i] = known->second;
      continue;
    }
    // Checked before the word is validated and normalised, passes that copy
    // it several times over, and again after: NFKC can lengthen it.
    require_word_memory(words[i]);
    // The normaliser would turn ill-formed bytes into U+FFFD silently.
    const Utf8Text checked(words[i]);
    (void)checked;
    std::string normalised = detail::unicode_nfkc_casefold_nfc(words[i]);
    auto [entry, added] = by_form.try_emplace(std::move(normalised), forms.size());
    if (added) {
      require_word_memory(entry->first);
      Form& form = forms.emplace_back();
      form.characters = detail::split_codepoints(entry->first);
      groups[form.characters.size()].push_back(entry->second);
    }
    form_of[i] = entry->second;
    by_word.emplace(words[i], entry->second);
  }

  // Batches of equal-length forms are the units of the team; each runs its
  // network on one thread and writes only its own forms.
  struct Batch {
    std::size_t length;
    const std::vector<std::size_t>* members;
    std::size_t first;
    std::size_t count;
  };
  std::vector<Batch> batches;
  const auto batch_limit = static_cast<std::size_t>(batch_size);
  for (const auto& [length, members] : groups) {
    if (length == 0) {
      // Nothing for the network to read: one empty morpheme.
      for (const std::size_t f : members) {
        forms[f].morphemes = {std::string()};
      }
      continue;
    }
    for (std::size_t first = 0; first < members.size(); first += batch_limit) {
      batches.push_back({length, &members, first, std::min(batch_limit, members.size() - first)});
    }
  }
  const auto target_size = static_cast<std::int64_t>(actions.size());
  detail::for_each_unit(batches.size(), [&](std::size_t unit) {
    const Batch& batch = batches[unit];
    const std::size_t n = batch.count;
    const auto form_at = [&](std::size_t row) -> Form& {
      return forms[(*batch.members)[batch.first + row]];
    };
    const auto rows = static_cast<std::int64_t>(n);
    const auto steps = static_cast<std::int64_t>(batch.length);
    // Past the budget the BiLSTM runs in chunks of the budget's characters.
    const std::int64_t chunk = rows * steps > kCharacterBudget
                                   ? std::max<std::int64_t>(1, kCharacterBudget / rows)
                                   : steps;
    std::vector<std::int64_t> ids;
    const auto character_ids = [&](std::int64_t start, std::int64_t count) {
      ids.clear();
      for (std::size_t row = 0; row < n; ++row) {
        const std::vector<std::string>& characters = form_at(row).characters;
        for (std::int64_t p = start; p < start + count; ++p) {
          const auto found = source_index.find(characters[static_cast<std::size_t>(p)]);
          ids.push_back(found == source_index.end() ? 1 : found->second);
        }
      }
      return at::from_blob(ids.data(), {rows, count}, at::TensorOptions().dtype(at::kLong));
    };
    // Each word is rebuilt as its actions arrive, chunk by chunk.
    std::vector<std::string> rebuilt(n);
    action_scores(
        rows, steps, chunk, character_ids, [&](std::int64_t start, const at::Tensor& scores) {
          const at::Tensor chosen = scores.argmax(-1).contiguous();
          const std::int64_t* action = chosen.const_data_ptr<std::int64_t>();
          const std::int64_t count = chosen.size(1);
          for (std::size_t row = 0; row < n; ++row) {
            const std::vector<std::string>& characters = form_at(row).characters;
            for (std::int64_t p = 0; p < count; ++p) {
              const std::int64_t id = *action++;
              if (id < 1 || id >= target_size) {
                throw MorphSegModelError(
                    "MorphSeg classifier predicted a padding or out-of-range action");
              }
              detail::apply_morphseg_action(actions[static_cast<std::size_t>(id)],
                                            characters[static_cast<std::size_t>(start + p)],
                                            rebuilt[row]);
            }
          }
        });
    for (std::size_t row = 0; row < n; ++row) {
      form_at(row).morphemes = detail::split_morphemes(rebuilt[row]);
      rebuilt[row] = std::string();
    }
  });

  std::vector<std::vector<std::string>> result;
  result.reserve(words.size());
  for (const std::size_t f : form_of) {
    result.push_back(forms[f].morphemes);
  }
  return result;
}

void MorphSegPlan::Impl::require_word_memory(std::string_view form) const {
  // At least: an entry of the character list per character, and four
  // copies of the text (the normalised form, the rebuilt word, its
  // morphemes and the copy handed back). The network's share is bounded by
  // the character budget. Of a word not yet normalised, that is also more
  // than validating and normalising it take (an offset per character, and
  // three UTF-16 copies).
  std::int64_t characters = 0;
  detail::walk_utf8(form.data(), form.size(),
                    [&](std::uint32_t, std::size_t, std::size_t) { ++characters; });
  const double bytes = static_cast<double>(characters) * sizeof(std::string) +
                       4.0 * static_cast<double>(form.size());
  detail::require_memory<MorphSegModelError>(
      bytes, "MorphSeg word of " + std::to_string(characters) + " characters", "working memory");
}

} // namespace velmora
