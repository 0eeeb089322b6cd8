#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <velmora/errors.hpp>

namespace velmora {

class ModelBundle;

// The language identifier of a "langid" bundle: a character-level
// bidirectional LSTM whose per-character tag scores, summed over a whole
// text, name its language. Memory grows with the length of the longest text
// of a call; many texts run in passes of bounded size. Immutable once loaded,
// so one plan may serve several threads at once. Movable, not copyable; a
// moved-from plan may only be destroyed or assigned to.
class LangIDPlan {
public:
  struct Impl;

  // Throws ModelBundleError when the bundle cannot be opened or verified, and
  // LangIDModelError for a bundle of another kind, assets it cannot read or
  // tensors of the wrong shape.
  LangIDPlan(std::filesystem::path bundle_path, bool verify_checksums);
  ~LangIDPlan();
  LangIDPlan(LangIDPlan&& other) noexcept;
  LangIDPlan& operator=(LangIDPlan&& other) noexcept;
  LangIDPlan(const LangIDPlan&) = delete;
  LangIDPlan& operator=(const LangIDPlan&) = delete;

  const ModelBundle& bundle() const;

  // The tag of one text: identify_many({text}, langs).
  std::string identify(const std::string& text, const std::vector<std::string>& langs) const;

  // One tag per text, in input order. A non-empty `langs` restricts the
  // answers to the tags it names (other strings are ignored). Throws
  // LangIDModelError for a text that is not valid UTF-8 or is empty (texts
  // are checked first, in order) and for a subset naming no tag; no texts
  // give no tags without any check of the subset.
  std::vector<std::string> identify_many(const std::vector<std::string>& texts,
                                         const std::vector<std::string>& langs) const;

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
