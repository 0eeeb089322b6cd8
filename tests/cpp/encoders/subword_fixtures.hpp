#pragma once

// Readers for the subword fixtures written by tools/fixtures/gen_subword.py:
// hex-encoded strings, one per line, and tables of reference encodings.

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "test_support.hpp"
#include "velmora/byte_bpe_tokenizer.hpp"
#include "velmora/text.hpp"
#include "velmora/bert_tokenizer.hpp"
#include "velmora/xlmr_tokenizer.hpp"

namespace velmora::test {

inline std::string from_hex(const std::string& hex) {
  std::string out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::vector<std::string> split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = line.find(separator, start);
    fields.push_back(line.substr(start, end - start));
    if (end == std::string::npos) {
      return fields;
    }
    start = end + 1;
  }
}

inline std::vector<std::string> read_lines(const std::filesystem::path& path) {
  if (!std::filesystem::exists(path)) {
    throw std::runtime_error("missing fixture: " + path.string());
  }
  std::vector<std::string> lines = split(read_file(path), '\n');
  if (!lines.empty() && lines.back().empty()) {
    lines.pop_back();
  }
  return lines;
}

inline std::vector<std::string> read_hex_lines(const std::filesystem::path& path) {
  std::vector<std::string> out;
  for (const std::string& line : read_lines(path)) {
    out.push_back(from_hex(line));
  }
  return out;
}

inline std::vector<std::int64_t> parse_ids(const std::string& cell) {
  std::vector<std::int64_t> ids;
  std::istringstream in(cell);
  std::int64_t id;
  while (in >> id) {
    ids.push_back(id);
  }
  return ids;
}

// Words and, per word, one reference id list per column.
struct ReferenceTable {
  std::vector<std::string> columns;
  std::vector<std::string> words;
  std::vector<std::vector<std::vector<std::int64_t>>> ids;
};

inline ReferenceTable read_reference_table(const std::filesystem::path& path) {
  const std::vector<std::string> lines = read_lines(path);
  ReferenceTable table;
  std::vector<std::string> header = split(lines.at(0), '\t');
  table.columns.assign(header.begin() + 1, header.end());
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> fields = split(lines[i], '\t');
    table.words.push_back(from_hex(fields.at(0)));
    std::vector<std::vector<std::int64_t>> row;
    for (std::size_t c = 1; c < fields.size(); ++c) {
      row.push_back(parse_ids(fields[c]));
    }
    table.ids.push_back(std::move(row));
  }
  return table;
}

inline std::vector<unsigned char> read_bytes(const std::filesystem::path& path) {
  const std::string text = read_file(path);
  return {text.begin(), text.end()};
}

// Bytes of a code point, for building test words.
inline std::string u8(char32_t codepoint) {
  std::string out;
  detail::append_utf8(static_cast<std::uint32_t>(codepoint), out);
  return out;
}

// The vocabularies and models that the generator trained with independent
// implementations, loaded once.

inline const std::vector<std::string>& trained_wordpiece_vocabulary() {
  static const std::vector<std::string> tokens =
      read_hex_lines(fixture("subword/wordpiece/vocab.txt"));
  return tokens;
}

inline WordPieceTokenizer trained_wordpiece(bool lowercase, bool strip_accents) {
  return WordPieceTokenizer(trained_wordpiece_vocabulary(), lowercase, strip_accents, "[UNK]",
                            "[CLS]", "[SEP]", "##", 100);
}

inline const std::vector<std::string>& trained_bpe_vocabulary() {
  static const std::vector<std::string> tokens = read_hex_lines(fixture("subword/bpe/vocab.txt"));
  return tokens;
}

inline ByteBPETokenizer trained_byte_bpe(bool add_prefix_space) {
  std::vector<std::pair<std::string, std::string>> merges;
  for (const std::string& line : read_lines(fixture("subword/bpe/merges.txt"))) {
    const auto fields = split(line, ' ');
    merges.emplace_back(from_hex(fields.at(0)), from_hex(fields.at(1)));
  }
  return ByteBPETokenizer(trained_bpe_vocabulary(), std::move(merges), "<unk>", "<s>", "</s>",
                          add_prefix_space);
}

struct UnigramModel {
  std::vector<std::string> pieces;
  std::vector<float> scores;
  long long unknown_id = 0;
};

inline const UnigramModel& trained_unigram_model() {
  static const UnigramModel model = [] {
    UnigramModel m;
    for (const std::string& line : read_lines(fixture("subword/xlmr/pieces.tsv"))) {
      const auto fields = split(line, '\t');
      m.pieces.push_back(from_hex(fields.at(0)));
      m.scores.push_back(std::stof(fields.at(1)));
    }
    m.unknown_id = std::stoll(split(read_lines(fixture("subword/xlmr/meta.txt")).at(0), ' ').at(1));
    return m;
  }();
  return model;
}

inline XLMRobertaTokenizer trained_xlmr() {
  const UnigramModel& model = trained_unigram_model();
  return XLMRobertaTokenizer(model.pieces, model.scores,
                             read_bytes(fixture("subword/xlmr/charsmap.bin")), model.unknown_id,
                             "<s>", "</s>");
}

} // namespace velmora::test
