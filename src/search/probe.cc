#include "search/probe.h"

#include <omp.h>

#include <algorithm>
#include <armadillo>
#include <cmath>
#include <exception>
#include <numeric>
#include <stdexcept>

#include "search/distance.h"
#include "common/metric.h"
#include "common/parallel.h"

namespace tavrin {
namespace {

// Writes into out[0..count) the indices of the `count` smallest entries of
// dist[0..n), nearest first; equal distances keep index order and NaN ranks
// last. `scratch` holds n indices and is reused across calls.
void nearest(const float* dist, uint64_t n, uint64_t count, std::vector<uint32_t>& scratch,
             uint32_t* out) {
  scratch.resize(n);
  std::iota(scratch.begin(), scratch.end(), 0u);
  auto less = [dist](uint32_t a, uint32_t b) {
    const float da = dist[a], db = dist[b];
    if (da < db) return true;
    if (db < da) return false;
    const bool na = std::isnan(da), nb = std::isnan(db);
    if (na != nb) return nb;
    return a < b;
  };
  std::partial_sort(scratch.begin(), scratch.begin() + count, scratch.end(), less);
  std::copy(scratch.begin(), scratch.begin() + count, out);
}

// Runs `nearest` for every query (column of dist) on the OpenMP team.
void select_all(const arma::fmat& dist, uint64_t count, U32Matrix& chosen) {
  const int64_t n = static_cast<int64_t>(dist.n_cols);
  OrderedErrors errors;
#pragma omp parallel
  {
    std::vector<uint32_t> scratch;
#pragma omp for schedule(static)
    for (int64_t q = 0; q < n; ++q) {
      errors.run(static_cast<size_t>(q),
                 [&] { nearest(dist.colptr(q), dist.n_rows, count, scratch, chosen.row(q)); });
    }
  }
  errors.rethrow();
}


}  // namespace

ProbePlan probe_centroids(const FloatMatrix& queries, const FloatMatrix& centroids, uint64_t k,
                          DistanceMetric metric, float widening) {
  if (queries.rows == 0) throw std::runtime_error("No query embeddings provided.");
  const uint64_t n = queries.rows;
  const uint64_t c_count = centroids.rows;

  // k' = k + floor(k * f), formed in single precision and kept within C.
  uint64_t wide = k;
  const float extra = static_cast<float>(k) * widening;
  if (extra > 0.0f) {  // false for NaN and negative factors
    wide = extra >= static_cast<float>(c_count) ? c_count : k + static_cast<uint64_t>(extra);
  }
  if (wide > c_count) wide = c_count;
  bool widen = extra > 0.0f;
  if (c_count <= k) {
    k = c_count;
    wide = k;
    widen = false;
  }

  ProbePlan plan;
  plan.n_queries = n;
  if (k == 0) {
    plan.positions = U32Matrix::zeros(n, 0);
    return plan;
  }
  if (queries.cols != centroids.cols) {
    throw std::invalid_argument("Query and centroid dimensions differ");
  }

  const DistanceMetric metric_form = metric == kMetricCosine ? kMetricCosine : kMetricSquaredEuclidean;
  // C x n: column q holds query q's distances, contiguous for selection.
  const arma::fmat dist = distance_matrix(centroids, queries, metric_form);
  U32Matrix first = U32Matrix::zeros(n, k);
  select_all(dist, k, first);

  std::vector<uint8_t> used(c_count, 0);
  for (uint32_t c : first.data) used[c] = 1;
  std::vector<uint32_t> position(c_count, 0);
  for (uint64_t c = 0; c < c_count; ++c) {
    if (used[c]) {
      position[c] = static_cast<uint32_t>(plan.unique.size());
      plan.unique.push_back(static_cast<uint32_t>(c));
    }
  }
  if (plan.unique.size() < wide) wide = plan.unique.size();

  if (!widen) {
    plan.positions = U32Matrix::zeros(n, k);
    for (uint64_t i = 0; i < n * k; ++i) plan.positions.data[i] = position[first.data[i]];
    return plan;
  }

  // Rank again among the fetched centroids only; a row of the union matrix
  // is already a position in U.
  FloatMatrix fetched = FloatMatrix::zeros(plan.unique.size(), centroids.cols);
  for (uint64_t p = 0; p < fetched.rows; ++p) {
    std::copy(centroids.row(plan.unique[p]), centroids.row(plan.unique[p]) + centroids.cols,
              fetched.row(p));
  }
  const arma::fmat wide_dist = distance_matrix(fetched, queries, metric_form);
  plan.positions = U32Matrix::zeros(n, wide);
  select_all(wide_dist, wide, plan.positions);
  return plan;
}

}  // namespace tavrin
