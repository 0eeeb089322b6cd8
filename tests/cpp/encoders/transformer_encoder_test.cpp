// TransformerEncoder over the tiny compiled package: construction checks in
// their order, single runs, window limits and concurrent use.

#include <algorithm>
#include <fstream>
#include <functional>
#include <thread>

#include <ATen/Parallel.h>

#include <velmora/errors.hpp>
#include <velmora/transformer_encoder.hpp>

#include "transformer_test_support.hpp"

namespace {

using velmora::TransformerEncoder;
using velmora::TransformerError;
using velmora::detail::JsonValue;
namespace vt = velmora::test;

std::filesystem::path package() {
  return vt::transformer_bundle("wordpiece") / "tiny.pt2";
}

std::vector<std::string> vocabulary() {
  return vt::strings_of(vt::transformer_assets("wordpiece").at("tokenizer").at("vocabulary"));
}

TransformerEncoder make(std::filesystem::path path, std::size_t model_max_length = 512,
                        std::size_t threads = 0, std::vector<std::string> vocab = vocabulary()) {
  return TransformerEncoder(std::move(path), std::move(vocab), true, true, threads,
                            model_max_length, "[UNK]", "[CLS]", "[SEP]", "##", 100);
}

std::string construction_failure(const std::function<void()>& build) {
  try {
    build();
  } catch (const TransformerError& error) {
    return error.what();
  } catch (const velmora::WordPieceError& error) {
    return std::string("wordpiece: ") + error.what();
  }
  return "built";
}

const JsonValue& word_case(const std::string& tokenizer, long long length, bool keep) {
  for (const JsonValue& c : vt::transformer_reference().at("word_cases").as_array()) {
    if (c.at("tokenizer").as_string() == tokenizer &&
        c.at("model_max_length").as_integer() == length &&
        c.at("keep_endpoints").as_bool() == keep && c.at("words").as_array().size() > 20) {
      return c;
    }
  }
  throw std::runtime_error("no such reference case");
}

TEST(TransformerEncoder, ChecksConstructionArgumentsInOrder) {
  const std::filesystem::path absent = vt::fixture_dir() / "transformer" / "absent.pt2";
  const std::size_t pool = static_cast<std::size_t>(at::get_num_threads());
  // The tokenizer comes first, then the file, the length, the pool and the load.
  EXPECT_EQ(construction_failure([&] { make(absent, 3, pool + 1, {}); }),
            "wordpiece: WordPiece vocabulary cannot be empty");
  EXPECT_EQ(construction_failure([&] { make(absent, 3, pool + 1); }),
            "AOTInductor transformer model does not exist: " + absent.string());
  EXPECT_EQ(construction_failure([&] { make(package(), 4, pool + 1); }),
            "transformer model_max_length must be at least 5");
  EXPECT_EQ(construction_failure([&] { make(package(), 5, pool + 1); }),
            "intra_op_threads cannot change the process-wide ATen thread pool during "
            "TransformerEncoder construction; call torch.set_num_threads() before constructing "
            "Velmora models");
  EXPECT_EQ(construction_failure([&] { make(package(), 5, pool); }), "built");
  EXPECT_EQ(at::get_num_threads(), static_cast<int>(pool));

  vt::TempDir dir;
  const std::filesystem::path garbage = dir.path() / "garbage.pt2";
  std::ofstream(garbage) << "not a model package";
  for (const std::filesystem::path& unloadable : {garbage, dir.path()}) {
    const std::string message = construction_failure([&] { make(unloadable); });
    const std::string prefix =
        "could not load AOTInductor transformer '" + unloadable.string() + "': ";
    EXPECT_EQ(message.substr(0, prefix.size()), prefix) << message;
    EXPECT_GT(message.size(), prefix.size());
    EXPECT_EQ(message.find("Exception raised from"), std::string::npos) << message;
  }
}

TEST(TransformerEncoder, RunsGivenIdsOnceWithTheirMask) {
  const TransformerEncoder encoder = make(package(), 5);
  const JsonValue::Array& cases = vt::transformer_reference().at("id_cases").as_array();
  for (const JsonValue& c : cases) {
    const auto ids = vt::integers_of(c.at("input_ids"));
    const auto mask = vt::integers_of(c.at("attention_mask"));
    SCOPED_TRACE(std::to_string(ids.size()) + " ids");
    EXPECT_EQ(vt::compare_rows(encoder.encode_ids_tensor(ids, mask), c.at("rows")), "");
    if (std::find(mask.begin(), mask.end(), 0) == mask.end()) {
      // No mask attends to every position.
      EXPECT_EQ(vt::compare_rows(encoder.encode_ids_tensor(ids, {}), c.at("rows")), "");
    }
  }
  // Case 2 attends to every position.
  const auto ids = vt::integers_of(cases[2].at("input_ids"));
  const std::vector<std::vector<float>> rows = encoder.encode_ids(ids, {});
  ASSERT_EQ(rows.size(), ids.size());
  EXPECT_EQ(rows[3][5], encoder.encode_ids_tensor(ids, {})[3][5].item<float>());

  EXPECT_TRUE(encoder.encode_ids({}, {1, 1}).empty());
  EXPECT_EQ(encoder.encode_ids_tensor({}, {}).sizes(), at::IntArrayRef({0, 0}));
  try {
    encoder.encode_ids({2, 7, 3}, {1, 1});
    ADD_FAILURE() << "a short mask was accepted";
  } catch (const TransformerError& error) {
    EXPECT_STREQ(error.what(), "transformer attention mask length does not match input ids");
  }
  // The package refuses an id outside its vocabulary (its kernels are serial,
  // so the check is not thrown inside an OpenMP team); a failed call leaves
  // the encoder usable.
  try {
    encoder.encode_ids({2, 600, 3}, {});
    ADD_FAILURE() << "an id outside the vocabulary was accepted";
  } catch (const TransformerError& error) {
    const std::string message = error.what();
    EXPECT_EQ(message.rfind("AOTInductor transformer inference failed: ", 0), 0u) << message;
    EXPECT_EQ(message.find("Exception raised from"), std::string::npos) << message;
  }
  EXPECT_EQ(vt::compare_rows(encoder.encode_ids_tensor(ids, {}), cases[2].at("rows")), "");
}

TEST(TransformerEncoder, GivesWordRowsAsTensorAndVectors) {
  const std::filesystem::path path = vt::transformer_bundle("wordpiece") / "." / "tiny.pt2";
  TransformerEncoder moved = make(path);
  const TransformerEncoder encoder(std::move(moved));
  EXPECT_EQ(encoder.model_path().string(), path.string());
  EXPECT_EQ(TransformerEncoder::runtime_version(), "2.13.0");

  const JsonValue& c = word_case("wordpiece", 512, false);
  const std::vector<std::string> words = vt::strings_of(c.at("words"));
  const at::Tensor tensor = encoder.encode_words_tensor(words, false);
  EXPECT_EQ(vt::compare_rows(tensor, c.at("rows")), "");
  const std::vector<std::vector<float>> rows = encoder.encode(words, false);
  ASSERT_EQ(rows.size(), words.size());
  EXPECT_EQ(rows.back(),
            std::vector<float>(tensor[-1].data_ptr<float>(), tensor[-1].data_ptr<float>() + 16));
  EXPECT_EQ(encoder.tokenize(words, true).input_ids, vt::integers_of(c.at("input_ids")));

  EXPECT_TRUE(encoder.encode({}, false).empty());
  EXPECT_EQ(encoder.encode_words_tensor({}, false).sizes(), at::IntArrayRef({0, 16}));
  EXPECT_EQ(encoder.encode({}, true).size(), 2u);

  TransformerEncoder assigned = make(package(), 20);
  assigned = make(package(), 10);
  const JsonValue& windows = word_case("wordpiece", 10, true);
  EXPECT_EQ(vt::compare_rows(assigned.encode_words_tensor(words, true), windows.at("rows")), "");
}

TEST(TransformerEncoder, RefusesWindowsTooShortToOverlap) {
  const JsonValue& c = word_case("wordpiece", 10, false);
  const std::vector<std::string> words = vt::strings_of(c.at("words"));
  for (std::size_t length : {5u, 9u}) {
    const TransformerEncoder encoder = make(package(), length);
    try {
      encoder.encode(words, false);
      ADD_FAILURE() << "model_max_length " << length << " accepted";
    } catch (const TransformerError& error) {
      EXPECT_STREQ(error.what(),
                   "transformer model_max_length is too small for overlapping slices");
    }
    // A sentence that fits one window needs no overlap.
    EXPECT_EQ(encoder.encode({"the"}, true).size(), 3u);
  }
}

TEST(TransformerEncoder, EncodesFromSeveralThreadsAtOnce) {
  const TransformerEncoder encoder = make(package(), 13);
  const JsonValue& c = word_case("wordpiece", 13, true);
  const std::vector<std::string> words = vt::strings_of(c.at("words"));
  std::vector<std::string> problems(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < problems.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 2 && problems[t].empty(); ++round) {
        problems[t] = vt::compare_rows(encoder.encode_words_tensor(words, true), c.at("rows"));
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (const std::string& problem : problems) {
    EXPECT_EQ(problem, "");
  }
}

} // namespace
