// The vocabulary ids behind the parser's input rows. The probe bundles' word,
// lemma, pretrained and tag embeddings are one-hot columns scaled by the id,
// so each input row spells out the ids it was looked up with: columns
// [pretrained, word, lemma, upos, xpos components..., (the tag slot again),
// character].

#include <gtest/gtest.h>

#include <velmora/json.hpp>

#include "depparse_test_support.hpp"

namespace velmora {
namespace {

using test::depparse_fixture;

struct Ids {
  std::int64_t pretrain, word, lemma, upos;
  std::vector<std::int64_t> xpos;
  bool operator==(const Ids&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Ids& ids) {
  out << "{" << ids.pretrain << " " << ids.word << " " << ids.lemma << " " << ids.upos << " |";
  for (const std::int64_t id : ids.xpos) {
    out << " " << id;
  }
  return out << "}";
}

class Probe {
public:
  explicit Probe(const std::string& name)
      : impl_(depparse_fixture("probes/" + name), false),
        units_(detail::load_json(depparse_fixture("probes.json")).at(name)) {}

  // The ids spelled out by the input rows of `words`, the root's first.
  std::vector<Ids> ids(const std::vector<DepparseWord>& words) const {
    c10::InferenceMode guard;
    const at::Tensor rows = impl_.encode_inputs(words, nullptr, nullptr);
    EXPECT_EQ(rows.size(0), 1);
    EXPECT_EQ(rows.size(1), static_cast<std::int64_t>(words.size()) + 1);
    const std::int64_t tags = impl_.tag_emb_dim;
    EXPECT_EQ(rows.size(2), 3 + 2 * tags + 1);
    std::vector<Ids> result;
    for (std::int64_t i = 0; i < rows.size(1); ++i) {
      const auto value = [&](std::int64_t column) {
        return static_cast<std::int64_t>(std::lround(rows[0][i][column].item<double>()));
      };
      Ids& ids = result.emplace_back(Ids{value(0), value(1), value(2), value(3), {}});
      for (std::int64_t k = 1; k < tags; ++k) {
        ids.xpos.push_back(value(3 + k));
        EXPECT_EQ(value(3 + tags + k), ids.xpos.back()) << "the feature slot repeats the tags";
      }
    }
    return result;
  }

  // The id of `unit` in the probe's list `kind` (components: "components.k").
  std::int64_t id(const std::string& kind, const std::string& unit) const {
    const detail::JsonValue& list =
        kind.starts_with("components.")
            ? units_.at("components").as_array().at(std::stoul(kind.substr(11)))
            : units_.at(kind);
    const auto& units = list.as_array();
    for (std::size_t i = 0; i < units.size(); ++i) {
      if (units[i].as_string() == unit) {
        return static_cast<std::int64_t>(i);
      }
    }
    ADD_FAILURE() << "no unit '" << unit << "' in " << kind;
    return -1;
  }

