// Character language model encoding against the PyTorch reference of the
// fixture generator, one sentence at a time and in packed batches.

#include <velmora/charlm.hpp>

#include <ATen/Parallel.h>

#include "charlm_test_support.hpp"

namespace {

using velmora::detail::JsonValue;
using velmora::detail::NativeCharLM;
namespace vt = velmora::test;

constexpr double kTolerance = 1e-5;

struct ModelCase {
  std::string name;
  std::unique_ptr<NativeCharLM> model;
  const JsonValue* reference;
};

class CharLMEncode : public ::testing::Test {
protected:
  // The test models are tiny: an intra-op pool only adds contention, which
  // on a busy machine slows these runs by orders of magnitude. The previous
  // count is restored for the other suites.
  static void SetUpTestSuite() {
    threads_ = at::get_num_threads();
    at::set_num_threads(1);
    reference_ = new JsonValue(velmora::detail::load_json(vt::fixture("charlm/reference.json")));
    worked_ = new JsonValue(velmora::detail::load_json(vt::fixture("charlm/worked.json")));
  }
  static void TearDownTestSuite() {
    delete reference_;
    delete worked_;
    at::set_num_threads(threads_);
  }

  static std::vector<ModelCase> models() {
    std::vector<ModelCase> cases;
    for (const auto& [name, entry] : reference_->at("models").as_object()) {
      auto bundle = vt::open_charlm_bundle(entry.at("bundle").as_string());
      const JsonValue assets = vt::charlm_assets(*bundle, entry.at("member").as_string());
      cases.push_back({name,
                       std::make_unique<NativeCharLM>(std::move(bundle),
                                                      entry.at("prefix").as_string(), assets),
                       &entry});
    }
    return cases;
  }

  static inline JsonValue* reference_ = nullptr;
  static inline JsonValue* worked_ = nullptr;
  static inline int threads_ = 1;
};

TEST_F(CharLMEncode, EveryModelMatchesTheReference) {
  const auto sentences = vt::reference_sentences(*reference_);
  const auto cases = models();
  ASSERT_EQ(cases.size(), 9u);
  for (const auto& [name, model, entry] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(model->is_forward(), entry->at("forward").as_bool());
    EXPECT_EQ(model->hidden_size(), entry->at("hidden").as_integer());
    const auto& vectors = entry->at("vectors").as_array();
    for (std::size_t i = 0; i < sentences.size(); ++i) {
      const at::Tensor got = model->encode(sentences[i]);
      EXPECT_TRUE(got.is_contiguous());
      EXPECT_TRUE(
          vt::tensors_close(got, vt::reference_rows(vectors[i], model->hidden_size()), kTolerance))
          << "sentence " << i;
    }
  }
}

TEST_F(CharLMEncode, EmptyWordListGivesNoRowsInTheModelsType) {
  for (const auto& [name, model, entry] : models()) {
    const at::Tensor empty = model->encode({});
    EXPECT_EQ(empty.sizes(), at::IntArrayRef({0, model->hidden_size()})) << name;
    EXPECT_EQ(empty.scalar_type(), name == "forward1_f64" ? at::kDouble : at::kFloat) << name;
  }
}

// The streams of the worked examples are spelled out by hand in the fixture:
// "ab c" reads "\n a b _ c _" forwards (rows 3, 5) and "\n c _ b a _"
// backwards (rows 5, 2); "añ😀 日" keeps each several-byte character whole.
TEST_F(CharLMEncode, WordsTakeTheOutputAtTheirClosingSpace) {
  const std::vector<std::vector<std::int64_t>> forward_rows = {{3, 5}, {4, 6}};
  const std::vector<std::vector<std::int64_t>> backward_rows = {{5, 2}, {6, 2}};
  for (const auto& [name, model, entry] : models()) {
    const auto& examples = worked_->at(name).as_array();
    ASSERT_EQ(examples.size(), 2u);
    for (std::size_t k = 0; k < examples.size(); ++k) {
      std::vector<std::string> words;
      for (const auto& word : examples[k].at("words").as_array()) {
        words.push_back(word.as_string());
      }
      const auto& outputs = examples[k].at("outputs");
      const at::Tensor steps = vt::reference_rows(outputs, model->hidden_size());
      const auto& rows = model->is_forward() ? forward_rows[k] : backward_rows[k];
      const at::Tensor want = steps.index_select(0, at::tensor(rows, at::kLong));
      EXPECT_TRUE(vt::tensors_close(model->encode(words), want, kTolerance))
          << name << " example " << k;
    }
  }
}

TEST_F(CharLMEncode, MalformedWordsAreRefusedWithTheirOwnOffset) {
  for (const auto& [name, model, entry] : models()) {
    // The backward model reverses the word, yet the offset stays that of the
    // word as given.
    try {
      model->encode({"fine", "ab\xC3"});
      ADD_FAILURE() << name << ": no error";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "invalid UTF-8 sequence at byte offset 2") << name;
    }
    EXPECT_THROW(model->encode_many({{"a"}, {"b", "\xFF"}}), std::invalid_argument) << name;
  }
}

TEST_F(CharLMEncode, BatchesEqualSingleSentencesAcrossChunks) {
  const auto sentences = vt::reference_sentences(*reference_);
  ASSERT_GT(sentences.size(), 128u); // three chunks, the last one partial
  for (const auto& [name, model, entry] : models()) {
    SCOPED_TRACE(name);
    const auto batched = model->encode_many(sentences);
    ASSERT_EQ(batched.size(), sentences.size());
    const auto& vectors = entry->at("vectors").as_array();
    for (std::size_t i = 0; i < sentences.size(); ++i) {
      ASSERT_TRUE(batched[i].defined()) << i;
      EXPECT_TRUE(batched[i].is_contiguous());
      EXPECT_TRUE(vt::tensors_close(batched[i], model->encode(sentences[i]), kTolerance)) << i;
      EXPECT_TRUE(vt::tensors_close(
          batched[i], vt::reference_rows(vectors[i], model->hidden_size()), kTolerance))
          << i;
    }
  }
}

