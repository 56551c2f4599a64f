#include "search/distance.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <vector>

#include "search_reference.h"
#include "test_util.h"

namespace tavrin {
namespace {

using testing::float_bits;
using testing::random_floats;
using testing::ref_distance;

// Runs the body once on the CPU's best kernels and once on the portable ones.
class DistanceKernelTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { force_portable_distance_kernels(GetParam()); }
  void TearDown() override { force_portable_distance_kernels(false); }
};

INSTANTIATE_TEST_SUITE_P(BestAndPortable, DistanceKernelTest, ::testing::Bool());

// Every width from 1 to 100 crosses the vector blocks and the scalar tail.
// Eleven rows (the fourth a zero vector, at cosine distance 1 from all)
// against 1 to 6 queries reach every tile shape (eight rows of one query,
// two rows of four queries) and their remainders. Every entry point gives a
// pair the same bits, close to the double reference.
TEST_P(DistanceKernelTest, EveryEntryPointMatchesTheReferenceBitForBitAcrossEachOther) {
  if (GetParam()) {
    EXPECT_STREQ(distance_kernel_name(), "portable");
  }
  std::mt19937 gen(7);
  const size_t n = 11;
  for (size_t d = 1; d <= 100; ++d) {
    const size_t nq = 1 + d % 6, stride = n + 3;
    const std::vector<float> qs = random_floats(nq * d, gen);
    std::vector<float> rows = random_floats(n * d, gen);
    std::fill(rows.begin() + 3 * d, rows.begin() + 4 * d, 0.0f);
    std::vector<const float*> qp(nq);
    std::vector<float> qn(nq);
    for (size_t i = 0; i < nq; ++i) {
      qp[i] = qs.data() + i * d;
      qn[i] = squared_norm(qp[i], d);
    }
    std::vector<float> sq(nq * stride), cs(nq * stride), scratch(n), one_sq(n), one_cs(n);
    std::vector<float> norms(n + 1, -1.0f);
    squared_euclidean_block(qp.data(), nq, rows.data(), n, d, sq.data(), stride);
    cosine_block(qp.data(), qn.data(), nq, rows.data(), n, d, cs.data(), stride, scratch.data());
    squared_euclidean_rows(qp[0], rows.data(), n, d, one_sq.data());
    cosine_rows(qp[0], qn[0], rows.data(), n, d, one_cs.data());
    squared_norms(rows.data(), n, d, norms.data());
    EXPECT_EQ(norms[n], -1.0f) << "written past the rows";
    for (size_t j = 0; j < n; ++j) {
      const float* x = rows.data() + j * d;
      ASSERT_EQ(float_bits(norms[j]), float_bits(squared_norm(x, d))) << d << " " << j;
      ASSERT_EQ(float_bits(one_sq[j]), float_bits(squared_euclidean(qp[0], x, d))) << d << " " << j;
      ASSERT_EQ(float_bits(one_cs[j]), float_bits(cosine_distance(qp[0], x, d))) << d << " " << j;
      for (size_t i = 0; i < nq; ++i) {
        const double rs = ref_distance(qp[i], x, d, kMetricSquaredEuclidean);
        ASSERT_EQ(float_bits(sq[i * stride + j]), float_bits(squared_euclidean(qp[i], x, d)))
            << d << " " << i;
        ASSERT_EQ(float_bits(cs[i * stride + j]), float_bits(cosine_distance(qp[i], x, d)))
            << d << " " << i;
        EXPECT_NEAR(sq[i * stride + j], rs, 1e-5 * (1 + rs)) << "d=" << d;
        EXPECT_NEAR(cs[i * stride + j], ref_distance(qp[i], x, d, kMetricCosine), 1e-5) << d;
      }
    }
    EXPECT_NEAR(cosine_distance(qp[0], qp[0], d), 0.0f, 1e-6);
    EXPECT_EQ(cosine_distance(rows.data() + 3 * d, rows.data() + 3 * d, d), 1.0f);
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
  ASSERT_EQ(c.n_cols, 9u);
  for (size_t i = 0; i < 6; ++i) {
    for (size_t j = 0; j < 9; ++j) {
      EXPECT_EQ(e(i, j), s(i, j));  // both Euclidean codes: the squared form, no root
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
  // Shapes and errors: other widths, an unknown metric code, no rows.
  EXPECT_THROW(distance_matrix(a, FloatMatrix({1, 2, 3}, 3), kMetricCosine), std::invalid_argument);
  EXPECT_EQ(metric_from_code(2), kMetricSquaredEuclidean);
  EXPECT_EQ(testing::error_text<std::runtime_error>([&] { metric_from_code(3); }),
            "Unsupported distance metric.");
  FloatMatrix none;
  none.cols = d;
  const arma::fmat empty = distance_matrix(none, a, kMetricCosine);
  EXPECT_EQ(empty.n_rows, 0u);
  EXPECT_EQ(empty.n_cols, 6u);
}

}  // namespace
}  // namespace tavrin
