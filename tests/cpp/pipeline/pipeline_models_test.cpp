// A pipeline over a model directory of fixture bundles: the tokenizer's
// multi-word marks are expanded by the expander, the default processors chain
// as their plans do by hand, batched processing gives what processing one
// document at a time gives, and bulk calls in slices give what one slice
// gives.

#include <algorithm>
#include <fstream>
#include <limits>
#include <sstream>

#include <ATen/Parallel.h>

#include <velmora/conllu.hpp>
#include <velmora/depparse.hpp>
#include <velmora/lemma.hpp>
#include <velmora/mwt.hpp>
#include <velmora/pipeline.hpp>
#include <velmora/pos.hpp>
#include <velmora/processors.hpp>
#include <velmora/tokenizer.hpp>

#include "encoders/bulk_slices.hpp"
#include "lstm_run_budget.hpp"
#include "pipeline/pipeline_call.hpp"
#include "test_support.hpp"

namespace {

using velmora::Document;
using velmora::test::message_of;

class ModelDirectory {
public:
  explicit ModelDirectory(const std::vector<std::pair<std::string, std::string>>& bundles) {
    auto index_dir = dir_.path() / "1.14.0" / "en";
    std::filesystem::create_directories(index_dir);
    std::string entries;
    for (const auto& [processor, relative] : bundles) {
      std::filesystem::create_directory_symlink(velmora::test::fixture(relative),
                                                index_dir / processor);
      entries += std::string(entries.empty() ? "" : ", ") + R"({"processor": ")" + processor +
                 R"(", "package": "default", "path": ")" + processor + R"("})";
    }
    std::ofstream(index_dir / "index.json")
        << R"({"format": "velmora-model-index", "format_version": 1,)"
        << R"( "resources_version": "1.14.0", "language": "en", "bundles": [)" << entries << "]}";
  }
  const std::filesystem::path& path() const { return dir_.path(); }

private:
  velmora::test::TempDir dir_;
};

const std::vector<std::string> kTexts = {
    "Hello there. This is a test of the tokenizer, isn't it?", "",
    "Mit Absatz und don't-stop words.\n\nZweiter Absatz hier. Und noch einer!",
    "Vamos al cine del barrio. Dámelo ahora!", "x"};

TEST(PipelineModels, ExpansionFollowsTokenizationAndBulkEqualsOneByOne) {
  ModelDirectory models({{"tokenize", "tokenizer/mwt_gated"},
                         {"mwt", "wordform/mwt_native_dict/bundle"},
                         {"lemma", "wordform/lemma_model/bundle"}});
  velmora::Pipeline pipeline("en", {"tokenize", "mwt", "lemma"}, "default", models.path(), "1.14.0",
                             false, {});
  velmora::MWTPlan expander(velmora::test::fixture("wordform/mwt_native_dict/bundle"), false);

  velmora::Pipeline tokenize_only("en", {"tokenize"}, "default", models.path(), "1.14.0", false,
                                  {});
  std::size_t marked = 0;
  std::vector<std::string> one_by_one;
  for (const std::string& text : kTexts) {
    Document tokenized = tokenize_only.process(text);
    auto tokenized_tokens = tokenized.tokens();
    for (std::size_t t = 0; t < tokenized_tokens.size(); ++t) {
      auto token = tokenized_tokens.at(t);
      marked += token.misc().value_or("").find("MWT=Yes") != std::string::npos;
    }
    Document doc = pipeline.process(text);
    auto tokens = doc.tokens();
    for (std::size_t t = 0; t < tokens.size(); ++t) {
      auto token = tokens.at(t);
      EXPECT_EQ(token.misc().value_or("").find("MWT=Yes"), std::string::npos);
      auto words = token.words();
      if (words.size() > 1) {
        std::string joined;
        for (std::size_t i = 0; i < words.size(); ++i) {
          joined += (i ? " " : "") + words.at(i).text();
        }
        EXPECT_EQ(joined, expander.expand(token.text()));
      }
    }
    auto words = doc.words();
    for (std::size_t w = 0; w < words.size(); ++w) {
      EXPECT_TRUE(words.at(w).lemma().has_value());
    }
    one_by_one.push_back(doc.to_conll());
  }
  EXPECT_GT(marked, 0u) << "the fixture tokenizer marked no multi-word token";

  auto bulk = pipeline.process_bulk(kTexts);
  ASSERT_EQ(bulk.size(), kTexts.size());
  for (std::size_t i = 0; i < bulk.size(); ++i) {
    EXPECT_EQ(bulk[i].to_conll(), one_by_one[i]) << i;
  }
}

