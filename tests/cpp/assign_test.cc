#include "search/assign.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "search/metric.h"

namespace tavrin {
namespace {

CentroidMatrix book(std::vector<float> v, uint64_t cols) {
  CentroidMatrix c;
  c.matrix = FloatMatrix(std::move(v), cols);
  c.tag = static_cast<uint32_t>(c.matrix.rows);
  return c;
}

TEST(AssignTest, EquidistantVectorGoesToTheLowerCentroid) {
  // Centroids 3 and 7 sit at 2 and 4; the vector 3 is midway.
  const CentroidMatrix b = book({50, 60, 70, 2, 80, 90, 100, 4, 110}, 1);
  const U32Matrix codes = assign_codes(FloatMatrix({3, 4.2f, 95}, 1), {b}, kMetricEuclidean);
  ASSERT_EQ(codes.rows, 3u);
  ASSERT_EQ(codes.cols, 1u);
  EXPECT_EQ(codes.data, (std::vector<uint32_t>{3, 7, 5}));
}

TEST(AssignTest, ZeroVectorUnderCosineGoesToCentroidZero) {
  const CentroidMatrix b = book({1, 0, 0, 1, -1, 0}, 2);
  const U32Matrix codes = assign_codes(FloatMatrix({0, 0, 0, 2, -5, 0.1f}, 2), {b}, kMetricCosine);
  EXPECT_EQ(codes.data, (std::vector<uint32_t>{0, 1, 2}));
}

TEST(AssignTest, NoVectorsGivesAnEmptyMatrixWithMColumns) {
  FloatMatrix none;
  none.cols = 4;
  const U32Matrix codes =
      assign_codes(none, {book({1, 2}, 2), book({3, 4}, 2)}, kMetricSquaredEuclidean);
  EXPECT_EQ(codes.rows, 0u);
  EXPECT_EQ(codes.cols, 2u);
}

TEST(AssignTest, RandomVectorsMatchBruteForcePerSubvector) {
  std::mt19937 gen(5);
  std::uniform_real_distribution<float> u(-1, 1);
  const size_t n = 300, m = 3, w = 5, k = 17;
  std::vector<CentroidMatrix> books;
  for (size_t j = 0; j < m; ++j) {
    std::vector<float> v(k * w);
    for (float& x : v) x = u(gen);
    books.push_back(book(v, w));
  }
  std::vector<float> flat(n * m * w);
  for (float& x : flat) x = u(gen);
  // A few vectors equal to codewords must get those codewords.
  for (size_t j = 0; j < m; ++j) {
    std::copy(books[j].matrix.row(j + 4), books[j].matrix.row(j + 5), flat.begin() + j * w);
  }
  const FloatMatrix vectors(flat, m * w);
  for (uint32_t metric : {kMetricCosine, kMetricEuclidean, kMetricSquaredEuclidean}) {
    const U32Matrix codes = assign_codes(vectors, books, metric);
    ASSERT_EQ(codes.rows, n);
    ASSERT_EQ(codes.cols, m);
    for (size_t j = 0; j < m; ++j) EXPECT_EQ(codes.data[j], j + 4) << "metric " << metric;
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = 0; j < m; ++j) {
        const float* v = vectors.row(i) + j * w;
        auto dist = [&](size_t c) {
          double dot = 0, nc = 0, nv = 0, sq = 0;
          for (size_t x = 0; x < w; ++x) {
            const double a = books[j].matrix.row(c)[x], b = v[x];
            dot += a * b, nc += a * a, nv += b * b, sq += (a - b) * (a - b);
          }
          return metric == kMetricCosine ? 1 - dot / std::sqrt(nc * nv) : sq;
        };
        const uint32_t got = codes.data[i * m + j];
        size_t best = 0;
        for (size_t c = 1; c < k; ++c) {
          if (dist(c) < dist(best)) best = c;
        }
        // Rounding in the matrix form may only swap near-equal codewords.
        EXPECT_NEAR(dist(got), dist(best), 1e-5) << "vector " << i << " sub " << j;
      }
    }
  }
}

TEST(AssignTest, RefusesBadShapes) {
  const FloatMatrix v({1, 2, 3}, 3);
  auto message = [&](const std::vector<CentroidMatrix>& books, uint32_t metric) {
    try {
      assign_codes(v, books, metric);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message({book({1, 2, 3}, 3)}, 9), "Unsupported distance metric.");
  EXPECT_EQ(message({book({1}, 1), book({1}, 1)}, kMetricCosine),
            "Vector dimension must be divisible by the number of subvectors.");
  EXPECT_EQ(message({}, kMetricCosine),
            "Vector dimension must be divisible by the number of subvectors.");
  EXPECT_EQ(message({book({1, 2}, 2)}, kMetricCosine),
            "Codebook width does not match the sub-vector width.");
  CentroidMatrix empty;
  empty.matrix.cols = 3;
  EXPECT_EQ(message({empty}, kMetricCosine), "Codebook has no codewords.");
}

}  // namespace
}  // namespace tavrin
