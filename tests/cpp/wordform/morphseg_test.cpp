// The morphological segmenter against the PyTorch reference of
// gen_morphseg.py (seeded bundles; words with unknown characters included,
// so feeding them any id but <UNK> changes answers), on bundles whose
// zero weights force one action everywhere, long words, words too large for
// memory, and every load refusal. Assets cases copy the seeded bundle with
// one edit to its assets text (checksums are not verified, so the
// manifest's digest of the assets does not matter).

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <ATen/Parallel.h>
#include <ATen/ops/allclose.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/from_blob.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <velmora/json.hpp>
#include <velmora/morphseg.hpp>

#include "bundle/memory_budget.hpp"
#include "test_support.hpp"
#include "wordform/morphseg_impl.hpp"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using Morphemes = std::vector<std::string>;

// Reference answers whose smallest score gap is below this may flip between
// float32 and the float64 reference.
constexpr double kMargin = 1e-4;

fs::path bundle(const std::string& name) {
  return test::fixture("morphseg/" + name + "/bundle");
}

struct Case {
  std::string word;
  Morphemes morphemes;
  bool clear = true;
};

std::vector<Case> reference_cases() {
  const detail::JsonValue reference =
      detail::load_json(test::fixture("morphseg/random/reference.json"));
  std::vector<Case> cases;
  for (const detail::JsonValue& item : reference.at("cases").as_array()) {
    Case& entry = cases.emplace_back();
    entry.word = item.at("word").as_string();
    for (const detail::JsonValue& morpheme : item.at("morphemes").as_array()) {
      entry.morphemes.push_back(morpheme.as_string());
    }
    const detail::JsonValue& margin = item.at("margin");
    entry.clear = margin.is_null() || margin.as_number() > kMargin;
  }
  return cases;
}

// Words "ab" and "c" and, after the first, the empty word "cd".
Document small_document() {
  std::vector<SentenceInput> sentences(1);
  for (const char* text : {"ab", "c"}) {
    TokenInput& token = sentences[0].tokens.emplace_back();
    token.first_id = token.last_id = static_cast<std::int32_t>(sentences[0].tokens.size());
    token.text = text;
    WordInput& word = token.words.emplace_back();
    word.id = token.first_id;
    word.text = text;
  }
  WordInput& empty = sentences[0].empty_words.emplace_back();
  empty.id = 1;
  empty.empty_index = 1;
  empty.text = "cd";
  return Document(std::string(), std::move(sentences));
}

// The morphemes of every word, the empty one last.
std::vector<Morphemes> morphemes_of(const Document& document) {
  std::vector<Morphemes> all;
  for (const WordSequence& words : {document.words(), document.sentences().at(0).empty_words()}) {
    for (std::uint64_t i = 0; i < words.size(); ++i) {
      all.push_back(words.at(static_cast<std::int64_t>(i)).morphemes());
    }
  }
  return all;
}

class MorphSegReferenceTest : public ::testing::TestWithParam<const char*> {};

TEST_P(MorphSegReferenceTest, SegmentMatchesTheReference) {
  const std::vector<Case> cases = reference_cases();
  const MorphSegPlan plan(bundle(GetParam()), true);
  std::vector<std::string> words;
  for (const Case& entry : cases) {
    words.push_back(entry.word);
  }
  const std::vector<Morphemes> batch = plan.segment_many(words);
  ASSERT_EQ(batch.size(), cases.size());
  std::size_t compared = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    // A word's answer never depends on the other words of its call.
    EXPECT_EQ(plan.segment(words[i]), batch[i]) << words[i];
    if (cases[i].clear) {
      EXPECT_EQ(batch[i], cases[i].morphemes) << "'" << words[i] << "'";
      ++compared;
    }
  }
  EXPECT_GT(compared, 300U);
}

// batch2 splits every length group into chunks of two.
INSTANTIATE_TEST_SUITE_P(Bundles, MorphSegReferenceTest, ::testing::Values("random", "batch2"));

