// The centroid test: whether a centroid may hold an item that satisfies a
// filter, judged from the centroid metadata map alone. It over-approximates
// EvaluateFilter: a centroid holding an item that satisfies the filter always
// passes; others may pass too (the item test still runs on their items).
//
// A filter passes when all its entries do, in key order:
//  - $and: every element passes; $or: some element passes (elements taken as
//    EvaluateFilter takes them). $not and $nor pass: a centroid can hold items
//    that satisfy the negation wherever the inner filter may match.
//  - a field entry (any other key): when the centroid has no summary for the
//    path, it passes only if the condition is exactly {"$exists": false};
//    otherwise every operator passes:
//      $eq: a number operand within [min, max], a text or boolean operand
//        whose CRC-32 is in the hash set; arrays, objects and null pass.
//      $gt, $gte, $lt, $lte: a number operand against max (gt, gte) or min
//        (lt, lte); no numeric value, or a non-number operand, fails.
//      $in: some element passes as for $eq; an operand that is not an array
//        throws std::invalid_argument("$in/$nin requires an array").
//      $ne, $nin, $exists, $regex, $type and any other operator pass.
//  - a non-object where a filter is expected passes (no item can satisfy it
//    unless it is empty); a non-object condition passes only when empty and
//    the centroid has a summary.
#ifndef TAVRIN_FILTER_CENTROID_FILTER_H_
#define TAVRIN_FILTER_CENTROID_FILTER_H_

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "filter/centroid_metadata.h"

namespace tavrin {

// The field paths the centroid test reads, sorted and unique: the field
// entries of the filter and of the filters below its $and and $or entries
// (not below $not and $nor, which pass unread).
std::vector<std::string> CollectFilterFields(const nlohmann::json& filter);

bool CentroidMayMatch(const CentroidMetadataMap& map, const nlohmann::json& filter,
                      uint32_t centroid);

// The candidates, in order, that pass CentroidMayMatch. With validate set,
// ValidateFilter runs first.
std::vector<uint32_t> FilterCentroids(const CentroidMetadataMap& map,
                                      const std::vector<uint32_t>& candidates,
                                      const nlohmann::json& filter, bool validate);

}  // namespace tavrin

#endif  // TAVRIN_FILTER_CENTROID_FILTER_H_
