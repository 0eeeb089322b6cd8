// The morphological segmenter against the PyTorch reference of
// gen_morphseg.py (seeded bundles; words with unknown characters included,
// so feeding them any id but <UNK> changes answers), on bundles whose
// zero weights force one action everywhere, and every load refusal. Assets
// cases copy the seeded bundle and rewrite its assets (checksums are not
// verified, so the manifest's digest of the assets does not matter).

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/json.hpp>
#include <velmora/morphseg.hpp>

#include "test_support.hpp"

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

// One document of one-word tokens, five words a sentence.
Document document_of(const std::vector<std::string>& words) {
  std::vector<SentenceInput> sentences;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i % 5 == 0) {
      sentences.emplace_back();
    }
    SentenceInput& sentence = sentences.back();
    const auto id = static_cast<std::int32_t>(sentence.tokens.size() + 1);
    TokenInput& token = sentence.tokens.emplace_back();
    token.first_id = token.last_id = id;
    token.text = words[i];
    WordInput& word = token.words.emplace_back();
    word.id = id;
    word.text = words[i];
  }
  return Document(std::string(), std::move(sentences));
}

std::vector<Morphemes> morphemes_of(const Document& document) {
  std::vector<Morphemes> all;
  const WordSequence words = document.words();
  for (std::uint64_t i = 0; i < words.size(); ++i) {
    all.push_back(words.at(static_cast<std::int64_t>(i)).morphemes());
  }
  return all;
}

class MorphSegReferenceTest : public ::testing::TestWithParam<const char*> {};

