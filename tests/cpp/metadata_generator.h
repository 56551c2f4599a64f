// Random metadata documents and filters for differential tests: scalars of
// every kind (big and negative numbers, texts that look like other types),
// arrays of scalars, of arrays and of objects, nested objects, and filters
// over every operator with $and, $or, $not and $nor.
#ifndef TAVRIN_TESTS_CPP_METADATA_GENERATOR_H_
#define TAVRIN_TESTS_CPP_METADATA_GENERATOR_H_

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>

#include <nlohmann/json.hpp>

namespace tavrin::testing {

using json = nlohmann::json;

class RandomMetadata {
 public:
  explicit RandomMetadata(uint32_t seed) : rng_(seed) {}

  json Scalar() {
    const int kind = Pick(4);
    if (kind == 0) return Choose<json>({nullptr, true, false});
    if (kind == 1) return Choose<json>({0, 1, -1, 2, 7, -7, 1000});
    if (kind == 3) return Choose<json>({"red", "blue", "", "true", "5", "x y"});
    return Choose<json>({2.5, -0.5, 1e11, -1e11, 9876543211.0, -9876543211.0,
                         json(18446744073709551615ull), json(9007199254740993ll),
                         json(-9223372036854775807ll - 1)});
  }

  json Value(int depth) {
    const int kind = depth > 0 ? Pick(10) : 0;
    if (kind == 7 || kind == 8) {
      json array = json::array();
      for (int n = Pick(4); n > 0; --n) array.push_back(Value(depth - 1));
      return array;
    }
    if (kind != 9) return Scalar();
    json object = json::object();
    for (const char* key : {"a", "b", "c"}) if (Pick(2) == 0) object[key] = Value(depth - 1);
    return object;
  }

  json Document() {
    json doc = json::object();
    for (const char* key : {"a", "b", "c", "tags", "n", "", "x.y", "$k"})
      if (Pick(10) < 4) doc[key] = Value(3);
    return doc;
  }

  json Operand(const std::string& op) {
    if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte")
      return Pick(6) == 0 ? Scalar() : Choose<json>({-8, 0, 1, 2, 2.5, 7, 9876543211.0, 1e12});
    if (op == "$in" || op == "$nin") {
      if (Pick(10) == 0) return Scalar();
      json array = json::array();
      for (int n = Pick(4); n > 0; --n) array.push_back(Value(1));
      return array;
    }
    if (op == "$exists") return Pick(8) == 0 ? json(1) : json(Pick(3) != 0 ? false : true);
    if (op == "$regex") return Choose<json>({"^r", "e", "^$", "b(?=l)"});
    if (op == "$type") return Choose<json>({"string", "number", "boolean", "array", "object"});
    return Value(2);  // $eq, $ne
  }

  json Condition() {
    static const char* kOps[] = {"$eq",     "$ne",    "$gt", "$gte", "$lt",  "$lte",
                                 "$exists", "$regex", "$in", "$nin", "$type"};
    if (Pick(6) == 0) return Value(2);  // shorthand equality
    json condition = json::object();
    for (int n = Pick(4) == 0 ? 2 : 1; n > 0; --n) {
      const std::string op = kOps[Pick(11)];
      condition[op] = Operand(op);
    }
    return condition;
  }

  // A filter of one top-level entry (the language's rule).
  json Filter(int depth) {
    json filter = json::object();
    if (depth > 0 && Pick(5) < 2) {
      const std::string key = Choose<std::string>({"$and", "$or", "$nor", "$not"});
      if (key == "$not") {
        filter[key] = Filter(depth - 1);
      } else {
        json parts = json::array();
        for (int k = Pick(4); k > 0; --k) parts.push_back(Pick(4) == 0 ? Entries(depth - 1)
                                                                      : Filter(depth - 1));
        filter[key] = parts;
      }
    } else {
      filter[Path()] = Condition();
    }
    return filter;
  }

 private:
  // Several entries at once, allowed below the top level.
  json Entries(int depth) {
    json filter = Filter(depth);
    filter[Pick(3) == 0 ? std::string("$k") : Path()] = Condition();
    return filter;
  }

  std::string Path() {
    return Choose<std::string>({"a", "b", "c", "tags", "n", "a.b", "a.c", "b.a.c", "tags.a",
                                ".a", "x.y", "x", "", "zz"});
  }

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  template <typename T> T Choose(std::initializer_list<T> options) {
    return *(options.begin() + Pick(static_cast<int>(options.size())));
  }

  std::mt19937 rng_;
};

// Whether some $in outside $not and $nor has an operand that is not an array.
inline bool HasScalarIn(const json& filter) {
  if (!filter.is_object()) return false;
  for (const auto& [key, value] : filter.items()) {
    const bool logical = key == "$and" || key == "$or";
    if (logical ? std::any_of(value.begin(), value.end(), HasScalarIn)
                : key != "$not" && key != "$nor" && value.is_object() && value.contains("$in") &&
                      !value.at("$in").is_array()) {
      return true;
    }
  }
  return false;
}

}  // namespace tavrin::testing

#endif  // TAVRIN_TESTS_CPP_METADATA_GENERATOR_H_
