// Loading "coref" bundles: every refusal with its exact message, the errors
// that pass through unchanged, and what a load keeps.

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <gtest/gtest.h>

#include <velmora/coref_plan.hpp>
#include <velmora/model_bundle.hpp>

#include "../taggers/tagger_test_support.hpp"
#include "coref/coref_impl.hpp"
#include "coref_test_support.hpp"

namespace velmora {
namespace {

using test::coref_fixture;

TEST(CorefLoad, EveryCaseLoadsOrFailsAsExpected) {
  test::expect_load_cases<CorefPlan, CorefModelError>(coref_fixture(""), "CorefModelError", 30);
}

TEST(CorefLoad, OtherComponentsErrorsPassUnchanged) {
  test::expect_bundle_error_passes<CorefPlan, CorefModelError>(coref_fixture("cases/no-such"));
  // JSON errors are not turned into the plan's own class.
  for (const auto& [name, context] : std::initializer_list<std::pair<const char*, const char*>>{
           {"rough_k_missing", "assets.config"},
           {"singletons_string", "assets.config.singletons"},
           {"no_tokenizer_ids", "assets.transformer.tokenizer"}}) {
    SCOPED_TRACE(name);
    try {
      CorefPlan plan(coref_fixture(std::string("passthrough/") + name), false);
      ADD_FAILURE() << "loaded";
    } catch (const CorefModelError&) {
      ADD_FAILURE() << "a JSON error became CorefModelError";
    } catch (const detail::JsonError& error) {
      EXPECT_NE(std::string(error.what()).find(context), std::string::npos) << error.what();
    }
  }
  EXPECT_EQ(test::message_of<TransformerError>(
                [] { CorefPlan plan(coref_fixture("passthrough/backend"), false); }),
            "unsupported transformer runtime backend");
}

TEST(CorefLoad, KeepsSettingsIdsAndViews) {
  const CorefPlan::Impl all(coref_fixture("models/bpe_all"), false);
  EXPECT_TRUE(all.singletons && all.full_pairwise && all.use_zeros);
  EXPECT_EQ(all.n_hidden_layers, 2);
  EXPECT_EQ(all.rough_k, 30);
  EXPECT_EQ(all.bert_window_size, 5);
  EXPECT_EQ(all.cls_id, 0);
  EXPECT_EQ(all.sep_id, 2);
  EXPECT_EQ(all.pad_id, 1);
  EXPECT_EQ(all.tokenizer_map_ids.at("the"), (std::vector<std::int64_t>{5, 6}));
  EXPECT_TRUE(all.tokenizer_map_ids.at("<blank>").empty());
  // Views of the mapping, not copies.
  for (const TensorDescriptor& descriptor : all.bundle->tensors()) {
    EXPECT_EQ(all.tensors.at(descriptor.name).const_data_ptr(),
              static_cast<const void*>(all.bundle->tensor_data(descriptor.name)));
  }

  const CorefPlan::Impl zeros(coref_fixture("models/xlmr_zeros"), false);
  EXPECT_EQ(zeros.cls_id, -1);
  EXPECT_EQ(zeros.sep_id, -1);
  EXPECT_EQ(zeros.eos_id, 2);
  EXPECT_FALSE(zeros.singletons || zeros.full_pairwise);

  const CorefPlan plan(coref_fixture("models/wordpiece_singletons"), false);
  EXPECT_TRUE(plan.predicts_singletons());
  EXPECT_FALSE(plan.predicts_zero_anaphora());
  EXPECT_EQ(plan.bundle().processor(), "coref");
}

// The address space this process has mapped so far, in bytes.
rlim_t mapped_bytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmSize:", 0) == 0) {
      return static_cast<rlim_t>(std::stoull(line.substr(7))) << 10;
    }
  }
  return 0;
}

// A configured layer count far beyond what the bundle holds ends at its first
// missing layer, without growing: the child process may map only 1 GiB more.
// The threadsafe style starts the child as a new run of this test, which makes
// a folder and copy of its own before the statement; the child ends with
// _Exit, which runs no destructor, so it removes that folder itself.
TEST(CorefLoadDeathTest, HugeLayerCountEndsAtTheFirstMissingLayer) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const test::TempDir dir;
  const std::filesystem::path bundle =
      test::edited_copy(dir, coref_fixture("models/wordpiece_base"),
                        {{"\"n_hidden_layers\": 1", "\"n_hidden_layers\": 2147483648"}});
  EXPECT_EXIT(
      {
        rlimit cap{};
        getrlimit(RLIMIT_AS, &cap);
        cap.rlim_cur = std::min(cap.rlim_max, mapped_bytes() + (rlim_t{1} << 30));
        setrlimit(RLIMIT_AS, &cap);
        int status = 1;
        try {
          const CorefPlan plan(bundle, false);
        } catch (const CorefModelError& error) {
          std::fputs(error.what(), stderr);
          status = 0;
        } catch (const std::exception& error) {
          std::fputs(error.what(), stderr);
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir.path(), ignored);
        std::_Exit(status);
      },
      ::testing::ExitedWithCode(0), "missing coref tensor: 'a_scorer.hidden.3.weight'");
}

} // namespace
} // namespace velmora
