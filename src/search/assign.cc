#include "search/assign.h"

#include <omp.h>

#include <algorithm>
#include <armadillo>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "search/distance.h"
#include "common/metric.h"
#include "common/parallel.h"

namespace tavrin {
namespace {

// Bounds the codewords x vectors distance block of one step, so that a large
// re-ingest does not build one matrix of every vector against every centroid.
// 4 MB: a block freed inside training stays resident until training ends, and
// blocks of 4,096 vectors against 256 centroids keep the products efficient.
constexpr uint64_t kMaxBlockFloats = uint64_t{1} << 20;

void assign_subvector(const FloatRowsView& vectors, const FloatMatrix& codewords, uint64_t j,
                      uint64_t w, DistanceMetric metric, U32Matrix& codes) {
  const uint64_t n = vectors.rows;
  const uint64_t m = codes.cols;
  const uint64_t k = codewords.rows;
  const uint64_t step = std::max<uint64_t>(1, kMaxBlockFloats / k);
  // k row-major codewords of width w are the columns of a w x k matrix; the
  // codeword side is prepared once for every block.
  const arma::fmat cw(const_cast<float*>(codewords.data.data()), w, k, false, true);
  const ColumnSet book(cw, metric);
  arma::fmat block, dist;  // kept across blocks, as their memory is
  for (uint64_t begin = 0; begin < n; begin += step) {
    const uint64_t count = std::min(step, n - begin);
    if (m == 1) {
      const arma::fmat view(const_cast<float*>(vectors.row(begin)), w, count, false, true);
      book.distances_into(view, dist);
    } else {
      block.set_size(w, count);
      for (uint64_t i = 0; i < count; ++i) {
        std::memcpy(block.colptr(i), vectors.row(begin + i) + j * w, w * sizeof(float));
      }
      book.distances_into(block, dist);
    }
    for (uint64_t i = 0; i < count; ++i) codes.data[(begin + i) * m + j] = first_min(dist.colptr(i), k);
  }
}

}  // namespace

U32Matrix assign_codes(const FloatRowsView& vectors, const std::vector<CentroidMatrix>& codebooks,
                       DistanceMetric metric) {
  const uint64_t m = codebooks.size();
  const uint64_t d = vectors.cols;
  if (m == 0 || d % m != 0) {
    throw std::runtime_error("Vector dimension must be divisible by the number of subvectors.");
  }
  const uint64_t w = d / m;
  U32Matrix codes = U32Matrix::zeros(vectors.rows, m);
  if (vectors.rows == 0) return codes;
  for (const CentroidMatrix& book : codebooks) {
    if (book.matrix.rows == 0) throw std::runtime_error("Codebook has no codewords.");
    if (book.matrix.cols != w) {
      throw std::runtime_error("Codebook width does not match the sub-vector width.");
    }
  }
  const DistanceMetric form = metric == kMetricCosine ? kMetricCosine : kMetricSquaredEuclidean;
  // One codebook keeps the loop serial so that BLAS keeps its threads.
  parallel_for(m, 2, 1, [&](size_t j) {
    assign_subvector(vectors, codebooks[j].matrix, j, w, form, codes);
  });
  return codes;
}

}  // namespace tavrin
