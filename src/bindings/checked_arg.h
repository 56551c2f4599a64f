// Arguments of the members that take an index key. pybind11 refuses a wrong
// argument by repeating every argument given ("Invoked with: ..."), which
// would put the key into logs and tracebacks. A Checked<T> argument accepts
// any object, keeps the caster's signature text, and leaves the refusal to
// the member: a TypeError that names the argument and the type given, never
// a value.
#ifndef TAVRIN_BINDINGS_CHECKED_ARG_H_
#define TAVRIN_BINDINGS_CHECKED_ARG_H_

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <utility>

namespace tavrin::bindings {

// TypeError "<member>(): incompatible function arguments: <arg> cannot be
// <given>".
[[noreturn]] inline void RefuseArgument(const char* member, const char* arg,
                                        const std::string& given) {
  throw pybind11::type_error(std::string(member) + "(): incompatible function arguments: " + arg +
                             " cannot be " + given);
}

template <typename T>
struct Checked {
  std::optional<T> value;
  std::string given;  // what the refused object was: its type, and its length when it has one

  // The converted value; a TypeError "<member>(): incompatible function
  // arguments: <arg> cannot be <given>" when the object did not convert.
  const T& get(const char* member, const char* arg) const {
    if (!value) RefuseArgument(member, arg, given);
    return *value;
  }
};

}  // namespace tavrin::bindings

namespace pybind11::detail {

template <typename T>
struct type_caster<tavrin::bindings::Checked<T>> {
  using Inner = make_caster<T>;
  PYBIND11_TYPE_CASTER(tavrin::bindings::Checked<T>, Inner::name);

  bool load(handle src, bool convert) {
    Inner inner;
    if (inner.load(src, convert)) {
      value.value.emplace(cast_op<T>(inner));
      return true;
    }
    if (!convert) return false;  // a second pass, with conversions, follows
    const std::string type_name = str(type::handle_of(src).attr("__name__"));
    const bool vowel =
        !type_name.empty() && std::string("aeiouAEIOU").find(type_name[0]) != std::string::npos;
    value.given = (vowel ? "an " : "a ") + type_name;
    if (hasattr(src, "__len__")) {
      try {
        value.given += " of length " + std::to_string(len(src));
      } catch (const error_already_set&) {
      }
    }
    return true;
  }

  // Arguments only; nothing returns a Checked.
  static handle cast(const tavrin::bindings::Checked<T>&, return_value_policy, handle) {
    return none().release();
  }
};

}  // namespace pybind11::detail

#endif  // TAVRIN_BINDINGS_CHECKED_ARG_H_
