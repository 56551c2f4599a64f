// List search scored through matrix products (internal to src/search).
//
// The queries of a batch that probe one list are scored against it together
// by one single-precision matrix product, which ranks as |q|^2 + |x|^2 - 2 q.x
// (or 1 - q.x / (|q| |x|)) and rounds differently from the pairwise kernels.
// Each product value therefore only brackets the pairwise value between
// proven bounds; the candidates whose bracket can reach a query's k-th
// smallest upper bound are rescored with the pairwise kernel and offered in
// the query's scan order. The answer is bit for bit that of the pairwise
// path: ids, order, distances and the first-scanned rule at the boundary.
//
// plan_matrix_search picks the queries answered this way and the lists that
// are worth a product; matrix_search answers exactly those queries. Inputs
// are those list search has already checked. matrix_search throws only
// before its parallel region (allocation).
#ifndef TAVRIN_SEARCH_MATRIX_LIST_SEARCH_H_
#define TAVRIN_SEARCH_MATRIX_LIST_SEARCH_H_

#include <cstdint>
#include <vector>

#include "search/list_search.h"

namespace tavrin {

struct MatrixPlan {
  std::vector<uint32_t> members;  // queries answered through products, ascending
  std::vector<uint32_t> others;   // the rest, ascending: the pairwise path's
  std::vector<uint8_t> by_product;  // per list: scored by a product (else pairwise)
  std::vector<float> query_norms;   // per query: squared norm (pairwise kernel)
};

// k is the selection size (at least 1).
MatrixPlan plan_matrix_search(const std::vector<CandidateList>& lists, const U32Matrix& probes,
                              const FloatRowsView& queries, uint64_t k, DistanceMetric metric,
                              ListScoring scoring);

void matrix_search(const MatrixPlan& plan, const std::vector<CandidateList>& lists,
                   const U32Matrix& probes, const FloatRowsView& queries, uint64_t k,
                   DistanceMetric metric, bool with_metadata, SearchResults& results);

}  // namespace tavrin

#endif  // TAVRIN_SEARCH_MATRIX_LIST_SEARCH_H_