const std::vector<std::pair<std::string, std::string>> kDefaultBundles = {
    {"tokenize", "tokenizer/mwt_gated"},
    {"mwt", "wordform/mwt_native_dict/bundle"},
    {"pos", "pos/models/composite_charlm_proj_l2"},
    {"lemma", "wordform/lemma_ensemble/bundle"},
    {"depparse", "depparse/models/plain_lin_dist_l2"}};

std::string bundle_of(const std::string& processor) {
  for (const auto& [name, relative] : kDefaultBundles) {
    if (name == processor) {
      return velmora::test::fixture(relative).string();
    }
  }
  return {};
}

TEST(PipelineModels, DefaultProcessorsChainAsTheirPlansDo) {
  ModelDirectory models(kDefaultBundles);
  velmora::Pipeline pipeline("en", {"tokenize", "mwt", "pos", "lemma", "depparse"}, "default",
                             models.path(), "1.14.0", false, {});
  std::vector<std::string> names;
  for (const auto& processor : pipeline.processors()) {
    names.push_back(processor->name());
    EXPECT_TRUE(processor->implemented()) << processor->name();
  }
  ASSERT_EQ(names, (std::vector<std::string>{"tokenize", "mwt", "pos", "lemma", "depparse"}));

  velmora::TokenizerPlan tokenizer(bundle_of("tokenize"), false);
  velmora::MWTPlan expander(bundle_of("mwt"), false);
  velmora::POSPlan tagger(bundle_of("pos"), false);
  velmora::LemmaPlan lemmatizer(bundle_of("lemma"), false);
  velmora::DepparsePlan parser(bundle_of("depparse"), false);

  std::vector<std::string> one_by_one;
  for (const std::string& text : kTexts) {
    Document doc = pipeline.process(text);
    Document by_hand = parser.process(
        lemmatizer.process(tagger.process(expander.process(tokenizer.process(Document(text))))));
    EXPECT_EQ(doc.to_conll(), by_hand.to_conll()) << text;
    auto sentences = doc.sentences();
    for (std::size_t s = 0; s < sentences.size(); ++s) {
      auto words = sentences.at(s).words();
      std::size_t roots = 0;
      for (std::size_t w = 0; w < words.size(); ++w) {
        auto word = words.at(w);
        ASSERT_TRUE(word.upos().has_value() && word.head().has_value() &&
                    word.deprel().has_value());
        EXPECT_LE(static_cast<std::size_t>(*word.head()), words.size());
        roots += *word.head() == 0;
      }
      EXPECT_EQ(roots, words.size() == 0 ? 0u : 1u) << text;
    }
    one_by_one.push_back(doc.to_conll());
  }
  auto bulk = pipeline.process_bulk(kTexts);
  ASSERT_EQ(bulk.size(), kTexts.size());
  for (std::size_t i = 0; i < bulk.size(); ++i) {
    EXPECT_EQ(bulk[i].to_conll(), one_by_one[i]) << i;
  }
}

// A parser whose character language models equal the tagger's: within a
// call the tagger's backward run serves both, with the results each plan
// gives alone, and the thread count is left as it was.
TEST(PipelineModels, TaggerAndParserShareTheBackwardCharacterRun) {
  std::vector<std::pair<std::string, std::string>> bundles = kDefaultBundles;
  bundles.back() = {"depparse", "depparse/shared_charlm"};
  ModelDirectory models(bundles);
  const velmora::Pipeline pipeline("en", {"tokenize", "mwt", "pos", "lemma", "depparse"}, "default",
                                   models.path(), "1.14.0", false, {});
  EXPECT_TRUE(velmora::detail::stages_sharing_backward_charlm(pipeline.processors()));
  ModelDirectory unshared(kDefaultBundles);
  EXPECT_FALSE(velmora::detail::stages_sharing_backward_charlm(
      velmora::Pipeline("en", {"tokenize", "mwt", "pos", "lemma", "depparse"}, "default",
                        unshared.path(), "1.14.0", false, {})
          .processors()));

  std::vector<std::string> by_hand;
  for (const std::string& text : kTexts) {
    Document document(text);
    for (const auto& processor : pipeline.processors()) {
      document = processor->process(std::move(document));
    }
    by_hand.push_back(document.to_conll());
  }
  at::set_num_threads(3);
  const auto bulk = pipeline.process_bulk(kTexts);
  for (std::size_t i = 0; i < kTexts.size(); ++i) {
    EXPECT_EQ(bulk[i].to_conll(), by_hand[i]) << i;
    EXPECT_EQ(pipeline.process(kTexts[i]).to_conll(), by_hand[i]) << i;
  }
  EXPECT_EQ(at::get_num_threads(), 3);
  at::set_num_threads(1);
}

