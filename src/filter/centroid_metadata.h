// The centroid metadata map: for every metadata field path and every centroid,
// a summary of the values that the items assigned to that centroid hold at
// that path: the numeric range, and the CRC-32 set of text, boolean and array
// values. Summaries over-approximate: they may admit values no item has, but
// every value an item can be found by is covered.
//
// A document contributes, for each object entry on every level, under the
// dotted path of the entry (the paths EvaluateFilter looks up; objects inside
// arrays contribute under the array's path as well): a number widens the
// range; a text adds its CRC-32, a boolean that of "true" or "false"; an array
// adds the CRC-32 of its compact JSON text and, for each element that is a
// number, text or boolean, that element's contribution; an object or null
// only makes the summary exist.
//
// Stored form: one FlatBuffers buffer per field path (centroid_metadata.fbs).
// A summary with no numeric value is written with the empty accumulator
// (min 9876543211, max -9876543211); a reader also takes the schema defaults
// (min -9876543211, max 9876543211) to mean no numeric value, so a real range
// equal to that pair is written with min moved one step down.
//
// Errors: std::runtime_error with the prefixes
// "Error while retrieving keys and metadata centroid map: " (collecting) and
// "Error while converting buffer to map of centroid map: " (decoding). No
// buffer, however cut short or altered, is read outside its bounds.
#ifndef TAVRIN_FILTER_CENTROID_METADATA_H_
#define TAVRIN_FILTER_CENTROID_METADATA_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/row_matrix.h"

namespace tavrin {

// Start of a range accumulator: any real value replaces both ends.
inline constexpr double kEmptyRangeMin = 9876543211.0;
inline constexpr double kEmptyRangeMax = -9876543211.0;
// The stored defaults: a summary read back with exactly this pair has no
// numeric value.
inline constexpr double kNoNumberMin = -9876543211.0;
inline constexpr double kNoNumberMax = 9876543211.0;

// Documents nested deeper than this are refused by CollectFieldSummaries
// (hashing an array writes it out recursively).
inline constexpr size_t kMaxMetadataDepth = 512;

struct CentroidFieldSummary {
  uint32_t centroid = 0;
  double min = kEmptyRangeMin;
  double max = kEmptyRangeMax;
  // Sorted and unique in decoded and merged maps; in arrival order (repeats
  // allowed) in the pending map of CollectFieldSummaries.
  std::vector<uint32_t> hashes;
};

// Field path -> centroid -> summary.
using CentroidSummaries = std::map<uint32_t, CentroidFieldSummary>;
using CentroidMetadataMap = std::map<std::string, CentroidSummaries>;

// False for the empty accumulator and for the stored no-number pair.
bool HasNumericRange(const CentroidFieldSummary& summary);

// zlib's CRC-32 of the bytes, as stored in `hashes`.
uint32_t MetadataHash(std::string_view text);

// Folds one document's contributions into pending[path][centroid]; the keys
// of pending are the field set touched so far.
void CollectFieldSummaries(const nlohmann::json& document, uint32_t centroid,
                           CentroidMetadataMap& pending);

// For each field (stored[i] the opened buffer of fields[i], empty when none):
// the stored summaries with pending[fields[i]] folded in, as a new buffer.
// Throws std::invalid_argument when the lists differ in length.
std::vector<Bytes> MergeCentroidMetadata(const std::vector<std::string>& fields,
                                         const std::vector<Bytes>& stored,
                                         const CentroidMetadataMap& pending);

// The map of the given buffers, field by field. An empty buffer writes
// "Warning: Empty metadata buffer for field '<field>'." to standard error and
// adds nothing. A centroid listed twice in one buffer gets the union of its
// entries.
CentroidMetadataMap DecodeCentroidMetadata(const std::vector<std::string>& fields,
                                           const std::vector<Bytes>& buffers);

// One field's summaries in the stored form.
Bytes EncodeCentroidSummaries(const CentroidSummaries& summaries);

}  // namespace tavrin

#endif  // TAVRIN_FILTER_CENTROID_METADATA_H_
