// Loading seq2seq bundles: the accepted configuration and every refusal.
// Most cases copy one small valid bundle and rewrite its assets (checksums
// are not verified, so the manifest's digest of the assets does not matter).

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/seq2seq.hpp>

#include "test_support.hpp"
#include "wordform/seq2seq_impl.hpp"

namespace velmora {
namespace {

namespace fs = std::filesystem;

std::string id2unit_json(const std::vector<std::string>& units) {
  std::string id2unit;
  for (std::size_t i = 0; i < units.size(); ++i) {
    id2unit += (i ? ",\"" : "\"") + units[i] + "\"";
  }
  return "[" + id2unit + "]";
}

std::string vocab_json(const std::vector<std::string>& units) {
  std::string unit2id;
  for (std::size_t i = 0; i < units.size(); ++i) {
    unit2id += (i ? ",\"" : "\"") + units[i] + "\":" + std::to_string(i);
  }
  return "{\"_id2unit\":" + id2unit_json(units) + ",\"_unit2id\":{" + unit2id + "}}";
}

// The 32 character units of the bundle's embedding: the four specials, then
// letters.
std::vector<std::string> char_units() {
  std::vector<std::string> units = {"<PAD>", "<UNK>", "<SOS>", "<EOS>"};
  for (char letter = 'a'; units.size() < 32; ++letter) {
    units.emplace_back(1, letter);
  }
  return units;
}

// Assets as raw JSON members, so a case can drop, null or mistype any key.
struct Assets {
  std::map<std::string, std::string> config = {
      {"vocab_size", "32"}, {"emb_dim", "4"},          {"hidden_dim", "4"}, {"num_layers", "2"},
      {"max_dec_len", "4"}, {"attn_type", "\"soft\""}, {"copy", "true"},    {"pos", "true"},
      {"pos_dim", "5"},     {"edit", "true"}};
  std::map<std::string, std::string> vocab = {
      {"char", vocab_json(char_units())},
      {"pos", vocab_json({"<PAD>", "<UNK>", "<SOS>", "<EOS>", "NOUN"})}};

  std::string text() const {
    auto object = [](const std::map<std::string, std::string>& members) {
      std::string out;
      for (const auto& [key, value] : members) {
        out += (out.empty() ? "\"" : ",\"") + key + "\":" + value;
      }
      return "{" + out + "}";
    };
    return "{\"config\":" + object(config) + ",\"vocab\":" + object(vocab) + "}";
  }
};

class Seq2SeqLoadTest : public ::testing::Test {
protected:
  // A copy of a generated bundle, optionally with other assets.
  fs::path bundle(const std::string& name, const std::string& assets = "") {
    const fs::path target = temp_.path() / std::to_string(++copies_);
    fs::copy(test::fixture("seq2seq/" + name + "/bundle"), target, fs::copy_options::recursive);
    if (!assets.empty()) {
      std::ofstream(target / "assets.json", std::ios::binary | std::ios::trunc) << assets;
    }
    return target;
  }
  fs::path bundle(const Assets& assets) { return bundle("load_base", assets.text()); }

  // The message of the Seq2SeqModelError that loading throws.
  static std::string load_error(const fs::path& path) {
    try {
      Seq2SeqPlan plan(path, false);
    } catch (const Seq2SeqModelError& error) {
      return error.what();
    }
    return "<loaded>";
  }

