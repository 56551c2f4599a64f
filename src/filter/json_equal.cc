#include "filter/json_equal.h"

#include <cmath>
#include <cstdint>

namespace tavrin {
namespace {

using json = nlohmann::json;
using value_t = json::value_t;

double AsDouble(const json& v) {
  switch (v.type()) {
    case value_t::number_integer:
      return static_cast<double>(v.get_ref<const json::number_integer_t&>());
    case value_t::number_unsigned:
      return static_cast<double>(v.get_ref<const json::number_unsigned_t&>());
    default:
      return v.get_ref<const json::number_float_t&>();
  }
}

// Both a and b are numbers.
bool NumberEqual(const json& a, const json& b) {
  const value_t ta = a.type();
  const value_t tb = b.type();
  if (ta == value_t::number_float || tb == value_t::number_float) {
    return AsDouble(a) == AsDouble(b);
  }
  if (ta == tb) {
    if (ta == value_t::number_integer) {
      return a.get_ref<const json::number_integer_t&>() ==
             b.get_ref<const json::number_integer_t&>();
    }
    return a.get_ref<const json::number_unsigned_t&>() ==
           b.get_ref<const json::number_unsigned_t&>();
  }
  // One signed, one unsigned: equal only when the signed one is not negative.
  const json& s = ta == value_t::number_integer ? a : b;
  const json& u = ta == value_t::number_integer ? b : a;
  const int64_t sv = s.get_ref<const json::number_integer_t&>();
  return sv >= 0 && static_cast<uint64_t>(sv) == u.get_ref<const json::number_unsigned_t&>();
}

bool IsNaN(const json& v) {
  return v.is_number_float() && std::isnan(v.get_ref<const json::number_float_t&>());
}

}  // namespace

bool JsonEqual(const json& a, const json& b) {
  if (a.is_number() && b.is_number()) return NumberEqual(a, b);
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case value_t::array: {
      const auto& x = a.get_ref<const json::array_t&>();
      const auto& y = b.get_ref<const json::array_t&>();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!JsonEqual(x[i], y[i])) return false;
      }
      return true;
    }
    case value_t::object: {
      const auto& x = a.get_ref<const json::object_t&>();
      const auto& y = b.get_ref<const json::object_t&>();
      if (x.size() != y.size()) return false;
      // Both maps are ordered by key, so entries line up pairwise.
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
        if (i->first != j->first || !JsonEqual(i->second, j->second)) return false;
      }
      return true;
    }
    default:
      // null, string, boolean, binary: the library's equality is exact.
      return a == b;
  }
}

bool JsonNotEqual(const json& a, const json& b) {
  if ((IsNaN(a) && b.is_number()) || (IsNaN(b) && a.is_number())) return false;
  return !JsonEqual(a, b);
}

}  // namespace tavrin