TEST(MorphSegTest, ForcedActionsRebuildTheNormalisedWord) {
  const MorphSegPlan separator(bundle("separator"), false);
  // "COPY+ @@" at every character: the normalised characters one by one and
  // a trailing empty morpheme; outputs keep the input order although the
  // one-character word runs first.
  EXPECT_EQ(separator.segment_many({"Abc", "ﬁ", "ＸＹ", "Straße", "x"}),
            (std::vector<Morphemes>{{"a", "b", "c", ""},
                                    {"f", "i", ""},
                                    {"x", "y", ""},
                                    {"s", "t", "r", "a", "s", "s", "e", ""},
                                    {"x", ""}}));
  EXPECT_EQ(separator.segment_many({"abc", "x", "xyz"}),
            (std::vector<Morphemes>{{"a", "b", "c", ""}, {"x", ""}, {"x", "y", "z", ""}}));
  EXPECT_EQ(separator.segment("日😀"), (Morphemes{"日", "😀", ""}));

  const MorphSegPlan deleting(bundle("delete"), false);
  EXPECT_EQ(deleting.segment_many({"Hello", "ab"}), (std::vector<Morphemes>{{""}, {""}}));
  EXPECT_TRUE(deleting.segment_many({}).empty());
}

TEST(MorphSegTest, DocumentsGetRegularWordsOnlyAndNothingOnFailure) {
  const Document document = small_document();
  const MorphSegPlan padding(bundle("pad"), false);
  // The empty word needs no network call, so the padding action never shows.
  EXPECT_EQ(padding.segment(""), Morphemes{""});
  const std::string message = "MorphSeg classifier predicted a padding or out-of-range action";
  EXPECT_EQ(test::message_of<MorphSegModelError>([&] { padding.segment("a"); }), message);
  EXPECT_EQ(test::message_of<MorphSegModelError>([&] { padding.process(document); }), message);
  EXPECT_EQ(test::message_of<MorphSegModelError>([&] { padding.process_bulk({document}); }),
            message);
  EXPECT_EQ(morphemes_of(document), (std::vector<Morphemes>{{}, {}, {}}));

  const MorphSegPlan plan(bundle("separator"), false);
  EXPECT_TRUE(plan.process_bulk({document}).at(0).same_storage(document));
  EXPECT_EQ(morphemes_of(document), (std::vector<Morphemes>{{"a", "b", ""}, {"c", ""}, {}}));

  // Ill-formed bytes are refused, not normalised into U+FFFD.
  EXPECT_EQ(test::message_of<std::invalid_argument>([&] {
              plan.segment_many({"ok", "a\xff"});
            }),
            "invalid UTF-8 sequence at byte offset 1");
  EXPECT_THROW(plan.segment("\xed\xa0\x80"), std::invalid_argument); // a surrogate
}

// A long word's BiLSTM runs in chunks of its characters: the action scores
// are those of the whole run, and a word far past a network call's budget
// comes back in order.
TEST(MorphSegTest, LongWordsRunInChunks) {
  const MorphSegPlan::Impl impl(bundle("random"), false);
  const c10::InferenceMode guard;
  constexpr std::int64_t rows = 3, length = 50;
  std::mt19937 random(3);
  std::vector<std::int64_t> ids(rows * length);
  for (std::int64_t& id : ids) {
    id = 1 + static_cast<std::int64_t>(random() % (impl.source_vocabulary.size() - 1));
  }
  const at::Tensor all = at::from_blob(ids.data(), {rows, length}, at::kLong);
  const auto scores = [&](std::int64_t chunk) {
    std::vector<at::Tensor> pieces;
    impl.action_scores(
        rows, length, chunk,
        [&](std::int64_t start, std::int64_t count) {
          return all.narrow(1, start, count).contiguous();
        },
        [&](std::int64_t, const at::Tensor& piece) { pieces.push_back(piece.clone()); });
    return at::cat(pieces, 1);
  };
  const at::Tensor whole = scores(length);
  ASSERT_EQ(whole.sizes(), at::IntArrayRef({rows, length, 10}));
  for (const std::int64_t chunk : {1, 7, 49}) {
    EXPECT_TRUE(at::allclose(scores(chunk), whole, 1e-5, 1e-6)) << chunk;
  }

  const MorphSegPlan separator(bundle("separator"), false);
  std::string word;
  Morphemes expected;
  for (int i = 0; i < 20000; ++i) {
    expected.push_back(i % 7 == 0 ? "é" : std::string(1, static_cast<char>('a' + i % 26)));
    word += expected.back();
  }
  expected.emplace_back();
  EXPECT_EQ(separator.segment(word), expected);
}

