#include <velmora/model_index.hpp>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include <velmora/model_bundle.hpp>

#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using velmora::ModelBundleError;
using velmora::resolve_model_bundle;

fs::path models() {
  return velmora::test::fixture("bundle/models");
}

std::string resolve_error(std::string_view rv, std::string_view lang, std::string_view processor,
                          std::string_view package, const fs::path& root = models()) {
  try {
    resolve_model_bundle(root, rv, lang, processor, package);
  } catch (const ModelBundleError& error) {
    return error.what();
  }
  return "<resolved>";
}

TEST(ModelIndex, SelectsTheSingleMatchingEntry) {
  const fs::path index_dir = models() / "1.14.0" / "en";
  const fs::path pos = resolve_model_bundle(models(), "1.14.0", "en", "pos", "default");
  EXPECT_EQ(pos, index_dir / "pos_combined");
  EXPECT_EQ(velmora::ModelBundle(pos, true).processor(), "pos");
  EXPECT_EQ(resolve_model_bundle(models(), "1.14.0", "en", "pos", "combined"), pos);
  EXPECT_EQ(resolve_model_bundle(models(), "1.14.0", "en", "lemma", "gum"),
            index_dir / "lemma_gum");
  // The bad path of the "combined" entry is never read; "." elements stay.
  EXPECT_EQ(resolve_model_bundle(models(), "1.14.0", "en", "depparse", "other"),
            index_dir / "parsers/./depparse_other");
}

TEST(ModelIndex, IdentifiersAreChecked) {
  EXPECT_EQ(resolve_error("1.14.0", "", "pos", "default"), "invalid language: ");
  EXPECT_EQ(resolve_error("1.14.0", "en", "pos", "en/x"), "invalid package: en/x");
  EXPECT_EQ(resolve_error("..", "en", "pos", "default"), "invalid resources version: ..");
  EXPECT_EQ(resolve_error("1.14.0", ".", "pos", "default"), "invalid language: .");
  EXPECT_EQ(resolve_error("1.14.0", "en", "..", "default"), "invalid processor: ..");
  EXPECT_EQ(resolve_error("1.14.0", "en", "pos", "."), "invalid package: .");
  EXPECT_EQ(resolve_error("1.14.0", "en", "p s", "default"), "invalid processor: p s");
  EXPECT_EQ(resolve_error("1.14.0", "en", "pos", "comb\xC3\xA9"), "invalid package: comb\xC3\xA9");
}

TEST(ModelIndex, IndexFileMustMatchTheRequest) {
  const fs::path absent = fs::absolute(models()) / "1.14.0" / "zz" / "index.json";
  EXPECT_EQ(resolve_error("1.14.0", "zz", "pos", "default"),
            "cannot open JSON file: " + absent.string());
  EXPECT_EQ(resolve_error("1.14.0", "fr", "pos", "default"),
            "model index identity does not match requested model");
  EXPECT_EQ(resolve_error("1.14.0", "it", "pos", "default"),
            "model index identity does not match requested model");
  EXPECT_EQ(resolve_error("1.14.0", "es", "pos", "default"), "unsupported model index format");
  EXPECT_EQ(resolve_error("1.14.0", "pt", "pos", "default"), "unsupported model index format");
  EXPECT_EQ(resolve_error("1.14.0", "nl", "pos", "default"),
            "expected JSON array at index.bundles");
}

TEST(ModelIndex, EntriesAreCheckedOnlyWhenTheyMatch) {
  EXPECT_EQ(resolve_error("1.14.0", "en", "lemma", "default"),
            "package 'default' is ambiguous for converted processor 'lemma'");
  EXPECT_EQ(resolve_error("1.14.0", "en", "constituency", "wsj"),
            "package 'default' is ambiguous for converted processor 'constituency'");
  EXPECT_EQ(resolve_error("1.14.0", "en", "depparse", "default"),
            "bundle path must be non-empty and relative at index.bundles[].path");
  EXPECT_EQ(resolve_error("1.14.0", "en", "sentiment", "sst"),
            "bundle path may not traverse parents at index.bundles[].path");
  EXPECT_EQ(resolve_error("1.14.0", "en", "tokenize", "ewt"),
            "expected JSON string at index.bundles[].path");
  EXPECT_EQ(resolve_error("1.14.0", "en", "mwt", "default"),
            "missing JSON key 'path' at index.bundles[]");
  EXPECT_EQ(resolve_error("1.14.0", "en", "ner", "default"),
            "missing JSON key 'package' at index.bundles[]");
  EXPECT_EQ(resolve_error("1.14.0", "en", "coref", "default"),
            "no converted bundle for en/coref/default");
  EXPECT_EQ(resolve_error("1.14.0", "en", "pos", "wsj"), "no converted bundle for en/pos/wsj");
}

} // namespace
