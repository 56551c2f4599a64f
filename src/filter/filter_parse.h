// The metadata filter language: parsing filter text, rewriting shorthand
// equalities, and checking the top level of a filter.
//
// A filter is a JSON object. Its entries are logical entries ($and, $or, $nor
// with an array of filters; $not with one filter) or field entries (a dotted
// field path mapped to a condition, an object of operator -> operand). A field
// entry whose value is not an operator object is shorthand for {"$eq": value}.
//
// Every failure is std::invalid_argument with a fixed message; the JSON
// library's parse errors are reported with the prefix
// "Invalid JSON format for filters: ".
#ifndef TAVRIN_FILTER_FILTER_PARSE_H_
#define TAVRIN_FILTER_FILTER_PARSE_H_

#include <cstddef>
#include <string>
#include <unordered_set>

#include <nlohmann/json.hpp>

namespace tavrin {

// The 11 field operators ($eq, $ne, $gt, $gte, $lt, $lte, $exists, $regex,
// $in, $nin, $type) and the 4 logical keys ($and, $or, $nor, $not). Built once
// per process; safe to read from any thread.
const std::unordered_set<std::string>& AllowedFilterOperators();
const std::unordered_set<std::string>& LogicalFilterOperators();

// True for null, {} and []: the filter that keeps everything.
bool IsEmptyFilter(const nlohmann::json& filter);

// Filters nested deeper than this (objects and arrays, operands included) are
// refused by ParseFilter, so that normalising, evaluating and comparing them
// cannot exhaust the stack.
inline constexpr size_t kMaxFilterDepth = 256;

// Parses, normalises and validates filter text. Empty text gives {}; text that
// parses to null, {} or [] is returned unchanged (no filter). A filter nested
// deeper than kMaxFilterDepth throws
// "The filters argument is nested more than 256 levels deep."
nlohmann::json ParseFilter(const std::string& text);

// Rewrites shorthand equalities in place, in the field entries of the filter
// and of every filter nested below $and, $or, $nor and $not. Operands of field
// operators are left exactly as written, so {"a": {"$eq": {"b": 1}}} still
// compares against the object {"b": 1}. A non-object is left alone.
void NormalizeFilter(nlohmann::json& filter);

// Checks the top level of a normalised filter: exactly one entry, either a
// known logical key (its value is not inspected) or a field with exactly one
// known operator whose operand is neither null nor {}. Returns true or throws.
bool ValidateFilter(const nlohmann::json& filter);

}  // namespace tavrin

#endif  // TAVRIN_FILTER_FILTER_PARSE_H_
