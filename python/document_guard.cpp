#include "document_guard.hpp"

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace velmora::python {

namespace detail {

std::unordered_set<const DocumentStorage*>& busy_storages =
    *new std::unordered_set<const DocumentStorage*>();

void refuse_busy_storage() {
  throw std::runtime_error("document is being annotated by a call in another thread");
}

} // namespace detail

BusyDocuments::BusyDocuments(const Document& document) : storages_{document.storage()} {
  mark();
}

BusyDocuments::BusyDocuments(const std::vector<Document>& documents) {
  storages_.reserve(documents.size());
  for (const Document& document : documents) {
    storages_.push_back(document.storage());
  }
  std::sort(storages_.begin(), storages_.end(), std::less<>());
  storages_.erase(std::unique(storages_.begin(), storages_.end()), storages_.end());
  mark();
}

void BusyDocuments::mark() {
  for (const auto& storage : storages_) {
    check_idle(storage.get());
  }
  auto& busy = detail::busy_storages;
  std::size_t marked = 0;
  try {
    for (; marked < storages_.size(); ++marked) {
      busy.insert(storages_[marked].get());
    }
  } catch (...) {
    // Out of memory part way: the call is refused, so nothing stays marked.
    for (std::size_t i = 0; i < marked; ++i) {
      busy.erase(storages_[i].get());
    }
    throw;
  }
}

BusyDocuments::~BusyDocuments() {
  for (const auto& storage : storages_) {
    detail::busy_storages.erase(storage.get());
  }
}

} // namespace velmora::python
