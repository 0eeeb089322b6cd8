// The language identifier: loading with every refusal, answers against the
// PyTorch reference, texts run in chunks, refused texts and subsets, bundles
// stored in other float types, and bounded memory over many long texts.

#include <random>

#include <sys/resource.h>

#include <ATen/Parallel.h>
#include <ATen/TensorOperators.h>
#include <ATen/ops/from_blob.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <velmora/langid.hpp>

#include "classifier_test_support.hpp"
#include "classifiers/langid_impl.hpp"

namespace velmora {
namespace {

using test::langid_fixture;

// Summed scores over a text are hundreds of units; a margin below this is a
// near-tie that rounding may flip.
constexpr double kMarginTolerance = 1e-3;

TEST(LangIDLoad, EveryCaseLoadsOrFailsAsExpected) {
  test::expect_load_cases<LangIDPlan, LangIDModelError>(langid_fixture(""), "LangIDModelError", 30);
  test::expect_bundle_error_passes<LangIDPlan, LangIDModelError>(
      langid_fixture("cases/no-such-bundle"));
}

TEST(LangIDLoad, TagsMaskAndWeights) {
  const LangIDPlan::Impl impl(langid_fixture("models/l2"), false);
  // Tags follow their ids, not their keys.
  EXPECT_EQ(impl.tags, (std::vector<std::string>{"zh", "de", "ar", "en", "fr", "ja"}));
  EXPECT_EQ(impl.pad_id, 0);
  EXPECT_EQ(impl.unk_id, 1);
  EXPECT_EQ(impl.num_layers, 2);
  EXPECT_EQ(impl.default_mask.scalar_type(), at::kFloat);
  EXPECT_EQ(impl.default_mask.sizes(), at::IntArrayRef({6}));
  EXPECT_EQ(impl.default_mask.abs().sum().item<float>(), 0.0F);
  ASSERT_EQ(impl.lstm_weights.size(), 16u);
  const char* const order[] = {"lstm.weight_ih_l0", "lstm.weight_hh_l0", "lstm.bias_ih_l0",
                               "lstm.bias_hh_l0", "lstm.weight_ih_l0_reverse"};
  for (std::size_t i = 0; i < std::size(order); ++i) {
    EXPECT_EQ(impl.lstm_weights[i].const_data_ptr(), impl.tensor(order[i]).const_data_ptr());
  }
  EXPECT_EQ(impl.lstm_weights[8].const_data_ptr(),
            impl.tensor("lstm.weight_ih_l1").const_data_ptr());
}

const detail::JsonValue& reference() {
  static const detail::JsonValue value = detail::load_json(langid_fixture("reference.json"));
  return value;
}

void expect_answers(const LangIDPlan& plan, const std::string& model, const std::string& set,
                    bool one_by_one) {
  const detail::JsonValue& ref = reference();
  const std::vector<std::string> texts = test::strings(ref.at(set));
  for (const auto& [key, subset] : ref.at("subsets").as_object()) {
    const std::vector<std::string> langs = test::strings(subset);
    const detail::JsonValue& want = ref.at("models").at(model).at(set).at(key);
    const std::vector<std::string> tags = test::strings(want.at("tags"));
    const std::vector<double> margins = test::json_numbers(want.at("margins"));
    const std::string label = model + " " + set + " " + key;
    test::expect_reference_answers(plan.identify_many(texts, langs), tags, margins,
                                   kMarginTolerance, label + " identify_many");
    if (one_by_one) {
      std::vector<std::string> single;
      for (const std::string& text : texts) {
        single.push_back(plan.identify(text, langs));
      }
      test::expect_reference_answers(single, tags, margins, kMarginTolerance, label + " identify");
    }
  }
}

class LangIDReference : public ::testing::TestWithParam<const char*> {};

TEST_P(LangIDReference, HandWrittenTexts) {
  const LangIDPlan plan(langid_fixture(std::string("models/") + GetParam()), false);
  expect_answers(plan, GetParam(), "hand", true);
}

TEST_P(LangIDReference, EwtDevTexts) {
  VELMORA_REQUIRE_SHARED(treebank, "ud-en-ewt/en_ewt-ud-dev.conllu");
  (void)treebank;
  if (const detail::JsonValue* skipped = reference().find("skipped")) {
    GTEST_SKIP() << "fixtures were generated without the treebank: " << skipped->as_string();
  }
  const LangIDPlan plan(langid_fixture(std::string("models/") + GetParam()), false);
  expect_answers(plan, GetParam(), "sentences", std::string(GetParam()) == "l2");
  expect_answers(plan, GetParam(), "documents", false);
}

// Float32 sums over thousands of characters against the float64 reference:
// relative to the largest score of the text.
constexpr double kScoreTolerance = 2e-6;

void expect_scores(const at::Tensor& got, const std::vector<double>& want,
                   const std::string& label) {
  std::vector<double> want_copy = want;
  const at::Tensor reference =
      at::from_blob(want_copy.data(), {1, static_cast<std::int64_t>(want.size())}, at::kDouble);
  const double scale = reference.abs().max().item<double>();
  const double error = (got.to(at::kDouble) - reference).abs().max().item<double>();
  EXPECT_LE(error, kScoreTolerance * scale) << label << ": largest score " << scale;
}

// Texts longer than a pass (8,192 characters) run through the LSTM in
// chunks; so do the hand-written texts here, cut into chunks of a few
// characters (several bytes each in places). Their summed scores match the
// reference's, as do those of the texts that run whole, and the long texts'
// answers are the reference's.
TEST_P(LangIDReference, LongTextsInChunks) {
  const std::string model = GetParam();
  const LangIDPlan::Impl impl(langid_fixture("models/" + model), false);
  c10::InferenceMode guard;
  // The float64 kernels run a step at a time: long texts would take half a
  // minute there.
  const bool float64 = model == "l2_f64";
  for (const char* set : {"hand", "long"}) {
    if (float64 && std::string(set) == "long") {
      continue;
    }
    const std::vector<std::string> texts = test::strings(reference().at(set));
    const detail::JsonValue::Array& scores =
        reference().at("models").at(model).at(set).at("scores").as_array();
    ASSERT_EQ(scores.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const std::string label = model + " " + set + " " + std::to_string(i);
      const std::vector<double> want = test::json_numbers(scores[i]);
      const std::int64_t length = LangIDPlan::Impl::checked_length(texts[i]);
      // Chunks of a few characters for the short texts, of a pass for the
      // long ones, as identify_many runs them.
      const std::int64_t chunk = std::string(set) == "hand" ? 7 : 8192;
      expect_scores(impl.chunked_scores(texts[i], length, chunk), want,
                    label + " chunk " + std::to_string(chunk));
      if (length <= 8192) {
        std::vector<std::int64_t> ids;
        impl.append_ids(texts[i], ids);
        expect_scores(
            impl.summed_scores(at::from_blob(ids.data(), {1, length}, at::kLong), {length}), want,
            label + " whole");
      }
    }
  }
  if (!float64) {
    expect_answers(LangIDPlan(langid_fixture("models/" + model), false), model, "long", true);
  }
}

INSTANTIATE_TEST_SUITE_P(Models, LangIDReference, ::testing::Values("l1", "l2", "l2_f64"));

// Passes run as units of the team, each on one thread: four threads give
// the answers of one, for short texts in many passes and long texts in
// chunks alike.
TEST(LangIDIdentify, SameAnswersAtOneAndFourThreads) {
  const LangIDPlan plan(langid_fixture("models/l2"), false);
  std::vector<std::string> texts = test::strings(reference().at("hand"));
  for (const char* set : {"long", "sentences", "documents"}) {
    if (const detail::JsonValue* more = reference().find(set)) {
      for (std::string& text : test::strings(*more)) {
        texts.push_back(std::move(text));
      }
    }
  }
  const std::vector<std::string> one = plan.identify_many(texts, {});
  at::set_num_threads(4);
  const std::vector<std::string> four = plan.identify_many(texts, {});
  at::set_num_threads(1);
  EXPECT_EQ(four, one);
}

TEST(LangIDIdentify, RefusedTextsAndSubsets) {
  const LangIDPlan plan(langid_fixture("models/l1"), false);
  const auto refusal = [&](const std::vector<std::string>& texts,
                           const std::vector<std::string>& langs) {
    return test::message_of<LangIDModelError>([&] { plan.identify_many(texts, langs); });
  };
  EXPECT_EQ(refusal({"\xC3\x28"}, {}), "invalid UTF-8 sequence at byte offset 1");
  EXPECT_EQ(refusal({"ab\xE2"}, {}), "invalid UTF-8 sequence at byte offset 2");
  EXPECT_EQ(refusal({"\xED\xA0\x80"}, {}), "invalid UTF-8 sequence at byte offset 0");
  EXPECT_EQ(refusal({"\xC0\xAF"}, {}), "invalid UTF-8 sequence at byte offset 0");
  EXPECT_EQ(refusal({""}, {}), "language identification requires non-empty text");
  // Texts are checked in order, before the subset.
  EXPECT_EQ(refusal({"fine", "", "\xC3\x28"}, {"xx"}),
            "language identification requires non-empty text");
  EXPECT_EQ(refusal({"fine", "\xC3\x28", ""}, {"xx"}), "invalid UTF-8 sequence at byte offset 1");
  EXPECT_EQ(refusal({"fine"}, {"xx", "EN"}), "LangID language subset contains no known language");
  EXPECT_TRUE(plan.identify_many({}, {"xx"}).empty());

  // Of two strings only one names a tag: it is always the answer.
  const std::vector<std::string> texts = {"Hello there", "Привет", "😀", "qqqzzz", "e\u0301"};
  EXPECT_EQ(plan.identify_many(texts, {"xx", "ru"}), std::vector<std::string>(5, "ru"));
  for (const std::string& tag : plan.identify_many(texts, {})) {
    EXPECT_TRUE(tag == "de" || tag == "en" || tag == "es" || tag == "fr" || tag == "ru") << tag;
  }
}

TEST(LangIDIdentify, BundlesInOtherFloatTypesRun) {
  const std::vector<std::string> texts = {"Hello there, friend.", "abc", "Привет", "x"};
  for (const char* model : {"l1_f16", "l1_bf16"}) {
    SCOPED_TRACE(model);
    const LangIDPlan plan(langid_fixture(std::string("models/") + model), false);
    const std::vector<std::string> tags = plan.identify_many(texts, {});
    ASSERT_EQ(tags.size(), texts.size());
    EXPECT_EQ(plan.identify_many(texts, {"fr"}), std::vector<std::string>(4, "fr"));
    // A text past a pass runs in chunks in these types too.
    EXPECT_EQ(plan.identify(std::string(20000, 'a'), {"ru"}), "ru");
  }
}

long peak_resident_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(LangIDIdentify, ManyLongTextsInBoundedMemory) {
  const LangIDPlan plan(langid_fixture("models/l1"), false);
  std::mt19937 random(17);
  const std::string alphabet = "abcdefghij klmnopqrstuvwxyz.,";
  std::vector<std::string> texts(10000, std::string(1000, ' '));
  for (std::string& text : texts) {
    for (char& c : text) {
      c = alphabet[random() % alphabet.size()];
    }
  }
  // Equal lengths: one group of ten million characters, unless the passes
  // are bounded.
  plan.identify_many({texts.front()}, {});
  const long before = peak_resident_kib();
  const std::vector<std::string> tags = plan.identify_many(texts, {});
  const long growth_kib = peak_resident_kib() - before;
  ASSERT_EQ(tags.size(), texts.size());
  EXPECT_LT(growth_kib, 300 * 1024)
      << "peak resident memory grew by " << growth_kib / 1024 << " MiB";
  // A pass of many texts gives each the answer it gets alone.
  for (std::size_t i = 0; i < texts.size(); i += 997) {
    EXPECT_EQ(tags[i], plan.identify(texts[i], {}));
  }
}

} // namespace
} // namespace velmora
