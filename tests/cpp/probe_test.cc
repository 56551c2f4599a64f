#include "search/probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/metric.h"
#include "search_reference.h"
#include "test_util.h"

namespace tavrin {
namespace {

// Reference, from the rule: U is the union of every query's k nearest
// centroids (all of them when k >= C), ascending; a row holds positions in U,
// nearest first: the k first choices, or with a positive factor f the
// k' = k + floor(k f) (at most |U|) nearest members of U. Distances in double.
TEST(ProbeTest, RandomBatchesMatchTheRule) {
  std::mt19937 gen(21);
  const size_t d = 8, n_centroids = 40, n = 30;
  const FloatMatrix c(testing::random_floats(n_centroids * d, gen), d);
  const FloatMatrix q(testing::random_floats(n * d, gen), d);
  for (DistanceMetric metric : {kMetricCosine, kMetricSquaredEuclidean, kMetricEuclidean}) {
    for (uint64_t k : {1, 4, 7, 50}) {
      for (float f : {0.0f, 0.5f, 1.0f, 3.0f, -4.0f, std::nanf("")}) {
        SCOPED_TRACE("metric " + std::to_string(static_cast<uint32_t>(metric)) + " k " +
                     std::to_string(k) + " f " + std::to_string(f));
        const ProbePlan p = probe_centroids(q, c, k, metric, f);
        ASSERT_EQ(p.n_queries, n);
        const uint64_t first = std::min<uint64_t>(k, n_centroids);
        std::vector<std::vector<uint32_t>> order(n);
        std::set<uint32_t> chosen;
        for (uint64_t i = 0; i < n; ++i) {
          order[i].resize(n_centroids);
          std::iota(order[i].begin(), order[i].end(), 0u);
          std::stable_sort(order[i].begin(), order[i].end(), [&](uint32_t a, uint32_t b) {
            return testing::ref_distance(c.row(a), q.row(i), d, metric) <
                   testing::ref_distance(c.row(b), q.row(i), d, metric);
          });
          chosen.insert(order[i].begin(), order[i].begin() + first);
        }
        ASSERT_EQ(p.unique, std::vector<uint32_t>(chosen.begin(), chosen.end()));
        uint64_t width = first;
        if (f > 0 && k < n_centroids) {
          width = std::min<uint64_t>(k + static_cast<uint64_t>(std::floor(k * double(f))),
                                     chosen.size());
        }
        ASSERT_EQ(p.positions.rows, n);
        ASSERT_EQ(p.positions.cols, width);
        for (uint64_t i = 0; i < n; ++i) {
          if (width != first) {
            std::vector<uint32_t>& o = order[i];
            o.erase(
                std::remove_if(o.begin(), o.end(), [&](uint32_t j) { return !chosen.count(j); }),
                o.end());
          }
          for (uint64_t j = 0; j < width; ++j) {
            ASSERT_LT(p.positions.row(i)[j], p.unique.size());
            EXPECT_EQ(p.unique[p.positions.row(i)[j]], order[i][j]) << "row " << i << " col " << j;
          }
        }
      }
    }
  }
}

TEST(ProbeTest, ErrorsAndEmptyCentroidSet) {
  const FloatMatrix centroids(std::vector<float>(10), 1);
  EXPECT_EQ(testing::error_text<std::runtime_error>(
                [&] { probe_centroids(FloatMatrix(), centroids, 1, kMetricCosine, 0); }),
            "No query embeddings provided.");
  EXPECT_THROW(probe_centroids(FloatMatrix({1, 2}, 2), centroids, 1, kMetricCosine, 0),
               std::invalid_argument);
  // A filter may leave no centroid: nothing to scan, not an error.
  FloatMatrix none;
  none.cols = 1;
  const ProbePlan p = probe_centroids(FloatMatrix({1, 2}, 1), none, 3, kMetricCosine, 1.0f);
  EXPECT_EQ(p.positions.rows, 2u);
  EXPECT_EQ(p.positions.cols, 0u);
  EXPECT_TRUE(p.unique.empty());
}

}  // namespace
}  // namespace tavrin
