// A batch search whose lists are read and scored a part at a time, so that
// only one part's candidates are held at once; the answer is bit for bit that
// of search_candidate_lists over all the lists (ids, order, distances).
//
// Why it can be exact: a query's selection keeps, of the candidates it is
// offered, only those at a distance up to the k-th smallest of them all, and
// its answer depends on nothing but those, offered in scan order (a candidate
// further away may enter and leave, but never changes what stays). So each
// part's own top k + 1, merged and offered again in the query's scan order,
// gives the same answer, unless a part filled its k + 1 slots up to exactly
// the distance that ends up k-th: then it held a tie there and may have cut
// a candidate at that distance. Such a query is reported as unsettled and
// must be answered over all its lists at once.
//
// A probe row must not name one list twice. Not thread-safe; every method
// runs its loops on the OpenMP team.
#ifndef TAVRIN_SEARCH_PARTED_SEARCH_H_
#define TAVRIN_SEARCH_PARTED_SEARCH_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/row_matrix.h"
#include "search/distance.h"
#include "search/list_search.h"
#include "search/search_results.h"

namespace tavrin {

class PartedSearch {
 public:
  // Row q of probes names the lists (numbers below n_lists) query q scans,
  // in scan order. probes and the query rows must outlive the search.
  PartedSearch(const U32Matrix& probes, uint64_t n_lists, const FloatRowsView& queries,
               uint64_t top_k, DistanceMetric metric);

  // Scores every query that probes one of `part` (distinct list numbers, each
  // given to one call only) against those lists, views[i] being list
  // part[i]. The views are not used after the call.
  void Score(const std::vector<uint32_t>& part, const std::vector<CandidateList>& views);

  // Queries that need all their lists at once, ascending (valid once every
  // list was scored).
  std::vector<uint32_t> Unsettled();

  // The answer over every list scored, include as search_candidate_lists;
  // unsettled queries have no slots filled.
  SearchResults Finish(const std::vector<uint32_t>& include);

 private:
  struct Kept {
    float dist;  // as compared (Euclidean not rooted)
    uint64_t scan;  // probe column << 32 | row: the query's scan order
    std::string id;
    std::string metadata;
  };
  struct QueryState {
    std::vector<Kept> kept;
    bool cut = false;  // some part filled its k + 1 slots
    float cut_at = 0;  // the smallest largest distance of such a part
  };

  // The k-th smallest distance kept for q (k = top_k); kept.size() >= k.
  float kth(const QueryState& s) const;
  void settle();

  const U32Matrix& probes_;
  const FloatRowsView queries_;
  uint64_t top_k_;
  DistanceMetric metric_;
  uint64_t total_rows_ = 0;
  std::vector<int32_t> column_;  // scratch: a part's list -> its slot, else -1
  std::vector<QueryState> states_;
  std::vector<uint8_t> unsettled_;
  bool settled_ = false;
};

}  // namespace tavrin

#endif  // TAVRIN_SEARCH_PARTED_SEARCH_H_
