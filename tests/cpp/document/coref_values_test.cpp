#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "velmora/coref.hpp"

namespace velmora {
namespace {

std::string invalid_argument_message(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "no exception";
}

TEST(CorefValues, MentionKeepsPositions) {
  const CorefMention regular(2, {1, std::nullopt}, {3, std::nullopt});
  EXPECT_EQ(regular.sentence(), 2);
  EXPECT_EQ(regular.start_word().word, 1);
  EXPECT_FALSE(regular.start_word().empty_index);
  EXPECT_EQ(regular.end_word().word, 3);
  const CorefMention zero(0, {4, 1}, {4, 1});
  EXPECT_EQ(zero.start_word().empty_index, 1);
  EXPECT_EQ(zero.end_word().empty_index, 1);
  EXPECT_EQ(invalid_argument_message([] { CorefMention(-1, {}, {}); }),
            "a coreference mention sentence index cannot be negative");
}

TEST(CorefValues, ChainChecksIndexThenRepresentative) {
  const std::vector<CorefMention> mentions{CorefMention(0, {0, {}}, {2, {}}),
                                           CorefMention(1, {3, {}}, {4, {}})};
  const CorefChain chain(5, mentions, "the cat", 1);
  EXPECT_EQ(chain.index(), 5);
  EXPECT_EQ(chain.mentions().size(), 2u);
  EXPECT_EQ(chain.mentions()[1].sentence(), 1);
  EXPECT_EQ(chain.representative_text(), "the cat");
  EXPECT_EQ(chain.representative_index(), 1);

  EXPECT_NO_THROW(CorefChain(0, {}, "", std::nullopt));
  const std::string bad_representative = "the representative coreference mention index is invalid";
  EXPECT_EQ(invalid_argument_message([&] { CorefChain(0, mentions, "", 2); }), bad_representative);
  EXPECT_EQ(invalid_argument_message([&] { CorefChain(0, mentions, "", -1); }), bad_representative);
  EXPECT_EQ(invalid_argument_message([] { CorefChain(0, {}, "", 0); }), bad_representative);
  // The index is checked before the representative.
  EXPECT_EQ(invalid_argument_message([&] { CorefChain(-1, mentions, "", 9); }),
            "a coreference chain index cannot be negative");
}

TEST(CorefValues, AttachmentsShareTheirChain) {
  const auto chain = std::make_shared<const CorefChain>(
      0, std::vector<CorefMention>{CorefMention(0, {0, {}}, {1, {}})}, "it", 0);
  const CorefAttachment first(chain, true, false, true);
  const CorefAttachment copy = first;
  EXPECT_EQ(copy.chain().get(), chain.get());
  EXPECT_TRUE(copy.is_start());
  EXPECT_FALSE(copy.is_end());
  EXPECT_TRUE(copy.is_representative());
  EXPECT_EQ(chain.use_count(), 3);
}

} // namespace
} // namespace velmora
