// Mini-batch k-means with k-means++ seeding, per sub-vector codebook.
//
// The d-wide vectors are split into m sub-vectors of width d / m, each
// clustered on its own (IVF-Flat always uses m = 1). Seeding runs k-means++
// on a random sample of t = min(3 * max(s, k), n) vectors, s being the batch
// size; then max_iters mini-batches of s random vectors move each assigned
// centroid by 1 / (count + 1) toward the point, which makes a centroid the
// running mean of what it was given. Centroids that never get a point keep
// their seed. Metric 0 ranks by cosine distance, 1 and 2 by squared
// Euclidean distance.
//
// Randomness comes from generators seeded from "/dev/urandom", so two runs
// differ, unless the caller fixes a seed. Errors: std::runtime_error("Unsupported distance metric."),
// std::runtime_error("Vector dimension must be divisible by the number of
// subvectors.") (also for m = 0), and std::runtime_error when there is no
// vector to seed from while k > 0. When t < k a warning goes to standard
// error and seeding repeats centroids.
#ifndef TAVRIN_SEARCH_KMEANS_H_
#define TAVRIN_SEARCH_KMEANS_H_

#include <cstdint>
#include <optional>
#include <vector>

#include "common/metric.h"
#include "common/row_matrix.h"
#include "common/centroid_matrix.h"

namespace tavrin {

struct KMeansParams {
  uint64_t n_subvectors = 1;  // m
  uint64_t n_clusters = 0;    // k
  uint32_t reserved = 0;      // carried by the caller, unused
  uint64_t max_iters = 100;
  uint64_t batch_size = 0;  // 0 means 1024
  double tolerance = 1e-6;  // carried by the caller; no convergence test is made
  // Fixes every random draw, for reproducible training in tests and internal
  // pipelines; empty means fresh seeds from "/dev/urandom".
  std::optional<uint64_t> seed;
  // Full-batch (Lloyd) passes between the seeding and the mini-batch steps,
  // over a random sample of at most refine_sample points per cluster: every
  // sample point is assigned to its nearest centroid and each centroid that
  // got points becomes their mean; stops early when no assignment changes.
  // The steps then start from those means, each weighted by its cluster's
  // size, instead of from single seed points. They run only when max_iters
  // > 0, so that max_iters 0 still gives the seeding alone; 0 passes leaves
  // the steps as described above.
  uint64_t refine_passes = 0;
  uint64_t refine_sample = 256;
  // Points drawn for each seed after the first, of which the one that leaves
  // the smallest sum of distances to the nearest seed is kept (greedy
  // k-means++); 1 draws the seed itself. Used only when max_iters > 0, as
  // the refinement is.
  uint64_t seeding_tries = 1;
};

// The usual number of greedy k-means++ draws for k clusters: 2 + floor(ln k).
uint64_t kmeans_seeding_tries(uint64_t k);

// Batch size and initialisation sample size for n vectors.
struct KMeansSizes {
  uint64_t batch = 0;
  uint64_t sample = 0;
};
KMeansSizes kmeans_sizes(uint64_t n, const KMeansParams& params);

// Returns m codebooks, each tagged with k and holding k rows of d / m floats.
std::vector<CentroidMatrix> kmeans_train(const FloatMatrix& data, const KMeansParams& params,
                                         DistanceMetric metric);

}  // namespace tavrin

#endif  // TAVRIN_SEARCH_KMEANS_H_
