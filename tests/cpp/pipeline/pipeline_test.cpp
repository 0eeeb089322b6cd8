// Registry, processors without models and pipeline construction: the order of
// checks and the exact refusals.

#include <fstream>

#include <velmora/model_bundle.hpp>
#include <velmora/pipeline.hpp>
#include <velmora/processors.hpp>

#include "pipeline/pipeline_call.hpp"
#include "test_support.hpp"

namespace {

using velmora::Document;
using velmora::Pipeline;

using velmora::test::message_of;

Pipeline build(std::vector<std::string> names,
               std::optional<std::filesystem::path> model_dir = std::nullopt,
               std::string package = "default") {
  return Pipeline("en", std::move(names), std::move(package), std::move(model_dir), "1.14.0", false,
                  {});
}

TEST(Registry, ElevenRowsInOrderEachProvidingItself) {
  auto specs = velmora::processor_specs();
  std::vector<std::string> names;
  for (const auto& spec : specs) {
    names.push_back(spec.name);
    EXPECT_EQ(spec.provides, std::vector<std::string>{spec.name});
  }
  EXPECT_EQ(names,
            (std::vector<std::string>{"langid", "tokenize", "mwt", "pos", "lemma", "depparse",
                                      "ner", "sentiment", "constituency", "coref", "morphseg"}));
  EXPECT_EQ(specs[5].requirements, (std::vector<std::string>{"tokenize", "pos", "lemma"}));
  EXPECT_EQ(specs[9].module, "coref");
  EXPECT_EQ(specs[0].module, "extended");
  EXPECT_TRUE(specs[1].requirements.empty());
}

TEST(Registry, MakeProcessorMatchesRowsAndRefusesOtherNames) {
  for (const auto& spec : velmora::processor_specs()) {
    auto processor = velmora::make_processor(spec.name);
    EXPECT_EQ(processor->name(), spec.name);
    EXPECT_EQ(processor->requirements(), spec.requirements);
    EXPECT_EQ(processor->module(), spec.module);
    EXPECT_FALSE(processor->implemented());
    EXPECT_TRUE(processor->process_bulk({}).empty());
  }
  for (std::string bad : {"POS", " pos", ""}) {
    EXPECT_EQ(message_of<std::invalid_argument>([&] { velmora::make_processor(bad); }),
              "unknown processor: '" + bad + "'");
  }
}

TEST(Registry, ProcessorsWithoutModelsRefuse) {
  auto depparse = velmora::make_processor("depparse");
  const std::string expected =
      "the 'depparse' processor is registered but native inference is not implemented";
  EXPECT_EQ(
      message_of<velmora::ProcessorNotImplementedError>([&] { depparse->process(Document("x")); }),
      expected);
  EXPECT_EQ(message_of<velmora::ProcessorNotImplementedError>(
                [&] { depparse->process_bulk({Document("x")}); }),
            expected);
  velmora::LangIDProcessor langid;
  EXPECT_TRUE(langid.language_subset().empty());
  EXPECT_FALSE(langid.bundle_path().has_value());
}

// A pipeline runs its stages through the call entries; without a model every
// class refuses there as it does alone, and still passes an empty list.
TEST(Registry, ProcessorsWithoutModelsRefuseInsideACall) {
  for (const auto& spec : velmora::processor_specs()) {
    auto processor = velmora::make_processor(spec.name);
    velmora::detail::PipelineCall call(false);
    const std::string expected =
        "the '" + spec.name + "' processor is registered but native inference is not implemented";
    EXPECT_EQ(message_of<velmora::ProcessorNotImplementedError>(
                  [&] { processor->process_in_call(Document("x"), call); }),
              expected);
    EXPECT_EQ(message_of<velmora::ProcessorNotImplementedError>([&] {
                processor->process_bulk_in_call({Document("x"), Document("y")}, call);
              }),
              expected);
    EXPECT_TRUE(processor->process_bulk_in_call({}, call).empty()) << spec.name;
  }
}

TEST(Pipeline, ArgumentChecksInOrder) {
  auto msg = [](auto&& f) { return message_of<std::invalid_argument>(f); };
  EXPECT_EQ(msg([] { Pipeline("", {}, "", std::nullopt, "", false, {}); }),
            "a pipeline language is required");
  EXPECT_EQ(msg([] { Pipeline("en", {}, "", std::nullopt, "", false, {}); }),
            "a pipeline package cannot be empty");
  EXPECT_EQ(msg([] { Pipeline("en", {}, "default", std::nullopt, "", false, {}); }),
            "a pipeline resources version cannot be empty");
  // Duplicates are found before the mapping is examined.
  EXPECT_EQ(msg([] {
              Pipeline("en", {"tokenize", "tokenize"},
                       std::map<std::string, std::string>{{"coref", "x"}}, std::nullopt, "1.14.0",
                       false, {});
            }),
            "a processor may only appear once in a pipeline: 'tokenize'");
  EXPECT_EQ(msg([] {
              Pipeline("en", {"tokenize"},
                       std::map<std::string, std::string>{{"ner", "a"}, {"coref", "b"}},
                       std::nullopt, "1.14.0", false, {});
            }),
            "package was specified for unrequested processor: 'coref'");
  EXPECT_EQ(msg([] {
              Pipeline("en", {"tokenize"}, std::map<std::string, std::string>{{"tokenize", ""}},
                       std::nullopt, "1.14.0", false, {});
            }),
            "package for processor 'tokenize' cannot be empty");
  EXPECT_EQ(msg([] { build({"tokenize", "Tokenize"}); }), "unknown processor: 'Tokenize'");
}

TEST(Pipeline, RequirementsComeFromEarlierProcessors) {
  auto msg = [](std::vector<std::string> names) {
    return message_of<velmora::ProcessorRequirementsError>([&] { build(names); });
  };
  EXPECT_EQ(msg({"pos", "tokenize"}), "processor 'pos' is missing requirements: tokenize");
  EXPECT_EQ(msg({"tokenize", "depparse"}),
            "processor 'depparse' is missing requirements: pos, lemma");
  EXPECT_EQ(msg({"depparse"}),
            "processor 'depparse' is missing requirements: tokenize, pos, lemma");
  // A requirements error is an invalid argument.
  EXPECT_THROW(build({"mwt"}), std::invalid_argument);

  Pipeline ok = build({"tokenize", "pos"});
  ASSERT_EQ(ok.processors().size(), 2u);
  EXPECT_FALSE(ok.processors()[0]->implemented());
  EXPECT_EQ(message_of<velmora::ProcessorNotImplementedError>([&] { ok.process("Hello."); }),
            "the 'tokenize' processor is registered but native inference is not implemented");
  EXPECT_TRUE(ok.process_bulk(std::vector<Document>{}).empty());
}

TEST(Pipeline, EmptyChainReturnsItsInput) {
  Pipeline empty = build({});
  Document doc = empty.process("Some text.");
  EXPECT_EQ(doc.text(), "Some text.");
  EXPECT_EQ(doc.sentences().size(), 0u);
  auto docs = empty.process_bulk(std::vector<std::string>{"a", "b"});
  ASSERT_EQ(docs.size(), 2u);
  EXPECT_EQ(docs[1].text(), "b");
}

TEST(Pipeline, PackageMapping) {
  Pipeline mapped("en", {"tokenize", "pos"}, std::map<std::string, std::string>{{"pos", "gum"}},
                  std::nullopt, "1.14.0", false, {});
  EXPECT_EQ(mapped.package(), "default");
  EXPECT_TRUE(mapped.package_is_mapping());
  EXPECT_EQ(mapped.package_for("pos"), "gum");
  EXPECT_EQ(mapped.package_for("tokenize"), "default");
}

TEST(Pipeline, ModelDirectoryIsResolvedPerProcessor) {
  velmora::test::TempDir dir;
  // No index at all: the index reader's message names the file.
  EXPECT_THROW(build({"tokenize"}, dir.path()), velmora::ModelBundleError);
  // A name outside the registry never reaches the index.
  EXPECT_EQ(message_of<std::invalid_argument>([&] { build({"parser"}, dir.path()); }),
            "unknown processor: 'parser'");

  std::filesystem::create_directories(dir.path() / "1.14.0" / "en");
  std::ofstream(dir.path() / "1.14.0" / "en" / "index.json")
      << R"({"format": "velmora-model-index", "format_version": 1, "resources_version": "1.14.0",
            "language": "en", "bundles": [{"processor": "sentiment", "package": "sst",
            "path": "sentiment"}]})";
  EXPECT_EQ(message_of<velmora::ModelBundleError>([&] { build({"tokenize"}, dir.path()); }),
            "no converted bundle for en/tokenize/default");
  // Bundles are resolved in pipeline order.
  EXPECT_EQ(message_of<velmora::ModelBundleError>([&] {
              build({"tokenize", "sentiment"}, dir.path(), "sst");
            }),
            "no converted bundle for en/tokenize/sst");
  // A stage's bundle is loaded once resolved, before requirements are
  // validated: here the index names a directory that holds no bundle.
  EXPECT_THROW(build({"sentiment"}, dir.path(), "sst"), velmora::ModelBundleError);
}

} // namespace
