// Exception policy of the bound members: the members that promise ValueError
// run their body through these wrappers; everything else keeps pybind11's
// standard translation.
#ifndef TAVRIN_BINDINGS_ERRORS_H_
#define TAVRIN_BINDINGS_ERRORS_H_

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <utility>

namespace tavrin::bindings {

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
template <typename Fn>
auto core_errors_as_value_error(Fn&& fn) -> decltype(fn()) {
  try {
    return std::forward<Fn>(fn)();
  } catch (const std::runtime_error& e) {
    throw pybind11::value_error(e.what());
  } catch (const std::invalid_argument& e) {
    throw pybind11::value_error(e.what());
  }
}

}  // namespace tavrin::bindings

#endif  // TAVRIN_BINDINGS_ERRORS_H_
