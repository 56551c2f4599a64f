// Exception policy of the bound members: the members that promise ValueError
// run their body (or their core call) through these wrappers; everything else
// keeps pybind11's standard translation.
#ifndef TAVRIN_BINDINGS_ERRORS_H_
#define TAVRIN_BINDINGS_ERRORS_H_

#include <pybind11/pybind11.h>

#include "bindings/logging_bridge.h"

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace tavrin::bindings {

// The text of a Python exception caught as error_already_set: str() of the
// exception value, without the type name or traceback that what() adds.
// Needs the interpreter lock.
inline std::string python_error_text(const pybind11::error_already_set& e) {
  try {
    return pybind11::str(e.value()).cast<std::string>();
  } catch (...) {
    return e.what();
  }
}

// Runs fn; a std::runtime_error becomes ValueError with the same message.
template <typename Fn>
auto runtime_as_value_error(Fn&& fn) -> decltype(fn()) {
  try {
    return std::forward<Fn>(fn)();
  } catch (const std::runtime_error& e) {
    throw pybind11::value_error(e.what());
  }
}

// Runs fn; std::runtime_error and std::invalid_argument become ValueError.
// The diagnostic lines of the call go to the logger when it returns.
template <typename Fn>
auto core_errors_as_value_error(Fn&& fn) -> decltype(fn()) {
  DiagnosticsFlush flush;
  try {
    return std::forward<Fn>(fn)();
  } catch (const std::runtime_error& e) {
    throw pybind11::value_error(e.what());
  } catch (const std::invalid_argument& e) {
    throw pybind11::value_error(e.what());
  }
}

// Runs fn; every failure becomes ValueError: a Python error with its text, a
// C++ exception with its message. Needs the interpreter lock.
template <typename Fn>
auto all_errors_as_value_error(Fn&& fn) -> decltype(fn()) {
  try {
    return std::forward<Fn>(fn)();
  } catch (const pybind11::error_already_set& e) {
    throw pybind11::value_error(python_error_text(e));
  } catch (const std::exception& e) {
    throw pybind11::value_error(e.what());
  }
}

}  // namespace tavrin::bindings

#endif  // TAVRIN_BINDINGS_ERRORS_H_
