#include "taggers/word_inputs.hpp"

#include <algorithm>
#include <unordered_set>

#include <ATen/TensorOperators.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/mul.h>
#include <ATen/ops/sigmoid.h>

#include <velmora/text.hpp>

#include "encoders/calling_thread.hpp"
#include "encoders/lstm.hpp"
#include "taggers/sentence_batches.hpp"

namespace velmora::detail {
namespace {

struct PunctuationMarks {
  std::unordered_set<std::string> question{"?", "\uFF1F", "\uFE16", "\uFE56", "\u2047"};
  std::unordered_set<std::string> exclamation{"!", "\uFF01", "\uFE15", "\uFE57", "\u203C"};
};

const PunctuationMarks& punctuation_marks() {
  static const PunctuationMarks marks;
  return marks;
}

// The bytes of an id sequence, as a hashable key.
std::string_view sequence_key(const std::vector<std::int64_t>& ids) {
  return {reinterpret_cast<const char*>(ids.data()), ids.size() * sizeof(std::int64_t)};
}

} // namespace

std::int64_t unit_id(const UnitMap& vocabulary, const std::string& key) {
  const auto found = vocabulary.find(key);
  return found == vocabulary.end() ? kUnknownId : found->second;
}

std::string no_break_spaces(const std::string& text) {
  std::string key;
  key.reserve(text.size());
  for (const char byte : text) {
    if (byte == ' ') {
      key += "\u00A0";
    } else {
      key += byte;
    }
  }
  return key;
}

std::string pretrain_key(const std::string& word) {
  return no_break_spaces(unicode_lower(word));
}

std::string normalize_word(std::string_view word, bool lower) {
  return no_break_spaces(lower ? unicode_lower(word) : std::string(word));
}

std::string normalize_punctuation(const std::string& word) {
  const std::vector<std::string> codepoints = split_codepoints(word);
  if (codepoints.size() < 2) {
    return word;
  }
  const PunctuationMarks& marks = punctuation_marks();
  const bool question = marks.question.count(codepoints.front()) != 0;
  if (!question && marks.exclamation.count(codepoints.front()) == 0) {
    return word;
  }
  for (std::size_t i = 1; i < codepoints.size(); ++i) {
    if (marks.question.count(codepoints[i]) == 0 && marks.exclamation.count(codepoints[i]) == 0) {
      return word;
    }
  }
  return question ? "?" : "!";
}

std::vector<std::int64_t> character_ids(const UnitMap& vocabulary, const std::string& word) {
  const std::vector<std::string> characters = split_codepoints(word);
  std::vector<std::int64_t> ids;
  ids.reserve(characters.size());
  for (const std::string& character : characters) {
    ids.push_back(unit_id(vocabulary, character));
  }
  return ids;
}

at::Tensor id_tensor(const std::vector<std::int64_t>& ids) {
  return at::from_blob(const_cast<std::int64_t*>(ids.data()),
                       {static_cast<std::int64_t>(ids.size())}, at::kLong)
      .clone();
}

at::Tensor id_view(std::vector<std::int64_t>& ids) {
  return at::from_blob(ids.data(), {static_cast<std::int64_t>(ids.size())}, at::kLong);
}

at::Tensor run_distinct_sequences(const std::vector<std::vector<std::int64_t>>& sequences,
                                  const SequenceBatchRun& run) {
  // Sentences repeat many words (and every root): each distinct sequence
  // runs once.
  std::unordered_map<std::string_view, std::size_t> distinct_index;
  std::vector<const std::vector<std::int64_t>*> distinct;
  std::vector<std::int64_t> distinct_of;
  distinct_of.reserve(sequences.size());
  for (const std::vector<std::int64_t>& ids : sequences) {
    const auto [entry, inserted] = distinct_index.emplace(sequence_key(ids), distinct.size());
    if (inserted) {
      distinct.push_back(&ids);
    }
    distinct_of.push_back(static_cast<std::int64_t>(entry->second));
  }

  // Longest first, as packing needs.
  std::vector<std::int64_t> lengths;
  lengths.reserve(distinct.size());
  for (const auto* ids : distinct) {
    lengths.push_back(static_cast<std::int64_t>(ids->size()));
  }
  const std::vector<std::size_t> order = longest_first(lengths);
  std::vector<std::int64_t> sorted_lengths;
  std::vector<std::int64_t> sorted_position(distinct.size());
  sorted_lengths.reserve(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    sorted_lengths.push_back(lengths[order[i]]);
    sorted_position[order[i]] = static_cast<std::int64_t>(i);
  }

  // Bounds the padded id matrix and embeddings of one run.
  constexpr std::int64_t kMaxWords = 1024;
  constexpr std::int64_t kMaxPadded = 16384;
  const std::vector<BatchRange> batches =
      plan_length_batches(sorted_lengths, kMaxWords, kMaxPadded);
  std::vector<at::Tensor> vectors(batches.size());
  // Each batch is one unit of the team.
  for_each_unit(batches.size(), [&](std::size_t unit) {
    const BatchRange& range = batches[unit];
    const auto count = static_cast<std::int64_t>(range.end - range.begin);
    const std::int64_t longest = sorted_lengths[range.begin];
    std::vector<std::int64_t> matrix(static_cast<std::size_t>(count * longest), 0);
    for (std::int64_t j = 0; j < count; ++j) {
      const auto& ids = *distinct[order[range.begin + static_cast<std::size_t>(j)]];
      std::copy(ids.begin(), ids.end(), matrix.begin() + j * longest);
    }
    const std::vector<std::int64_t> batch_lengths(
        sorted_lengths.begin() + static_cast<std::ptrdiff_t>(range.begin),
        sorted_lengths.begin() + static_cast<std::ptrdiff_t>(range.end));
    vectors[unit] = run(at::from_blob(matrix.data(), {count, longest}, at::kLong), batch_lengths);
  });
  std::vector<std::int64_t> rows;
  rows.reserve(distinct_of.size());
  for (const std::int64_t index : distinct_of) {
    rows.push_back(sorted_position[static_cast<std::size_t>(index)]);
  }
  const at::Tensor sorted = vectors.size() == 1 ? vectors.front() : at::cat(vectors, 0);
  return sorted.index_select(0, id_view(rows));
}

at::Tensor encode_character_ids(const CharacterModel& model,
                                const std::vector<std::vector<std::int64_t>>& sequences) {
  if (sequences.empty()) {
    return at::empty({0, model.lstm[1].size(1)}, model.embedding.options());
  }
  return run_distinct_sequences(sequences, [&model](const at::Tensor& ids,
                                                    const std::vector<std::int64_t>& lengths) {
    const std::int64_t count = ids.size(0);
    const std::int64_t longest = ids.size(1);
    std::vector<float> real(static_cast<std::size_t>(count * longest), 0.0F);
    for (std::int64_t j = 0; j < count; ++j) {
      std::fill_n(real.begin() + j * longest, lengths[static_cast<std::size_t>(j)], 1.0F);
    }
    // A dense run, far faster than a packed one, gives every real step what a
    // packed run gives it, since padding only follows real steps; the padding
    // steps' outputs are then zeroed, as a packed run leaves them.
    at::Tensor output =
        lstm_dense(at::embedding(model.embedding, ids), expand_state(model.initial_state[0], count),
                   expand_state(model.initial_state[1], count), model.lstm, LstmShape{1, false},
                   "character LSTM");
    output = output *
             at::from_blob(real.data(), {count, longest, 1}, at::kFloat).to(output.scalar_type());
    // One independent gate per character; zero outputs add nothing.
    const at::Tensor gates = at::sigmoid(at::linear(output, model.attention));
    return at::mul(output, gates).sum(1);
  });
}

} // namespace velmora::detail
