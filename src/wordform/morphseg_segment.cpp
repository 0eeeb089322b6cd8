// Segmenting batches of words: normalising, grouping equal forms and equal
// lengths, running the network chunk by chunk, and rebuilding every word from
// its actions.

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>

#include <velmora/text.hpp>

#include "bundle/tensor_errors.hpp"
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

at::Tensor MorphSegPlan::Impl::predict_actions(std::vector<std::int64_t>& ids, std::int64_t n,
                                               std::int64_t length) const {
  // The load checked every shape; what the tensor library may still refuse
  // (memory for a huge batch) is the segmenter's error.
  return detail::with_model_errors<MorphSegModelError>([&] {
    const at::Tensor input =
        at::from_blob(ids.data(), {n, length}, at::TensorOptions().dtype(at::kLong));
    const at::Tensor x = at::embedding(embedding, input, /*padding_idx=*/0);
    const at::Tensor h0 = detail::expand_state(initial_hidden, n);
    const at::Tensor c0 = detail::expand_state(initial_cell, n);
    const at::Tensor y = detail::lstm_dense(x, h0, c0, lstm_weights, {num_layers, true});
    const at::Tensor reduced = at::gelu(at::linear(y, reduce_weight, reduce_bias));
    const at::Tensor logits = at::linear(reduced, classifier_weight, classifier_bias);
    return logits.argmax(-1).contiguous();
  });
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
    // The normaliser would turn ill-formed bytes into U+FFFD silently.
    const Utf8Text checked(words[i]);
    (void)checked;
    std::string normalised = detail::unicode_nfkc_casefold_nfc(words[i]);
    auto [entry, added] = by_form.try_emplace(std::move(normalised), forms.size());
    if (added) {
      Form& form = forms.emplace_back();
      form.characters = detail::split_codepoints(entry->first);
      groups[form.characters.size()].push_back(entry->second);
    }
    form_of[i] = entry->second;
    by_word.emplace(words[i], entry->second);
  }

  const c10::InferenceMode guard;
  const auto target_size = static_cast<std::int64_t>(actions.size());
  std::vector<std::int64_t> ids;
  for (const auto& [length, members] : groups) {
    if (length == 0) {
      // Nothing for the network to read: one empty morpheme.
      for (const std::size_t f : members) {
        forms[f].morphemes = {std::string()};
      }
      continue;
    }
    const auto batch = static_cast<std::size_t>(batch_size);
    for (std::size_t first = 0; first < members.size(); first += batch) {
      const std::size_t n = std::min(batch, members.size() - first);
      ids.clear();
      ids.reserve(n * length);
      for (std::size_t row = 0; row < n; ++row) {
        for (const std::string& character : forms[members[first + row]].characters) {
          const auto found = source_index.find(character);
          ids.push_back(found == source_index.end() ? 1 : found->second);
        }
      }
      const at::Tensor predicted =
          predict_actions(ids, static_cast<std::int64_t>(n), static_cast<std::int64_t>(length));
      const std::int64_t* chosen = predicted.data_ptr<std::int64_t>();
      for (std::size_t row = 0; row < n; ++row) {
        Form& form = forms[members[first + row]];
        std::string rebuilt;
        for (std::size_t p = 0; p < length; ++p) {
          const std::int64_t id = chosen[row * length + p];
          if (id < 1 || id >= target_size) {
            throw MorphSegModelError(
                "MorphSeg classifier predicted a padding or out-of-range action");
          }
          detail::apply_morphseg_action(actions[static_cast<std::size_t>(id)], form.characters[p],
                                        rebuilt);
        }
        form.morphemes = detail::split_morphemes(rebuilt);
      }
    }
  }

  std::vector<std::vector<std::string>> result;
  result.reserve(words.size());
  for (const std::size_t f : form_of) {
    result.push_back(forms[f].morphemes);
  }
  return result;
}

} // namespace velmora
