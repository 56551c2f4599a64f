#include "search/probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "search/metric.h"

namespace tavrin {
namespace {

// Ten centroids on a line at 0, 1, ..., 9.
FloatMatrix line_centroids() {
  std::vector<float> v(10);
  for (int i = 0; i < 10; ++i) v[i] = static_cast<float>(i);
  return FloatMatrix(v, 1);
}

std::vector<uint32_t> row(const ProbePlan& p, uint64_t q) {
  return std::vector<uint32_t>(p.positions.row(q), p.positions.row(q) + p.positions.cols);
}

TEST(ProbeTest, OneQueryUnionAndPositionsNearestFirst) {
  const ProbePlan p =
      probe_centroids(FloatMatrix({6.2f}, 1), line_centroids(), 3, kMetricSquaredEuclidean, 0.0f);
  EXPECT_EQ(p.n_queries, 1u);
  EXPECT_EQ(p.unique, (std::vector<uint32_t>{5, 6, 7}));
  EXPECT_EQ(row(p, 0), (std::vector<uint32_t>{1, 2, 0}));  // 6, 7, 5
}

TEST(ProbeTest, OverlappingQueriesShareUnionEntries) {
  const ProbePlan p =
      probe_centroids(FloatMatrix({6.2f, 4.9f}, 1), line_centroids(), 3, kMetricEuclidean, 0.0f);
  EXPECT_EQ(p.unique, (std::vector<uint32_t>{4, 5, 6, 7}));
  EXPECT_EQ(row(p, 0), (std::vector<uint32_t>{2, 3, 1}));  // 6, 7, 5
  EXPECT_EQ(row(p, 1), (std::vector<uint32_t>{1, 0, 2}));  // 5, 4, 6
}

TEST(ProbeTest, MoreProbesThanCentroidsGivesAllOfThem) {
  for (float f : {0.0f, 1.0f}) {
    const ProbePlan p = probe_centroids(FloatMatrix({8.6f, 0.2f}, 1), line_centroids(), 25,
                                        kMetricSquaredEuclidean, f);
    ASSERT_EQ(p.positions.cols, 10u);
    EXPECT_EQ(p.unique.size(), 10u);
    EXPECT_EQ(row(p, 0), (std::vector<uint32_t>{9, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
    EXPECT_EQ(row(p, 1), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  }
}

TEST(ProbeTest, GreedyWideningStaysInsideTheUnion) {
  // One query: U has k elements, so the row is all of U by distance.
  const ProbePlan one =
      probe_centroids(FloatMatrix({6.2f}, 1), line_centroids(), 3, kMetricSquaredEuclidean, 1.0f);
  EXPECT_EQ(one.unique, (std::vector<uint32_t>{5, 6, 7}));
  EXPECT_EQ(row(one, 0), (std::vector<uint32_t>{1, 2, 0}));

  // Two far queries: U = {0, 1, 8, 9}, rows are min(2k, |U|) = 4 wide.
  const ProbePlan two = probe_centroids(FloatMatrix({0.1f, 8.8f}, 1), line_centroids(), 2,
                                        kMetricSquaredEuclidean, 1.0f);
  EXPECT_EQ(two.unique, (std::vector<uint32_t>{0, 1, 8, 9}));
  EXPECT_EQ(row(two, 0), (std::vector<uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(row(two, 1), (std::vector<uint32_t>{3, 2, 1, 0}));

  // k' = k + floor(k * f): 3 + floor(1.5) = 4 of the 6 fetched lists.
  const ProbePlan half = probe_centroids(FloatMatrix({0.1f, 8.8f}, 1), line_centroids(), 3,
                                         kMetricSquaredEuclidean, 0.5f);
  EXPECT_EQ(half.unique, (std::vector<uint32_t>{0, 1, 2, 7, 8, 9}));
  EXPECT_EQ(row(half, 0), (std::vector<uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(row(half, 1), (std::vector<uint32_t>{5, 4, 3, 2}));  // 9, 8, 7, 2

  // A negative factor does not shrink or wrap the width.
  const ProbePlan neg =
      probe_centroids(FloatMatrix({0.1f}, 1), line_centroids(), 3, kMetricSquaredEuclidean, -4.0f);
  EXPECT_EQ(neg.positions.cols, 3u);
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
  std::uniform_real_distribution<float> u(-1, 1);
  const size_t d = 8, C = 40, n = 30;
  std::vector<float> cv(C * d), qv(n * d);
  for (float& x : cv) x = u(gen);
  for (float& x : qv) x = u(gen);
  const FloatMatrix c(cv, d), q(qv, d);
  for (uint32_t metric : {kMetricCosine, kMetricSquaredEuclidean}) {
    for (float f : {0.0f, 1.0f}) {
      const uint64_t k = 4;
      const ProbePlan p = probe_centroids(q, c, k, metric, f);
      ASSERT_TRUE(std::is_sorted(p.unique.begin(), p.unique.end()));
      ASSERT_EQ(std::set<uint32_t>(p.unique.begin(), p.unique.end()).size(), p.unique.size());
      const uint64_t width = f == 0 ? k : std::min<uint64_t>(2 * k, p.unique.size());
      ASSERT_EQ(p.positions.cols, width);
      std::set<uint32_t> used;
      for (uint64_t i = 0; i < n; ++i) {
        auto dist = [&](uint32_t centroid) {
          double dot = 0, nc = 0, nq = 0, sq = 0;
          for (size_t x = 0; x < d; ++x) {
            const double a = c.row(centroid)[x], b = q.row(i)[x];
            dot += a * b, nc += a * a, nq += b * b, sq += (a - b) * (a - b);
          }
          return metric == kMetricCosine ? 1 - dot / std::sqrt(nc * nq) : sq;
        };
        // Reference: the true nearest centroids, all of them, then within U.
        std::vector<uint32_t> all(C);
        for (uint32_t j = 0; j < C; ++j) all[j] = j;
        std::sort(all.begin(), all.end(),
                  [&](uint32_t a, uint32_t b) { return dist(a) < dist(b); });
        std::vector<uint32_t> in_u;
        for (uint32_t j : all) {
          if (std::binary_search(p.unique.begin(), p.unique.end(), j)) in_u.push_back(j);
        }
        std::set<uint32_t> seen;
        for (uint64_t j = 0; j < width; ++j) {
          const uint32_t pos = p.positions.row(i)[j];
          ASSERT_LT(pos, p.unique.size());
          EXPECT_TRUE(seen.insert(pos).second) << "row " << i << " repeats a list";
          used.insert(p.unique[pos]);
          const uint32_t expected = f == 0 ? all[j] : in_u[j];
          EXPECT_EQ(p.unique[pos], expected) << "metric " << metric << " row " << i << " col " << j;
        }
      }
      // Every union member is used by some query's first choices.
      if (f == 0) {
        EXPECT_EQ(used.size(), p.unique.size());
      }
    }
  }
}

TEST(ProbeTest, ErrorsAndEmptyCentroidSet) {
  try {
    probe_centroids(FloatMatrix(), line_centroids(), 1, kMetricCosine, 0);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "No query embeddings provided.");
  }
  try {
    probe_centroids(FloatMatrix({1}, 1), line_centroids(), 1, 5, 0);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unsupported distance metric.");
  }
  EXPECT_THROW(probe_centroids(FloatMatrix({1, 2}, 2), line_centroids(), 1, kMetricCosine, 0),
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
