#include <algorithm>
#include <cstdint>
#include <deque>
#include <numeric>
#include <utility>

#include <ATen/ATen.h>

#include "bundle/tensor_errors.hpp"
#include "encoders/bulk_slices.hpp"
#include "encoders/lstm.hpp"
#include "encoders/model_call.hpp"
#include "tokenize/network.hpp"

namespace velmora {

std::vector<TokenizerLabels>
TokenizerPlan::Impl::predict_batch(const std::vector<const Paragraph*>& paragraphs) const {
  const std::size_t batch = paragraphs.size();
  // Packing wants the rows longest first; a stable sort keeps equal lengths
  // in queue order.
  std::vector<std::size_t> order(batch);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return paragraphs[a]->size() > paragraphs[b]->size();
  });
  const std::size_t longest = paragraphs[order.front()]->size();
  const auto width = static_cast<std::size_t>(feat_dim);

  std::vector<std::int64_t> ids(batch * longest, pad_id);
  std::vector<float> features(batch * longest * width, 0.0F);
  std::vector<std::int64_t> lengths(batch);
  for (std::size_t row = 0; row < batch; ++row) {
    const Paragraph& paragraph = *paragraphs[order[row]];
    lengths[row] = static_cast<std::int64_t>(paragraph.size());
    const std::vector<std::int64_t> row_ids = unit_ids(paragraph);
    std::copy(row_ids.begin(), row_ids.end(), ids.begin() + row * longest);
    const std::vector<float> row_features = compute_features(paragraph);
    std::copy(row_features.begin(), row_features.end(), features.begin() + row * longest * width);
  }

  const auto rows = static_cast<std::int64_t>(batch);
  const auto columns = static_cast<std::int64_t>(longest);
  const at::Tensor id_view = at::from_blob(ids.data(), {rows, columns}, at::kLong);
  const at::Tensor feature_view =
      width == 0 ? at::empty({rows, columns, 0}, at::kFloat)
                 : at::from_blob(features.data(), {rows, columns, feat_dim}, at::kFloat);
  const at::Tensor h0 = detail::expand_state(initial_state[0], rows);
  const at::Tensor c0 = detail::expand_state(initial_state[1], rows);
  const detail::LstmShape shape{1, true};
  const detail::TokenizerLstm run_lstm = [&](const at::Tensor& input,
                                             const std::vector<at::Tensor>& weights) {
    return detail::lstm_packed(input, lengths, h0, c0, weights, shape, columns, "tokenizer LSTM")
        .output;
  };
  const at::Tensor predicted = detail::with_model_errors<TokenizerModelError>([&] {
    return detail::tokenizer_labels(*this, detail::tokenizer_inputs(*this, id_view, feature_view),
                                    run_lstm);
  });
  const std::int64_t* all_labels = predicted.data_ptr<std::int64_t>();

  std::vector<TokenizerLabels> labels(batch);
  for (std::size_t row = 0; row < batch; ++row) {
    const std::int64_t* first = all_labels + row * longest;
    TokenizerLabels& slot = labels[order[row]];
    slot.assign(first, first + lengths[row]);
    detail::apply_last_label_rule(slot);
    detail::merge_url_and_email_tokens(*paragraphs[order[row]], slot);
  }
  return labels;
}

namespace {

// Characters of text a slice of a bulk call holds: a word of running text
// takes about six with its space.
constexpr std::size_t kCharactersPerWord = 6;

} // namespace

std::vector<Document> TokenizerPlan::process_bulk(const std::vector<Document>& documents) const {
  const detail::BulkCallScope bulk_call;
  return detail::model_call<TokenizerModelError>([&] {
    using Paragraph = Impl::Paragraph;
    // A document from the split of its text until it is decoded.
    struct Pending {
      std::vector<Paragraph> paragraphs;
      std::vector<TokenizerLabels> labels;
      std::size_t unlabelled = 0;
    };
    // Batches of paragraphs in reading order, each one unit of the team; a
    // paragraph longer than one window runs alone, in windows. The batches
    // do not depend on where the slices end: only closed batches run at the
    // end of a slice, and the open one takes the next document's paragraphs.
    struct Unit {
      std::vector<const Paragraph*> paragraphs;
      std::vector<TokenizerLabels*> slots;
      std::vector<std::size_t*> documents;
      bool windowed = false;
    };
    const auto batch_size = static_cast<std::size_t>(impl_->batch_size);
    const std::size_t slice_words = detail::bulk_slice_words();
    const std::size_t slice_characters =
        slice_words > SIZE_MAX / kCharactersPerWord ? SIZE_MAX : slice_words * kCharactersPerWord;
    std::deque<Pending> pending; // documents [output.size(), output.size() + pending.size())
    std::vector<Unit> units;
    std::size_t characters = 0; // in `units`
    bool open = false;
    std::vector<Document> output;
    output.reserve(documents.size());

    const auto run_units = [&](std::size_t count) {
      detail::for_each_unit(count, [&](std::size_t u) {
        const Unit& unit = units[u];
        if (unit.windowed) {
          *unit.slots.front() = impl_->predict_paragraph(*unit.paragraphs.front());
          return;
        }
        std::vector<TokenizerLabels> labels = impl_->predict_batch(unit.paragraphs);
        for (std::size_t k = 0; k < labels.size(); ++k) {
          *unit.slots[k] = std::move(labels[k]);
        }
      });
      for (std::size_t u = 0; u < count; ++u) {
        for (std::size_t* unlabelled : units[u].documents) {
          --*unlabelled;
        }
      }
      units.erase(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(count));
      characters = 0;
      for (const Unit& unit : units) {
        for (const Paragraph* paragraph : unit.paragraphs) {
          characters += paragraph->size();
        }
      }
      while (!pending.empty() && pending.front().unlabelled == 0) {
        output.push_back(impl_->decode_labels(documents[output.size()], pending.front().paragraphs,
                                              pending.front().labels));
        pending.pop_front();
      }
    };

    for (const Document& document : documents) {
      const std::string& text = document.text();
      Pending& entry = pending.emplace_back();
      entry.paragraphs =
          detail::tokenize::split_paragraphs(text.data(), text.size(), impl_->skip_newline);
      entry.labels.resize(entry.paragraphs.size());
      entry.unlabelled = entry.paragraphs.size();
      for (std::size_t p = 0; p < entry.paragraphs.size(); ++p) {
        const Paragraph& paragraph = entry.paragraphs[p];
        const bool windowed = paragraph.size() > detail::kTokenizerWindow;
        if (windowed || !open) {
          units.emplace_back();
          units.back().windowed = windowed;
          open = !windowed;
        }
        units.back().paragraphs.push_back(&paragraph);
        units.back().slots.push_back(&entry.labels[p]);
        units.back().documents.push_back(&entry.unlabelled);
        characters += paragraph.size();
        if (open && units.back().paragraphs.size() == batch_size) {
          open = false;
        }
      }
      const std::size_t closed = units.size() - (open ? 1 : 0);
      if (characters >= slice_characters && closed > 0) {
        run_units(closed);
      }
    }
    run_units(units.size());
    return output;
  });
}

} // namespace velmora
