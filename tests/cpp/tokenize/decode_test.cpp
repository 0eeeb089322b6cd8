#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/tokenizer.hpp>

#include "tokenize/tokenizer_impl.hpp"
#include "tokenizer_test_support.hpp"

namespace velmora {
namespace {

using Labels = std::vector<std::int64_t>;

class TokenizerDecode : public ::testing::Test {
protected:
  TokenizerPlan::Impl impl_with(const std::string& shorthand, const std::string& lang) {
    return TokenizerPlan::Impl(
        test::edited_bundle(dir_, "cases/valid",
                            {{"\"shorthand\": \"en_test\"", "\"shorthand\": \"" + shorthand + "\""},
                             {"\"lang\": \"en\"", "\"lang\": \"" + lang + "\""}}),
        false);
  }
  Document decode(const TokenizerPlan::Impl& impl, const std::string& text,
                  const std::vector<Labels>& labels) {
    return impl.decode_labels(Document(text),
                              detail::tokenize::split_paragraphs(text.data(), text.size(), false),
                              labels);
  }
  // "text[start,end)" per token, sentences separated by " | ".
  static std::string tokens(const Document& document) {
    std::string out;
    for (std::uint64_t s = 0; s < document.sentences().size(); ++s) {
      const Sentence sentence = document.sentences().at(static_cast<std::int64_t>(s));
      out += out.empty() ? "" : " | ";
      std::string line;
      for (std::uint64_t t = 0; t < sentence.tokens().size(); ++t) {
        const Token token = sentence.tokens().at(static_cast<std::int64_t>(t));
        line += (line.empty() ? "" : " ") + token.text() + "[" +
                std::to_string(*token.start_char()) + "," + std::to_string(*token.end_char()) + ")";
      }
      out += line;
    }
    return out;
  }
  test::TempDir dir_;
};

TEST_F(TokenizerDecode, HelloWorld) {
  const auto impl = impl_with("en_test", "en");
  const Document document = decode(impl, "Hello world.", {{0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 2}});
  EXPECT_EQ(tokens(document), "Hello[0,5) world[6,11) .[11,12)");
  const auto all = document.tokens();
  EXPECT_EQ(all.at(0).spaces_before(), "");
  EXPECT_EQ(all.at(0).spaces_after(), " ");
  EXPECT_EQ(all.at(2).spaces_after(), "");
  EXPECT_EQ(all.at(1).id_range(), (std::pair<std::int32_t, std::int32_t>{2, 2}));
  EXPECT_EQ(document.words().at(1).text(), "world");
  EXPECT_FALSE(all.at(0).misc().has_value());
  EXPECT_EQ(document.lang(), "en");
  EXPECT_EQ(document.sentences().at(0).text(), "Hello world.");
}

TEST_F(TokenizerDecode, SpaceOnlyTokensVanishWithTheirSentenceEnd) {
  const auto impl = impl_with("en_test", "en");
  // The space is labelled a sentence end right after "ab" ended.
  EXPECT_EQ(tokens(decode(impl, "ab cd", {{0, 1, 2, 0, 2}})), "ab[0,2) cd[3,5)");
  // Leading spaces leave the token text; trailing ones stay in it.
  EXPECT_EQ(tokens(decode(impl, " ab cd", {{0, 0, 0, 0, 0, 2}})), "ab cd[1,6)");
  const Document trailing = decode(impl, "ab cd", {{0, 0, 1, 0, 2}});
  EXPECT_EQ(trailing.tokens().at(0).text(), "ab ");
  EXPECT_EQ(*trailing.tokens().at(0).end_char(), 2u);
}

TEST_F(TokenizerDecode, MultiWordTokensAreMarked) {
  const auto impl = impl_with("en_test", "en");
  const Document document = decode(impl, "du vin", {{0, 3, 0, 0, 0, 4}});
  EXPECT_EQ(tokens(document), "du[0,2) vin[3,6)");
  for (std::int64_t t = 0; t < 2; ++t) {
    const Token token = document.tokens().at(t);
    EXPECT_EQ(token.misc(), "MWT=Yes");
    EXPECT_EQ(token.words().at(0).misc(), "MWT=Yes");
  }
  // Other values of 1 or above end a token only; below 1 read as 0.
  EXPECT_EQ(tokens(decode(impl, "abcd", {{7, -1, 0, 2}})), "a[0,1) bcd[1,4)");
}

TEST_F(TokenizerDecode, ColonsEndSentencesForOneTreebank) {
  const auto ittb = impl_with("la_ittb", "la");
  const Document split = decode(ittb, "a:b;c", {{0, 0, 0, 3, 2}});
  EXPECT_EQ(tokens(split), "a:[0,2) | b;[2,4) | c[4,5)");
  EXPECT_FALSE(split.tokens().at(1).misc().has_value());
  const auto other = impl_with("la_proiel", "la");
  EXPECT_EQ(tokens(decode(other, "a:b;c", {{0, 0, 0, 3, 2}})), "a:b;[0,4) c[4,5)");
}

TEST_F(TokenizerDecode, SpacelessLanguagesDropSpacesInsideTokens) {
  const Labels labels = {0, 0, 0, 0, 2};
  EXPECT_EQ(decode(impl_with("zh_gsd", "zh"), "中 文 x", {labels}).tokens().at(0).text(), "中文x");
  const Document hans = decode(impl_with("zh_x", "zh-hans"), "中\n文", {{0, 0, 2}});
  EXPECT_EQ(tokens(hans), "中文[0,3)");
  EXPECT_EQ(decode(impl_with("ja_x", "ja"), "a b", {{0, 0, 2}}).tokens().at(0).text(), "ab");
  EXPECT_EQ(decode(impl_with("ko_x", "ko"), "a b", {{0, 0, 2}}).tokens().at(0).text(), "ab");
  EXPECT_EQ(decode(impl_with("z_x", "z"), "a b", {{0, 0, 2}}).tokens().at(0).text(), "a b");
  EXPECT_EQ(decode(impl_with("en_x", "en"), "a\nb", {{0, 0, 2}}).tokens().at(0).text(), "a b");
}

TEST_F(TokenizerDecode, OverlongTokensBecomeUnknown) {
  const auto impl = impl_with("en_test", "en");
  const std::string kept(1000, 'k');
  Labels labels(1000, 0);
  labels.back() = 2;
  EXPECT_EQ(decode(impl, kept, {labels}).tokens().at(0).text(), kept);

  // Counted from the first non-space unit: one leading space does not count.
  const std::string overlong = " " + std::string(1001, 'k');
  labels.assign(1002, 0);
  labels.back() = 2;
  const Document document = decode(impl, overlong, {labels});
  EXPECT_EQ(tokens(document), "<UNK>[1,1002)");
  EXPECT_EQ(document.tokens().at(0).spaces_before(), " ");
}

TEST_F(TokenizerDecode, ParagraphsEndSentencesAndKeepTheirWhitespace) {
  const auto impl = impl_with("en_test", "en");
  const Document document = decode(impl, " a b\n\n\tc\n", {{0, 1, 0, 1}, {0, 1}});
  EXPECT_EQ(tokens(document), "a[1,2) b[3,4) | c[7,8)");
  const auto all = document.tokens();
  EXPECT_EQ(all.at(0).spaces_before(), " ");
  EXPECT_EQ(all.at(1).spaces_after(), "\n\n\t");
  EXPECT_EQ(all.at(2).spaces_after(), "\n");
  EXPECT_EQ(document.sentences().at(1).sent_id(), "1");
}

TEST_F(TokenizerDecode, EmptyTextsGiveEmptyDocumentsWithTheBundleLanguage) {
  const auto impl = impl_with("en_test", "xx");
  const Document document = decode(impl, " \n\n ", {});
  EXPECT_EQ(document.sentences().size(), 0u);
  EXPECT_EQ(document.text(), " \n\n ");
  EXPECT_EQ(document.lang(), "en"); // the manifest's language, not the config's

  TokenizerPlan plan(test::tokenizer_bundle("cases/valid"), false);
  EXPECT_EQ(plan.process(Document("")).lang(), "en");
}

TEST_F(TokenizerDecode, RefusesLabelsThatDoNotFit) {
  const auto impl = impl_with("en_test", "en");
  const auto message = [&](const std::vector<Labels>& labels) {
    try {
      decode(impl, "ab\n\ncd", labels);
    } catch (const TokenizerModelError& error) {
      return std::string(error.what());
    }
    return std::string("decoded");
  };
  EXPECT_EQ(message({{0, 2}}), "tokenizer paragraph and prediction counts disagree");
  EXPECT_EQ(message({{0, 2}, {2, 0}}), "tokenizer prediction left an unfinished token");
  EXPECT_EQ(message({{0, 2}, {1, 1}}), "decoded");
  // A label vector shorter than its paragraph is refused, never read past.
  EXPECT_THROW(decode(impl, "ab\n\ncd", {{0, 2}, {2}}), std::out_of_range);
}

TEST_F(TokenizerDecode, ProcessLeavesTheInputAlone) {
  TokenizerPlan plan(test::tokenizer_bundle("mwt_gated"), false);
  Document input("Hello there. General Kenobi!");
  input.set_lang(std::string("xx"));
  const Document output = plan.process(input);
  EXPECT_EQ(input.sentences().size(), 0u);
  EXPECT_EQ(input.lang(), "xx");
  EXPECT_EQ(output.text(), input.text());
  EXPECT_GT(output.tokens().size(), 0u);
}

} // namespace
} // namespace velmora
