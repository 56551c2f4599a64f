// Nearest-codeword assignment. Vector i is split into m = codebooks.size()
// sub-vectors of width d / m; code (i, j) is the number of the codeword of
// codebook j nearest to sub-vector j, the lowest number winning ties. For an
// IVF-Flat index (m = 1) column 0 is the vector's list. Metric 0 ranks by
// cosine distance (a zero vector is at distance 1 from all and gets 0), 1
// and 2 by squared Euclidean distance.
//
// Errors: std::runtime_error("Unsupported distance metric."),
// std::runtime_error("Vector dimension must be divisible by the number of
// subvectors.") (also when there is no codebook), std::runtime_error for a
// codebook without codewords or of the wrong width.
#ifndef TAVRIN_SEARCH_ASSIGN_H_
#define TAVRIN_SEARCH_ASSIGN_H_

#include <cstdint>
#include <vector>

#include "common/metric.h"
#include "common/row_matrix.h"
#include "common/centroid_matrix.h"

namespace tavrin {

U32Matrix assign_codes(const FloatRowsView& vectors, const std::vector<CentroidMatrix>& codebooks,
                       DistanceMetric metric);

}  // namespace tavrin

#endif  // TAVRIN_SEARCH_ASSIGN_H_
