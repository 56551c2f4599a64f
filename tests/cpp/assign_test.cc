#include "search/assign.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/metric.h"
#include "search_reference.h"
#include "test_util.h"

namespace tavrin {
namespace {

CentroidMatrix book(std::vector<float> v, uint64_t cols) {
  CentroidMatrix c;
  c.matrix = FloatMatrix(std::move(v), cols);
  c.tag = static_cast<uint32_t>(c.matrix.rows);
  return c;
}

TEST(AssignTest, TiesGoToTheLowerCentroidAndZeroVectorsToCentroidZero) {
  // Centroids 3 and 7 sit at 2 and 4; the vector 3 is midway.
  EXPECT_EQ(assign_codes(FloatMatrix({3, 4.2f, 95}, 1),
                         {book({50, 60, 70, 2, 80, 90, 100, 4, 110}, 1)}, kMetricEuclidean)
                .data,
            (std::vector<uint32_t>{3, 7, 5}));
  // Under cosine a zero vector is at distance 1 from every centroid.
  EXPECT_EQ(assign_codes(FloatMatrix({0, 0, 0, 2, -5, 0.1f}, 2), {book({1, 0, 0, 1, -1, 0}, 2)},
                         kMetricCosine)
                .data,
            (std::vector<uint32_t>{0, 1, 2}));
  FloatMatrix none;  // no vectors: a 0 x m matrix
  none.cols = 4;
  const U32Matrix empty = assign_codes(none, {book({1, 2}, 2), book({3, 4}, 2)}, kMetricCosine);
  EXPECT_EQ(empty.rows, 0u);
  EXPECT_EQ(empty.cols, 2u);
}

TEST(AssignTest, RandomVectorsMatchBruteForcePerSubvector) {
  std::mt19937 gen(5);
  const size_t n = 300, m = 3, w = 5, k = 17;
  std::vector<CentroidMatrix> books;
  for (size_t j = 0; j < m; ++j) books.push_back(book(testing::random_floats(k * w, gen), w));
  const std::vector<float> flat = testing::random_floats(n * m * w, gen);
  const FloatMatrix vectors(flat, m * w);
  for (DistanceMetric metric : {kMetricCosine, kMetricEuclidean, kMetricSquaredEuclidean}) {
    SCOPED_TRACE("metric " + std::to_string(static_cast<uint32_t>(metric)));
    const U32Matrix codes = assign_codes(vectors, books, metric);
    ASSERT_EQ(codes.rows, n);
    ASSERT_EQ(codes.cols, m);
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = 0; j < m; ++j) {
        auto dist = [&](size_t c) {
          return testing::ref_distance(books[j].matrix.row(c), vectors.row(i) + j * w, w, metric);
        };
        size_t best = 0;
        for (size_t c = 1; c < k; ++c) {
          if (dist(c) < dist(best)) best = c;
        }
        // Rounding in the matrix form may only swap near-equal codewords.
        EXPECT_NEAR(dist(codes.data[i * m + j]), dist(best), 1e-5)
            << "vector " << i << " sub " << j;
      }
    }
  }
}

// A codebook of 2^20 codewords splits the vectors into distance blocks of 16
// (16, 16 and 8). Codeword c sits at c % 64, so the first minimum of vector
// value v is codeword v; values change from block to block.
TEST(AssignTest, LargeCodebooksAreAssignedBlockByBlock) {
  std::vector<float> words(size_t{1} << 20);
  for (size_t c = 0; c < words.size(); ++c) words[c] = static_cast<float>(c % 64);
  for (size_t m : {1, 2}) {
    std::vector<float> flat;
    for (size_t i = 0; i < 40 * m; ++i) flat.push_back(static_cast<float>((i * 5 + i / m) % 64));
    const U32Matrix codes =
        assign_codes(FloatMatrix(flat, m), std::vector<CentroidMatrix>(m, book(words, 1)),
                     kMetricSquaredEuclidean);
    EXPECT_EQ(codes.data, std::vector<uint32_t>(flat.begin(), flat.end())) << "m " << m;
  }
}

TEST(AssignTest, RefusesBadShapes) {
  const FloatMatrix v({1, 2, 3}, 3);
  auto message = [&](const std::vector<CentroidMatrix>& books) {
    return testing::error_text<std::runtime_error>([&] { assign_codes(v, books, kMetricCosine); });
  };
  const std::string divisible = "Vector dimension must be divisible by the number of subvectors.";
  CentroidMatrix empty;
  empty.matrix.cols = 3;
  EXPECT_EQ(message({book({1}, 1), book({1}, 1)}), divisible);
  EXPECT_EQ(message({}), divisible);
  EXPECT_EQ(message({book({1, 2}, 2)}), "Codebook width does not match the sub-vector width.");
  EXPECT_EQ(message({empty}), "Codebook has no codewords.");
}

}  // namespace
}  // namespace tavrin
