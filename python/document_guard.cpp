#include "document_guard.hpp"

#include <pthread.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace velmora::python {

namespace detail {

std::unordered_map<const DocumentStorage*, unsigned>& busy_storages =
    *new std::unordered_map<const DocumentStorage*, unsigned>();

namespace {

// Forks this process has gone through. The calls that marked storages before
// the last one have no thread here; their BusyDocuments hold the storages
// for good, so no address is reused.
unsigned forks = 0;

void after_fork_in_child() {
  ++forks;
}

[[maybe_unused]] const int fork_handler = pthread_atfork(nullptr, nullptr, after_fork_in_child);

} // namespace

void refuse_busy_storage(const DocumentStorage* storage) {
  const auto found = busy_storages.find(storage);
  if (found != busy_storages.end() && found->second != forks) {
    throw std::runtime_error("document was being annotated by a call in another thread when "
                             "this process was forked, and may be half-written");
  }
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
      busy.emplace(storages_[marked].get(), detail::forks);
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