// Everything a document holds, in a comparable text: its CoNLL-U and what
// CoNLL-U does not carry.
std::string annotations(const Document& document) {
  std::ostringstream out;
  out << document.to_conll() << "lang " << document.lang().value_or("-") << "\n";
  const velmora::SentenceSequence sentences = document.sentences();
  for (std::uint64_t s = 0; s < sentences.size(); ++s) {
    const velmora::Sentence sentence = sentences.at(static_cast<std::int64_t>(s));
    out << "sentiment " << sentence.sentiment().value_or(-1) << " tree "
        << (sentence.constituency() ? sentence.constituency()->to_string() : "-") << "\n";
  }
  const velmora::TokenSequence tokens = document.tokens();
  for (std::uint64_t t = 0; t < tokens.size(); ++t) {
    out << tokens.at(static_cast<std::int64_t>(t)).ner().value_or("-") << " ";
  }
  out << "\nentities " << document.ents().size() << "\n";
  for (const auto& chain : document.coref()) {
    out << "chain " << chain->index() << " " << chain->representative_text();
    for (const velmora::CorefMention& mention : chain->mentions()) {
      out << " " << mention.sentence();
    }
    out << "\n";
  }
  return out.str();
}

// Runs `body(pipeline, texts)` on the first `count` documents of the EWT dev
// treebank and a pipeline of `processors` over every processor's fixture,
// the tagger sharing its backward character run with the parser.
template <class Body>
void with_ewt_pipeline(const std::vector<std::string>& processors, std::size_t count,
                       const Body& body) {
  VELMORA_REQUIRE_SHARED(conllu, "ud-en-ewt/en_ewt-ud-dev.conllu");
  std::vector<std::string> texts = velmora::test::conllu_documents(conllu);
  texts.resize(std::min<std::size_t>(texts.size(), count));
  std::vector<std::pair<std::string, std::string>> bundles = kDefaultBundles;
  bundles.back() = {"depparse", "depparse/shared_charlm"};
  bundles.insert(bundles.end(), {{"langid", "langid/models/l1"},
                                 {"ner", "ner/models/charlstm_l1"},
                                 {"sentiment", "sentiment/models/plain"},
                                 {"constituency", "constituency/models/plain"},
                                 {"coref", "coref/models/bpe_all"},
                                 {"morphseg", "morphseg/random/bundle"}});
  ModelDirectory models(bundles);
  const velmora::Pipeline pipeline("en", processors, "default", models.path(), "1.14.0", false, {});
  body(pipeline, texts);
}

std::vector<std::string> bulk_annotations(const velmora::Pipeline& pipeline,
                                          const std::vector<std::string>& texts) {
  std::vector<std::string> results;
  for (const Document& document : pipeline.process_bulk(texts)) {
    results.push_back(annotations(document));
  }
  return results;
}

void expect_same_documents(const std::vector<std::string>& got,
                           const std::vector<std::string>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t d = 0; d < want.size(); ++d) {
    EXPECT_EQ(got[d], want[d]) << "document " << d;
  }
}

// A bulk call cut into slices of `slice_words` words (larger documents cut
// between their sentences, the tagger's backward rows handed to the parser
// slice by slice) annotates every one of the first `count` documents of the
// EWT dev treebank exactly as a call run as one slice, sentiment included.
void expect_slices_give_what_one_slice_gives(const std::vector<std::string>& processors,
                                             std::size_t count, std::size_t slice_words) {
  with_ewt_pipeline(
      processors, count,
      [&](const velmora::Pipeline& pipeline, const std::vector<std::string>& texts) {
        if (std::find(processors.begin(), processors.end(), "depparse") != processors.end()) {
          ASSERT_TRUE(velmora::detail::stages_sharing_backward_charlm(pipeline.processors()));
        }
        const auto run = [&](std::size_t words) {
          const velmora::detail::BulkSliceBudget budget(words);
          return bulk_annotations(pipeline, texts);
        };
        expect_same_documents(run(slice_words), run(std::numeric_limits<std::size_t>::max()));
      });
}

