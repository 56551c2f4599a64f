#include "search/kmeans.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "search/metric.h"

namespace tavrin {
namespace {

// `per` points around each centre with uniform noise of half-width `noise`.
FloatMatrix clusters(const std::vector<std::vector<float>>& centres, size_t per, float noise,
                     unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(-noise, noise);
  const size_t d = centres[0].size();
  std::vector<float> flat;
  for (size_t i = 0; i < per; ++i) {
    for (const auto& c : centres) {
      for (size_t x = 0; x < d; ++x) flat.push_back(c[x] + u(gen));
    }
  }
  return FloatMatrix(flat, d);
}

float distance_to_nearest_row(const FloatMatrix& m, const float* v, size_t from, size_t width) {
  float best = INFINITY;
  for (uint64_t r = 0; r < m.rows; ++r) {
    float s = 0;
    for (size_t x = 0; x < width; ++x)
      s += (m.row(r)[x] - v[from + x]) * (m.row(r)[x] - v[from + x]);
    best = std::min(best, std::sqrt(s));
  }
  return best;
}

bool is_data_row(const FloatMatrix& data, const float* row) {
  for (uint64_t r = 0; r < data.rows; ++r) {
    if (std::equal(row, row + data.cols, data.row(r))) return true;
  }
  return false;
}

const std::vector<std::vector<float>> kCentres = {{100, 0, 0, 0, 0, 0},
                                                  {0, 100, 0, 0, 0, 0},
                                                  {0, 0, -100, 0, 0, 0},
                                                  {0, 0, 0, 100, 100, 0},
                                                  {-100, -100, 0, 0, 0, 100}};

TEST(KMeansTest, FindsWellSeparatedClustersUnderEuclideanMetrics) {
  const FloatMatrix data = clusters(kCentres, 80, 0.1f, 1);
  for (uint32_t metric : {kMetricEuclidean, kMetricSquaredEuclidean}) {
    KMeansParams p;
    p.n_clusters = kCentres.size();
    p.max_iters = 30;
    p.batch_size = 64;
    const std::vector<CentroidMatrix> books = kmeans_train(data, p, metric);
    ASSERT_EQ(books.size(), 1u);
    EXPECT_EQ(books[0].tag, kCentres.size());
    ASSERT_EQ(books[0].matrix.rows, kCentres.size());
    ASSERT_EQ(books[0].matrix.cols, 6u);
    for (const auto& c : kCentres) {
      EXPECT_LT(distance_to_nearest_row(books[0].matrix, c.data(), 0, 6), 0.5f);
    }
  }
}

TEST(KMeansTest, FindsDirectionsUnderCosine) {
  // Same directions at very different lengths: cosine sees one cluster each.
  std::vector<std::vector<float>> dirs = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  std::vector<float> flat;
  std::mt19937 gen(4);
  std::uniform_real_distribution<float> len(1, 5), u(-0.02f, 0.02f);
  for (int i = 0; i < 60; ++i) {
    for (const auto& d : dirs) {
      const float l = len(gen);
      for (float x : d) flat.push_back(l * (x + u(gen)));
    }
  }
  const FloatMatrix data(flat, 3);
  KMeansParams p;
  p.n_clusters = 3;
  p.max_iters = 10;
  p.batch_size = 32;
  const FloatMatrix c = kmeans_train(data, p, kMetricCosine)[0].matrix;
  for (const auto& d : dirs) {
    float best = 2;
    for (uint64_t r = 0; r < c.rows; ++r) {
      const float* v = c.row(r);
      const float norm = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
      best = std::min(best, 1 - (v[0] * d[0] + v[1] * d[1] + v[2] * d[2]) / norm);
    }
    EXPECT_LT(best, 0.01f);
  }
}

TEST(KMeansTest, SubvectorsAreClusteredIndependently) {
  // Halves cluster differently: left half by the first coordinate pair,
  // right half by the second.
  std::vector<float> flat;
  std::mt19937 gen(8);
  std::uniform_real_distribution<float> u(-0.1f, 0.1f);
  for (int i = 0; i < 200; ++i) {
    const float a = (i % 2) ? 5.f : -5.f;
    const float b = (i % 3 == 0) ? 20.f : -20.f;
    flat.insert(flat.end(), {a + u(gen), u(gen), b + u(gen), u(gen)});
  }
  const FloatMatrix data(flat, 4);
  KMeansParams p;
  p.n_subvectors = 2;
  p.n_clusters = 2;
  p.max_iters = 20;
  p.batch_size = 50;
  const std::vector<CentroidMatrix> books = kmeans_train(data, p, kMetricSquaredEuclidean);
  ASSERT_EQ(books.size(), 2u);
  const float left[2][2] = {{5, 0}, {-5, 0}};
  const float right[2][2] = {{20, 0}, {-20, 0}};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(books[i].matrix.cols, 2u);
    EXPECT_LT(distance_to_nearest_row(books[0].matrix, left[i], 0, 2), 0.2f);
    EXPECT_LT(distance_to_nearest_row(books[1].matrix, right[i], 0, 2), 0.2f);
  }
}

TEST(KMeansTest, ZeroIterationsReturnsTheSeedingDrawnFromTheData) {
  const FloatMatrix data = clusters(kCentres, 20, 1.0f, 2);
  KMeansParams p;
  p.n_clusters = 5;
  p.max_iters = 0;
  const FloatMatrix c = kmeans_train(data, p, kMetricEuclidean)[0].matrix;
  std::set<std::vector<float>> distinct;
  for (uint64_t r = 0; r < c.rows; ++r) {
    EXPECT_TRUE(is_data_row(data, c.row(r))) << "centroid " << r;
    distinct.insert(std::vector<float>(c.row(r), c.row(r) + c.cols));
  }
  // Distance-weighted draws pick one point per far-apart cluster.
  EXPECT_EQ(distinct.size(), 5u);
  // The seeding is random: another run picks other points.
  const FloatMatrix again = kmeans_train(data, p, kMetricEuclidean)[0].matrix;
  EXPECT_NE(c.data, again.data);
}

TEST(KMeansTest, CentroidsAreRunningMeansOfSeedAndAssignedPoints) {
  // One full batch: with rate 1 / (count + 1) a centroid ends at the mean of
  // its seed and all points assigned to it, whatever the batch order.
  // The far pair makes a second seed in the near group vanishingly unlikely.
  const FloatMatrix data({0, 2, 4, 1000, 1004}, 1);
  KMeansParams p;
  p.n_clusters = 2;
  p.max_iters = 1;
  p.batch_size = 5;
  for (int run = 0; run < 5; ++run) {
    std::vector<float> c = kmeans_train(data, p, kMetricSquaredEuclidean)[0].matrix.data;
    std::sort(c.begin(), c.end());
    // seed s in {0, 2, 4}: (s + 6) / 4; seed in {1000, 1004}: (s + 2004) / 3
    auto near = [](float a, float b) { return std::fabs(a - b) < 1e-5f; };
    EXPECT_TRUE(near(c[0], 1.5f) || near(c[0], 2.0f) || near(c[0], 2.5f)) << c[0];
    EXPECT_TRUE(std::fabs(c[1] - 3004.0f / 3) < 1e-3 || std::fabs(c[1] - 3008.0f / 3) < 1e-3)
        << c[1];
  }
}

TEST(KMeansTest, SizesAndDefaultBatch) {
  KMeansParams p;
  p.n_clusters = 10;
  p.batch_size = 0;
  KMeansSizes s = kmeans_sizes(5000, p);
  EXPECT_EQ(s.batch, 1024u);
  EXPECT_EQ(s.sample, 3072u);
  p.n_clusters = 2000;
  s = kmeans_sizes(5000, p);
  EXPECT_EQ(s.sample, 5000u);
  p.batch_size = 100;
  p.n_clusters = 10;
  s = kmeans_sizes(50, p);
  EXPECT_EQ(s.batch, 50u);
  EXPECT_EQ(s.sample, 50u);
}

TEST(KMeansTest, FewerVectorsThanClustersWarnsAndRepeatsCentroids) {
  const FloatMatrix data({1, 1, 2, 2, 3, 3}, 2);
  KMeansParams p;
  p.n_clusters = 5;
  p.max_iters = 3;
  testing::internal::CaptureStderr();
  const std::vector<CentroidMatrix> books = kmeans_train(data, p, kMetricEuclidean);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: Initialization sample size (3) is smaller than the number of clusters (5). "
            "KMeans++ may fail to select enough unique centroids.\n");
  ASSERT_EQ(books[0].matrix.rows, 5u);
  EXPECT_EQ(books[0].tag, 5u);
}

