// Random documents and random filters from the filter grammar: EvaluateFilter
// (after NormalizeFilter) and FilterItems must agree with the small reference
// evaluator below, which is written from the language rules and shares no
// code with src/filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "filter/filter_eval.h"
#include "filter/filter_parse.h"

namespace tavrin {
namespace {

using json = nlohmann::json;

// ---- Reference evaluator ------------------------------------------------

struct RefError {};

bool RefIsNumber(const json& v) {
  return v.type() == json::value_t::number_integer || v.type() == json::value_t::number_unsigned ||
         v.type() == json::value_t::number_float;
}

long double RefNumber(const json& v) {
  if (v.type() == json::value_t::number_integer) return v.get<int64_t>();
  if (v.type() == json::value_t::number_unsigned) return v.get<uint64_t>();
  return v.get<double>();
}

bool RefEqual(const json& x, const json& y) {
  if (RefIsNumber(x) || RefIsNumber(y)) {
    return RefIsNumber(x) && RefIsNumber(y) && RefNumber(x) == RefNumber(y);
  }
  if (x.type() != y.type()) return false;
  if (x.is_array()) {
    return x.size() == y.size() &&
           std::equal(x.begin(), x.end(), y.begin(),
                      [](const json& p, const json& q) { return RefEqual(p, q); });
  }
  if (x.is_object()) {
    if (x.size() != y.size()) return false;
    for (const auto& [key, value] : x.items()) {
      if (!y.contains(key) || !RefEqual(value, y.at(key))) return false;
    }
    return true;
  }
  if (x.is_string()) return x.get<std::string>() == y.get<std::string>();
  if (x.is_boolean()) return x.get<bool>() == y.get<bool>();
  return true;  // both null
}

// What a logical operand or $in operand ranges over.
std::vector<json> RefElements(const json& v) {
  std::vector<json> out;
  if (v.is_null()) return out;
  if (v.is_array() || v.is_object()) {
    for (const auto& item : v.items()) out.push_back(item.value());
    return out;
  }
  out.push_back(v);
  return out;
}

// The field at path, or null.
json RefLookup(const json& document, const std::string& path) {
  std::vector<std::string> names(1);
  for (char c : path) {
    if (c == '.') {
      names.emplace_back();
    } else {
      names.back() += c;
    }
  }
  const json* at = &document;
  for (const std::string& name : names) {
    if (!at->is_object() || !at->contains(name)) return nullptr;
    at = &at->at(name);
  }
  return *at;
}

bool RefCompare(const json& f, const json& a, const std::string& op) {
  if (!RefIsNumber(f) || !RefIsNumber(a)) return false;
  const long double x = RefNumber(f), y = RefNumber(a);
  if (op == "$gt") return x > y;
  if (op == "$gte") return x >= y;
  if (op == "$lt") return x < y;
  return x <= y;
}

bool RefOperator(const std::string& op, const json& f, const json& a) {
  const std::vector<json> items = f.is_array() ? RefElements(f) : std::vector<json>{f};
  if (op == "$eq" || op == "$ne") {
    bool any = false;
    for (const json& x : items) any = any || RefEqual(x, a);
    return op == "$eq" ? any : !any;
  }
  if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
    for (const json& x : items) {
      if (RefCompare(x, a, op)) return true;
    }
    return false;
  }
  if (op == "$in" || op == "$nin") {
    bool any = false;
    for (const json& x : items) {
      for (const json& y : RefElements(a)) any = any || RefEqual(x, y);
    }
    return op == "$in" ? any : !any;
  }
  if (op == "$exists") {
    if (!a.is_boolean()) throw RefError{};
    return a.get<bool>();
  }
  if (op == "$regex") {
    if (!f.is_string()) return false;
    if (!a.is_string()) throw RefError{};
    try {
      return std::regex_search(f.get<std::string>(), std::regex(a.get<std::string>()));
    } catch (const std::regex_error&) {
      throw RefError{};
    }
  }
  if (op == "$type") {
    const std::string name = a.is_string() ? a.get<std::string>() : "";
    if (name == "string") return f.is_string();
    if (name == "number") return RefIsNumber(f);
    if (name == "boolean") return f.is_boolean();
    if (name == "array") return f.is_array();
    if (name == "object") return f.is_object();
    throw RefError{};
  }
  throw RefError{};
}

bool RefIsOperatorObject(const json& v) {
  if (!v.is_object()) return false;
  for (const auto& item : v.items()) {
    if (!item.key().empty() && item.key()[0] == '$') return true;
  }
  return false;
}

// Shorthand field entries are read as equality here, directly.
bool RefFilter(const json& filter, const json& document) {
  std::vector<std::string> keys;
  for (const auto& item : filter.items()) keys.push_back(item.key());
  std::sort(keys.begin(), keys.end());
  for (const std::string& key : keys) {
    const json& value = filter.at(key);
    bool holds = true;
    if (key == "$and" || key == "$or" || key == "$nor") {
      const std::vector<json> parts = RefElements(value);
      if (key == "$and") {
        holds = std::all_of(parts.begin(), parts.end(),
                            [&](const json& p) { return RefFilter(p, document); });
      } else {
        const bool any = std::any_of(parts.begin(), parts.end(),
                                     [&](const json& p) { return RefFilter(p, document); });
        holds = key == "$or" ? any : !any;
      }
    } else if (key == "$not") {
      holds = !RefFilter(value, document);
    } else {
      const json condition = RefIsOperatorObject(value) ? value : json{{"$eq", value}};
      const json field = RefLookup(document, key);
      if (field.is_null()) {
        holds = condition.size() == 1 && condition.contains("$exists") &&
                condition.at("$exists") == json(false);
      } else {
        std::vector<std::string> ops;
        for (const auto& item : condition.items()) ops.push_back(item.key());
        std::sort(ops.begin(), ops.end());
        for (const std::string& op : ops) {
          if (!RefOperator(op, field, condition.at(op))) {
            holds = false;
            break;
          }
        }
      }
    }
    if (!holds) return false;
  }
  return true;
}

enum Outcome { kFalse, kTrue, kError };

Outcome RefOutcome(const json& filter, const json& document) {
  try {
    return RefFilter(filter, document) ? kTrue : kFalse;
  } catch (const RefError&) {
    return kError;
  }
}

// ---- Random documents and filters ---------------------------------------

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}

  json Scalar() {
    switch (Pick(6)) {
      case 0:
        return nullptr;
      case 1:
        return Pick(2) == 0;
      case 2:
        return static_cast<int64_t>(Pick(5)) - 2;
      case 3:
        return static_cast<uint64_t>(Pick(3));
      case 4:
        return Choose<double>({-1.5, 0.0, 1.0, 2.0, 2.5});
      default:
        return Choose<std::string>({"", "a", "ab", "ba", "abc", "cab", "x y"});
    }
  }

  json Value(int depth) {
    const int kind = depth > 0 ? Pick(8) : 0;
    if (kind == 6) {
      json array = json::array();
      for (int n = Pick(4); n > 0; --n) array.push_back(Value(depth - 1));
      return array;
    }
    if (kind == 7) {
      json object = json::object();
      for (const char* key : {"a", "b", "c"}) {
        if (Pick(2) == 0) object[key] = Value(depth - 1);
      }
      return object;
    }
    return Scalar();
  }

  json Document() {
    json doc = json::object();
    for (const char* key : {"a", "b", "c", "d"}) {
      if (Pick(10) < 6) doc[key] = Value(2);
    }
    return doc;
  }

  json Operand(const std::string& op) {
    if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
      return Pick(7) == 0 ? Scalar() : Choose<json>({-1, 0, 1u, 2, 1.5, -0.5});
    }
    if (op == "$in" || op == "$nin") {
      if (Pick(8) == 0) return Scalar();
      json array = json::array();
      for (int n = Pick(4); n > 0; --n) array.push_back(Value(1));
      return array;
    }
    if (op == "$exists") return Pick(10) == 0 ? json(Pick(2)) : json(Pick(2) == 0);
    if (op == "$regex") {
      const int r = Pick(20);
      if (r == 0) return "(";
      if (r == 1) return 3;
      return Choose<std::string>(
          {"^a", "b", "a.c", "c$", "^$", "(a|b)+c", "^(ab|ba)$", "\\s", "[^a]", "a(?=b)"});
    }
    if (op == "$type") {
      if (Pick(10) == 0) return Pick(2) == 0 ? json("null") : json(3);
      return Choose<std::string>({"string", "number", "boolean", "array", "object"});
    }
    return Value(1);  // $eq, $ne
  }

  json Condition() {
    static const char* kOps[] = {"$eq",     "$ne",    "$gt", "$gte", "$lt",  "$lte",
                                 "$exists", "$regex", "$in", "$nin", "$type"};
    if (Pick(7) == 0) return Value(1);  // shorthand equality
    json condition = json::object();
    for (int n = Pick(4) == 0 ? 2 : 1; n > 0; --n) {
      const std::string op = kOps[Pick(11)];
      condition[op] = Operand(op);
    }
    return condition;
  }

  json Filter(int depth) {
    json filter = json::object();
    for (int n = Pick(5) == 0 ? 2 : 1; n > 0; --n) {
      if (depth > 0 && Pick(3) == 0) {
        const std::string key = Choose<std::string>({"$and", "$or", "$nor", "$not"});
        if (key == "$not") {
          filter[key] = Filter(depth - 1);
        } else {
          json parts = json::array();
          for (int k = Pick(4); k > 0; --k) parts.push_back(Filter(depth - 1));
          filter[key] = parts;
        }
      } else {
        const std::string path =
            Choose<std::string>({"a", "b", "c", "d", "a.b", "b.c", "a.a", "c.a.b", "e"});
        filter[path] = Condition();
      }
    }
    return filter;
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  template <typename T>
  T Choose(std::initializer_list<T> options) {
    return *(options.begin() + Pick(static_cast<int>(options.size())));
  }

  std::mt19937 rng_;
};

