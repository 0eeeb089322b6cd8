// The constituency parser's public face.

#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <velmora/json.hpp>

#include "constituency/constituency_impl.hpp"

namespace velmora {

ConstituencyPlan::ConstituencyPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  try {
    impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
  } catch (const detail::JsonError& error) {
    throw ConstituencyModelError(error.what());
  }
#if defined(__GLIBC__)
  // The parsed assets (a pretrained vocabulary of 100,000 words is over
  // 10 MB of small nodes) are gone once loading ends, but glibc keeps freed
  // small chunks resident; hand them back so that a loaded parser costs only
  // what it holds.
  malloc_trim(0);
#endif
}

ConstituencyPlan::~ConstituencyPlan() = default;
ConstituencyPlan::ConstituencyPlan(ConstituencyPlan&& other) noexcept = default;
ConstituencyPlan& ConstituencyPlan::operator=(ConstituencyPlan&& other) noexcept {
  if (this != &other) {
    impl_ = std::move(other.impl_);
  }
  return *this;
}

const ModelBundle& ConstituencyPlan::bundle() const {
  return *impl_->bundle;
}

bool ConstituencyPlan::uses_xpos() const {
  return impl_->uses_xpos;
}

} // namespace velmora