// Batches of forms run as units of the team, each on one thread: four
// threads give the morphemes of one, for short words and long ones run in
// chunks alike.
TEST(MorphSegTest, SameMorphemesAtOneAndFourThreads) {
  const MorphSegPlan plan(bundle("random"), false);
  std::vector<std::string> words;
  for (const Case& entry : reference_cases()) {
    words.push_back(entry.word);
  }
  const detail::JsonValue ewt = detail::load_json(test::fixture("morphseg/ewt.json"));
  if (const detail::JsonValue* sentences = ewt.find("sentences")) {
    for (const detail::JsonValue& sentence : sentences->as_array()) {
      for (const detail::JsonValue& word : sentence.as_array()) {
        words.push_back(word.as_string());
      }
    }
  }
  std::mt19937 random(9);
  for (const std::size_t length : {9000, 9000, 20000}) {
    std::string& word = words.emplace_back();
    for (std::size_t i = 0; i < length; ++i) {
      word += static_cast<char>('a' + random() % 26);
    }
  }
  const std::vector<Morphemes> one = plan.segment_many(words);
  at::set_num_threads(4);
  const std::vector<Morphemes> four = plan.segment_many(words);
  at::set_num_threads(1);
  EXPECT_EQ(four, one);
}

// A word whose buffers would not fit in the machine's memory is refused
// before they are made, naming its size; the figure is set lower here.
TEST(MorphSegTest, WordsLargerThanMemoryAreRefused) {
  const MorphSegPlan plan(bundle("separator"), false);
  struct SmallMachine {
    SmallMachine() { detail::set_physical_memory_bytes(std::uint64_t{64} << 20); }
    ~SmallMachine() { detail::set_physical_memory_bytes(0); }
  } small;
  const auto expect_refused = [&](const std::string& word, const std::string& characters) {
    const std::string message = test::message_of<MorphSegModelError>([&] {
      plan.segment_many({"ab", word});
    });
    const std::string head = "MorphSeg word of " + characters + " characters needs ";
    const std::string tail = " MB of working memory, more than this machine's 64.0 MB of memory";
    ASSERT_EQ(message.substr(0, head.size()), head) << message;
    ASSERT_GT(message.size(), head.size() + tail.size());
    EXPECT_EQ(message.substr(message.size() - tail.size()), tail) << message;
    EXPECT_GT(std::stod(message.substr(head.size())), 64.0);
  };
  expect_refused(std::string(3000000, 'a'), "3000000");
  // The word as given is checked before it is normalised: this one would fit
  // once NFKC has composed each e and combining acute into one character.
  std::string decomposed;
  for (int i = 0; i < 1200000; ++i) {
    decomposed += "e\xcc\x81";
  }
  expect_refused(decomposed, "2400000");
  EXPECT_EQ(plan.segment("ab"), (Morphemes{"a", "b", ""}));
}

// The message of the MorphSegModelError that loading `path` throws.
std::string load_error(const fs::path& path) {
  try {
    MorphSegPlan plan(path, false);
  } catch (const MorphSegModelError& error) {
    return error.what();
  }
  return "<loaded>";
}

