#pragma once

// Errors of the tensor library, reported as a plan's own. Include only from
// .cpp files.

#include <exception>
#include <string>
#include <utility>

#include <c10/util/Exception.h>

namespace velmora::detail {

// The message of an error raised by libtorch or by a package, without the
// backtrace that libtorch appends (also when a package rethrows a nested
// error with the backtrace folded into its text).
std::string libtorch_error_message(const std::exception& error);

// Runs `work`. An error the tensor library raises inside it leaves as `Error`
// with the library's message alone: its own text carries tens of lines of
// C++ backtrace that name no bundle or tensor, and callers catch a plan's
// errors by the plan's class.
template <class Error, class Work> decltype(auto) with_model_errors(Work&& work) {
  try {
    return std::forward<Work>(work)();
  } catch (const c10::Error& error) {
    throw Error(libtorch_error_message(error));
  }
}

} // namespace velmora::detail