TEST_P(MorphSegReferenceTest, SegmentAndDocumentsMatchTheReference) {
  const std::vector<Case> cases = reference_cases();
  const MorphSegPlan plan(bundle(GetParam()), true);
  std::vector<std::string> words;
  std::vector<std::string> document_words;
  for (const Case& entry : cases) {
    words.push_back(entry.word);
    if (!entry.word.empty()) {
      document_words.push_back(entry.word);
    }
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

  // Documents never hold empty words; the rest come back word by word, also
  // across the documents of one bulk call.
  std::vector<Morphemes> expected;
  for (const std::string& word : document_words) {
    expected.push_back(plan.segment(word));
  }
  const std::size_t half = document_words.size() / 2;
  const std::vector<std::string> first(document_words.begin(), document_words.begin() + half);
  const std::vector<std::string> second(document_words.begin() + half, document_words.end());
  const Document single = document_of(document_words);
  EXPECT_TRUE(plan.process(single).same_storage(single));
  EXPECT_EQ(morphemes_of(single), expected);
  const std::vector<Document> bulk = plan.process_bulk({document_of(first), document_of(second)});
  ASSERT_EQ(bulk.size(), 2U);
  std::vector<Morphemes> joined = morphemes_of(bulk[0]);
  for (Morphemes& entry : morphemes_of(bulk[1])) {
    joined.push_back(std::move(entry));
  }
  EXPECT_EQ(joined, expected);
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

TEST(MorphSegTest, PaddingActionAndBadTextFailBeforeAnythingIsWritten) {
  const MorphSegPlan padding(bundle("pad"), false);
  // The empty word needs no network call, so the padding action never shows.
  EXPECT_EQ(padding.segment(""), Morphemes{""});
  const std::string message = "MorphSeg classifier predicted a padding or out-of-range action";
  EXPECT_EQ(test::message_of<MorphSegModelError>([&] { padding.segment("a"); }), message);
  Document document = document_of({"ab", "c"});
  EXPECT_EQ(test::message_of<MorphSegModelError>([&] { padding.process(document); }), message);
  EXPECT_EQ(test::message_of<MorphSegModelError>([&] { padding.process_bulk({document}); }),
            message);
  EXPECT_EQ(morphemes_of(document), (std::vector<Morphemes>{{}, {}}));

  // Ill-formed bytes are refused, not normalised into U+FFFD.
  const MorphSegPlan plan(bundle("separator"), false);
  EXPECT_EQ(test::message_of<std::invalid_argument>([&] {
              plan.segment_many({"ok", "a\xff"});
            }),
            "invalid UTF-8 sequence at byte offset 1");
  EXPECT_THROW(plan.segment("\xed\xa0\x80"), std::invalid_argument); // a surrogate
}

TEST(MorphSegTest, ProcessWritesRegularWordsOnly) {
  std::vector<SentenceInput> sentences(1);
  TokenInput& token = sentences[0].tokens.emplace_back();
  token.first_id = token.last_id = 1;
  token.text = "ab";
  WordInput& word = token.words.emplace_back();
  word.id = 1;
  word.text = "ab";
  WordInput& empty = sentences[0].empty_words.emplace_back();
  empty.id = 1;
  empty.empty_index = 1;
  empty.text = "cd";
  Document document(std::string(), std::move(sentences));

  const MorphSegPlan plan(bundle("separator"), false);
  plan.process(document);
  EXPECT_EQ(morphemes_of(document), (std::vector<Morphemes>{{"a", "b", ""}}));
  const WordSequence empty_words = document.sentences().at(0).empty_words();
  ASSERT_EQ(empty_words.size(), 1U);
  EXPECT_TRUE(empty_words.at(0).morphemes().empty());
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

class MorphSegAssetsTest : public ::testing::Test {
protected:
  std::string assets_error(const std::string& assets) {
    const fs::path target = temp_.path() / ("bundle" + std::to_string(++copies_));
    fs::copy(bundle("random"), target, fs::copy_options::recursive);
    std::ofstream(target / "assets.json", std::ios::binary | std::ios::trunc) << assets;
    return load_error(target);
  }

  // The seeded bundle's assets with `config` members and vocabularies
  // replaced where given.
  std::string assets_with(const std::string& config_members,
                          const std::optional<std::string>& source = std::nullopt,
                          const std::optional<std::string>& target = std::nullopt) const {
    return R"({"config": {)" + config_members + R"(}, "source_vocabulary": )" +
           source.value_or(source_) + R"(, "target_vocabulary": )" + target.value_or(target_) + "}";
  }

  // The seeded bundle's configuration with `key` set to `value` (JSON
  // text), or left out when `value` is empty.
  static std::string config(const std::string& key = {}, const std::string& value = "") {
    std::map<std::string, std::string> members = {
        {"embedding_size", "8"},  {"hidden_size", "6"}, {"num_layers", "2"},
        {"batch_size", "16"},     {"tau", "1"},         {"use_crf", "false"},
        {"use_features", "false"}};
    if (!key.empty()) {
      members[key] = value;
    }
    std::string text;
    for (const auto& [name, member] : members) {
      if (!member.empty()) {
        text += (text.empty() ? "\"" : ", \"") + name + "\": " + member;
      }
    }
    return text;
  }

  void SetUp() override {
    const detail::JsonValue assets = detail::load_json(bundle("random") / "assets.json");
    source_ = vocabulary_text(assets.at("source_vocabulary").as_array());
    target_ = vocabulary_text(assets.at("target_vocabulary").as_array());
  }

  static std::string vocabulary_text(const detail::JsonValue::Array& entries) {
    std::string text = "[";
    for (const detail::JsonValue& entry : entries) {
      text += (text.size() > 1 ? ", \"" : "\"") + entry.as_string() + "\"";
    }
    return text + "]";
  }

  std::string source_;
  std::string target_;

private:
  test::TempDir temp_;
  int copies_ = 0;
};

TEST_F(MorphSegAssetsTest, ConfigurationAndArchitecture) {
  EXPECT_EQ(assets_error(assets_with(config())), "<loaded>");
  const std::string architecture =
      "unsupported MorphSeg architecture; the native profile requires a two-layer BiLSTM, "
      "tau=1, argmax decoding, and no auxiliary features";
  for (const auto& [key, value] :
       std::vector<std::pair<std::string, std::string>>{{"tau", "2"},
                                                        {"num_layers", "1"},
                                                        {"num_layers", "3"},
                                                        {"use_crf", "true"},
                                                        {"use_features", "true"}}) {
    EXPECT_EQ(assets_error(assets_with(config(key, value))), architecture) << key << value;
  }
  EXPECT_EQ(assets_error(assets_with(config("batch_size", "0"))),
            "MorphSeg config value must be positive: batch_size");
  EXPECT_EQ(assets_error(assets_with(config("hidden_size", "-6"))),
            "MorphSeg config value must be positive: hidden_size");

  // Errors of the JSON reader arrive as model errors with their context.
  EXPECT_EQ(assets_error(assets_with(config("tau", ""))),
            "missing JSON key 'tau' at assets.config");
  EXPECT_EQ(assets_error(assets_with(config("batch_size", "16.0"))),
            "expected JSON integer at assets.config");
  EXPECT_EQ(assets_error(assets_with(config("use_crf", "0"))),
            "expected JSON boolean at assets.config.use_crf");
  EXPECT_EQ(assets_error(R"({"source_vocabulary": []})"), "missing JSON key 'config' at assets");
  EXPECT_NE(assets_error("{").find("at JSON byte"), std::string::npos);
}

TEST_F(MorphSegAssetsTest, Vocabularies) {
  const std::string begin = "MorphSeg vocabularies must begin with <PAD>, <UNK>";
  EXPECT_EQ(assets_error(assets_with(config(), R"(["<PAD>"])")), begin);
  EXPECT_EQ(assets_error(assets_with(config(), std::nullopt, R"(["<UNK>", "<PAD>", "COPY"])")),
            begin);
  EXPECT_EQ(assets_error(assets_with(config(), std::nullopt, R"(["<PAD>", "<UNK>", 3])")),
            "expected JSON string at assets.target_vocabulary[2]");
  EXPECT_EQ(assets_error(assets_with(config(), "{}")),
            "expected JSON array at assets.source_vocabulary");

  // The source vocabulary is an index and must not repeat; the target
  // vocabulary may (the seeded bundle's repeats "COPY").
  std::string repeated = source_;
  repeated.insert(repeated.size() - 1, R"(, "a")");
  EXPECT_EQ(assets_error(assets_with(config(), repeated)),
            "MorphSeg source vocabulary contains duplicates");
  EXPECT_NE(target_.find(R"("COPY", "DELETE")"), std::string::npos);
  EXPECT_NE(target_.rfind(R"(, "COPY"])"), std::string::npos);

  // One more source character than the embedding has rows.
  std::string longer = source_;
  longer.insert(longer.size() - 1, R"(, "§")");
  EXPECT_EQ(assets_error(assets_with(config(), longer)),
            "MorphSeg tensor has an unexpected shape: 'embedding.weight'");
}

TEST_F(MorphSegAssetsTest, Tensors) {
  EXPECT_EQ(assets_error(assets_with(config("hidden_size", "5"))),
            "MorphSeg tensor has an unexpected shape: 'encoder.h_0'");
  EXPECT_EQ(assets_error(assets_with(config("embedding_size", "4"))),
            "MorphSeg tensor has an unexpected shape: 'embedding.weight'");
  std::string fewer_actions = target_;
  fewer_actions.erase(fewer_actions.rfind(", "), std::string::npos).append("]");
  EXPECT_EQ(assets_error(assets_with(config(), std::nullopt, fewer_actions)),
            "MorphSeg tensor has an unexpected shape: 'classifier.1.weight'");

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