TEST(MorphSegLoadTest, RefusalsNameTheirCause) {
  const std::string assets = test::read_file(bundle("random") / "assets.json");
  const test::TempDir temp;
  int copies = 0;
  // The seeded bundle with the first `from` of its assets replaced by `to`.
  const auto load_with = [&](const std::string& from, const std::string& to) {
    std::string text = assets;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    const fs::path target = temp.path() / std::to_string(++copies);
    fs::copy(bundle("random"), target, fs::copy_options::recursive);
    std::ofstream(target / "assets.json", std::ios::binary | std::ios::trunc) << text;
    return load_error(target);
  };
  const std::string architecture =
      "unsupported MorphSeg architecture; the native profile requires a two-layer BiLSTM, "
      "tau=1, argmax decoding, and no auxiliary features";
  const std::string begin = "MorphSeg vocabularies must begin with <PAD>, <UNK>";
  const std::string shape = "MorphSeg tensor has an unexpected shape: ";
  const std::string source = "\"source_vocabulary\": [";
  const std::string target = "\"target_vocabulary\": [";
  const std::string actions = "\"<UNK>\",\n  \"COPY\",\n  \"DELETE\"";
  const std::vector<std::vector<std::string>> cases = {
      {"\"tau\": 1", "\"tau\": 2", architecture},
      {"\"num_layers\": 2", "\"num_layers\": 1", architecture},
      {"\"num_layers\": 2", "\"num_layers\": 3", architecture},
      {"\"use_crf\": false", "\"use_crf\": true", architecture},
      {"\"use_features\": false", "\"use_features\": true", architecture},
      {"\"batch_size\": 16", "\"batch_size\": 0",
       "MorphSeg config value must be positive: batch_size"},
      {"\"hidden_size\": 6", "\"hidden_size\": -6",
       "MorphSeg config value must be positive: hidden_size"},
      // Errors of the JSON reader arrive as model errors with their context.
      {"\"tau\"", "\"tau_\"", "missing JSON key 'tau' at assets.config"},
      {"\"batch_size\": 16", "\"batch_size\": 16.0", "expected JSON integer at assets.config"},
      {"\"use_crf\": false", "\"use_crf\": 0", "expected JSON boolean at assets.config.use_crf"},
      {"\"config\"", "\"settings\"", "missing JSON key 'config' at assets"},
      {source, "\"source_vocabulary\": {}, \"unused\": [",
       "expected JSON array at assets.source_vocabulary"},
      {target, target + "3, ", "expected JSON string at assets.target_vocabulary[0]"},
      {source + "\n  \"<PAD>\",", source, begin},
      {target, target + "\"COPY\", ", begin},
      // The source vocabulary is an index and must not repeat; the target
      // vocabulary may.
      {"\"<UNK>\",\n  \"a\"", "\"<UNK>\",\n  \"b\"",
       "MorphSeg source vocabulary contains duplicates"},
      {actions, "\"<UNK>\",\n  \"DELETE\",\n  \"DELETE\"", "<loaded>"},
      // Shapes follow the configuration and the vocabulary sizes.
      {"\"<UNK>\",\n  \"a\"", "\"<UNK>\",\n  \"§\",\n  \"a\"", shape + "'embedding.weight'"},
      {"\"embedding_size\": 8", "\"embedding_size\": 4", shape + "'embedding.weight'"},
      {"\"hidden_size\": 6", "\"hidden_size\": 5", shape + "'encoder.h_0'"},
      {actions, "\"<UNK>\",\n  \"DELETE\"", shape + "'classifier.1.weight'"},
  };
  for (const std::vector<std::string>& entry : cases) {
    EXPECT_EQ(load_with(entry[0], entry[1]), entry[2]) << entry[0] << " -> " << entry[1];
  }
  EXPECT_NE(load_with(assets, "{").find("at JSON byte"), std::string::npos);

  EXPECT_EQ(load_error(bundle("missing_tensor")),
            "missing MorphSeg tensor: 'encoder.lstm.bias_hh_l1_reverse'");
  EXPECT_EQ(load_error(bundle("float64_tensor")),
            "MorphSeg tensors must use float32: 'encoder.reduce_dim.bias'");
  EXPECT_EQ(load_error(test::fixture("wordform/lemma_model/bundle")),
            "expected a morphseg bundle, got 'lemma'");
  // Bundle failures pass unchanged.
  try {
    MorphSegPlan plan(bundle("no_such_bundle"), false);
    ADD_FAILURE() << "loaded a missing bundle";
  } catch (const MorphSegModelError&) {
    ADD_FAILURE() << "a bundle failure became a model error";
  } catch (const ModelBundleError&) {
  }
}

} // namespace
} // namespace velmora