Outcome ImplOutcome(const json& normalised, const json& document) {
  try {
    return EvaluateFilter(normalised, document) ? kTrue : kFalse;
  } catch (const std::exception&) {
    return kError;
  }
}

TEST(FilterProperty, EvaluateFilterAgreesWithReference) {
  int counts[3] = {0, 0, 0};
  int mismatches = 0;
  for (int round = 0; round < 1500; ++round) {
    // A fresh seed per filter keeps a failing case easy to replay.
    Generator gen(20240611u + static_cast<uint32_t>(round));
    const json raw = gen.Filter(3);
    json filter = raw;
    NormalizeFilter(filter);
    for (int d = 0; d < 20; ++d) {
      const json doc = gen.Document();
      const Outcome expected = RefOutcome(raw, doc);
      const Outcome actual = ImplOutcome(filter, doc);
      ++counts[expected];
      if (expected != actual && ++mismatches <= 10) {
        ADD_FAILURE() << "filter " << raw << "\ndocument " << doc << "\nexpected " << expected
                      << " got " << actual;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
  // The generator must exercise every outcome in earnest.
  EXPECT_GT(counts[kTrue], 5000);
  EXPECT_GT(counts[kFalse], 5000);
  EXPECT_GT(counts[kError], 50);
}

TEST(FilterProperty, FilterItemsAgreesWithReference) {
  Generator gen(77);
  std::vector<json> docs;
  for (size_t i = 0; i < kFilterParallelThreshold + 300; ++i) docs.push_back(gen.Document());
  int checked = 0;
  for (int round = 0; round < 60; ++round) {
    const json raw = gen.Filter(3);
    json filter = raw;
    NormalizeFilter(filter);
    std::vector<uint32_t> expected;
    bool error = false;
    for (size_t i = 0; i < docs.size() && !error; ++i) {
      const Outcome o = RefOutcome(raw, docs[i]);
      error = o == kError;
      if (o == kTrue) expected.push_back(static_cast<uint32_t>(i));
    }
    if (error) {
      EXPECT_ANY_THROW(FilterItems(docs, filter, false)) << raw;
    } else {
      EXPECT_EQ(FilterItems(docs, filter, false), expected) << raw;
      ++checked;
    }
  }
  EXPECT_GT(checked, 30);
}

}  // namespace
}  // namespace tavrin
