// The word encoder against the PyTorch reference's entries, and the
// pretrained-vocabulary lookups it rests on.

#include <fstream>

#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>

#include "constituency/constituency_impl.hpp"
#include "constituency_test_support.hpp"

namespace velmora {
namespace {

using test::constituency_fixture;

std::vector<float> read_floats(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<float> values(static_cast<std::size_t>(in.tellg()) / sizeof(float));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * 4));
  return values;
}

TEST(ConstituencyEncoder, EntriesEqualTheReferenceOnEverySentence) {
  const detail::JsonValue reference = detail::load_json(constituency_fixture("encoder.json"));
  if (!reference.at("ewt").is_null()) {
    std::cout << "only the hand-written sentences: " << reference.at("ewt").as_string() << "\n";
  }
  const auto sentences = test::tagged_sentences(reference.at("sentences"));
  ASSERT_GE(reference.at("models").as_object().size(), 4u);
  c10::InferenceMode guard;
  for (const auto& [name, model] : reference.at("models").as_object()) {
    SCOPED_TRACE(name);
    const ConstituencyPlan::Impl impl(constituency_fixture("models/" + name), false);
    const std::int64_t hidden = model.at("hidden").as_integer();
    const std::vector<float> rows = read_floats(constituency_fixture("encoder/" + name + ".f32"));
    ASSERT_EQ(static_cast<std::int64_t>(rows.size()), model.at("rows").as_integer() * hidden);
    std::size_t at = 0;
    for (std::size_t s = 0; s < sentences.size(); ++s) {
      const auto& sentence = sentences[s];
      const std::vector<at::Tensor> entries =
          impl.encode_words(sentence.words, sentence.tags(impl.uses_xpos));
      ASSERT_EQ(entries.size(), sentence.words.size() + 2) << s;
      const at::Tensor native = at::stack(entries);
      const at::Tensor expected =
          at::from_blob(const_cast<float*>(rows.data() + at), native.sizes(), at::kFloat);
      ASSERT_TRUE(at::allclose(native, expected, 0.0, 1e-5))
          << "sentence " << s << ": " << (native - expected).abs().max().item<float>();
      at += static_cast<std::size_t>(native.numel());
    }
    EXPECT_EQ(at, rows.size());
  }
}

TEST(ConstituencyEncoder, PretrainedLookupsRetryLowerCase) {
  EXPECT_EQ(detail::normalize_word("New York", false), "New\u00A0York");
  EXPECT_EQ(detail::normalize_word("New  York", true), "new\u00A0\u00A0york");

  // Keys as stored (no "lower"): "The" is stored only lower-cased, "Alias"
  // and "Orphan" with the unknown id, only the former also lower-cased.
  const ConstituencyPlan::Impl impl(constituency_fixture("models/plain"), false);
  const auto id = [&](const std::string& key) { return impl.pretrain_vocab.at(key); };
  EXPECT_EQ(impl.pretrain_vocab.count("The"), 0u);
  EXPECT_EQ(impl.word_id("The"), id("the"));
  EXPECT_EQ(impl.word_id("New York"), id("new\u00A0york"));
  EXPECT_EQ(impl.word_id("Alias"), id("alias"));
  EXPECT_EQ(impl.word_id("Orphan"), detail::kUnknownId);
  EXPECT_EQ(impl.word_id("unseen-word"), detail::kUnknownId);
  // The delta words keep their space.
  EXPECT_EQ(impl.delta_vocab.count("New York"), 1u);

  const ConstituencyPlan::Impl lowered(constituency_fixture("models/everything_l2"), false);
  EXPECT_EQ(lowered.word_id("NEW YORK"), lowered.pretrain_vocab.at("new\u00A0york"));
}

TEST(ConstituencyEncoder, SentinelsAndUnusedTagEmbedding) {
  c10::InferenceMode guard;
  const std::vector<std::string> words = {"the", "cat"};
  // Without boundary vectors the sentinels are zero; the tag embedding of a
  // model without one is never looked up.
  const ConstituencyPlan::Impl plain(constituency_fixture("cases/tag_dim_zero"), false);
  const std::vector<at::Tensor> entries = plain.encode_words(words, {"NN", "??"});
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_TRUE(at::equal(entries.front(), at::zeros({3})));
  EXPECT_TRUE(at::equal(entries.back(), at::zeros({3})));

  const ConstituencyPlan::Impl everything(constituency_fixture("cases/everything_complete"), false);
  const std::vector<at::Tensor> learned = everything.encode_words({"the"}, {"NN"});
  ASSERT_EQ(learned.size(), 3u);
  EXPECT_GT(learned.front().abs().sum().item<float>() + learned.back().abs().sum().item<float>(),
            0.0F);
}

} // namespace
} // namespace velmora