  test::TempDir temp_;
  int copies_ = 0;
};

TEST_F(Seq2SeqLoadTest, AcceptedConfigurationAndDefaults) {
  Assets assets;
  assets.config["batch_size"] = "null";
  assets.config["dropout"] = "0.3"; // keys of no concern are ignored
  Seq2SeqPlan plan(bundle(assets), false);
  EXPECT_TRUE(plan.uses_pos());
  EXPECT_EQ(plan.configured_beam_size(), 1);
  EXPECT_EQ(plan.bundle().processor(), "lemma");

  assets.config["beam_size"] = "4";
  assets.config["pos"] = "false";
  Seq2SeqPlan configured(bundle(assets), false);
  EXPECT_EQ(configured.configured_beam_size(), 4);
  EXPECT_FALSE(configured.uses_pos());
  const Seq2SeqPlan::Impl impl(bundle(assets), false);
  EXPECT_EQ(impl.encoder_initial_hidden.sizes(), (std::vector<std::int64_t>{4, 1, 2}));

  plan = Seq2SeqPlan(std::move(configured));
  EXPECT_EQ(plan.configured_beam_size(), 4);
}

TEST_F(Seq2SeqLoadTest, RefusalsNameTheFirstDefect) {
  const std::string dimensions = "invalid seq2seq dimensions in assets.config";
  const std::string no_pos_vocab = "the seq2seq config enables POS without a POS vocabulary";
  const std::vector<std::pair<std::function<void(Assets&)>, std::string>> cases = {
      {[](Assets& a) { a.config["beam_size"] = "0"; }, dimensions},
      {[](Assets& a) { a.config["batch_size"] = "0"; }, dimensions},
      {[](Assets& a) { a.config["hidden_dim"] = "255"; }, dimensions},
      {[](Assets& a) { a.config["vocab_size"] = "7"; }, dimensions},
      {[](Assets& a) { a.config.erase("max_dec_len"); }, dimensions},
      {[](Assets& a) { a.config["beam_size"] = "\"2\""; },
       "expected JSON integer at assets.config.beam_size"},
      {[](Assets& a) { a.config["copy"] = "1"; }, "expected JSON boolean at assets.config.copy"},
      {[](Assets& a) { a.config.erase("attn_type"); },
       "missing JSON key 'attn_type' at assets.config"},
      {[](Assets& a) { a.config["attn_type"] = "\"Soft\""; },
       "native seq2seq inference currently supports soft attention"},
      {[](Assets& a) { a.config["charlm"] = "true"; },
       "contextual character-LM seq2seq bundles are unsupported"},
      {[](Assets& a) { a.vocab.erase("pos"); }, no_pos_vocab},
      {[](Assets& a) { a.config["pos_dim"] = "0"; }, no_pos_vocab},
      // The POS vocabulary is read even when the model does not use it.
      {[](Assets& a) {
         a.config["pos"] = "false";
         a.vocab["pos"] = vocab_json({"<PAD>", "<UNK>", "<EOS>", "<SOS>"});
       },
       "assets.vocab.pos must begin with <PAD>, <UNK>, <SOS>, <EOS>"},
      {[](Assets& a) {
         a.config["vocab_size"] = "3";
         a.vocab["char"] = vocab_json({"<PAD>", "<UNK>", "<SOS>"});
       },
       "assets.vocab.char must begin with <PAD>, <UNK>, <SOS>, <EOS>"},
      {[](Assets& a) { a.vocab["char"] = "{\"_id2unit\":[\"<PAD>\",1],\"_unit2id\":{}}"; },
       "expected JSON string at assets.vocab.char._id2unit[]"},
      // Without a "char" member the vocabulary object is the character one.
      {[](Assets& a) {
         a.config["pos"] = "false";
         a.vocab = {{"_id2unit", id2unit_json(char_units())}, {"_unit2id", "{\"a\":4}"}};
       },
       "<loaded>"},
      {[](Assets& a) {
         a.config["pos"] = "false";
         a.vocab = {{"_id2unit", "[\"<PAD>\",\"<SOS>\",\"<UNK>\",\"<EOS>\",\"a\",\"b\"]"},
                    {"_unit2id", "{}"}};
       },
       "assets.vocab must begin with <PAD>, <UNK>, <SOS>, <EOS>"},
      {[](Assets& a) { a.vocab.clear(); }, "missing JSON key '_id2unit' at assets.vocab"},
  };
  for (const auto& [edit, message] : cases) {
    Assets assets;
    edit(assets);
    EXPECT_EQ(load_error(bundle(assets)), message) << assets.text();
  }
  EXPECT_EQ(load_error(bundle("load_base", "{\"config\":{}}")),
            "missing JSON key 'vocab' at assets");
  EXPECT_NE(load_error(bundle("load_base", "{\"config\": ")).find(" at JSON byte "),
            std::string::npos);
}

// Configured sizes must be those of the weights, checked before anything is
// allocated from them: a layer count of 2^62 would otherwise list names
// until memory runs out, and a width the weights lack would fail deep in the
// tensor library at the first word.
TEST_F(Seq2SeqLoadTest, ConfigurationMustMatchTheWeights) {
  const auto disagrees = [](const std::string& name) {
    return "seq2seq config disagrees with tensor '" + name + "'";
  };
  const std::vector<std::pair<std::function<void(Assets&)>, std::string>> cases = {
      {[](Assets& a) { a.config["num_layers"] = "4611686018427387904"; },
       disagrees("encoder.weight_ih_l4611686018427387903")},
      {[](Assets& a) { a.config["hidden_dim"] = "4294967296"; }, disagrees("encoder.weight_ih_l0")},
      {[](Assets& a) { a.config["hidden_dim"] = "9223372036854775806"; },
       disagrees("encoder.weight_ih_l0")},
      {[](Assets& a) { a.config["emb_dim"] = "5"; }, disagrees("embedding.weight")},
      {[](Assets& a) {
         a.vocab["char"] =
             "{\"_id2unit\":" + id2unit_json(char_units()) + ",\"_unit2id\":{\"a\":32}}";
       },
       "seq2seq vocabulary disagrees with tensor 'embedding.weight'"},
      {[](Assets& a) {
         a.vocab["pos"] = "{\"_id2unit\":[\"<PAD>\",\"<UNK>\",\"<SOS>\",\"<EOS>\"],"
                          "\"_unit2id\":{\"NOUN\":-1}}";
       },
       "seq2seq vocabulary disagrees with tensor 'pos_embedding.weight'"},
  };
  for (const auto& [edit, message] : cases) {
    Assets assets;
    edit(assets);
    EXPECT_EQ(load_error(bundle(assets)), message) << assets.text();
  }
}

TEST_F(Seq2SeqLoadTest, TensorDefects) {
  EXPECT_EQ(load_error(test::fixture("seq2seq/load_pos_processor/bundle")),
            "expected a lemma or MWT bundle, got 'pos'");
  EXPECT_EQ(load_error(test::fixture("seq2seq/load_no_copy_bias/bundle")),
            "missing seq2seq tensor: 'copy_gate.bias'");
  Assets no_copy;
  no_copy.config["copy"] = "false";
  EXPECT_EQ(load_error(bundle("load_no_copy_bias", no_copy.text())), "<loaded>");
  EXPECT_EQ(load_error(test::fixture("seq2seq/load_no_encoder/bundle")),
            "missing seq2seq tensor: 'encoder.bias_hh_l0_reverse'");
  EXPECT_EQ(load_error(test::fixture("seq2seq/load_uint16/bundle")),
            "ATen view does not support bundle dtype: uint16");

  // Bundle reader failures keep their own class.
  try {
    Seq2SeqPlan plan(temp_.path() / "absent", false);
    FAIL() << "loaded a missing bundle";
  } catch (const Seq2SeqModelError&) {
    FAIL() << "a bundle reader error was rewrapped";
  } catch (const ModelBundleError&) {
  }
}

} // namespace
} // namespace velmora
