// Chooses the lists a batch of queries scans.
//
// Each query takes its k nearest centroids (ties between equal distances in
// centroid-number order). U is the ascending union of those choices, so the
// batch fetches every list once. Row q of the position matrix names the lists
// of query q as positions in U, nearest first; no row names a list twice.
// With a widening factor f > 0 each query instead takes its k' = k +
// floor(k * f) nearest among the centroids of U (k' at most |U|), so wider
// rows cost no extra fetches. k is cut to the centroid count C; when C <= k
// there is no widening. Metric 0 ranks by cosine distance, 1 and 2 by squared
// Euclidean distance. A negative or NaN f counts as 0.
//
// Errors: std::runtime_error("No query embeddings provided."),
// std::runtime_error("Unsupported distance metric."), std::invalid_argument
// when queries and centroids differ in width.
#ifndef TAVRIN_SEARCH_PROBE_H_
#define TAVRIN_SEARCH_PROBE_H_

#include <cstdint>
#include <vector>

#include "common/metric.h"
#include "common/row_matrix.h"

namespace tavrin {

struct ProbePlan {
  uint64_t n_queries = 0;
  std::vector<uint32_t> unique;  // U: centroid numbers, ascending
  U32Matrix positions;           // n_queries rows; entries index `unique`
};

ProbePlan probe_centroids(const FloatMatrix& queries, const FloatMatrix& centroids, uint64_t k,
                          DistanceMetric metric, float widening);

}  // namespace tavrin

#endif  // TAVRIN_SEARCH_PROBE_H_
