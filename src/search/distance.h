// Distances between float32 vectors under the three index metrics.
//
// Pairwise kernels compare one query row with contiguous candidate rows in a
// single pass; every sum is single precision. SIMD lanes add in a different
// order than a plain loop, so results may differ from one in the last bits.
//   squared Euclidean: sum (q_i - x_i)^2
//   cosine: 1 - dot / (sqrt(|q|^2) * sqrt(|x|^2)), exactly 1 when that
//           denominator is 0 (a zero vector is at distance 1 from all).
// The Euclidean metric ranks with the squared sum; callers take the root of
// what they return.
//
// distance_matrix ranks whole sets through one BLAS product and is pure:
//   Euclidean / squared Euclidean: |a|^2 + |b|^2 - 2 a.b (no root, no clamp
//   of small negative rounding), cosine: 1 - a^.b^ with both sides scaled to
//   unit length (zero vectors left as they are).
#ifndef TAVRIN_SEARCH_DISTANCE_H_
#define TAVRIN_SEARCH_DISTANCE_H_

#include <armadillo>
#include <cstddef>
#include <cstdint>

#include "common/row_matrix.h"
#include "common/metric.h"

namespace tavrin {

// One pair at a time.
float squared_euclidean(const float* a, const float* b, size_t d);
float squared_norm(const float* a, size_t d);
float cosine_distance(const float* a, const float* b, size_t d);

// Squared norms of n contiguous rows of width d, each as squared_norm gives.
void squared_norms(const float* rows, size_t n, size_t d, float* out);

// The position of the first smallest of values[0..n): what a scan from 0
// that moves on only to a strictly smaller value ends on, so the lowest
// position wins ties, a NaN is never smaller, and a NaN at 0 stays (0 for n
// 0). The nearest centroid of a column of distances.
uint32_t first_min(const float* values, size_t n);

// One query against n contiguous rows of width d; out[r] receives the
// distance to row r. These are the scanning loop of list search.
void squared_euclidean_rows(const float* q, const float* rows, size_t n, size_t d, float* out);
// q_sqnorm is squared_norm(q, d), computed once per query by the caller.
void cosine_rows(const float* q, float q_sqnorm, const float* rows, size_t n, size_t d, float* out);

// Several queries against the same n rows: out[g * out_stride + r] receives
// the distance of query g to row r. Each candidate row is compared with all
// queries while it is in cache. `scratch` holds n floats (row norms); when
// null the call allocates its own.
void squared_euclidean_block(const float* const* queries, size_t nq, const float* rows, size_t n,
                             size_t d, float* out, size_t out_stride);
void cosine_block(const float* const* queries, const float* q_sqnorms, size_t nq, const float* rows,
                  size_t n, size_t d, float* out, size_t out_stride, float* scratch);

// One query against n rows that lie anywhere (rows[r]): out[r] is, bit for
// bit, what squared_euclidean_block and cosine_block give for that row.
// The tiles read several rows at once, so rows that are not in cache are
// fetched together. cosine_scattered's scratch holds n floats.
void squared_euclidean_scattered(const float* q, const float* const* rows, size_t n, size_t d,
                                 float* out);
void cosine_scattered(const float* q, float q_sqnorm, const float* const* rows, size_t n, size_t d,
                      float* out, float* scratch);

// Inner products of n rows (row-major, width d) with m_pad queries held
// dimension by dimension (queries[i * m_pad + c]; m_pad a multiple of 8, any
// padding zero): out[c * out_stride + r] = x_r . q_c for every c < m_pad and
// r < n, with out_stride at least n rounded up to 8 (the slots up to it may
// be written). Each value sums the d products in some order, with or
// without fused multiply-adds, so callers may rely only on the bound such
// sums share. Returns false, writing nothing, where the CPU has no kernel
// for it or the portable kernels are forced: the caller then uses its
// matrix library.
bool row_query_products(const float* rows, size_t n, size_t d, const float* queries, size_t m_pad,
                        float* out, size_t out_stride);

// Writes m query rows of width d dimension by dimension, as
// row_query_products takes them: query c's dimension i at out[i * m_pad +
// c], m_pad = m rounded up to 8, the padding zero.
void interleave_queries(const float* const* queries, size_t m, size_t d, float* out);

// Name of the kernels in use ("avx512", "avx2" or "portable"); "avx512"
// differs from "avx2" in the row x query products alone.
const char* distance_kernel_name();

// Makes every distance kernel use the portable code even where the CPU has a
// faster one (true), or the CPU's best again (false), so that tests check the
// portable path on any machine. Not to be changed while searches run.
void force_portable_distance_kernels(bool on);

// Likewise keeps the kernels at 256 bits (true) where the CPU has wider ones,
// so that tests compare the two on a machine that has both; the portable
// setting above wins over this one.
void force_narrow_distance_kernels(bool on);

// |a| x |b| matrix of distances between the rows of a and of b; entry (i, j)
// compares a's row i with b's row j. Throws std::runtime_error for an unknown
// metric and std::invalid_argument when the widths differ.
arma::fmat distance_matrix(const FloatRowsView& a, const FloatRowsView& b, DistanceMetric metric);

// The same with the vectors as the columns of column-major matrices.
arma::fmat distance_matrix_cols(const arma::fmat& a, const arma::fmat& b, DistanceMetric metric);

// A fixed set of vectors (the columns of `cols`) compared again and again
// with changing operands, as k-means++ seeding compares its sample with each
// new centroid. The per-vector work on the fixed side (unit scaling for
// cosine, squared norms otherwise) is done once, at construction. `cols`
// must outlive the set. Throws std::runtime_error for an unknown metric.
class ColumnSet {
 public:
  ColumnSet(const arma::fmat& cols, DistanceMetric metric);

  // Bit for bit distance_matrix_cols(cols, b, metric); std::invalid_argument
  // when b's vectors have another width.
  arma::fmat distances_to(const arma::fmat& b) const;
  // The same into `out`, reshaped: a caller that keeps `out` across calls of
  // one shape reuses its memory. `out` must not be b or the set's columns.
  void distances_into(const arma::fmat& b, arma::fmat& out) const;

 private:
  const arma::fmat* cols_;
  DistanceMetric metric_;
  arma::fmat unit_;      // cosine: the columns scaled to unit length
  arma::fmat sq_norms_;  // other metrics: 1 x n squared norms
};

}  // namespace tavrin

#endif  // TAVRIN_SEARCH_DISTANCE_H_
