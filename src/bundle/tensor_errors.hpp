#pragma once

// Errors of the tensor library, reported as a plan's own. Include only from
// .cpp files.

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include <c10/util/Exception.h>

namespace velmora::detail {

// The message of an error raised by libtorch or by a package, without the
// backtrace that libtorch appends (also when a package rethrows a nested
// error with the backtrace folded into its text).
std::string libtorch_error_message(const std::exception& error);

// An allocation that the tensor library could not make, as the standard
// allocation failure (MemoryError in the module), with the allocator's words.
class AllocationFailure : public std::bad_alloc {
public:
  explicit AllocationFailure(const std::string& message) : message_(message) {}
  const char* what() const noexcept override { return message_.what(); }

private:
  std::runtime_error message_; // a string that copies without throwing
};

// For use inside a handler of `error`: rethrows it when it is a
// std::bad_alloc, and throws AllocationFailure when it is the tensor
// library's report of a failed allocation (its out-of-memory class, or the
// CPU allocator's refusal, which it raises as a plain c10::Error). Returns
// for any other error.
void rethrow_allocation_failure(const std::exception& error);

// A run of a kernel library that could not be carried out for a reason
// other than memory, told by what the run was: the kernel's own words
// ("could not create a primitive") name neither the input nor the limit.
// Not a logic or runtime error, so that with_model_errors reports it as the
// plan's own error.
class KernelRunFailure : public std::exception {
public:
  explicit KernelRunFailure(const std::string& message) : message_(message) {}
  const char* what() const noexcept override { return message_.what(); }

private:
  std::runtime_error message_;
};

// The message of a KernelRunFailure of the run `run` ("character model run
// of 140000 steps over 1 row ...") failing with `error`: the tensor
// library's own checks are kept, a kernel library's words are not.
std::string kernel_run_failure_message(const std::string& run, const std::exception& error);

// Runs `work`; an error of the tensor library or of one of its kernel
// libraries goes to `translate`, called inside the handler, which throws.
// Those libraries throw their own classes straight from std::exception
// (c10::Error, oneDNN's and ideep's errors); this library's own errors and
// the standard ones its code throws are logic or runtime errors and pass
// unchanged, and so does an allocation failure (std::bad_alloc).
template <class Work, class Translate>
decltype(auto) with_library_errors(Work&& work, const Translate& translate) {
  try {
    return std::forward<Work>(work)();
  } catch (const std::logic_error&) {
    throw;
  } catch (const std::runtime_error&) {
    throw;
  } catch (const std::exception& error) {
    rethrow_allocation_failure(error);
    translate(error);
    throw;
  }
}

// Runs `work`, one run of the tensor library's kernels. An allocation
// failure leaves as std::bad_alloc, the tensor library's included; any other
// error of those libraries leaves as KernelRunFailure naming the run by
// `describe()` (a failure of a run inside it passes unchanged). This
// library's own errors pass unchanged.
template <class Describe, class Work>
decltype(auto) with_run_description(const Describe& describe, Work&& work) {
  return with_library_errors(std::forward<Work>(work), [&](const std::exception& error) {
    if (dynamic_cast<const KernelRunFailure*>(&error) == nullptr) {
      throw KernelRunFailure(kernel_run_failure_message(describe(), error));
    }
  });
}

// Runs `work`. An error the tensor library or one of its kernel libraries
// raises inside it leaves as `Error` with the library's message alone: its
// own text carries tens of lines of C++ backtrace that name no bundle or
// tensor, and callers catch a plan's errors by the plan's class. A run that
// named itself (KernelRunFailure) leaves as `Error` with that message. Errors
// that with_library_errors passes leave unchanged.
template <class Error, class Work> decltype(auto) with_model_errors(Work&& work) {
  return with_library_errors(std::forward<Work>(work), [](const std::exception& error) {
    throw Error(libtorch_error_message(error));
  });
}

} // namespace velmora::detail
