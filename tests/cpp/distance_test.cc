#include "search/distance.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <vector>

#include "search_reference.h"
#include "test_util.h"

namespace tavrin {
namespace {

using testing::random_floats;
using testing::ref_distance;

TEST(DistanceTest, HandCheckedCosinePairsAndZeroVectors) {
  const float x[2] = {1, 0}, y[2] = {0, 1}, neg[2] = {-3, 0}, zero[2] = {0, 0};
  EXPECT_FLOAT_EQ(cosine_distance(x, y, 2), 1.0f);
  EXPECT_FLOAT_EQ(cosine_distance(x, neg, 2), 2.0f);
  // A zero vector is at distance exactly 1 from everything, itself included.
  EXPECT_EQ(cosine_distance(zero, x, 2), 1.0f);
  EXPECT_EQ(cosine_distance(zero, zero, 2), 1.0f);
  float out[1];
  cosine_rows(zero, 0.0f, x, 1, 2, out);
  EXPECT_EQ(out[0], 1.0f);
}

// Runs the body once on the CPU's best kernels and once on the portable ones.
class DistanceKernelTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { force_portable_distance_kernels(GetParam()); }
  void TearDown() override { force_portable_distance_kernels(false); }
};

INSTANTIATE_TEST_SUITE_P(BestAndPortable, DistanceKernelTest, ::testing::Bool());

// Every width from 1 to 100 crosses the vector blocks and the scalar tail;
// five rows leave a row over after the paired-row tiles.
TEST_P(DistanceKernelTest, KernelsMatchDoubleReferenceAtAllWidths) {
  if (GetParam()) {
    EXPECT_STREQ(distance_kernel_name(), "portable");
  }
  std::mt19937 gen(7);
  const size_t n = 5;
  for (size_t d = 1; d <= 100; ++d) {
    const std::vector<float> q = random_floats(d, gen);
    const std::vector<float> rows = random_floats(n * d, gen);
    std::vector<float> sq(n), cs(n);
    squared_euclidean_rows(q.data(), rows.data(), n, d, sq.data());
    cosine_rows(q.data(), squared_norm(q.data(), d), rows.data(), n, d, cs.data());
    for (size_t r = 0; r < n; ++r) {
      const float* x = rows.data() + r * d;
      const double rs = ref_distance(q.data(), x, d, kMetricSquaredEuclidean);
      EXPECT_NEAR(sq[r], rs, 1e-5 * (1 + rs)) << "d=" << d << " r=" << r;
      EXPECT_NEAR(cs[r], ref_distance(q.data(), x, d, kMetricCosine), 1e-5) << "d=" << d;
      // Whichever entry point computes a pair, the bits are the same.
      EXPECT_EQ(sq[r], squared_euclidean(q.data(), x, d)) << "d=" << d;
      EXPECT_EQ(cs[r], cosine_distance(q.data(), x, d)) << "d=" << d;
    }
    EXPECT_NEAR(cosine_distance(q.data(), q.data(), d), 0.0f, 1e-6);
  }
}

// Scoring several queries at once gives each pair the bits of scoring it alone.
TEST_P(DistanceKernelTest, MultiQueryBlocksMatchSinglePairs) {
  std::mt19937 gen(5);
  for (size_t d : {1, 7, 8, 9, 33, 100}) {
    for (size_t nq = 1; nq <= 6; ++nq) {
      const size_t n = 7, stride = n + 3;
      const std::vector<float> qs = random_floats(nq * d, gen);
      const std::vector<float> rows = random_floats(n * d, gen);
      std::vector<const float*> qp(nq);
      std::vector<float> qn(nq);
      for (size_t i = 0; i < nq; ++i) {
        qp[i] = qs.data() + i * d;
        qn[i] = squared_norm(qp[i], d);
      }
      std::vector<float> sq(nq * stride), cs(nq * stride), scratch(n);
      squared_euclidean_block(qp.data(), nq, rows.data(), n, d, sq.data(), stride);
      cosine_block(qp.data(), qn.data(), nq, rows.data(), n, d, cs.data(), stride, scratch.data());
      for (size_t i = 0; i < nq; ++i) {
        for (size_t j = 0; j < n; ++j) {
          const float* x = rows.data() + j * d;
          EXPECT_EQ(sq[i * stride + j], squared_euclidean(qp[i], x, d)) << d << " " << nq;
          EXPECT_EQ(cs[i * stride + j], cosine_distance(qp[i], x, d)) << d << " " << nq;
          EXPECT_NEAR(sq[i * stride + j], ref_distance(qp[i], x, d, kMetricSquaredEuclidean), 1e-4);
        }
      }
    }
  }
}

TEST(DistanceTest, MatrixFormMatchesReferenceAndLeavesInputsAlone) {
  std::mt19937 gen(11);
  const size_t d = 37;
  FloatMatrix a(random_floats(6 * d, gen), d);
  FloatMatrix b(random_floats(9 * d, gen), d);
  std::fill(b.row(4), b.row(4) + d, 0.0f);  // a zero vector under cosine
  const FloatMatrix a_before = a, b_before = b;
  const arma::fmat e = distance_matrix(a, b, kMetricEuclidean);
  const arma::fmat s = distance_matrix(a, b, kMetricSquaredEuclidean);
  const arma::fmat c = distance_matrix(a, b, kMetricCosine);
  ASSERT_EQ(e.n_rows, 6u);
  ASSERT_EQ(e.n_cols, 9u);
  ASSERT_EQ(c.n_cols, 9u);
  for (size_t i = 0; i < 6; ++i) {
    for (size_t j = 0; j < 9; ++j) {
      // Both Euclidean codes share the squared form, without a root.
      EXPECT_EQ(e(i, j), s(i, j));
      EXPECT_NEAR(s(i, j), ref_distance(a.row(i), b.row(j), d, kMetricSquaredEuclidean), 1e-4);
      EXPECT_NEAR(c(i, j), ref_distance(a.row(i), b.row(j), d, kMetricCosine), 1e-5);
    }
  }
  EXPECT_EQ(a.data, a_before.data);
  EXPECT_EQ(b.data, b_before.data);
  // The prepared form stands in for the matrix form in k-means seeding and
  // assignment: the very same bits, one operand column at a time too.
  const arma::fmat ac(a.data.data(), d, 6), bc(b.data.data(), d, 9);
  for (DistanceMetric metric : {kMetricCosine, kMetricSquaredEuclidean}) {
    const ColumnSet set(ac, metric);
    const arma::fmat one = bc.col(4);
    EXPECT_TRUE(arma::approx_equal(set.distances_to(bc), distance_matrix_cols(ac, bc, metric),
                                   "absdiff", 0.0f));
    EXPECT_TRUE(arma::approx_equal(set.distances_to(one), distance_matrix_cols(ac, one, metric),
                                   "absdiff", 0.0f));
  }
}

TEST(DistanceTest, MatrixFormShapesAndErrors) {
  const FloatMatrix a({1, 2, 3, 4}, 2);
  const FloatMatrix b({1, 2, 3}, 3);
  EXPECT_THROW(distance_matrix(a, b, kMetricSquaredEuclidean), std::invalid_argument);
  // Raw metric codes enter only through metric_from_code.
  EXPECT_EQ(metric_from_code(2), kMetricSquaredEuclidean);
  EXPECT_EQ(testing::error_text<std::runtime_error>([&] { metric_from_code(3); }),
            "Unsupported distance metric.");
  FloatMatrix none;
  none.cols = 2;
  const arma::fmat empty = distance_matrix(none, a, kMetricCosine);
  EXPECT_EQ(empty.n_rows, 0u);
  EXPECT_EQ(empty.n_cols, 2u);
}

}  // namespace
}  // namespace tavrin
