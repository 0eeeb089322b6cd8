#pragma once

#include "bindings.hpp"

#include <memory>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include <velmora/document.hpp>

#include "released_call.hpp"

// A document's storage takes no lock: one document is never written from two
// threads at once. From Python, the calls that run with the interpreter lock
// released are the only way to break that rule, so they mark the storages of
// their documents as busy while they run, and every other way into a storage
// (processor calls, accessors, setters, sequences, iterators, conversions)
// checks its storage first and refuses a busy one at once with RuntimeError:
// nothing waits, so nothing can deadlock.
//
// The set of busy storages is read and changed only with the interpreter lock
// held, so it needs no lock of its own. A binding body that holds the lock and
// runs no Python bytecode cannot be interleaved with another Python thread, so
// one check at its start covers all of it.
namespace velmora::python {

namespace detail {

// Storages that a call running without the interpreter lock is annotating,
// each with the count of forks that process had gone through when the call
// marked it. Never destroyed: a daemon thread may still leave such a call
// while the process exits.
extern std::unordered_map<const DocumentStorage*, unsigned>& busy_storages;

// Refuses `storage`: busy in another thread, or busy in a call of the parent
// process when this one was forked (no thread will ever finish that call).
[[noreturn]] void refuse_busy_storage(const DocumentStorage* storage);

} // namespace detail

// Raises RuntimeError when a call in another thread is annotating `storage`.
// Nearly free while no such call runs anywhere: inlined even where the module
// is optimised for size.
[[gnu::always_inline]] inline void check_idle(const DocumentStorage* storage) {
  if (!detail::busy_storages.empty() && detail::busy_storages.count(storage) != 0) {
    detail::refuse_busy_storage(storage);
  }
}

// Marks the distinct storages of some documents busy for its lifetime. When
// any of them is busy already, refuses before marking one. It holds the
// storages, so that none is freed (and its address reused) while marked.
class BusyDocuments {
public:
  explicit BusyDocuments(const Document& document);
  // A document may appear more than once.
  explicit BusyDocuments(const std::vector<Document>& documents);
  ~BusyDocuments();
  BusyDocuments(const BusyDocuments&) = delete;
  BusyDocuments& operator=(const BusyDocuments&) = delete;

private:
  void mark();

  std::vector<std::shared_ptr<DocumentStorage>> storages_;
};

// Runs `call` with the interpreter lock released, the storages of `documents`
// marked busy meanwhile. The lock is taken back before they are unmarked,
// whether `call` returns or throws.
template <class Documents, class Call>
decltype(auto) annotate(const Documents& documents, Call&& call) {
  const BusyDocuments busy(documents);
  const ReleasedCall release;
  return std::forward<Call>(call)();
}

namespace detail {

template <class Result, class Self, class... Args> struct Signature {};

template <class R, class C, class... A>
Signature<R, const C&, A...> signature_of(R (C::*)(A...) const);
template <class R, class C, class... A>
Signature<R, const C&, A...> signature_of(R (C::*)(A...) const noexcept);
template <class R, class C, class... A> Signature<R, C&, A...> signature_of(R (C::*)(A...));
template <class R, class S, class... A> Signature<R, S, A...> signature_of(R (*)(S, A...));
// A lambda, through its call operator.
template <class R, class L, class S, class... A>
Signature<R, S, A...> signature_of_call(R (L::*)(S, A...) const);

// A member function or function known at compile time, called directly (the
// module is optimised for size, where std::invoke is not inlined).
template <auto Function, class R, class Self, class... A> auto checked(Signature<R, Self, A...>) {
  return [](Self self, A... args) -> R {
    check_idle(self.storage().get());
    if constexpr (std::is_member_function_pointer_v<decltype(Function)>) {
      return (self.*Function)(std::forward<A>(args)...);
    } else {
      return Function(self, std::forward<A>(args)...);
    }
  };
}

template <class F, class R, class Self, class... A>
auto checked(F function, Signature<R, Self, A...>) {
  return [function](Self self, A... args) -> R {
    check_idle(self.storage().get());
    return function(self, std::forward<A>(args)...);
  };
}

} // namespace detail

// `Function` behind the check that no call in another thread is annotating
// the document it reaches: a member function of a view (or of anything with
// storage()), or a function whose first parameter is one. The result has the
// same signature.
template <auto Function> auto guarded() {
  return detail::checked<Function>(decltype(detail::signature_of(Function)){});
}

// The same for a lambda whose first parameter is a view.
template <class F> auto guarded(F function) {
  return detail::checked(function, decltype(detail::signature_of_call(&F::operator())){});
}

} // namespace velmora::python
