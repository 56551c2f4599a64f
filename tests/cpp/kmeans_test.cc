#include "search/kmeans.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
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

KMeansParams params(uint64_t k, uint64_t iters, uint64_t batch, uint64_t m = 1) {
  KMeansParams p;
  p.n_subvectors = m;
  p.n_clusters = k;
  p.max_iters = iters;
  p.batch_size = batch;
  return p;
}

// `per` points around each centre with uniform noise of half-width `noise`.
FloatMatrix clusters(const std::vector<std::vector<float>>& centres, size_t per, float noise,
                     unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(-noise, noise);
  std::vector<float> flat;
  for (size_t i = 0; i < per; ++i) {
    for (const auto& c : centres) {
      for (float x : c) flat.push_back(x + u(gen));
    }
  }
  return FloatMatrix(flat, centres[0].size());
}

double nearest_row(const FloatMatrix& m, const float* v, DistanceMetric metric) {
  double best = INFINITY;
  for (uint64_t r = 0; r < m.rows; ++r) {
    best = std::min(best, testing::ref_distance(m.row(r), v, m.cols, metric));
  }
  return best;
}

const std::vector<std::vector<float>> kCentres = {{100, 0, 0, 0, 0, 0},
                                                  {0, 100, 0, 0, 0, 0},
                                                  {0, 0, -100, 0, 0, 0},
                                                  {0, 0, 0, 100, 100, 0},
                                                  {-100, -100, 0, 0, 0, 100}};

TEST(KMeansTest, FindsWellSeparatedClustersUnderEachMetric) {
  const FloatMatrix data = clusters(kCentres, 80, 0.1f, 1);
  for (DistanceMetric metric : {kMetricEuclidean, kMetricSquaredEuclidean}) {
    const std::vector<CentroidMatrix> books = kmeans_train(data, params(5, 30, 64), metric);
    ASSERT_EQ(books.size(), 1u);
    EXPECT_EQ(books[0].tag, 5u);
    ASSERT_EQ(books[0].matrix.rows, 5u);
    ASSERT_EQ(books[0].matrix.cols, 6u);
    for (const auto& c : kCentres) EXPECT_LT(nearest_row(books[0].matrix, c.data(), kMetricEuclidean), 0.5);
  }
  // Under cosine only direction counts: fifty points along x at lengths 1 to
  // 50 and one point on y end with one centroid on each axis. Squared
  // Euclidean would spend both seeds on the x run, or pull the y centroid
  // toward the short x points.
  std::vector<float> flat;
  for (int i = 1; i <= 50; ++i) flat.insert(flat.end(), {static_cast<float>(i), 0});
  flat.insert(flat.end(), {0, 1});
  for (int run = 0; run < 5; ++run) {
    const FloatMatrix c =
        kmeans_train(FloatMatrix(flat, 2), params(2, 5, 0), kMetricCosine)[0].matrix;
    const int y = c.row(0)[0] == 0 ? 0 : 1;
    EXPECT_EQ(std::vector<float>(c.row(y), c.row(y) + 2), (std::vector<float>{0, 1}));
    EXPECT_EQ(c.row(1 - y)[1], 0.0f);
  }
}

TEST(KMeansTest, SubvectorsAreClusteredIndependently) {
  // The left half clusters on its first coordinate, the right half on its
  // first coordinate with another partition of the points.
  std::vector<float> flat;
  std::mt19937 gen(8);
  std::uniform_real_distribution<float> u(-0.1f, 0.1f);
  for (int i = 0; i < 200; ++i) {
    const float a = (i % 2) ? 5.f : -5.f;
    const float b = (i % 3 == 0) ? 20.f : -20.f;
    flat.insert(flat.end(), {a + u(gen), u(gen), b + u(gen), u(gen)});
  }
  const std::vector<CentroidMatrix> books =
      kmeans_train(FloatMatrix(flat, 4), params(2, 20, 50, 2), kMetricSquaredEuclidean);
  ASSERT_EQ(books.size(), 2u);
  const float expected[2][2][2] = {{{5, 0}, {-5, 0}}, {{20, 0}, {-20, 0}}};
  for (int j = 0; j < 2; ++j) {
    ASSERT_EQ(books[j].matrix.cols, 2u);
    for (int i = 0; i < 2; ++i) {
      EXPECT_LT(nearest_row(books[j].matrix, expected[j][i], kMetricEuclidean), 0.2);
    }
  }
}

TEST(KMeansTest, ZeroIterationsReturnsARandomSeedingDrawnFromTheData) {
  const FloatMatrix data = clusters(kCentres, 20, 1.0f, 2);
  const FloatMatrix c = kmeans_train(data, params(5, 0, 0), kMetricEuclidean)[0].matrix;
  std::set<std::vector<float>> rows;
  for (uint64_t r = 0; r < data.rows; ++r) rows.emplace(data.row(r), data.row(r) + data.cols);
  std::set<std::vector<float>> distinct;
  for (uint64_t r = 0; r < c.rows; ++r) {
    const std::vector<float> centroid(c.row(r), c.row(r) + c.cols);
    EXPECT_TRUE(rows.count(centroid)) << "centroid " << r << " is not a data point";
    distinct.insert(centroid);
  }
  // Distance-weighted draws pick one point per far-apart cluster.
  EXPECT_EQ(distinct.size(), 5u);
  EXPECT_NE(c.data, kmeans_train(data, params(5, 0, 0), kMetricEuclidean)[0].matrix.data);
}

