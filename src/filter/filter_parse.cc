#include "filter/filter_parse.h"

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tavrin {
namespace {

using json = nlohmann::json;

const char kParsePrefix[] = "Invalid JSON format for filters: ";

bool StartsWithDollar(const std::string& key) { return !key.empty() && key[0] == '$'; }

bool IsOperatorObject(const json& v) {
  if (!v.is_object()) return false;
  for (const auto& entry : v.items()) {
    if (StartsWithDollar(entry.key())) return true;
  }
  return false;
}

// Nesting depth of v (a scalar is 1), found without recursion since v comes
// straight from untrusted text.
size_t Depth(const json& v) {
  size_t deepest = 0;
  std::vector<std::pair<const json*, size_t>> pending = {{&v, 1}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    deepest = std::max(deepest, depth);
    if (node->is_structured()) {
      for (const json& child : *node) pending.emplace_back(&child, depth + 1);
    }
  }
  return deepest;
}

}  // namespace

const std::unordered_set<std::string>& AllowedFilterOperators() {
  static const std::unordered_set<std::string> kOperators = {
      "$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$exists", "$regex", "$in", "$nin", "$type"};
  return kOperators;
}

const std::unordered_set<std::string>& LogicalFilterOperators() {
  static const std::unordered_set<std::string> kLogical = {"$and", "$or", "$nor", "$not"};
  return kLogical;
}

bool IsEmptyFilter(const json& filter) {
  return filter.is_null() || ((filter.is_object() || filter.is_array()) && filter.empty());
}

json ParseFilter(const std::string& text) {
  if (text.empty()) return json::object();
  json filter;
  try {
    filter = json::parse(text);
  } catch (const json::exception& e) {
    // Besides parse_error, the parser reports a number that overflows a
    // double (1e400) as out_of_range; both are malformed input.
    throw std::invalid_argument(kParsePrefix + std::string(e.what()));
  }
  if (IsEmptyFilter(filter)) return filter;
  if (Depth(filter) > kMaxFilterDepth) {
    throw std::invalid_argument("The filters argument is nested more than " +
                                std::to_string(kMaxFilterDepth) + " levels deep.");
  }
  try {
    NormalizeFilter(filter);
    ValidateFilter(filter);
  } catch (const json::parse_error& e) {
    throw std::invalid_argument(kParsePrefix + std::string(e.what()));
  }
  return filter;
}

void NormalizeFilter(json& filter) {
  if (!filter.is_object()) return;
  const auto& logical = LogicalFilterOperators();
  for (auto& entry : filter.items()) {
    const std::string& key = entry.key();
    json& value = entry.value();
    if (StartsWithDollar(key)) {
      // Only logical entries hold nested filters. Any other $-key is evaluated
      // as a field path, and its condition must not be rewritten.
      if (logical.count(key) == 0) continue;
      if (value.is_object()) {
        NormalizeFilter(value);
      } else if (value.is_array()) {
        for (json& element : value) {
          if (element.is_object()) NormalizeFilter(element);
        }
      }
    } else if (!IsOperatorObject(value)) {
      value = json{{"$eq", std::move(value)}};
    }
    // An operator object is kept as written: its operands are values to
    // compare against, not filters.
  }
}

bool ValidateFilter(const json& filter) {
  if (!filter.is_object()) {
    throw std::invalid_argument("The filters argument must be a JSON object.");
  }
  if (filter.size() != 1) {
    throw std::invalid_argument("The filters argument must contain exactly one top-level filter.");
  }
  const auto top = filter.begin();
  const std::string& key = top.key();
  if (StartsWithDollar(key)) {
    if (LogicalFilterOperators().count(key) != 0) return true;
    throw std::invalid_argument("The top-level filter must be one of: $and, $or, $nor, $not.");
  }
  const json& condition = top.value();
  if (!condition.is_object()) {
    throw std::invalid_argument("The field condition must be a JSON object.");
  }
  if (condition.size() >= 2) {
    throw std::invalid_argument(
        "A single field can only have one condition. Found multiple conditions for field: " + key);
  }
  if (condition.empty()) {
    // NormalizeFilter turns {} into {"$eq": {}}; an unnormalised {} is an
    // equality with no operator, refused like a null operand.
    throw std::invalid_argument(
        "Invalid query: Operator `$eq` cannot have an empty object or null as a value.");
  }
  const auto op = condition.begin();
  if (AllowedFilterOperators().count(op.key()) == 0) {
    throw std::invalid_argument("Unsupported operator: " + op.key() + " for field: " + key);
  }
  const json& operand = op.value();
  if (operand.is_null() || (operand.is_object() && operand.empty())) {
    throw std::invalid_argument("Invalid query: Operator `" + op.key() +
                                "` cannot have an empty object or null as a value.");
  }
  return true;
}

}  // namespace tavrin
