// Bulk calls over many short documents cost the same per document whatever
// their number. Measured in bytes asked of the allocation functions, which
// this test binary replaces: a batch list grown to each document's exact end
// is copied once per document, so its bytes grow with the square of the
// count.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/lemma.hpp>
#include <velmora/morphseg.hpp>

#include "../document/storage_test_support.hpp"
#include "counted_allocation.hpp"
#include "test_support.hpp"

namespace velmora {
namespace {

// The bytes one process_bulk call over `count` documents of five words asks
// for.
template <class Plan> std::uint64_t bulk_bytes(const Plan& plan, std::size_t count) {
  static const std::vector<std::string> forms = {"the", "cats", "were", "running", "home"};
  std::vector<Document> documents;
  documents.reserve(count);
  for (std::size_t d = 0; d < count; ++d) {
    documents.emplace_back("the cats were running home", std::vector{test::make_sentence(forms)});
  }
  test::start_counting_allocations();
  documents = plan.process_bulk(std::move(documents));
  const std::uint64_t requested = test::stop_counting_allocations();
  EXPECT_EQ(documents.back().words().at(4).text(), "home");
  return requested;
}

// Four times the documents ask for four times the bytes; a list copied once
// per document would ask for sixteen times.
TEST(BulkCalls, BytesGrowWithTheNumberOfDocuments) {
  const LemmaPlan lemma(test::fixture("wordform/lemma_dict/bundle"), false);
  const MorphSegPlan morphseg(test::fixture("morphseg/random/bundle"), false);
  bulk_bytes(lemma, 100);
  bulk_bytes(morphseg, 100);
  EXPECT_LT(bulk_bytes(lemma, 10000), 6 * bulk_bytes(lemma, 2500));
  EXPECT_LT(bulk_bytes(morphseg, 10000), 6 * bulk_bytes(morphseg, 2500));
}

} // namespace
} // namespace velmora
