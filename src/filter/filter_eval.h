// Evaluation of a normalised filter (see filter_parse.h) against JSON metadata
// documents.
//
// A field path is split at every '.', and each name but the last must name a
// nested object; arrays are never descended into. A missing field and a field
// holding null are the same: only a lone {"$exists": false} holds for them.
// On an array field, $eq/$in and the ordering operators hold when some
// element does, $ne/$nin when no element does; the array as a whole is never
// compared with the operand.
//
// Errors: std::invalid_argument with fixed messages ("Unsupported operator: ",
// "Unsupported type in $type operator: ", "Invalid regex pattern: ", and the
// limits of filter_regex.h); the JSON library's own type_error for a
// non-boolean $exists or non-string $regex operand, and its invalid_iterator
// error when a filter or condition is not an object where entries are read.
// Nothing is swallowed: FilterItems throws the error of the first document,
// in document order, whose evaluation fails. All $regex searches of one
// FilterItems or EvaluateFilter call share one work budget (filter_regex.h).
#ifndef TAVRIN_FILTER_FILTER_EVAL_H_
#define TAVRIN_FILTER_FILTER_EVAL_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tavrin {

// FilterItems and ParseMetadataBatch spread work over OpenMP threads from this
// many documents on.
inline constexpr size_t kFilterParallelThreshold = 512;

// True when every entry of filter holds for document (entries in key order,
// stopping at the first that fails). A null filter holds. $regex patterns are
// compiled afresh for this call.
bool EvaluateFilter(const nlohmann::json& filter, const nlohmann::json& document);

// One operator against a present, non-null field value.
bool EvaluateOperator(const std::string& op, const nlohmann::json& field,
                      const nlohmann::json& operand);

// Indices, ascending, of the documents that satisfy filter. With validate set,
// ValidateFilter runs first. Each distinct $regex pattern is compiled once per
// call; a pattern that does not compile fails only when an evaluation reaches
// it, exactly as EvaluateFilter would.
std::vector<uint32_t> FilterItems(const std::vector<nlohmann::json>& documents,
                                  const nlohmann::json& filter, bool validate);

// The same over documents held in several vectors, taken in order as one
// sequence: indices are into that sequence, with one work budget for all.
std::vector<uint32_t> FilterItemGroups(
    const std::vector<const std::vector<nlohmann::json>*>& groups, const nlohmann::json& filter,
    bool validate);

// One document per metadata text, in order; an empty text gives {}. A text
// the parser refuses (not strict JSON: NaN, Infinity, a lone surrogate, a
// number beyond the double range, ...) gives a discarded value, which
// FilterItems never matches and the centroid summaries skip: indexes written
// before upserts checked their metadata may hold such texts, and one of them
// must not make every filtered query fail.
std::vector<nlohmann::json> ParseMetadataBatch(const std::vector<std::string>& texts);

// The position of the first non-empty text that ParseMetadataBatch could not
// read or that nests a value deeper than the centroid summaries take
// (kMaxMetadataDepth), or nothing when every text can be stored. Upserts
// refuse such texts, so that training can always read back what it re-files.
std::optional<size_t> FirstUnstorableMetadata(const std::vector<std::string>& texts);

// Throws std::invalid_argument naming the position of the first text
// FirstUnstorableMetadata finds; every write of metadata calls it before its
// first store write. The text itself is not quoted: it is the caller's data.
void CheckStorableMetadata(const std::vector<std::string>& texts);

}  // namespace tavrin

#endif  // TAVRIN_FILTER_FILTER_EVAL_H_
