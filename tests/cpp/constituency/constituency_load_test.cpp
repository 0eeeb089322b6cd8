// Loading "constituency" bundles: every refusal with its exact message, and
// the state a successful load leaves behind.

#include <gtest/gtest.h>

#include <velmora/constituency.hpp>
#include <velmora/model_bundle.hpp>

#include "constituency/constituency_impl.hpp"
#include "constituency_test_support.hpp"

namespace velmora {
namespace {

using detail::TransitionKind;
using test::constituency_fixture;

TEST(ConstituencyLoad, EveryCaseLoadsOrFailsAsExpected) {
  test::expect_load_cases<ConstituencyPlan, ConstituencyModelError>(constituency_fixture(""),
                                                                    "ConstituencyModelError", 75);
}

TEST(ConstituencyLoad, BundleErrorsPassUnchanged) {
  test::expect_bundle_error_passes<ConstituencyPlan, ConstituencyModelError>(
      constituency_fixture("cases/no-such-bundle"));
}

TEST(ConstituencyLoad, TransitionsVocabulariesAndBoundWeights) {
  const ConstituencyPlan::Impl impl(constituency_fixture("cases/valid"), false);
  ASSERT_EQ(impl.transitions.size(), 5u);
  EXPECT_EQ(impl.transitions[0].kind, TransitionKind::Shift);
  EXPECT_EQ(impl.transitions[1].kind, TransitionKind::Close);
  EXPECT_EQ(impl.transitions[1].open_index, -1);
  EXPECT_EQ(impl.transitions[3].kind, TransitionKind::Open);
  EXPECT_EQ(impl.transitions[3].labels, (std::vector<std::string>{"S", "VP"}));
  EXPECT_EQ(impl.transitions[4].open_index, 1);
  // ["a", "a", "b"]: the first "a" keeps id 2, "b" takes its index + 2.
  EXPECT_EQ(impl.delta_vocab, (detail::UnitMap{{"a", 2}, {"b", 4}}));
  EXPECT_EQ(impl.tag_vocab, (detail::UnitMap{{"NN", 2}, {"VB", 3}}));
  EXPECT_EQ(impl.root_labels.size(), 1u);
  EXPECT_TRUE(impl.uses_xpos && impl.has_shift && impl.has_close);
  EXPECT_FALSE(impl.pretrain_lower || impl.boundary_vectors || impl.use_transformer);
  EXPECT_FALSE(impl.charlm_forward || impl.charlm_backward);

  // The bound weights view the bundle's tensors; only the states are new.
  EXPECT_EQ(impl.constituent_lstm_weights.at(3).const_data_ptr(),
            impl.tensor("constituent_stack.lstm.bias_hh_l0").const_data_ptr());
  EXPECT_EQ(impl.word_lstm_init[1].sizes(), at::IntArrayRef({2, 1, 3}));
  EXPECT_EQ(impl.transition_lstm_init[0].sizes(), at::IntArrayRef({1, 1, 2}));
  EXPECT_EQ(impl.output_layers.at(0).second.const_data_ptr(),
            impl.tensor("output_layers.0.bias").const_data_ptr());

  const ConstituencyPlan::Impl shift_close(constituency_fixture("cases/shift_and_close_only"),
                                           false);
  EXPECT_TRUE(shift_close.transitions[0].labels.empty());
  EXPECT_EQ(shift_close.transitions[0].open_index, -1);
  const ConstituencyPlan::Impl twice(constituency_fixture("cases/root_labels_twice"), false);
  EXPECT_EQ(twice.root_labels.size(), 1u);
}

TEST(ConstituencyLoad, TwoLayersEncodersAndTagSource) {
  const ConstituencyPlan::Impl impl(constituency_fixture("models/everything_l2"), false);
  EXPECT_FALSE(impl.uses_xpos);
  EXPECT_TRUE(impl.boundary_vectors && impl.pretrain_lower);
  EXPECT_EQ(impl.root_labels, (std::unordered_set<std::string>{"ROOT", "TOP"}));
  // Layer 0 forward, layer 0 reverse, layer 1 forward, layer 1 reverse.
  ASSERT_EQ(impl.word_lstm_weights.size(), 16u);
  for (const auto& [index, name] :
       std::vector<std::pair<std::size_t, std::string>>{{4, "word_lstm.weight_ih_l0_reverse"},
                                                        {9, "word_lstm.weight_hh_l1"},
                                                        {15, "word_lstm.bias_hh_l1_reverse"}}) {
    EXPECT_EQ(impl.word_lstm_weights[index].const_data_ptr(), impl.tensor(name).const_data_ptr())
        << name;
  }
  EXPECT_EQ(impl.transition_lstm_weights.size(), 8u);
  EXPECT_EQ(impl.output_layers.size(), 3u);
  EXPECT_EQ(impl.transition_lstm_init[0].sizes(), at::IntArrayRef({2, 1, 5}));

  // Only the backward language model: the forward slot stays empty.
  const ConstituencyPlan::Impl backward(constituency_fixture("models/charlm_backward_l2"), false);
  EXPECT_TRUE(!backward.charlm_forward && backward.charlm_backward);
}

TEST(ConstituencyLoad, MovedPlanKeepsItsModel) {
  ConstituencyPlan first(constituency_fixture("models/everything_l2"), false);
  EXPECT_FALSE(first.uses_xpos());
  ConstituencyPlan second(std::move(first));
  EXPECT_FALSE(second.uses_xpos());
  ConstituencyPlan third(constituency_fixture("cases/valid"), false);
  EXPECT_TRUE(third.uses_xpos());
  third = std::move(second);
  EXPECT_FALSE(third.uses_xpos());
  ConstituencyPlan& self = third;
  third = std::move(self);
  EXPECT_EQ(third.bundle().processor(), "constituency");
  EXPECT_EQ(third.bundle().path().filename(), "everything_l2");
}

} // namespace
} // namespace velmora
