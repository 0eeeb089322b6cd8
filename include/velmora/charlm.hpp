#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <velmora/errors.hpp>

namespace velmora {

class ModelBundle;

// A character language model bundle ("forward_charlm" or "backward_charlm")
// used on its own: one vector per word of a sentence, read off a character
// LSTM at the space that closes the word. The direction comes from the
// bundle's assets. Movable, not copyable; a moved-from plan may only be
// destroyed or assigned to.
class CharLMPlan {
public:
  // Throws ModelBundleError when the bundle cannot be opened, CharLMModelError
  // for a bundle of another kind or an architecture the model cannot run, and
  // detail::JsonError (unchanged) for missing or mistyped assets.
  CharLMPlan(std::filesystem::path bundle_path, bool verify_checksums);
  CharLMPlan(CharLMPlan&& other) noexcept;
  CharLMPlan& operator=(CharLMPlan&& other) noexcept;
  CharLMPlan(const CharLMPlan&) = delete;
  CharLMPlan& operator=(const CharLMPlan&) = delete;
  ~CharLMPlan();

  const ModelBundle& bundle() const;
  bool is_forward() const;
  std::int64_t hidden_size() const;

  // One vector of hidden_size() floats per word, in the order of `words`.
  // Throws std::invalid_argument for a word that is not valid UTF-8.
  std::vector<std::vector<float>> encode(const std::vector<std::string>& words) const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
