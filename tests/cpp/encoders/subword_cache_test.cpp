#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "encoders/subword_word_cache.hpp"
#include "subword_fixtures.hpp"

namespace velmora {
namespace {

using Ids = std::vector<std::int64_t>;

TEST(SubwordWordCache, HitsMissesCollisionsAndFailures) {
  detail::WordCache cache;
  int computed = 0;
  const auto length_ids = [&](std::string_view word) {
    ++computed;
    return Ids(word.size(), static_cast<std::int64_t>(word.size()));
  };
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.lookup_or_compute("abc", length_ids), (Ids{3, 3, 3}));
  EXPECT_EQ(cache.lookup_or_compute("abc", length_ids), (Ids{3, 3, 3}));
  EXPECT_EQ(computed, 1);
  EXPECT_EQ(cache.size(), 1u);

  // The empty word and an empty id list are cached like any other.
  EXPECT_TRUE(cache.lookup_or_compute("", length_ids).empty());
  EXPECT_TRUE(cache.lookup_or_compute("", length_ids).empty());
  EXPECT_EQ(computed, 2);

  // Two words of one slot evict each other, and the slot counts once.
  detail::WordCache colliding;
  const std::string first = "w0";
  std::string second;
  for (int i = 1; second.empty(); ++i) {
    const std::string candidate = "w" + std::to_string(i);
    if (detail::WordCache::slot_index(candidate) == detail::WordCache::slot_index(first)) {
      second = candidate;
    }
  }
  computed = 0;
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(colliding.lookup_or_compute(first, length_ids), (Ids{2, 2}));
    EXPECT_EQ(colliding.lookup_or_compute(second, length_ids), Ids(second.size(), second.size()));
  }
  EXPECT_EQ(computed, 6);
  EXPECT_EQ(colliding.size(), 1u);

  // A failing computation stores nothing and fails again next time.
  const auto failing = [&](std::string_view) -> Ids {
    ++computed;
    throw std::runtime_error("no ids");
  };
  computed = 0;
  EXPECT_THROW(cache.lookup_or_compute("bad", failing), std::runtime_error);
  EXPECT_THROW(cache.lookup_or_compute("bad", failing), std::runtime_error);
  EXPECT_EQ(computed, 2);
  EXPECT_EQ(cache.size(), 2u);
}

TEST(SubwordWordCache, CountsFilledSlotsUpToTheirNumber) {
  detail::WordCache cache;
  std::set<std::size_t> slots;
  for (int i = 0; i < 30000; ++i) {
    const std::string word = "word" + std::to_string(i);
    slots.insert(detail::WordCache::slot_index(word));
    cache.lookup_or_compute(word, [](std::string_view) { return Ids{1}; });
  }
  EXPECT_EQ(cache.size(), slots.size());
  EXPECT_LE(cache.size(), detail::WordCache::slot_count);
}

// Words of the generated word lists plus enough made-up ones to overflow the
// cache, so that concurrent stores also evict each other.
std::vector<std::string> hammer_words() {
  std::vector<std::string> words;
  for (const char* set : {"subword/wordpiece/multilingual.tsv", "subword/wordpiece/ewt.tsv"}) {
    if (std::filesystem::exists(test::fixture(set))) {
      const test::ReferenceTable table = test::read_reference_table(test::fixture(set));
      words.insert(words.end(), table.words.begin(), table.words.end());
    }
  }
  const std::vector<std::string> parts = {"re", "un", "ing", "tion", "é", "中", "'s", "2024", "-"};
  for (std::size_t i = 0; i < 12000; ++i) {
    words.push_back(parts[i % parts.size()] + std::to_string(i) + parts[(i / 7) % parts.size()]);
  }
  return words;
}

// Encodes every word on `threads` threads at once, in a different order on
// each, and checks each result against single-threaded encoding with a
// fresh tokenizer of the same kind.
void hammer(const std::function<Ids(const std::string&)>& fresh_encode,
            const std::function<Ids(const std::string&)>& shared_encode,
            const std::function<std::size_t()>& cache_size) {
  const std::vector<std::string> words = hammer_words();
  std::vector<Ids> expected;
  for (const std::string& word : words) {
    expected.push_back(fresh_encode(word));
  }
  constexpr int threads = 8;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      std::vector<std::size_t> order(words.size());
      for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
      }
      std::mt19937 random(static_cast<unsigned>(t));
      for (int pass = 0; pass < 2; ++pass) {
        std::shuffle(order.begin(), order.end(), random);
        for (const std::size_t i : order) {
          if (shared_encode(words[i]) != expected[i]) {
            ++mismatches;
          }
        }
      }
    });
  }
  for (std::thread& thread : pool) {
    thread.join();
  }
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_LE(cache_size(), detail::WordCache::slot_count);
  EXPECT_GT(cache_size(), 0u);
}

TEST(SubwordWordCache, ConcurrentWordPieceEncodingMatchesSingleThreaded) {
  const WordPieceTokenizer fresh = test::trained_wordpiece(true, true);
  const WordPieceTokenizer shared = test::trained_wordpiece(true, true);
  // Encode through lists of three words so that the layout is hammered too.
  const auto encode = [](const WordPieceTokenizer& tokenizer, const std::string& word) {
    const WordPieceEncoding encoding = tokenizer.encode({word, "the", word}, true);
    Ids flat = encoding.input_ids;
    flat.insert(flat.end(), encoding.word_ids.begin(), encoding.word_ids.end());
    return flat;
  };
  hammer([&](const std::string& w) { return encode(fresh, w); },
         [&](const std::string& w) { return encode(shared, w); },
         [&] { return shared.cache_size(); });
}

TEST(SubwordWordCache, ConcurrentByteBPEMatchesSingleThreaded) {
  const ByteBPETokenizer fresh = test::trained_byte_bpe(true);
  const ByteBPETokenizer shared = test::trained_byte_bpe(true);
  hammer([&](const std::string& w) { return fresh.tokenize(w); },
         [&](const std::string& w) { return shared.tokenize(w); },
         [&] { return shared.cache_size(); });
}

TEST(SubwordWordCache, ConcurrentXLMRobertaMatchesSingleThreaded) {
  const XLMRobertaTokenizer fresh = test::trained_xlmr();
  const XLMRobertaTokenizer shared = test::trained_xlmr();
  hammer([&](const std::string& w) { return fresh.tokenize(w); },
         [&](const std::string& w) { return shared.encode({w}, false).input_ids; },
         [&] { return shared.cache_size(); });
}

} // namespace
} // namespace velmora
