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

// Runs `work`. An error the tensor library or one of its kernel libraries
// raises inside it leaves as `Error` with the library's message alone: its
// own text carries tens of lines of C++ backtrace that name no bundle or
// tensor, and callers catch a plan's errors by the plan's class. Those
// libraries throw their own classes straight from std::exception (c10::Error,
// oneDNN's and ideep's errors). This library's own errors and the standard
// ones its code throws are logic or runtime errors and pass unchanged, and so
// does an allocation failure, which the module reports as MemoryError.
template <class Error, class Work> decltype(auto) with_model_errors(Work&& work) {
  try {
    return std::forward<Work>(work)();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::logic_error&) {
    throw;
  } catch (const std::runtime_error&) {
    throw;
  } catch (const std::exception& error) {
    throw Error(libtorch_error_message(error));
  }
}

} // namespace velmora::detail