TEST(KMeansTest, RefinementPassesEndAtTheMeansOfTheAssignedPoints) {
  // Clusters far apart: after refinement over every point each centroid is
  // exactly the mean of one cluster, whatever the mini-batch steps left.
  const FloatMatrix data = clusters(kCentres, 50, 3.0f, 4);
  KMeansParams p = params(5, 3, 16);
  p.seed = 3;
  p.refine_passes = 4;
  p.refine_sample = data.rows;  // the sample is every point
  const FloatMatrix c = kmeans_train(data, p, kMetricSquaredEuclidean)[0].matrix;
  std::vector<std::vector<double>> means(kCentres.size(), std::vector<double>(6, 0.0));
  for (uint64_t r = 0; r < data.rows; ++r) {
    for (size_t x = 0; x < 6; ++x) means[r % kCentres.size()][x] += data.row(r)[x] / 50.0;
  }
  for (const auto& mean : means) {
    double best = INFINITY;
    for (uint64_t r = 0; r < c.rows; ++r) {
      double sq = 0;
      for (size_t x = 0; x < 6; ++x) sq += (c.row(r)[x] - mean[x]) * (c.row(r)[x] - mean[x]);
      best = std::min(best, sq);
    }
    EXPECT_LT(best, 1e-6);
  }
}

TEST(KMeansTest, AFixedSeedReproducesTrainingAndAnotherSeedDoesNot) {
  const FloatMatrix data = clusters(kCentres, 40, 5.0f, 3);
  KMeansParams p = params(5, 20, 32);
  p.seed = 7;
  const std::vector<float> first = kmeans_train(data, p, kMetricEuclidean)[0].matrix.data;
  EXPECT_EQ(first, kmeans_train(data, p, kMetricEuclidean)[0].matrix.data);
  p.seed = 8;
  EXPECT_NE(first, kmeans_train(data, p, kMetricEuclidean)[0].matrix.data);
}

TEST(KMeansTest, CentroidsAreRunningMeansOfSeedAndAssignedPoints) {
  // One full batch: with rate 1 / (count + 1) a centroid ends at the mean of
  // its seed and all points assigned to it, whatever the batch order.
  // The far pair makes a second seed in the near group vanishingly unlikely.
  const FloatMatrix data({0, 2, 4, 1000, 1004}, 1);
  for (int run = 0; run < 5; ++run) {
    std::vector<float> c =
        kmeans_train(data, params(2, 1, 5), kMetricSquaredEuclidean)[0].matrix.data;
    std::sort(c.begin(), c.end());
    // seed s in {0, 2, 4}: (s + 6) / 4; seed in {1000, 1004}: (s + 2004) / 3
    auto near = [](float a, float b) { return std::fabs(a - b) < 1e-3f; };
    EXPECT_TRUE(near(c[0], 1.5f) || near(c[0], 2.0f) || near(c[0], 2.5f)) << c[0];
    EXPECT_TRUE(near(c[1], 3004.0f / 3) || near(c[1], 3008.0f / 3)) << c[1];
  }
}

TEST(KMeansTest, BatchAndSampleSizes) {
  const uint64_t huge = std::numeric_limits<uint64_t>::max() / 3 + 1;
  struct Case {
    uint64_t n, k, batch, want_batch, want_sample;
  } cases[] = {
      {5000, 10, 0, 1024, 3072},  // 0 means 1024
      {5000, 2000, 0, 1024, 5000},  {50, 10, 100, 50, 50}, {1000, 10, 100, 100, 300},
      {1000, huge, 100, 100, 1000},  // 3 * k would wrap around to a small number
  };
  for (const Case& c : cases) {
    const KMeansSizes s = kmeans_sizes(c.n, params(c.k, 1, c.batch));
    EXPECT_EQ(s.batch, c.want_batch) << "n " << c.n << " k " << c.k;
    EXPECT_EQ(s.sample, c.want_sample) << "n " << c.n << " k " << c.k;
  }
}

TEST(KMeansTest, FewerSampledVectorsThanClustersWarnsAndRepeatsCentroids) {
  // batch 0 means 1024, so s = n = 500 and t = min(3 * 600, 500).
  std::vector<float> flat(500 * 2);
  for (size_t i = 0; i < flat.size(); ++i) flat[i] = static_cast<float>(i % 37);
  ::testing::internal::CaptureStderr();
  const std::vector<CentroidMatrix> books =
      kmeans_train(FloatMatrix(flat, 2), params(600, 3, 0), kMetricSquaredEuclidean);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: Initialization sample size (500) is smaller than the number of clusters "
            "(600). KMeans++ may fail to select enough unique centroids.\n");
  ASSERT_EQ(books[0].matrix.rows, 600u);
  EXPECT_EQ(books[0].tag, 600u);
}

TEST(KMeansTest, RefusesBadParametersBeforeWork) {
  const FloatMatrix data({1, 2, 3, 4, 5, 6}, 3);
  auto message = [&](const FloatMatrix& d, uint64_t m, DistanceMetric metric) {
    return testing::error_text<std::runtime_error>(
        [&] { kmeans_train(d, params(1, 1, 0, m), metric); });
  };
  const std::string divisible = "Vector dimension must be divisible by the number of subvectors.";
  EXPECT_EQ(message(data, 2, kMetricCosine), divisible);
  EXPECT_EQ(message(data, 0, kMetricCosine), divisible);
  FloatMatrix empty;
  empty.cols = 3;
  EXPECT_EQ(message(empty, 1, kMetricCosine), "No vectors to train on.");
}

}  // namespace
}  // namespace tavrin
