#include "search/probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
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

std::vector<uint32_t> row(const ProbePlan& p, uint64_t q) {
  return std::vector<uint32_t>(p.positions.row(q), p.positions.row(q) + p.positions.cols);
}

TEST(ProbeTest, HandCheckedPlansOnALine) {
  // Ten centroids at 0, 1, ..., 9.
  std::vector<float> line(10);
  std::iota(line.begin(), line.end(), 0.0f);
  const FloatMatrix centroids(line, 1);
  struct Case {
    std::vector<float> queries;
    uint64_t k;
    float f;
    std::vector<uint32_t> unique;
    std::vector<std::vector<uint32_t>> rows;  // positions in unique, nearest first
  } cases[] = {
      {{6.2f}, 3, 0.0f, {5, 6, 7}, {{1, 2, 0}}},
      // Overlapping choices are fetched once.
      {{6.2f, 4.9f}, 3, 0.0f, {4, 5, 6, 7}, {{2, 3, 1}, {1, 0, 2}}},
      // More probes than centroids: every query gets all of them.
      {{8.6f, 0.2f},
       25,
       1.0f,
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9},
       {{9, 8, 7, 6, 5, 4, 3, 2, 1, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}}},
      // Greedy with one query: U has k elements, so the row is all of U.
      {{6.2f}, 3, 1.0f, {5, 6, 7}, {{1, 2, 0}}},
      // Greedy with two far queries: rows are min(2k, |U|) = 4 wide.
      {{0.1f, 8.8f}, 2, 1.0f, {0, 1, 8, 9}, {{0, 1, 2, 3}, {3, 2, 1, 0}}},
      // k' = 3 + floor(3 * 0.5) = 4 of the 6 fetched lists.
      {{0.1f, 8.8f}, 3, 0.5f, {0, 1, 2, 7, 8, 9}, {{0, 1, 2, 3}, {5, 4, 3, 2}}},
      // A negative or NaN factor counts as 0: no shrinking, no wrap-around.
      {{0.1f}, 3, -4.0f, {0, 1, 2}, {{0, 1, 2}}},
      {{0.1f}, 3, std::nanf(""), {0, 1, 2}, {{0, 1, 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("k " + std::to_string(c.k) + " f " + std::to_string(c.f));
    const ProbePlan p =
        probe_centroids(FloatMatrix(c.queries, 1), centroids, c.k, kMetricSquaredEuclidean, c.f);
    EXPECT_EQ(p.n_queries, c.queries.size());
    EXPECT_EQ(p.unique, c.unique);
    ASSERT_EQ(p.positions.rows, c.rows.size());
    for (size_t q = 0; q < c.rows.size(); ++q) EXPECT_EQ(row(p, q), c.rows[q]);
  }
}

TEST(ProbeTest, CosinePathRanksByAngle) {
  // Centroids at angles 0, 90, 180 and 45 degrees, different lengths.
  const FloatMatrix c({10, 0, 0, 1, -3, 0, 0.5f, 0.5f}, 2);
  const ProbePlan p = probe_centroids(FloatMatrix({1, 0.1f}, 2), c, 2, kMetricCosine, 0.0f);
  EXPECT_EQ(p.unique, (std::vector<uint32_t>{0, 3}));
  EXPECT_EQ(row(p, 0), (std::vector<uint32_t>{0, 1}));
}

TEST(ProbeTest, RandomBatchesMatchBruteForce) {
  std::mt19937 gen(21);
  const size_t d = 8, n_centroids = 40, n = 30, k = 4;
  const FloatMatrix c(testing::random_floats(n_centroids * d, gen), d);
  const FloatMatrix q(testing::random_floats(n * d, gen), d);
  for (DistanceMetric metric : {kMetricCosine, kMetricSquaredEuclidean}) {
    for (float f : {0.0f, 1.0f}) {
      SCOPED_TRACE("metric " + std::to_string(static_cast<uint32_t>(metric)) + " f " + std::to_string(f));
      const ProbePlan p = probe_centroids(q, c, k, metric, f);
      std::set<uint32_t> chosen;  // the true k nearest of every query
      for (uint64_t i = 0; i < n; ++i) {
        // Reference: every centroid by true distance; widened rows rank U only.
        std::vector<uint32_t> order(n_centroids);
        std::iota(order.begin(), order.end(), 0u);
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
          return testing::ref_distance(c.row(a), q.row(i), d, metric) <
                 testing::ref_distance(c.row(b), q.row(i), d, metric);
        });
        chosen.insert(order.begin(), order.begin() + k);
        if (f != 0) {
          order.erase(std::remove_if(order.begin(), order.end(),
                                     [&](uint32_t j) {
                                       return !std::binary_search(p.unique.begin(), p.unique.end(),
                                                                  j);
                                     }),
                      order.end());
        }
        const uint64_t width = f == 0 ? k : std::min<uint64_t>(2 * k, p.unique.size());
        ASSERT_EQ(p.positions.cols, width);
        for (uint64_t j = 0; j < width; ++j) {
          ASSERT_LT(p.positions.row(i)[j], p.unique.size());
          EXPECT_EQ(p.unique[p.positions.row(i)[j]], order[j]) << "row " << i << " col " << j;
        }
      }
      // U is exactly the union of the first choices, ascending.
      EXPECT_EQ(p.unique, std::vector<uint32_t>(chosen.begin(), chosen.end()));
    }
  }
}

TEST(ProbeTest, ErrorsAndEmptyCentroidSet) {
  std::vector<float> line(10);
  const FloatMatrix centroids(line, 1);
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
