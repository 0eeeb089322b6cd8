#pragma once

#include <filesystem>
#include <memory>

#include <velmora/errors.hpp>

namespace velmora {

class ModelBundle;

// The in-order transition constituency parser of a "constituency" bundle.
// Immutable once loaded, so one plan may serve several threads at once.
// Movable, not copyable; a moved-from plan may only be destroyed or assigned
// to.
class ConstituencyPlan {
public:
  struct Impl;

  // Throws ModelBundleError when the bundle cannot be opened or verified, and
  // ConstituencyModelError for a bundle of another kind, an architecture the
  // parser cannot run or assets it cannot read.
  ConstituencyPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  ~ConstituencyPlan();
  ConstituencyPlan(ConstituencyPlan&& other) noexcept;
  ConstituencyPlan& operator=(ConstituencyPlan&& other) noexcept;
  ConstituencyPlan(const ConstituencyPlan&) = delete;
  ConstituencyPlan& operator=(const ConstituencyPlan&) = delete;

  const ModelBundle& bundle() const;
  // True when the parser reads XPOS tags, false when it reads UPOS tags.
  bool uses_xpos() const;

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
