#pragma once

// What the stages of one pipeline call hand each other. The pipeline decides
// when it is built which stages can share work; a call object lives only as
// long as its call and covers only its documents, so documents never carry
// encoder state and a stage run outside a pipeline computes everything
// itself. Include only from .cpp files: it pulls in ATen.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/processor.hpp>

namespace velmora::detail {

class PipelineCall {
public:
  // Backward character language model rows of the parser's input form
  // (NativeCharLM::encode_many_rooted with a line feed for the root), per
  // sentence, with the word texts they were computed for.
  struct RootedRows {
    std::vector<std::vector<std::string>> sentences;
    std::vector<at::Tensor> rows;
  };

  explicit PipelineCall(bool offer_rooted_backward)
      : offer_rooted_backward_(offer_rooted_backward) {}

  // Whether a later stage reads backward rows that the tagger's model
  // computes bit for bit (the pipeline checked the models at load).
  bool offer_rooted_backward() const { return offer_rooted_backward_; }
  void leave_rooted_backward(RootedRows rows) { rooted_backward_ = std::move(rows); }
  // The rows left for exactly `sentences` (equal word texts), handed over
  // once; nullopt when none were left or the sentences differ.
  std::optional<RootedRows>
  take_rooted_backward(const std::vector<std::vector<std::string>>& sentences) {
    std::optional<RootedRows> rows;
    if (rooted_backward_ && rooted_backward_->sentences == sentences) {
      rows = std::move(rooted_backward_);
    }
    rooted_backward_.reset();
    return rows;
  }

private:
  bool offer_rooted_backward_ = false;
  std::optional<RootedRows> rooted_backward_;
};

// The stages [first, last] of a chain from a tagger to a parser after it that
// both read the character language models and whose backward models are the
// same (equal sizes, vocabulary and tensor bytes): the tagger's backward run
// can then serve the parser. Those stages run a slice of a call's documents
// at a time, so that the rows handed on live for one slice only: nullopt
// also when a stage between them gives results that depend on the other
// documents of its call (the sentiment classifier's batches, the language
// identifier's passes), which must see the whole call at once.
struct StageRange {
  std::size_t first = 0;
  std::size_t last = 0;
};
std::optional<StageRange>
stages_sharing_backward_charlm(const std::vector<std::shared_ptr<Processor>>& processors);

} // namespace velmora::detail