  const DepparsePlan::Impl& impl() const { return impl_; }

private:
  DepparsePlan::Impl impl_;
  detail::JsonValue units_;
};

DepparseWord word(std::string text, std::optional<std::string> lemma,
                  std::optional<std::string> upos, std::optional<std::string> xpos) {
  return {std::move(text), std::move(lemma), std::move(upos), std::move(xpos), std::nullopt};
}

const Ids kRoot{3, 3, 3, 3, {3}};

TEST(DepparseInputs, PlainTagsWithIgnoreListAndLowerCasedWords) {
  const Probe probe("plain_ignore");
  const auto id = [&](const char* kind, const char* unit) { return probe.id(kind, unit); };
  const std::vector<Ids> got = probe.ids({
      word("New York", "The", std::nullopt, "_"),
      word("\uFF1F\uFF1F", std::nullopt, "VERB", "VB"),
      word("?!", "new york", "NOUN", "NN"),
      word("!?!", "the", "NOUN", std::nullopt),
      word("C\u00E9cile", "\u00E9", "NOUN", "XX"),
      word("a b", "_", "_", "NN"),
      word("?a", "the", "NOUN", "NN"),
      word("\u203C", "the", "NOUN", "NN"),
  });
  const std::int64_t nn = id("xpos", "NN");
  const std::vector<Ids> want = {
      kRoot,
      // Lower-cased word key; the lemma keeps its case; "_" tags: UPOS looks
      // "_" up, XPOS takes id 2 under the ignore list.
      {id("pretrain", "new\u00A0york"),
       id("words", "new york"),
       id("lemmas", "The"),
       id("upos", "_"),
       {2}},
      // Repeated marks read as one; an absent lemma reads "_".
      {id("pretrain", "?"),
       id("words", "?"),
       id("lemmas", "_"),
       id("upos", "VERB"),
       {id("xpos", "VB")}},
      {id("pretrain", "?"), id("words", "?"), id("lemmas", "new york"), id("upos", "NOUN"), {nn}},
      {id("pretrain", "!"), id("words", "!"), id("lemmas", "the"), id("upos", "NOUN"), {2}},
      {id("pretrain", "c\u00E9cile"),
       id("words", "c\u00E9cile"),
       id("lemmas", "\u00E9"),
       id("upos", "NOUN"),
       {1}},
      {id("pretrain", "a\u00A0b"), id("words", "a b"), id("lemmas", "_"), id("upos", "_"), {nn}},
      {id("pretrain", "?a"), id("words", "?a"), id("lemmas", "the"), id("upos", "NOUN"), {nn}},
      {1, 1, id("lemmas", "the"), id("upos", "NOUN"), {nn}},
  };
  EXPECT_EQ(got, want);
}

TEST(DepparseInputs, PlainTagsWithoutIgnoreListAndLowerCasedLemmas) {
  const Probe probe("plain");
  const auto id = [&](const char* kind, const char* unit) { return probe.id(kind, unit); };
  // The word vocabulary keeps its case and sees the space; the pretrained key
  // is lower-cased all the same.
  EXPECT_EQ(probe.ids({word("New York", "The", "NOUN", "_")}),
            (std::vector<Ids>{kRoot,
                              {id("pretrain", "new\u00A0york"),
                               id("words", "New York"),
                               id("lemmas", "the"),
                               id("upos", "NOUN"),
                               {id("xpos", "_")}}}));
  // parse() itself makes no part-of-speech check.
  EXPECT_EQ(probe.ids({word("the", std::nullopt, std::nullopt, std::nullopt)})[1],
            (Ids{id("pretrain", "the"),
                 id("words", "the"),
                 id("lemmas", "_"),
                 id("upos", "_"),
                 {id("xpos", "_")}}));
}

TEST(DepparseInputs, CompositeTagsSplitAtTheSeparator) {
  const Probe probe("composite_plus");
  const auto c = [&](int k, const char* unit) {
    return probe.id("components." + std::to_string(k), unit);
  };
  const std::vector<std::string> tags = {"_", "NN+Sing", "VB++3", "NN+Sing+3+extra", "NN+", "QQ"};
  std::vector<DepparseWord> words;
  for (const std::string& tag : tags) {
    words.push_back(word("the", "the", "NOUN", tag));
  }
  const std::vector<Ids> got = probe.ids(words);
  const std::vector<std::vector<std::int64_t>> want = {
      {3, 3, 3},
      {2, 2, 2},
      {c(0, "NN"), c(1, "Sing"), 2},
      {c(0, "VB"), c(1, ""), c(2, "3")},
      {c(0, "NN"), c(1, "Sing"), c(2, "3")},
      {c(0, "NN"), c(1, ""), 2},
      {1, 2, 2},
  };
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].xpos, want[i]) << "position " << i;
  }

  // Without a separator every code point is one part.
  const Probe empty("composite_empty");
  const auto e = [&](int k, const char* unit) {
    return empty.id("components." + std::to_string(k), unit);
  };
  const std::vector<Ids> split = empty.ids(
      {word("a", "a", "NOUN", "NNS"), word("b", "b", "NOUN", "VB"), word("c", "c", "NOUN", "NB+")});
  EXPECT_EQ(split[1].xpos, (std::vector<std::int64_t>{e(0, "N"), e(1, "N"), e(2, "S")}));
  EXPECT_EQ(split[2].xpos, (std::vector<std::int64_t>{e(0, "V"), e(1, "B"), 2}));
  EXPECT_EQ(split[3].xpos, (std::vector<std::int64_t>{e(0, "N"), e(1, "B"), e(2, "+")}));
}

TEST(DepparseInputs, CharacterModelRefusesAnEmptyWord) {
  const Probe probe("plain");
  c10::InferenceMode guard;
  try {
    probe.impl().encode_inputs({word("the", "the", "NOUN", "NN"), word("", "", "NOUN", "NN")},
                               nullptr, nullptr);
    FAIL() << "encoded";
  } catch (const DepparseModelError& error) {
    EXPECT_STREQ(error.what(), "depparse cannot encode an empty word");
  }
  EXPECT_THROW(probe.impl().encode_inputs({word("\xFF", "a", "NOUN", "NN")}, nullptr, nullptr),
               std::invalid_argument);
}

} // namespace
} // namespace velmora
