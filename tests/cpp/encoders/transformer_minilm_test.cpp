// A real six-layer WordPiece encoder (all-MiniLM-L6-v2) compiled into a
// package, against its eager model on treebank sentences, some longer than
// its 512 positions. The fixture is optional (gen_minilm.py); without it the
// test skips and says why.

#include <algorithm>
#include <cmath>
#include <cstring>

#include <velmora/transformer_encoder.hpp>

#include "transformer_test_support.hpp"

namespace {

namespace vt = velmora::test;
using velmora::detail::JsonValue;

std::vector<std::string> read_lines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::vector<float> read_floats(const std::filesystem::path& path) {
  const std::string bytes = vt::read_file(path);
  std::vector<float> values(bytes.size() / sizeof(float));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
  return values;
}

TEST(TransformerMiniLM, MatchesTheEagerModelOnTreebankSentences) {
  const std::filesystem::path dir = vt::fixture("minilm");
  if (std::filesystem::exists(dir / "SKIPPED")) {
    GTEST_SKIP() << "real transformer fixture not built: " << vt::read_file(dir / "SKIPPED");
  }
  const std::vector<std::string> vocabulary = read_lines(dir / "vocab.txt");
  const JsonValue reference = velmora::detail::load_json(dir / "reference.json");
  const std::int64_t hidden = reference.at("hidden").as_integer();

  for (const JsonValue& set : reference.at("sets").as_array()) {
    const auto length = static_cast<std::size_t>(set.at("model_max_length").as_integer());
    const bool keep = set.at("keep_endpoints").as_bool();
    SCOPED_TRACE("model_max_length " + std::to_string(length) + (keep ? ", endpoints" : ""));
    const velmora::TransformerEncoder encoder(dir / "model.pt2", vocabulary, true, true, 0, length,
                                              "[UNK]", "[CLS]", "[SEP]", "##", 100);
    const std::vector<float> expected = read_floats(dir / set.at("rows_file").as_string());
    std::size_t offset = 0;
    double worst = 0.0;
    std::size_t windowed = 0;
    for (const JsonValue& sentence : set.at("sentences").as_array()) {
      const std::vector<std::string> words = vt::strings_of(sentence.at("words"));
      const auto ids = vt::integers_of(sentence.at("input_ids"));
      windowed += ids.size() > length ? 1 : 0;
      ASSERT_EQ(encoder.tokenize(words, true).input_ids, ids) << words.front();
      const at::Tensor rows = encoder.encode_words_tensor(words, keep);
      const std::size_t count = words.size() + (keep ? 2 : 0);
      ASSERT_EQ(rows.sizes(), at::IntArrayRef({static_cast<std::int64_t>(count), hidden}));
      ASSERT_LE(offset + count * hidden, expected.size());
      const float* actual = rows.const_data_ptr<float>();
      for (std::size_t i = 0; i < count * static_cast<std::size_t>(hidden); ++i) {
        const double want = expected[offset + i];
        worst = std::max(worst, std::abs(actual[i] - want) / (1.0 + std::abs(want)));
      }
      offset += count * hidden;
    }
    EXPECT_EQ(offset, expected.size());
    EXPECT_GT(windowed, 0u);
    // Six layers of reordered float32 sums; a misplaced window or row is
    // off by whole units.
    EXPECT_LT(worst, 5e-5) << "largest relative difference";
    std::cout << "[ minilm   ] model_max_length " << length << ": " << windowed
              << " sentences in windows, largest relative difference " << worst << "\n";
  }
}

} // namespace