// Every processor: the ones whose bulk paths are quick over the first 100
// documents (about 70 slices, the tagger sharing its backward run with the
// parser), the slow ones over the first 12 (about 30 slices).
TEST(PipelineModels, BulkCallsInSlicesGiveWhatOneSliceGives) {
  expect_slices_give_what_one_slice_gives(
      {"tokenize", "langid", "mwt", "pos", "lemma", "depparse", "ner", "sentiment"}, 100, 200);
  expect_slices_give_what_one_slice_gives(
      {"tokenize", "mwt", "pos", "constituency", "coref", "morphseg"}, 12, 60);
}

// Every recurrent layer of every processor run through the kernel in pieces
// of a few steps (a run of a whole paragraph or of a long word in many)
// annotates EWT dev documents as whole runs do, in bulk and one at a time.
TEST(PipelineModels, RecurrentRunsInPiecesGiveWhatWholeRunsGive) {
  for (const auto& [processors, count] :
       std::vector<std::pair<std::vector<std::string>, std::size_t>>{
           {{"tokenize", "langid", "mwt", "pos", "lemma", "depparse", "ner", "sentiment"}, 12},
           {{"tokenize", "mwt", "pos", "constituency", "morphseg"}, 3}}) {
    with_ewt_pipeline(
        processors, count,
        [&](const velmora::Pipeline& pipeline, const std::vector<std::string>& texts) {
          const auto one_by_one = [&] {
            std::vector<std::string> results;
            for (std::size_t d = 0; d < 3 && d < texts.size(); ++d) {
              results.push_back(annotations(pipeline.process(texts[d])));
            }
            return results;
          };
          const std::vector<std::string> whole = bulk_annotations(pipeline, texts);
          const std::vector<std::string> whole_single = one_by_one();
          const velmora::test::LstmPieces pieces(std::int64_t{1} << 14);
          expect_same_documents(bulk_annotations(pipeline, texts), whole);
          expect_same_documents(one_by_one(), whole_single);
          EXPECT_TRUE(pieces.split());
        });
  }
}

TEST(PipelineModels, TaggerAndParserProcessorsWithoutAModel) {
  const std::string message = " processor is registered but native inference is not implemented";
  velmora::POSProcessor tagger;
  velmora::DepparseProcessor parser;
  EXPECT_FALSE(tagger.implemented() || parser.implemented());
  EXPECT_FALSE(tagger.bundle_path().has_value());
  EXPECT_TRUE(parser.process_bulk({}).empty());
  EXPECT_EQ(
      message_of<velmora::ProcessorNotImplementedError>([&] { tagger.process(Document("x")); }),
      "the 'pos'" + message);
  EXPECT_EQ(message_of<velmora::ProcessorNotImplementedError>(
                [&] { parser.process_bulk({Document("x")}); }),
            "the 'depparse'" + message);
  velmora::POSProcessor loaded(bundle_of("pos"), false);
  EXPECT_TRUE(loaded.implemented());
  EXPECT_EQ(loaded.bundle_path(), std::filesystem::path(bundle_of("pos")));
  EXPECT_THROW(velmora::DepparseProcessor(bundle_of("pos"), false), velmora::DepparseModelError);
}

TEST(PipelineModels, LemmaOverAPosModelRequiresTheTagger) {
  velmora::LemmaProcessor plain(velmora::test::fixture("wordform/lemma_model/bundle"), false);
  EXPECT_EQ(plain.requirements(), std::vector<std::string>{"tokenize"});
  velmora::LemmaProcessor tagged(velmora::test::fixture("wordform/lemma_ensemble/bundle"), false);
  EXPECT_EQ(tagged.requirements(), (std::vector<std::string>{"tokenize", "pos"}));
  EXPECT_EQ(tagged.provides(), std::vector<std::string>{"lemma"});
  ASSERT_TRUE(tagged.bundle_path().has_value());
  EXPECT_EQ(tagged.bundle_path()->filename(), "bundle");
}

} // namespace