TEST(KMeansTest, DefaultBatchShowsInTheWarning) {
  // batch 0 means 1024, so s = n = 500 and t = min(3 * 600, 500).
  std::vector<float> flat(500 * 2);
  for (size_t i = 0; i < flat.size(); ++i) flat[i] = static_cast<float>(i % 37);
  KMeansParams p;
  p.n_clusters = 600;
  p.max_iters = 0;
  p.batch_size = 0;
  testing::internal::CaptureStderr();
  kmeans_train(FloatMatrix(flat, 2), p, kMetricSquaredEuclidean);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: Initialization sample size (500) is smaller than the number of clusters "
            "(600). KMeans++ may fail to select enough unique centroids.\n");
}

TEST(KMeansTest, RefusesBadParametersBeforeWork) {
  const FloatMatrix data({1, 2, 3, 4, 5, 6}, 3);
  KMeansParams p;
  p.n_clusters = 1;
  auto message = [&](uint32_t metric) {
    try {
      kmeans_train(data, p, metric);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message(7), "Unsupported distance metric.");
  p.n_subvectors = 2;
  EXPECT_EQ(message(kMetricCosine),
            "Vector dimension must be divisible by the number of subvectors.");
  p.n_subvectors = 0;
  EXPECT_EQ(message(kMetricCosine),
            "Vector dimension must be divisible by the number of subvectors.");
  p.n_subvectors = 1;
  FloatMatrix empty;
  empty.cols = 3;
  EXPECT_THROW(kmeans_train(empty, p, kMetricCosine), std::runtime_error);
}

}  // namespace
}  // namespace tavrin
