// Cutting bulk calls into slices, and handing a call's freed memory back.

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/document.hpp>

#include "document/released_memory.hpp"
#include "encoders/bulk_slices.hpp"
#include "test_support.hpp"

namespace {

using velmora::detail::BatchRange;
using velmora::detail::BulkSliceBudget;
using Ranges = std::vector<std::pair<std::size_t, std::size_t>>;

Ranges slices(const std::vector<std::size_t>& words) {
  Ranges out;
  for (const BatchRange& slice : velmora::detail::plan_bulk_slices(words)) {
    out.emplace_back(slice.begin, slice.end);
  }
  return out;
}

TEST(BulkSlices, SlicesKeepToTheBudgetAndOversizedItemsStandAlone) {
  EXPECT_EQ(velmora::detail::bulk_slice_words(), velmora::detail::kBulkSliceWords);
  {
    const BulkSliceBudget budget(10);
    EXPECT_TRUE(slices({}).empty());
    // A slice fills to exactly the budget; items without words join the slice
    // they follow, except after an item larger than the budget.
    EXPECT_EQ(slices({4, 6, 1, 0, 9, 25, 0, 3, 10}),
              (Ranges{{0, 2}, {2, 5}, {5, 6}, {6, 8}, {8, 9}}));
    EXPECT_EQ(slices({0, 0, 30}), (Ranges{{0, 3}}));
    const BulkSliceBudget zero(0); // at least one word
    EXPECT_EQ(slices({1, 1, 0}), (Ranges{{0, 1}, {1, 3}}));
  }
  EXPECT_EQ(velmora::detail::bulk_slice_words(), velmora::detail::kBulkSliceWords);
}

velmora::Document document_of(const std::vector<std::string>& words) {
  std::vector<velmora::SentenceInput> sentences;
  if (!words.empty()) {
    velmora::SentenceInput& sentence = sentences.emplace_back();
    std::int32_t id = 1;
    for (const std::string& text : words) {
      velmora::TokenInput& token = sentence.tokens.emplace_back();
      token.text = text;
      token.first_id = token.last_id = id;
      velmora::WordInput& word = token.words.emplace_back();
      word.id = id++;
      word.text = text;
    }
  }
  return velmora::Document(std::string(), std::move(sentences));
}

TEST(BulkSlices, WordCursorCrossesDocumentsInOrder) {
  const BulkSliceBudget budget(3);
  const std::vector<velmora::Document> documents = {document_of({"a", "b"}), document_of({}),
                                                    document_of({"c", "d", "e", "f"}),
                                                    document_of({}), document_of({"g"})};
  std::vector<velmora::WordSequence> sequences;
  for (const velmora::Document& document : documents) {
    sequences.push_back(document.words());
  }
  velmora::detail::WordCursor cursor(sequences);
  std::vector<std::vector<std::string>> seen;
  while (!cursor.done()) {
    std::vector<std::string>& slice = seen.emplace_back();
    for (const velmora::Word& word : cursor.next_slice()) {
      slice.push_back(word.text());
    }
  }
  EXPECT_EQ(seen, (std::vector<std::vector<std::string>>{{"a", "b", "c"}, {"d", "e", "f"}, {"g"}}));
  const std::vector<velmora::WordSequence> none(2, documents[1].words());
  EXPECT_TRUE(velmora::detail::WordCursor(none).done());
}

using velmora::test::resident_kib;

// 256 MiB in blocks below the allocator's mapping threshold, every other
// block kept alive: freeing the rest leaves holes that free() alone never
// hands back.
std::vector<std::unique_ptr<char[]>> kept_between_holes() {
  constexpr std::size_t kBlock = 64 << 10;
  constexpr std::size_t kBlocks = 4096;
  std::vector<std::unique_ptr<char[]>> kept;
  std::vector<std::unique_ptr<char[]>> freed;
  for (std::size_t i = 0; i < kBlocks; ++i) {
    auto& list = i % 2 == 0 ? freed : kept;
    list.emplace_back(new char[kBlock]);
    std::memset(list.back().get(), 1, kBlock);
  }
  return kept;
}

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#define VELMORA_GLIBC_MALLOC 1
#endif

TEST(BulkSlices, TheOutermostCallHandsFreedMemoryBack) {
#if !defined(VELMORA_GLIBC_MALLOC)
  GTEST_SKIP() << "needs glibc's allocator";
#else
  const long start = resident_kib();
  std::vector<std::unique_ptr<char[]>> kept;
  {
    const velmora::detail::BulkCallScope outer;
    {
      const velmora::detail::BulkCallScope inner;
      kept = kept_between_holes();
    }
    EXPECT_GT(resident_kib() - start, 200 << 10) << "an inner call released the memory";
  }
  EXPECT_LT(resident_kib() - start, 180 << 10);
#endif
}

TEST(BulkSlices, AStageEndHandsFreedMemoryBackWithinTheCallOnly) {
#if !defined(VELMORA_GLIBC_MALLOC)
  GTEST_SKIP() << "needs glibc's allocator";
#else
  const long start = resident_kib();
  {
    const std::vector<std::unique_ptr<char[]>> kept = kept_between_holes();
    velmora::detail::end_bulk_stage();
    EXPECT_GT(resident_kib() - start, 200 << 10) << "released outside a bulk call";
  }
  velmora::detail::release_cached_memory();
  const velmora::detail::BulkCallScope call;
  const std::vector<std::unique_ptr<char[]>> kept = kept_between_holes();
  velmora::detail::end_bulk_stage();
  EXPECT_LT(resident_kib() - start, 180 << 10) << "the stage's freed memory stayed";
#endif
}

TEST(BulkSlices, DroppingManyWordsOfDocumentsHandsFreedMemoryBack) {
#if !defined(VELMORA_GLIBC_MALLOC)
  GTEST_SKIP() << "needs glibc's allocator";
#else
  const std::vector<std::string> words(velmora::detail::kReleasedWords / 2, "w");
  auto first = std::make_unique<velmora::Document>(document_of(words));
  auto second = std::make_unique<velmora::Document>(document_of(words));
  // A count starts afresh after a release.
  while (!velmora::detail::note_released_words(1)) {
  }
  const long start = resident_kib();
  const std::vector<std::unique_ptr<char[]>> kept = kept_between_holes();
  first.reset();
  EXPECT_GT(resident_kib() - start, 200 << 10) << "half the words released the memory";
  second.reset();
  EXPECT_LT(resident_kib() - start, 180 << 10);
#endif
}

} // namespace
