// The transformer word encoder built from plan assets, checked against the
// eager module's rows and against malformed assets.

#include <map>
#include <tuple>

#include <velmora/errors.hpp>

#include "encoders/native_transformer.hpp"
#include "transformer_test_support.hpp"

namespace {

using velmora::TransformerError;
using velmora::detail::JsonError;
using velmora::detail::JsonValue;
using velmora::detail::NativeTransformer;
namespace vt = velmora::test;

std::shared_ptr<velmora::ModelBundle> open_bundle(const std::string& tokenizer) {
  return std::make_shared<velmora::ModelBundle>(vt::transformer_bundle(tokenizer), false);
}

JsonValue str(const std::string& text) {
  return JsonValue(text);
}

TEST(NativeTransformer, EncodesLikeTheEagerModuleForEachTokenizer) {
  std::map<std::string, std::shared_ptr<velmora::ModelBundle>> bundles;
  std::map<std::tuple<std::string, long long>, std::unique_ptr<NativeTransformer>> encoders;
  for (const JsonValue& c : vt::transformer_reference().at("word_cases").as_array()) {
    const std::string tokenizer = c.at("tokenizer").as_string();
    const long long length = c.at("model_max_length").as_integer();
    const bool keep = c.at("keep_endpoints").as_bool();
    const std::vector<std::string> words = vt::strings_of(c.at("words"));
    SCOPED_TRACE(tokenizer + ", model_max_length " + std::to_string(length) + ", " +
                 std::to_string(words.size()) + " words" + (keep ? ", endpoints" : ""));
    auto& bundle = bundles[tokenizer];
    if (!bundle) {
      bundle = open_bundle(tokenizer);
    }
    auto& encoder = encoders[{tokenizer, length}];
    if (!encoder) {
      encoder = std::make_unique<NativeTransformer>(
          bundle, vt::with_member(vt::transformer_assets(tokenizer), "model_max_length",
                                  JsonValue(length)));
    }

    const auto ids = vt::integers_of(c.at("input_ids"));
    const velmora::WordPieceEncoding encoding = encoder->tokenize(words, true);
    EXPECT_EQ(encoding.input_ids, ids);
    EXPECT_EQ(encoding.word_ids, vt::integers_of(c.at("word_ids")));
    EXPECT_EQ(encoding.attention_mask, std::vector<std::int64_t>(ids.size(), 1));
    EXPECT_EQ(encoder->tokenize(words, false).input_ids,
              std::vector<std::int64_t>(ids.begin() + 1, ids.end() - 1));

    const at::Tensor rows = encoder->encode(words, keep);
    EXPECT_EQ(rows.scalar_type(), at::kFloat);
    EXPECT_EQ(rows.size(1), encoder->hidden_size());
    EXPECT_EQ(vt::compare_rows(rows, c.at("rows")), "");
  }
}

TEST(NativeTransformer, RunsCallerMadeIdsWithoutWindows) {
  const auto bundle = open_bundle("wordpiece");
  // A maximum length of 5 must not limit ids given directly.
  NativeTransformer encoder(bundle, vt::with_member(vt::transformer_assets("wordpiece"),
                                                    "model_max_length", JsonValue(5LL)));
  for (const JsonValue& c : vt::transformer_reference().at("id_cases").as_array()) {
    const auto ids = vt::integers_of(c.at("input_ids"));
    SCOPED_TRACE(std::to_string(ids.size()) + " ids");
    EXPECT_EQ(vt::compare_rows(encoder.encode_ids(ids, vt::integers_of(c.at("attention_mask"))),
                               c.at("rows")),
              "");
  }
  const at::Tensor none = encoder.encode_ids({}, {});
  EXPECT_EQ(none.sizes(), at::IntArrayRef({0, 16}));
}

TEST(NativeTransformer, RefusesOutputsOfAnotherWidthThanTheAssets) {
  const auto bundle = open_bundle("bpe");
  NativeTransformer encoder(
      bundle, vt::with_member(vt::transformer_assets("bpe"), "hidden_size", JsonValue(8LL)));
  EXPECT_EQ(encoder.hidden_size(), 8);
  const std::string message = "AOTInductor transformer output hidden size disagrees with assets";
  EXPECT_EQ(encoder.encode({}, false).sizes(), at::IntArrayRef({0, 8}));
  EXPECT_EQ(encoder.encode_ids({}, {}).sizes(), at::IntArrayRef({0, 8}));
  try {
    encoder.encode({}, true);
    ADD_FAILURE() << "endpoint rows of width 16 accepted";
  } catch (const TransformerError& error) {
    EXPECT_EQ(error.what(), message);
  }
  try {
    encoder.encode_ids({0, 4, 2}, {});
    ADD_FAILURE() << "id rows of width 16 accepted";
  } catch (const TransformerError& error) {
    EXPECT_EQ(error.what(), message);
  }
}

// Builds the encoder from `transformer` and reports the failure as
// "<kind>: <message>", kind naming the error class.
std::string failure(const std::string& bundle_name, const JsonValue& transformer) {
  try {
    NativeTransformer encoder(open_bundle(bundle_name), transformer);
  } catch (const TransformerError& error) {
    return std::string("transformer: ") + error.what();
  } catch (const JsonError& error) {
    return std::string("json: ") + error.what();
  } catch (const velmora::WordPieceError& error) {
    return std::string("wordpiece: ") + error.what();
  } catch (const velmora::SubwordError& error) {
    return std::string("subword: ") + error.what();
  } catch (const std::exception& error) {
    return std::string("other: ") + error.what();
  }
  return "built";
}

TEST(NativeTransformer, RefusesTransformerAssetsItCannotRun) {
  const JsonValue wp = vt::transformer_assets("wordpiece");
  const std::string local = "transformer: transformer artifact must be a bundle-local filename";
  EXPECT_EQ(failure("wordpiece", vt::with_member(wp, "backend", str("AOTInductor"))),
            "transformer: unsupported transformer runtime backend");
  EXPECT_EQ(failure("wordpiece", vt::with_member(wp, "backend", JsonValue(true))),
            "json: expected JSON string");
  EXPECT_EQ(failure("wordpiece", vt::without_member(wp, "backend")),
            "json: missing JSON key 'backend' at assets.transformer");
  for (const char* artifact : {"", "sub/tiny.pt2", "/tiny.pt2", ".", "..", "../wordpiece"}) {
    EXPECT_EQ(failure("wordpiece", vt::with_member(wp, "artifact", str(artifact))), local)
        << artifact;
  }
  // The file calls would end the name at the NUL and open "tiny.pt2".
  EXPECT_EQ(
      failure("wordpiece", vt::with_member(wp, "artifact", str(std::string("tiny.pt2\0x", 10)))),
      local);
  EXPECT_EQ(failure("wordpiece", vt::with_member(wp, "artifact", str("absent.pt2"))),
            "transformer: transformer artifact is not listed in the bundle manifest: "
            "'absent.pt2'");
  EXPECT_EQ(failure("wordpiece", vt::with_member(wp, "hidden_size", JsonValue(0LL))),
            "transformer: assets.transformer.hidden_size must be positive");
  EXPECT_EQ(failure("wordpiece", vt::with_member(wp, "hidden_size", JsonValue(16.0))),
            "json: expected JSON integer at assets.transformer.hidden_size");
  EXPECT_EQ(failure("wordpiece", vt::with_member(wp, "model_max_length", JsonValue(-3LL))),
            "transformer: assets.transformer.model_max_length must be positive");
  EXPECT_EQ(failure("wordpiece", vt::with_member(wp, "model_max_length", JsonValue(4LL))),
            "transformer: transformer model_max_length must be at least 5");
}

TEST(NativeTransformer, RefusesTokenizerDescriptionsItCannotBuild) {
  const auto tokenizer_change = [](const std::string& bundle, const std::string& key,
                                   const JsonValue* value) {
    const JsonValue transformer = vt::transformer_assets(bundle);
    const JsonValue& tokenizer = transformer.at("tokenizer");
    return failure(bundle, vt::with_member(transformer, "tokenizer",
                                           value ? vt::with_member(tokenizer, key, *value)
                                                 : vt::without_member(tokenizer, key)));
  };
  const JsonValue lower = str("wordpiece");
  EXPECT_EQ(tokenizer_change("wordpiece", "type", &lower),
            "transformer: unsupported native transformer tokenizer type: wordpiece");
  // The vocabulary is read before the type is judged.
  const JsonValue lower_with_bad_vocabulary = vt::with_member(
      vt::with_member(vt::transformer_assets("wordpiece").at("tokenizer"), "type", lower),
      "vocabulary", JsonValue(JsonValue::Array{str("a"), JsonValue(1LL)}));
  EXPECT_EQ(failure("wordpiece", vt::with_member(vt::transformer_assets("wordpiece"), "tokenizer",
                                                 lower_with_bad_vocabulary)),
            "json: expected JSON string at assets.transformer.tokenizer.vocabulary[]");
  EXPECT_EQ(tokenizer_change("wordpiece", "lowercase", nullptr),
            "json: missing JSON key 'lowercase' at assets.transformer.tokenizer");
  const JsonValue zero(0LL);
  EXPECT_EQ(tokenizer_change("wordpiece", "max_input_characters_per_word", &zero),
            "transformer: assets.transformer.tokenizer.max_input_characters_per_word must be "
            "positive");
  const JsonValue no_unknown = str("[NONE]");
  EXPECT_EQ(tokenizer_change("wordpiece", "unknown_token", &no_unknown),
            "wordpiece: WordPiece vocabulary is missing required token: "
            "[NONE]");

  const JsonValue three(
      JsonValue::Array{JsonValue(JsonValue::Array{str("a"), str("b"), str("c")})});
  EXPECT_EQ(tokenizer_change("bpe", "merges", &three),
            "transformer: byte BPE merge must contain exactly two tokens");
  const JsonValue prefix_text = str("yes");
  EXPECT_EQ(tokenizer_change("bpe", "add_prefix_space", &prefix_text),
            "json: expected JSON boolean at assets.transformer.tokenizer.add_prefix_space");

  const std::string invalid = "transformer: invalid base64 tokenizer charsmap";
  for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
           {"abc", invalid + " length"},
           {"QQ=A", invalid},
           {"====", invalid},
           {"X===", invalid},
           {"AAAA", "subword: XLM-R precompiled charsmap is truncated"}}) {
    const JsonValue value = str(text);
    EXPECT_EQ(tokenizer_change("xlmr", "precompiled_charsmap", &value), expected) << text;
  }
  const JsonValue fraction(1.5);
  EXPECT_EQ(tokenizer_change("xlmr", "unknown_id", &fraction),
            "json: expected JSON integer at assets.transformer.tokenizer.unknown_id");
}

TEST(NativeTransformer, DecodesStrictBase64) {
  using velmora::detail::decode_base64_charsmap;
  const auto bytes = [](std::string_view text) {
    std::vector<unsigned char> out(text.begin(), text.end());
    return out;
  };
  EXPECT_EQ(decode_base64_charsmap(""), bytes(""));
  EXPECT_EQ(decode_base64_charsmap("TWFu"), bytes("Man"));
  EXPECT_EQ(decode_base64_charsmap("TWE="), bytes("Ma"));
  EXPECT_EQ(decode_base64_charsmap("TQ=="), bytes("M"));
  // A padded group may stand anywhere; decoding goes on after it.
  EXPECT_EQ(decode_base64_charsmap("TQ==TWFu/+8="),
            (std::vector<unsigned char>{'M', 'M', 'a', 'n', 0xFF, 0xEF}));
  for (const char* bad : {"TW-u", "TW\nu", "TW=u", "T===", "====", "TWFu TWF"}) {
    EXPECT_THROW(decode_base64_charsmap(bad), TransformerError) << bad;
  }
}

} // namespace
