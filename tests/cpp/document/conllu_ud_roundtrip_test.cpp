#include <charconv>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "document/misc_spacing.hpp"
#include "storage_test_support.hpp"
#include "test_support.hpp"

namespace velmora {
namespace {

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  while (true) {
    const std::size_t end = text.find(separator, begin);
    parts.emplace_back(text.substr(begin, end - begin));
    if (end == std::string_view::npos) {
      return parts;
    }
    begin = end + 1;
  }
}

int to_int(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    throw std::runtime_error("not an integer: " + std::string(text));
  }
  return value;
}

std::optional<std::string> field(const std::string& value) {
  if (value == "_") {
    return std::nullopt;
  }
  return value;
}

WordInput read_word(const std::vector<std::string>& columns) {
  WordInput word;
  word.text = columns[1];
  word.lemma = field(columns[2]);
  word.upos = field(columns[3]);
  word.xpos = field(columns[4]);
  word.feats = field(columns[5]);
  if (columns[6] != "_") {
    word.head = to_int(columns[6]);
  }
  word.deprel = field(columns[7]);
  word.deps = field(columns[8]);
  word.misc = field(columns[9]);
  return word;
}

// Takes the spacing pieces out of a token's MISC, as a reader of the format
// must: a token without them is followed by one space.
void take_spacing(TokenInput& token) {
  token.spaces_after = " ";
  detail::extract_spacing(token);
}

// Turns one CoNLL-U sentence block into input records: comments kept as
// they are, range lines into multi-word tokens, n.k lines into empty words.
SentenceInput read_sentence(const std::string& block) {
  SentenceInput sentence;
  TokenInput* open_token = nullptr;
  for (const std::string& line : split(block, '\n')) {
    if (line.starts_with("#")) {
      sentence.comments.push_back(line);
      if (line.starts_with("# sent_id = ")) {
        sentence.sent_id = line.substr(12);
      } else if (line.starts_with("# text = ")) {
        sentence.text = line.substr(9);
      }
      continue;
    }
    const std::vector<std::string> columns = split(line, '\t');
    if (columns.size() != 10) {
      throw std::runtime_error("not a CoNLL-U word line: " + line);
    }
    const std::string& id = columns[0];
    if (const std::size_t dash = id.find('-'); dash != std::string::npos) {
      TokenInput token;
      token.first_id = to_int(std::string_view(id).substr(0, dash));
      token.last_id = to_int(std::string_view(id).substr(dash + 1));
      token.text = columns[1];
      token.misc = field(columns[9]);
      take_spacing(token);
      sentence.tokens.push_back(std::move(token));
      open_token = &sentence.tokens.back();
    } else if (const std::size_t dot = id.find('.'); dot != std::string::npos) {
      WordInput word = read_word(columns);
      word.id = to_int(std::string_view(id).substr(0, dot));
      word.empty_index = to_int(std::string_view(id).substr(dot + 1));
      sentence.empty_words.push_back(std::move(word));
    } else {
      WordInput word = read_word(columns);
      word.id = to_int(id);
      if (open_token != nullptr && word.id <= open_token->last_id) {
        open_token->words.push_back(std::move(word));
        continue;
      }
      open_token = nullptr;
      TokenInput token;
      token.first_id = word.id;
      token.last_id = word.id;
      token.text = word.text;
      token.misc = word.misc;
      take_spacing(token);
      word.misc = token.misc;
      token.words.push_back(std::move(word));
      sentence.tokens.push_back(std::move(token));
    }
  }
  return sentence;
}

TEST(ConlluTreebank, DevFileRoundTripsLineForLine) {
  VELMORA_REQUIRE_SHARED(path, "ud-en-ewt/en_ewt-ud-dev.conllu");
  std::string content = test::read_file(path);
  while (content.ends_with("\n")) {
    content.pop_back();
  }
  std::vector<std::string> blocks;
  std::size_t begin = 0;
  while (begin < content.size()) {
    const std::size_t end = content.find("\n\n", begin);
    blocks.push_back(content.substr(begin, end - begin));
    begin = end == std::string::npos ? content.size() : end + 2;
  }
  ASSERT_GT(blocks.size(), 2000u);

  std::vector<SentenceInput> inputs;
  std::size_t mwts = 0, empties = 0;
  for (const std::string& block : blocks) {
    inputs.push_back(read_sentence(block));
    for (const TokenInput& token : inputs.back().tokens) {
      mwts += token.first_id != token.last_id ? 1 : 0;
    }
    empties += inputs.back().empty_words.size();
  }
  // The file must exercise both multi-word tokens and empty nodes.
  EXPECT_GT(mwts, 0u);
  EXPECT_GT(empties, 0u);

  Document doc("", inputs);
  ASSERT_EQ(doc.sentences().size(), blocks.size());
  int mismatches = 0;
  for (std::size_t s = 0; s < blocks.size() && mismatches < 5; ++s) {
    const std::string rendered = doc.sentences().at(static_cast<std::int64_t>(s)).to_conll();
    if (rendered != blocks[s]) {
      ++mismatches;
      ADD_FAILURE() << "sentence " << s << " differs:\n" << rendered << "\n---\n" << blocks[s];
    }
  }
  // Compared as a whole without printing: a diff of the file is unreadable.
  EXPECT_TRUE(doc.to_conll() == content) << "the document does not render as the file";
}

} // namespace
} // namespace velmora