TEST_F(CharLMEncode, ChunkBoundariesAndSortingKeepInputOrder) {
  const auto all = vt::reference_sentences(*reference_);
  for (const auto& [name, model, entry] : models()) {
    if (name != "forward2" && name != "backward2") {
      continue;
    }
    SCOPED_TRACE(name);
    EXPECT_TRUE(model->encode_many({}).empty());
    // A chunk of sentences without words runs no LSTM at all.
    const auto wordless = model->encode_many({{}, {}, {}});
    ASSERT_EQ(wordless.size(), 3u);
    for (const at::Tensor& rows : wordless) {
      ASSERT_TRUE(rows.defined());
      EXPECT_EQ(rows.sizes(), at::IntArrayRef({0, model->hidden_size()}));
      EXPECT_EQ(rows.scalar_type(), at::kFloat);
    }
    // The third sentence is the longest; empty sentences and words take part.
    const std::vector<std::vector<std::string>> mixed = {
        {"a"}, {}, {"bag", "", "cafe", "added", "é"}, {"", "d"}, {"h"}, {"g"}, {}};
    for (std::size_t count : {64u, 65u, 7u}) {
      const std::vector<std::vector<std::string>> sentences =
          count == 7 ? mixed : std::vector<std::vector<std::string>>(all.end() - count, all.end());
      const auto batched = model->encode_many(sentences);
      ASSERT_EQ(batched.size(), sentences.size());
      for (std::size_t i = 0; i < sentences.size(); ++i) {
        EXPECT_EQ(batched[i].size(0), static_cast<std::int64_t>(sentences[i].size()));
        EXPECT_TRUE(vt::tensors_close(batched[i], model->encode(sentences[i]), kTolerance))
            << count << " sentences, sentence " << i;
      }
    }
  }
}

// The parser reads each sentence after a root word; a backward model's run of
// those streams must give the tagger's rows bit for bit, so that one run can
// serve both.
TEST_F(CharLMEncode, RootedStreamsKeepTheWordsRowsBitForBit) {
  auto sentences = vt::reference_sentences(*reference_);
  sentences.insert(sentences.begin() + 3, std::vector<std::string>());
  for (const auto& [name, model, entry] : models()) {
    SCOPED_TRACE(name);
    const auto plain = model->encode_many(sentences);
    const auto rooted = model->encode_many_rooted(sentences, "\n");
    ASSERT_EQ(rooted.size(), sentences.size());
    for (std::size_t i = 0; i < sentences.size(); ++i) {
      const auto n = static_cast<std::int64_t>(sentences[i].size());
      if (n == 0) {
        EXPECT_EQ(rooted[i].sizes(), at::IntArrayRef({0, model->hidden_size()}));
        continue;
      }
      std::vector<std::string> list = {"\n"};
      list.insert(list.end(), sentences[i].begin(), sentences[i].end());
      ASSERT_EQ(rooted[i].size(0), n + 1) << i;
      EXPECT_TRUE(vt::tensors_close(rooted[i], model->encode(list), kTolerance)) << i;
      if (!model->is_forward()) {
        EXPECT_TRUE(at::equal(rooted[i].narrow(0, 1, n), plain[i])) << i;
      }
    }
  }
}

TEST_F(CharLMEncode, SameModelComparesBytes) {
  const auto cases = models();
  const auto again = models(); // the same bundles mapped a second time
  for (std::size_t a = 0; a < cases.size(); ++a) {
    for (std::size_t b = 0; b < again.size(); ++b) {
      // The fixture's models differ in direction, sizes or vocabulary.
      EXPECT_EQ(cases[a].model->same_model(*again[b].model), a == b)
          << cases[a].name << " / " << again[b].name;
    }
  }
}

TEST_F(CharLMEncode, PlanReturnsFloatRowsPerWord) {
  const auto sentences = vt::reference_sentences(*reference_);
  for (const std::string name : {"forward1", "backward2", "forward1_f64"}) {
    SCOPED_TRACE(name);
    const auto& entry = reference_->at("models").at(name);
    const velmora::CharLMPlan plan(vt::fixture("charlm/" + entry.at("bundle").as_string()), true);
    EXPECT_EQ(plan.is_forward(), entry.at("forward").as_bool());
    EXPECT_EQ(plan.hidden_size(), entry.at("hidden").as_integer());
    EXPECT_TRUE(plan.bundle().checksums_verified());
    EXPECT_TRUE(plan.encode({}).empty());
    const auto& vectors = entry.at("vectors").as_array();
    for (std::size_t i = 0; i < sentences.size(); i += 7) {
      const auto rows = plan.encode(sentences[i]);
      ASSERT_EQ(rows.size(), sentences[i].size());
      for (std::size_t w = 0; w < rows.size(); ++w) {
        const auto& want = vectors[i].as_array()[w].as_array();
        ASSERT_EQ(rows[w].size(), want.size());
        for (std::size_t h = 0; h < want.size(); ++h) {
          EXPECT_NEAR(rows[w][h], want[h].as_number(), kTolerance) << i << "/" << w << "/" << h;
        }
      }
    }
  }
}

} // namespace
