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

// Runs `work`. An error the tensor library or one of its kernel libraries
// raises inside it leaves as `Error` with the library's message alone: its
// own text carries tens of lines of C++ backtrace that name no bundle or
// tensor, and callers catch a plan's errors by the plan's class. Those
// libraries throw their own classes straight from std::exception (c10::Error,
// oneDNN's and ideep's errors). This library's own errors and the standard
// ones its code throws are logic or runtime errors and pass unchanged, and so
// does an allocation failure, the tensor library's included, which leaves as
// std::bad_alloc.
template <class Error, class Work> decltype(auto) with_model_errors(Work&& work) {
  try {
    return std::forward<Work>(work)();
  } catch (const std::logic_error&) {
    throw;
  } catch (const std::runtime_error&) {
    throw;
  } catch (const std::exception& error) {
    rethrow_allocation_failure(error);
    throw Error(libtorch_error_message(error));
  }
}

} // namespace velmora::detail
