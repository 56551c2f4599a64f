// Bounded top-k search of a batch of queries over candidate lists.
//
// The candidates are grouped by list: list p holds rows offsets[p] ..
// offsets[p + 1] - 1 of ids, metadata and vectors. Row q of probes names the
// lists query q scans, in scan order. Each query keeps the k = min(top_k,
// ids.size()) candidates that are smallest in the order (distance, id,
// metadata text), comparing texts byte-wise; a candidate replaces a held one
// only when its distance is strictly smaller than the largest held, so among
// equal distances at the boundary the one scanned first stays. Results come
// in ascending order of that triple; Euclidean distances are rooted on output
// only. A NaN distance ranks after every number.
//
// Returns n = probes.rows rows with 0 slots, without further checks, when
// there are no candidates, no probe rows or no queries. Otherwise throws
// before any work: std::runtime_error("Unsupported distance metric."), and
// std::invalid_argument for mismatched id/vector counts, query/candidate
// widths, metadata count (metadata may also be empty: all texts empty),
// offsets that do not fit the candidates, list numbers outside the offsets,
// or fewer query rows than probe rows.
//
// Runs queries on the OpenMP team with a dynamic schedule. Queries that scan
// the same lists are taken together so that a block of candidate rows is read
// from memory once for all of them; each query still offers its candidates
// in its own scan order. When many queries of a batch share a list, they are
// scored against it by one matrix product that only brackets each distance;
// the candidates that may reach the top k are rescored pairwise, so the
// answer is bit for bit the same. Queries or rows with non-finite or extreme
// values are always scored pairwise.
#ifndef TAVRIN_SEARCH_LIST_SEARCH_H_
#define TAVRIN_SEARCH_LIST_SEARCH_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/row_matrix.h"
#include "search/distance.h"
#include "search/search_results.h"

namespace tavrin {

// Include flag that asks for the metadata texts of the results.
inline constexpr uint32_t kIncludeMetadata = 1;

// One list of candidates that lies anywhere in memory: `rows` ids, metadata
// texts (null: all empty) and vectors of the query width, row-major.
struct CandidateList {
  const std::string* ids = nullptr;
  const std::string* metadata = nullptr;
  const float* vectors = nullptr;
  uint64_t rows = 0;
  // Optional: squared_norms of the rows, for lists searched again and again.
  const float* sq_norms = nullptr;
};

// The same search over lists that need not be contiguous (lists read just
// now beside lists held by a cache): list p of the probe matrix is lists[p].
// Every list must have the query width; rows and lists must fit 32 bits.
SearchResults search_candidate_lists(const std::vector<CandidateList>& lists,
                                     const U32Matrix& probes, const FloatRowsView& queries,
                                     uint64_t top_k, DistanceMetric metric,
                                     const std::vector<uint32_t>& include);

// The same search for merging answers over parts of a batch's lists: every
// slot also gives its candidate's row key in `rows`, distances are left as
// compared, and no metadata is written.
SearchResults search_candidate_lists_keyed(const std::vector<CandidateList>& lists,
                                           const U32Matrix& probes, const FloatRowsView& queries,
                                           uint64_t top_k, DistanceMetric metric);

SearchResults search_lists(const std::vector<std::string>& ids,
                           const std::vector<uint64_t>& offsets,
                           const std::vector<std::string>& metadata, const FloatRowsView& vectors,
                           const U32Matrix& probes, const FloatRowsView& queries, uint64_t top_k,
                           DistanceMetric metric, const std::vector<uint32_t>& include);

// How candidates are scored: matrix products where enough queries share a
// list (kAuto), for every list (kMatrix, for tests) or never (kPairwise).
// Answers are identical under all three. Process-wide; not to be changed
// while searches run.
enum class ListScoring { kAuto, kMatrix, kPairwise };
void set_list_scoring(ListScoring scoring);
ListScoring list_scoring();

// (query, probed list) pairs scored through matrix products so far.
uint64_t product_scored_pairs();

}  // namespace tavrin

#endif  // TAVRIN_SEARCH_LIST_SEARCH_H_
