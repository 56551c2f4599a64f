#include "search/distance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

namespace tavrin {
namespace {

std::vector<float> random_floats(size_t count, std::mt19937& gen) {
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (float& x : v) x = u(gen);
  return v;
}

double ref_squared(const float* a, const float* b, size_t d) {
  double s = 0;
  for (size_t i = 0; i < d; ++i) s += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  return s;
}

double ref_cosine(const float* a, const float* b, size_t d) {
  double dot = 0, na = 0, nb = 0;
  for (size_t i = 0; i < d; ++i) {
    dot += double(a[i]) * b[i];
    na += double(a[i]) * a[i];
    nb += double(b[i]) * b[i];
  }
  const double den = std::sqrt(na) * std::sqrt(nb);
  return den == 0 ? 1.0 : 1.0 - dot / den;
}

TEST(DistanceTest, HandCheckedPairs) {
  const float a[3] = {1, 2, 3};
  const float b[3] = {4, 6, 3};
  EXPECT_FLOAT_EQ(squared_euclidean(a, b, 3), 25.0f);
  EXPECT_FLOAT_EQ(squared_norm(a, 3), 14.0f);
  const float x[2] = {1, 0}, y[2] = {0, 1}, z[2] = {2, 0}, neg[2] = {-3, 0};
  EXPECT_FLOAT_EQ(cosine_distance(x, y, 2), 1.0f);
  EXPECT_NEAR(cosine_distance(x, z, 2), 0.0f, 1e-7);
  EXPECT_FLOAT_EQ(cosine_distance(x, neg, 2), 2.0f);
}

TEST(DistanceTest, ZeroVectorIsAtCosineDistanceOneFromEverything) {
  const float zero[5] = {0, 0, 0, 0, 0};
  const float v[5] = {1, -2, 3, 0.5f, 7};
  EXPECT_EQ(cosine_distance(zero, v, 5), 1.0f);
  EXPECT_EQ(cosine_distance(v, zero, 5), 1.0f);
  EXPECT_EQ(cosine_distance(zero, zero, 5), 1.0f);
  float out[1];
  cosine_rows(zero, 0.0f, v, 1, 5, out);
  EXPECT_EQ(out[0], 1.0f);
}

// Every width from 1 to 100 crosses the vector blocks and the scalar tail.
TEST(DistanceTest, KernelsMatchDoubleReferenceAtAllWidths) {
  std::mt19937 gen(7);
  for (size_t d = 1; d <= 100; ++d) {
    const size_t n = 5;  // odd: the paired row loop also has a leftover row
    const std::vector<float> q = random_floats(d, gen);
    const std::vector<float> rows = random_floats(n * d, gen);
    std::vector<float> sq(n), cs(n);
    squared_euclidean_rows(q.data(), rows.data(), n, d, sq.data());
    cosine_rows(q.data(), squared_norm(q.data(), d), rows.data(), n, d, cs.data());
    for (size_t r = 0; r < n; ++r) {
      const float* x = rows.data() + r * d;
      const double rs = ref_squared(q.data(), x, d);
      EXPECT_NEAR(sq[r], rs, 1e-5 * (1 + rs)) << "d=" << d << " r=" << r;
      EXPECT_NEAR(cs[r], ref_cosine(q.data(), x, d), 1e-5) << "d=" << d << " r=" << r;
      // The row form and the pair form give the same bits for a pair.
      EXPECT_EQ(sq[r], squared_euclidean(q.data(), x, d)) << "d=" << d;
      EXPECT_EQ(cs[r], cosine_distance(q.data(), x, d)) << "d=" << d;
    }
    EXPECT_NEAR(cosine_distance(q.data(), q.data(), d), 0.0f, 1e-6);
  }
}

TEST(DistanceTest, MatrixFormMatchesPairwiseReference) {
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
  ASSERT_EQ(c.n_rows, 6u);
  ASSERT_EQ(c.n_cols, 9u);
  for (size_t i = 0; i < 6; ++i) {
    for (size_t j = 0; j < 9; ++j) {
      // Both Euclidean codes share the squared form, without a root.
      EXPECT_EQ(e(i, j), s(i, j));
      EXPECT_NEAR(s(i, j), ref_squared(a.row(i), b.row(j), d), 1e-4);
      EXPECT_NEAR(c(i, j), ref_cosine(a.row(i), b.row(j), d), 1e-5);
    }
    EXPECT_FLOAT_EQ(c(i, 4), 1.0f);
  }
  // Inputs are read through views and never changed.
  EXPECT_EQ(a.data, a_before.data);
  EXPECT_EQ(b.data, b_before.data);
}

TEST(DistanceTest, MatrixFormShapesAndErrors) {
  FloatMatrix a({1, 2, 3, 4}, 2);
  FloatMatrix b({1, 2, 3}, 3);
  EXPECT_THROW(distance_matrix(a, b, kMetricSquaredEuclidean), std::invalid_argument);
  try {
    distance_matrix(a, a, 3);
    FAIL() << "metric 3 accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unsupported distance metric.");
  }
  FloatMatrix none;
  none.cols = 2;
  const arma::fmat empty = distance_matrix(none, a, kMetricCosine);
  EXPECT_EQ(empty.n_rows, 0u);
  EXPECT_EQ(empty.n_cols, 2u);
}

}  // namespace
}  // namespace tavrin
