// The conversions behind Document.from_dict, to_dict and to_conll over
// sentences the input spells out: spacing fields taken out of each token's
// misc, the document built from the records, its CoNLL-U, and the records
// exported back. Records the builder refuses end the run; everything built
// renders one ten-column line per row and survives the round trip.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/text.hpp>

#include "document/misc_spacing.hpp"
#include "wordform/mwt_impl.hpp"

namespace {

// Reads the input front to back; past its end every read gives zeros.
class Reader {
public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  bool flag() { return (byte() & 1) != 0; }
  // Short strings, often built of the fragments the conversions look for.
  std::string text() {
    static const char* const kPieces[] = {"SpaceAfter=No",
                                          "SpacesAfter=\\n",
                                          "SpacesBefore=\\s\\t",
                                          "|",
                                          "\t",
                                          "\n",
                                          "\r\n",
                                          "SpaceAfter=Yes",
                                          "\\",
                                          "_",
                                          " ",
                                          "\xC2\xA0",
                                          "MWT=Yes",
                                          "a",
                                          "Ж"};
    std::string out;
    const int parts = byte() % 5;
    for (int i = 0; i < parts; ++i) {
      const std::uint8_t choice = byte();
      if (choice < 2 * std::size(kPieces)) {
        out += kPieces[choice % std::size(kPieces)];
      } else {
        out += static_cast<char>(byte());
      }
    }
    return out;
  }
  std::optional<std::string> optional_text() {
    return flag() ? std::optional<std::string>(text()) : std::nullopt;
  }
  std::optional<std::uint32_t> offset() {
    return flag() ? std::optional<std::uint32_t>(byte() % 40) : std::nullopt;
  }

private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

velmora::WordInput read_word(Reader& in, std::int32_t id) {
  velmora::WordInput word;
  word.id = id;
  word.text = in.text();
  word.lemma = in.optional_text();
  word.upos = in.optional_text();
  word.feats = in.optional_text();
  word.deprel = in.optional_text();
  word.deps = in.optional_text();
  word.misc = in.optional_text();
  if (in.flag()) {
    word.head = static_cast<std::int8_t>(in.byte());
  }
  word.start_char = in.offset();
  word.end_char = in.offset();
  if (in.flag()) {
    word.morphemes = {in.text(), in.text()};
  }
  return word;
}

std::vector<velmora::SentenceInput> read_sentences(Reader& in) {
  std::vector<velmora::SentenceInput> sentences(in.byte() % 4);
  for (velmora::SentenceInput& sentence : sentences) {
    sentence.sent_id = in.optional_text();
    std::int32_t next = 1;
    const int tokens = in.byte() % 6;
    for (int t = 0; t < tokens; ++t) {
      velmora::TokenInput token;
      const bool multi = in.flag();
      token.first_id = next;
      token.last_id = multi ? next + 1 : next;
      token.text = in.text();
      token.misc = in.optional_text();
      token.start_char = in.offset();
      token.end_char = in.offset();
      token.spaces_before = in.text();
      token.spaces_after = in.flag() ? " " : in.text();
      for (std::int32_t id = token.first_id; id <= token.last_id; ++id) {
        token.words.push_back(read_word(in, id));
      }
      next = token.last_id + 1;
      // What from_dict does with every token it reads.
      velmora::detail::extract_spacing(token);
      sentence.tokens.push_back(std::move(token));
    }
  }
  return sentences;
}

void check_rows(const std::string& conll) {
  std::size_t start = 0;
  while (start <= conll.size()) {
    const std::size_t end = std::min(conll.find('\n', start), conll.size());
    const std::string_view line(conll.data() + start, end - start);
    std::size_t tabs = 0;
    for (const char c : line) {
      tabs += c == '\t';
      if (c == '\r') {
        std::abort();
      }
    }
    if (!line.empty() && line.front() != '#' && tabs != 9) {
      std::abort();
    }
    start = end + 1;
  }
}

// The document's records as to_dict reads them, each token's spacing put
// into its misc and taken out again as from_dict does, built anew.
velmora::Document round_trip(const velmora::Document& document, const std::string& text) {
  std::vector<velmora::SentenceInput> exported =
      velmora::detail::export_sentences(*document.storage());
  for (velmora::SentenceInput& sentence : exported) {
    for (velmora::TokenInput& token : sentence.tokens) {
      const std::string before = token.spaces_before;
      const std::string after = token.spaces_after;
      token.misc = velmora::detail::compose_misc(token.misc, before, after);
      token.spaces_before.clear();
      token.spaces_after.assign(1, ' ');
      velmora::detail::extract_spacing(token);
      if (token.spaces_before != before || token.spaces_after != after) {
        std::abort();
      }
    }
  }
  return velmora::Document(text, std::move(exported));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  std::string text = in.text();
  if (velmora::detail::walk_utf8(text.data(), text.size(), [](auto, auto, auto) {}) !=
      velmora::detail::utf8_valid) {
    text.clear();
  }
  std::vector<velmora::SentenceInput> sentences = read_sentences(in);
  std::optional<velmora::Document> document;
  try {
    document.emplace(text, std::move(sentences));
  } catch (const std::logic_error&) {
    return 0; // records the builder refuses
  }
  const std::string conll = document->to_conll();
  check_rows(conll);

  // The dictionary form and back, twice: after one round the document must
  // come back unchanged (the first round may sort misc fields that spacing
  // joined), and every token's spacing survives its trip through misc.
  const velmora::Document once = round_trip(*document, text);
  if (round_trip(once, text).to_conll() != once.to_conll()) {
    std::abort();
  }
  return 0;
}
