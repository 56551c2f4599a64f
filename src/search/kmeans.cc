#include "search/kmeans.h"

#include <omp.h>

#include <algorithm>
#include <armadillo>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>

#include "search/distance.h"
#include "common/diagnostics.h"
#include "common/metric.h"
#include "common/parallel.h"

namespace tavrin {
namespace {

constexpr uint64_t kDefaultBatch = 1024;

// The seed of random stream `stream`: drawn from "/dev/urandom" unless the
// caller fixed one, in which case each stream gets its own fixed value.
uint32_t stream_seed(const KMeansParams& params, uint64_t stream) {
  if (!params.seed) {
    std::random_device device("/dev/urandom");
    return device();
  }
  std::seed_seq seq{static_cast<uint32_t>(*params.seed), static_cast<uint32_t>(*params.seed >> 32),
                    static_cast<uint32_t>(stream)};
  uint32_t out = 0;
  seq.generate(&out, &out + 1);
  return out;
}

// Moves a uniformly chosen ordered subset of `count` entries to the front of
// `order` (the first steps of a Fisher-Yates shuffle); whatever order the
// array starts in, the prefix is a uniform random draw.
void shuffle_prefix(std::vector<uint64_t>& order, uint64_t count, std::mt19937& gen) {
  const uint64_t n = order.size();
  for (uint64_t i = 0; i < count && i + 1 < n; ++i) {
    std::uniform_int_distribution<uint64_t> pick(i, n - 1);
    std::swap(order[i], order[pick(gen)]);
  }
}

// Sub-vector j (width w) of the listed rows, one per column.
arma::fmat gather(const FloatMatrix& data, const uint64_t* rows, uint64_t count, uint64_t j,
                  uint64_t w) {
  arma::fmat out(w, count);
  for (uint64_t c = 0; c < count; ++c) {
    std::memcpy(out.colptr(c), data.row(rows[c]) + j * w, w * sizeof(float));
  }
  return out;
}

// k-means++ on the sample: each next centroid is a sample point drawn with
// probability proportional to its distance to the nearest centroid so far.
// With tries > 1 that many points are drawn so, and the one that leaves the
// smallest sum of distances to the nearest centroid is kept (greedy
// k-means++).
arma::fmat seed_centroids(const FloatMatrix& data, uint64_t t, uint64_t k, uint64_t j, uint64_t w,
                          DistanceMetric metric, uint32_t seed, uint64_t tries) {
  std::mt19937 gen(seed);
  const uint64_t n = data.rows;
  std::vector<uint64_t> order(n);
  std::iota(order.begin(), order.end(), uint64_t{0});
  if (n > t) shuffle_prefix(order, t, gen);
  const arma::fmat sample = gather(data, order.data(), t, j, w);

  arma::fmat centroids(w, k, arma::fill::zeros);
  if (k == 0) return centroids;
  std::vector<float> weight(t, std::numeric_limits<float>::max());
  std::vector<float> running(t);
  std::uniform_int_distribution<uint64_t> first(0, t - 1);
  centroids.col(0) = sample.col(first(gen));
  // The sample is the fixed side of every draw: scale or measure it once.
  const ColumnSet sample_set(sample, metric);
  for (uint64_t c = 1; c < k; ++c) {
    const arma::fmat last = centroids.col(c - 1);
    const arma::fmat dist = sample_set.distances_to(last);  // t x 1
    float total = 0.0f;
    for (uint64_t i = 0; i < t; ++i) {
      weight[i] = std::min(weight[i], dist[i]);
      total += weight[i];
      running[i] = total;
    }
    auto draw = [&] {
      const float target = total * static_cast<float>(gen() / 4294967296.0);
      const auto at = std::lower_bound(running.begin(), running.end(), target);
      return std::min<uint64_t>(at - running.begin(), t - 1);
    };
    if (tries <= 1) {
      centroids.col(c) = sample.col(draw());
      continue;
    }
    arma::fmat candidates(w, tries);
    for (uint64_t x = 0; x < tries; ++x) candidates.col(x) = sample.col(draw());
    const arma::fmat to = sample_set.distances_to(candidates);  // t x tries
    uint64_t best = 0;
    double best_sum = 0.0;
    for (uint64_t x = 0; x < tries; ++x) {
      double sum = 0.0;
      for (uint64_t i = 0; i < t; ++i) sum += std::min(weight[i], to(i, x));
      if (x == 0 || sum < best_sum) best_sum = sum, best = x;
    }
    centroids.col(c) = candidates.col(best);
  }
  return centroids;
}

// One mini-batch step for one codebook: assign against the centroids as they
// stand, then fold the points in batch order.
void minibatch_step(const FloatMatrix& data, const std::vector<uint64_t>& batch, uint64_t j,
                    uint64_t w, DistanceMetric metric, arma::fmat& centroids,
                    std::vector<uint64_t>& counts) {
  const uint64_t s = batch.size();
  const arma::fmat points = gather(data, batch.data(), s, j, w);
  const arma::fmat dist = distance_matrix_cols(centroids, points, metric);  // k x s
  const uint64_t k = centroids.n_cols;
  std::vector<uint64_t> assigned(s);
  for (uint64_t i = 0; i < s; ++i) assigned[i] = first_min(dist.colptr(i), k);  // lowest wins ties
  for (uint64_t i = 0; i < s; ++i) {
    const uint64_t c = assigned[i];
    counts[c] += 1;
    const float eta = 1.0f / static_cast<float>(counts[c] + 1);
    float* centroid = centroids.colptr(c);
    const float* point = points.colptr(i);
    for (uint64_t x = 0; x < w; ++x) centroid[x] = (1.0f - eta) * centroid[x] + eta * point[x];
  }
}

// Lloyd passes for one codebook over a fixed sample (the first r rows of
// `order`, sub-vector j of width w); returns each cluster's size in the last
// assignment. The sample is gathered a block of columns at a time, each pass,
// so that neither it nor the k x r distance matrix ever exists whole: a copy
// of the sample would be a third of the data at the peak of training.
std::vector<uint64_t> refine(const FloatMatrix& data, const uint64_t* order, uint64_t r,
                             uint64_t j, uint64_t w, uint64_t passes, DistanceMetric metric,
                             arma::fmat& centroids) {
  constexpr uint64_t kBlock = 4096;
  const uint64_t k = centroids.n_cols;
  std::vector<uint32_t> assigned(r, UINT32_MAX);
  arma::fmat sums(centroids.n_rows, k);
  std::vector<uint64_t> counts(k);
  arma::fmat dist;  // k x block, one buffer for every block of every pass
  for (uint64_t pass = 0; pass < passes; ++pass) {
    bool changed = false;
    sums.zeros();
    std::fill(counts.begin(), counts.end(), 0);
    const ColumnSet set(centroids, metric);  // they move only after the pass
    for (uint64_t begin = 0; begin < r; begin += kBlock) {
      const uint64_t end = std::min(r, begin + kBlock);
      const arma::fmat block = gather(data, order + begin, end - begin, j, w);
      set.distances_into(block, dist);
      for (uint64_t i = begin; i < end; ++i) {
        const uint32_t best = first_min(dist.colptr(i - begin), k);
        changed = changed || assigned[i] != best;
        assigned[i] = best;
        sums.col(best) += block.col(i - begin);
        counts[best] += 1;
      }
    }
    if (!changed) break;
    for (uint64_t c = 0; c < k; ++c) {
      if (counts[c] > 0) centroids.col(c) = sums.col(c) / static_cast<float>(counts[c]);
    }
  }
  return counts;
}

}  // namespace

uint64_t kmeans_seeding_tries(uint64_t k) {
  return k < 2 ? 1 : 2 + static_cast<uint64_t>(std::log(static_cast<double>(k)));
}

KMeansSizes kmeans_sizes(uint64_t n, const KMeansParams& params) {
  const uint64_t wanted = params.batch_size == 0 ? kDefaultBatch : params.batch_size;
  KMeansSizes sizes;
  sizes.batch = std::min(n, wanted);
  // min(3 * base, n) without letting 3 * base wrap for a huge cluster count.
  const uint64_t base = std::max(sizes.batch, params.n_clusters);
  sizes.sample = base > n / 3 ? n : 3 * base;
  return sizes;
}

std::vector<CentroidMatrix> kmeans_train(const FloatMatrix& data, const KMeansParams& params,
                                         DistanceMetric metric) {
  const uint64_t m = params.n_subvectors;
  const uint64_t d = data.cols;
  if (m == 0 || d % m != 0) {
    throw std::runtime_error("Vector dimension must be divisible by the number of subvectors.");
  }
  const uint64_t w = d / m;
  const uint64_t n = data.rows;
  const uint64_t k = params.n_clusters;
  if (n == 0 && k > 0) {
    // Seeding draws from the sample; with no vector there is nothing to draw.
    throw std::runtime_error("No vectors to train on.");
  }
  const KMeansSizes sizes = kmeans_sizes(n, params);
  const uint64_t s = sizes.batch;
  const uint64_t t = sizes.sample;
  if (t < k) {
    Warn("Warning: Initialization sample size (" + std::to_string(t) +
         ") is smaller than the number of clusters (" + std::to_string(k) +
         "). KMeans++ may fail to select enough unique centroids.");
  }

  std::vector<arma::fmat> centroids(m);
  std::vector<std::vector<uint64_t>> counts(m, std::vector<uint64_t>(k, 0));
  // With one codebook the loops stay serial so the BLAS calls inside keep
  // their own threads.
  // Greedy seeding, like the refinement, only where iterations follow, so
  // that max_iters 0 still gives the plain seeding alone.
  const uint64_t tries = params.max_iters > 0 ? std::max<uint64_t>(1, params.seeding_tries) : 1;
  parallel_for(m, 2, 1, [&](size_t j) {
    centroids[j] = seed_centroids(data, t, k, j, w, metric, stream_seed(params, j + 1), tries);
  });

  if (params.refine_passes > 0 && params.max_iters > 0 && k > 0) {
    std::mt19937 gen(stream_seed(params, m + 1));
    const uint64_t per = std::max<uint64_t>(1, params.refine_sample);
    const uint64_t r = k > n / per ? n : k * per;
    std::vector<uint64_t> order(n);
    std::iota(order.begin(), order.end(), uint64_t{0});
    if (r < n) shuffle_prefix(order, r, gen);
    parallel_for(m, 2, 1, [&](size_t j) {
      counts[j] = refine(data, order.data(), r, j, w, params.refine_passes, metric,
                         centroids[j]);
      // A centroid counts as one point in the steps' rate, so one that is
      // the mean of `size` sample points carries size - 1 more: the steps
      // then keep it the running mean of those and of its batch points.
      for (uint64_t& c : counts[j]) c = c > 0 ? c - 1 : 0;
    });
  }

  if (params.max_iters > 0 && k > 0) {
    std::mt19937 gen(stream_seed(params, 0));
    std::vector<uint64_t> order(n);
    std::iota(order.begin(), order.end(), uint64_t{0});
    std::vector<uint64_t> batch(s);
    for (uint64_t it = 0; it < params.max_iters; ++it) {
      shuffle_prefix(order, s, gen);
      std::copy(order.begin(), order.begin() + s, batch.begin());
      parallel_for(m, 2, 1, [&](size_t j) {
        minibatch_step(data, batch, j, w, metric, centroids[j], counts[j]);
      });
    }
  }

  // A w x k column-major matrix is k row-major rows of width w.
  std::vector<CentroidMatrix> out(m);
  for (uint64_t j = 0; j < m; ++j) {
    out[j].tag = static_cast<uint32_t>(k);
    out[j].matrix = FloatMatrix::zeros(k, w);
    std::copy(centroids[j].memptr(), centroids[j].memptr() + k * w, out[j].matrix.data.begin());
  }
  return out;
}

}  // namespace tavrin
