// Distance kernels and the matrix form, nearest-codeword assignment and
// centroid probing, against plain double-precision references.
#include "search/distance.h"

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
#include "search/assign.h"
#include "search/probe.h"
#include "search_reference.h"
#include "test_util.h"

namespace tavrin {
namespace {

using testing::error_text;
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
// against 1 to 6 queries (the first a zero vector on even widths) reach every
// tile shape (eight rows of one query, two rows of four queries) and their
// remainders. Every entry point gives a pair the same bits, close to the
// double reference; so does the matrix form (both Euclidean codes give the
// squared form, no root), and the prepared form that stands in for it in
// k-means and assignment gives its very bits, one operand column at a time too.
TEST_P(DistanceKernelTest, EveryEntryPointMatchesTheReferenceBitForBitAcrossEachOther) {
  EXPECT_TRUE(!GetParam() || std::string(distance_kernel_name()) == "portable");
  std::mt19937 gen(7);
  const size_t n = 11;
  for (size_t d = 1; d <= 100; ++d) {
    const size_t nq = 1 + d % 6, stride = n + 3;
    std::vector<float> qs = random_floats(nq * d, gen), rows = random_floats(n * d, gen);
    std::fill(rows.begin() + 3 * d, rows.begin() + 4 * d, 0.0f);
    if (d % 2 == 0) std::fill(qs.begin(), qs.begin() + d, 0.0f);
    std::copy(qs.end() - d, qs.end(), rows.begin());  // a query among the rows
    std::vector<const float*> qp(nq);
    std::vector<float> qn(nq);
    for (size_t i = 0; i < nq; ++i) qn[i] = squared_norm(qp[i] = qs.data() + i * d, d);
    std::vector<float> sq(nq * stride), cs(nq * stride), scratch(n), one_sq(n), one_cs(n);
    std::vector<float> norms(n + 1, -1.0f);
    squared_euclidean_block(qp.data(), nq, rows.data(), n, d, sq.data(), stride);
    cosine_block(qp.data(), qn.data(), nq, rows.data(), n, d, cs.data(), stride, scratch.data());
    squared_euclidean_rows(qp[0], rows.data(), n, d, one_sq.data());
    cosine_rows(qp[0], qn[0], rows.data(), n, d, one_cs.data());
    squared_norms(rows.data(), n, d, norms.data());
    EXPECT_EQ(norms[n], -1.0f) << "written past the rows";
    // The rows by pointer: backwards, then forwards, then one more.
    const size_t far = 2 * n + 1;
    std::vector<const float*> scattered(far);
    for (size_t j = 0; j < far; ++j) {
      scattered[j] = rows.data() + (j < n ? n - 1 - j : j - n < n ? j - n : 5) * d;
    }
    std::vector<float> far_sq(far), far_cs(far), far_scratch(far);
    squared_euclidean_scattered(qp[0], scattered.data(), far, d, far_sq.data());
    cosine_scattered(qp[0], qn[0], scattered.data(), far, d, far_cs.data(), far_scratch.data());
    for (size_t j = 0; j < far; ++j) {
      ASSERT_EQ(float_bits(far_sq[j]), float_bits(squared_euclidean(qp[0], scattered[j], d)));
      ASSERT_EQ(float_bits(far_cs[j]), float_bits(cosine_distance(qp[0], scattered[j], d)));
    }
    // Products: each within the bound of a float sum of d terms in any
    // order, |error| <= gamma(d) sum |q_i x_i|, the padded queries zero.
    const size_t m_pad = (nq + 7) / 8 * 8, out_stride = (n + 7) / 8 * 8;
    std::vector<float> packed(m_pad * d, -1.0f), products(m_pad * out_stride, -1.0f);
    interleave_queries(qp.data(), nq, d, packed.data());
    if (row_query_products(rows.data(), n, d, packed.data(), m_pad, products.data(), out_stride)) {
      EXPECT_FALSE(GetParam());
      const double gamma = d * 0x1p-24 / (1 - d * 0x1p-24);
      for (size_t i = 0; i < m_pad; ++i) {
        for (size_t j = 0; j < n; ++j) {
          double dot = 0, mag = 0;
          for (size_t t = 0; i < nq && t < d; ++t) {
            dot += double{qp[i][t]} * rows[j * d + t];
            mag += std::fabs(double{qp[i][t]} * rows[j * d + t]);
          }
          ASSERT_LE(std::fabs(products[i * out_stride + j] - dot), gamma * mag) << d << " " << i;
        }
      }
    } else {
      EXPECT_TRUE(GetParam());
    }
    const FloatMatrix qm(qs, d), rm(rows, d);
    const arma::fmat e = distance_matrix(qm, rm, kMetricEuclidean),
                     s = distance_matrix(qm, rm, kMetricSquaredEuclidean),
                     c = distance_matrix(qm, rm, kMetricCosine);
    ASSERT_TRUE(e.n_rows == nq && e.n_cols == n && c.n_rows == nq && c.n_cols == n);
    for (size_t j = 0; j < n; ++j) {
      const float* x = rows.data() + j * d;
      ASSERT_EQ(float_bits(norms[j]), float_bits(squared_norm(x, d))) << d << " " << j;
      ASSERT_EQ(float_bits(one_sq[j]), float_bits(squared_euclidean(qp[0], x, d))) << d << " " << j;
      ASSERT_EQ(float_bits(one_cs[j]), float_bits(cosine_distance(qp[0], x, d))) << d << " " << j;
      for (size_t i = 0; i < nq; ++i) {
        const double rs = ref_distance(qp[i], x, d, kMetricSquaredEuclidean),
                     rc = ref_distance(qp[i], x, d, kMetricCosine);
        const float bs = sq[i * stride + j], bc = cs[i * stride + j];
        ASSERT_TRUE(float_bits(bs) == float_bits(squared_euclidean(qp[i], x, d)) &&
                    float_bits(bc) == float_bits(cosine_distance(qp[i], x, d)))
            << d << " " << i << " " << j;
        EXPECT_TRUE(e(i, j) == s(i, j) && std::fabs(bs - rs) <= 1e-5 * (1 + rs) &&
                    std::fabs(bc - rc) <= 1e-5 && std::fabs(c(i, j) - rc) <= 1e-5 &&
                    std::fabs(s(i, j) - rs) <= 1e-4 * (1 + rs)) << d << " " << i << " " << j;
      }
    }
    const arma::fmat qcol(qs.data(), d, nq), rcol(rows.data(), d, n);
    for (DistanceMetric metric : {kMetricCosine, kMetricSquaredEuclidean}) {
      const ColumnSet set(qcol, metric);
      for (const arma::fmat& b : {rcol, arma::fmat(rcol.col(3))}) {
        EXPECT_TRUE(arma::approx_equal(set.distances_to(b), distance_matrix_cols(qcol, b, metric),
                                       "absdiff", 0.0f));
      }
    }
  }
}

// The nearest-centroid pick against the scan it stands for, written here:
// lengths around the vector width, few distinct values so that ties are
// common, and NaN, infinities and both zeros placed anywhere, first too.
TEST_P(DistanceKernelTest, FirstMinIsTheScansAnswer) {
  auto scan = [](const std::vector<float>& x) {
    size_t best = 0;
    for (size_t c = 1; c < x.size(); ++c) {
      if (x[c] < x[best]) best = c;
    }
    return best;
  };
  const float specials[] = {std::nanf(""), INFINITY, -INFINITY, 0.0f, -0.0f, 1.0f, -1.0f};
  std::mt19937 gen(17);
  for (int round = 0; round < 20000; ++round) {
    const size_t n = 1 + gen() % 70;
    std::vector<float> x(n);
    for (float& v : x) v = static_cast<float>(static_cast<int>(gen() % 9) - 4);
    for (size_t s = gen() % 4; s > 0; --s) x[gen() % n] = specials[gen() % 7];
    if (round % 7 == 0) x[0] = specials[gen() % 7];
    ASSERT_EQ(first_min(x.data(), n), scan(x)) << "round " << round << " n " << n;
  }
  EXPECT_EQ(first_min(nullptr, 0), 0u);
}

// Other widths, an unknown metric code, no rows.
// The 512-bit products against the 256-bit ones, bit for bit, on every
// shape: query counts that leave a last group of eight or none, rows that
// end inside a tile, widths across the prefetch step and the usual 128 and
// 384; and both within a float sum's bound of the double reference.
TEST(DistanceTest, WideProductsAreTheNarrowOnesBitForBit) {
  if (std::string(distance_kernel_name()) != "avx512") {
    GTEST_SKIP() << "no 512-bit kernels on this CPU (" << distance_kernel_name() << ")";
  }
  std::mt19937 gen(31);
  for (int trial = 0; trial < 80; ++trial) {
    const size_t n = 1 + gen() % 70, m = 1 + gen() % 50;
    const size_t d = trial % 4 == 0 ? 384 : trial % 4 == 1 ? 128 : 1 + gen() % 100;
    const size_t m_pad = (m + 7) / 8 * 8, out_stride = (n + 7) / 8 * 8;
    const std::vector<float> rows = random_floats(n * d, gen), qs = random_floats(m * d, gen);
    std::vector<const float*> qp(m);
    for (size_t i = 0; i < m; ++i) qp[i] = qs.data() + i * d;
    std::vector<float> packed(m_pad * d);
    interleave_queries(qp.data(), m, d, packed.data());
    auto products = [&](bool narrow) {
      force_narrow_distance_kernels(narrow);
      std::vector<float> out(m_pad * out_stride, -1.0f);
      const bool done =
          row_query_products(rows.data(), n, d, packed.data(), m_pad, out.data(), out_stride);
      force_narrow_distance_kernels(false);
      EXPECT_TRUE(done);
      return out;
    };
    const std::vector<float> wide = products(false), narrow = products(true);
    const double gamma = d * 0x1p-24 / (1 - d * 0x1p-24);
    for (size_t i = 0; i < m_pad; ++i) {
      for (size_t j = 0; j < n; ++j) {
        const float got = wide[i * out_stride + j];
        ASSERT_EQ(float_bits(got), float_bits(narrow[i * out_stride + j]))
            << "trial " << trial << " query " << i << " row " << j;
        double dot = 0, mag = 0;
        for (size_t t = 0; i < m && t < d; ++t) {
          dot += double{qp[i][t]} * rows[j * d + t];
          mag += std::fabs(double{qp[i][t]} * rows[j * d + t]);
        }
        ASSERT_LE(std::fabs(got - dot), gamma * mag) << "trial " << trial;
      }
    }
  }
}

TEST(DistanceTest, MatrixFormRefusalsAndEmptyShapes) {
  const FloatMatrix a(std::vector<float>(6 * 37, 0.5f), 37);
  EXPECT_THROW(distance_matrix(a, FloatMatrix({1, 2, 3}, 3), kMetricCosine), std::invalid_argument);
  EXPECT_EQ(metric_from_code(2), kMetricSquaredEuclidean);
  EXPECT_EQ(error_text<std::runtime_error>([&] { metric_from_code(3); }),
            "Unsupported distance metric.");
  const arma::fmat empty = distance_matrix(FloatMatrix::zeros(0, 37), a, kMetricCosine);
  EXPECT_TRUE(empty.n_rows == 0 && empty.n_cols == 6);
}

CentroidMatrix book(std::vector<float> v, uint64_t cols) {
  CentroidMatrix c;
  c.matrix = FloatMatrix(std::move(v), cols);
  c.tag = static_cast<uint32_t>(c.matrix.rows);
  return c;
}

std::vector<float> small_integers(size_t count, std::mt19937& gen) {
  std::vector<float> v(count);
  for (float& x : v) x = static_cast<float>(static_cast<int>(gen() % 5) - 2);
  return v;
}

// Each subvector goes to its nearest codeword, the first one among equals.
// Small integer coordinates make squared distances exact, so ties (repeated
// codewords, equidistant ones) are frequent and checked exactly; under
// cosine a zero subvector is at distance 1 from every codeword and goes to
// codeword 0, and rounding elsewhere may only swap near-equal codewords.
TEST(AssignTest, VectorsGoToTheFirstNearestCodewordAndBadShapesAreRefused) {
  std::mt19937 gen(5);
  const size_t n = 300, m = 3, w = 3, k = 17;
  std::vector<CentroidMatrix> books;
  for (size_t j = 0; j < m; ++j) books.push_back(book(small_integers(k * w, gen), w));
  const FloatMatrix vectors(small_integers(n * m * w, gen), m * w);
  for (DistanceMetric metric : {kMetricCosine, kMetricEuclidean, kMetricSquaredEuclidean}) {
    SCOPED_TRACE("metric " + std::to_string(static_cast<uint32_t>(metric)));
    const U32Matrix codes = assign_codes(vectors, books, metric);
    ASSERT_TRUE(codes.rows == n && codes.cols == m);
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = 0; j < m; ++j) {
        const float* sub = vectors.row(i) + j * w;
        auto dist = [&](size_t c) { return ref_distance(books[j].matrix.row(c), sub, w, metric); };
        size_t best = 0;
        for (size_t c = 1; c < k; ++c) best = dist(c) < dist(best) ? c : best;
        const uint32_t got = codes.data[i * m + j];
        if (metric != kMetricCosine || std::all_of(sub, sub + w, [](float x) { return x == 0; })) {
          ASSERT_EQ(got, best) << "vector " << i << " sub " << j;
        } else {
          ASSERT_NEAR(dist(got), dist(best), 1e-5) << "vector " << i << " sub " << j;
        }
      }
    }
  }
  const U32Matrix empty = assign_codes(FloatMatrix::zeros(0, m * w), books, kMetricCosine);
  EXPECT_TRUE(empty.rows == 0 && empty.cols == m);  // no vectors: a 0 x m matrix

  // A codebook of 2^20 codewords splits the vectors into distance blocks of
  // 16 (16, 16 and 8). Codeword c sits at c % 64, so the first minimum of
  // vector value v is codeword v; values change from block to block. Shapes
  // that do not fit are refused with their messages.
  std::vector<float> words(size_t{1} << 20);
  for (size_t c = 0; c < words.size(); ++c) words[c] = static_cast<float>(c % 64);
  for (size_t parts : {1, 2}) {
    std::vector<float> flat;
    for (size_t i = 0; i < 40 * parts; ++i) flat.push_back(float((i * 5 + i / parts) % 64));
    EXPECT_EQ(assign_codes(FloatMatrix(flat, parts),
                           std::vector<CentroidMatrix>(parts, book(words, 1)),
                           kMetricSquaredEuclidean).data,
              std::vector<uint32_t>(flat.begin(), flat.end())) << "parts " << parts;
  }
  auto message = [](const std::vector<CentroidMatrix>& bad) {
    return error_text<std::runtime_error>(
        [&] { assign_codes(FloatMatrix({1, 2, 3}, 3), bad, kMetricCosine); });
  };
  const std::string divisible = "Vector dimension must be divisible by the number of subvectors.";
  for (size_t parts : {2, 0}) EXPECT_EQ(message(std::vector(parts, book({1}, 1))), divisible);
  for (size_t cols : {2, 4})  // narrower or wider than the sub-vectors
    EXPECT_EQ(message({book(std::vector<float>(cols, 1), cols)}),
              "Codebook width does not match the sub-vector width.");
  EXPECT_EQ(message({CentroidMatrix{0, FloatMatrix::zeros(0, 3)}}), "Codebook has no codewords.");
}

// Reference, from the rule: U is the union of every query's k nearest
// centroids (all of them when k >= C), ascending; a row holds positions in U,
// nearest first: the k first choices, or with a positive factor f the
// k' = k + floor(k f) (at most |U|) nearest members of U. Distances in double.
TEST(ProbeTest, RandomBatchesMatchTheRule) {
  std::mt19937 gen(21);
  const size_t d = 8, n_centroids = 40, n = 30;
  const FloatMatrix c(random_floats(n_centroids * d, gen), d), q(random_floats(n * d, gen), d);
  for (DistanceMetric metric : {kMetricCosine, kMetricSquaredEuclidean, kMetricEuclidean}) {
    for (uint64_t k : {1, 4, 7, 50}) {
      for (float f : {0.0f, 0.5f, 1.0f, 3.0f, -4.0f, std::nanf("")}) {
        SCOPED_TRACE("metric " + std::to_string(static_cast<uint32_t>(metric)) + " k " +
                     std::to_string(k) + " f " + std::to_string(f));
        const ProbePlan p = probe_centroids(q, c, k, metric, f);
        const uint64_t first = std::min<uint64_t>(k, n_centroids);
        std::vector<std::vector<uint32_t>> order(n, std::vector<uint32_t>(n_centroids));
        std::set<uint32_t> chosen;
        for (uint64_t i = 0; i < n; ++i) {
          auto dist = [&](uint32_t j) { return ref_distance(c.row(j), q.row(i), d, metric); };
          std::iota(order[i].begin(), order[i].end(), 0u);
          std::stable_sort(order[i].begin(), order[i].end(),
                           [&](uint32_t a, uint32_t b) { return dist(a) < dist(b); });
          chosen.insert(order[i].begin(), order[i].begin() + first);
        }
        const uint64_t wide = k + static_cast<uint64_t>(std::floor(k * double(f)));
        const uint64_t width = f > 0 && k < n_centroids ? std::min<uint64_t>(wide, chosen.size())
                                                        : first;
        ASSERT_TRUE(p.n_queries == n && p.positions.rows == n && p.positions.cols == width);
        ASSERT_EQ(p.unique, std::vector<uint32_t>(chosen.begin(), chosen.end()));
        for (uint64_t i = 0; i < n; ++i) {
          // Without widening the first choices all lie in U, so this keeps them.
          std::vector<uint32_t> got, want;
          for (uint32_t j : order[i]) if (chosen.count(j) && want.size() < width) want.push_back(j);
          for (uint64_t j = 0; j < width; ++j) got.push_back(p.unique.at(p.positions.row(i)[j]));
          EXPECT_EQ(got, want) << "row " << i;
        }
      }
    }
  }
  // No queries is an error; a filter may leave no centroid: nothing to scan.
  EXPECT_EQ(error_text<std::runtime_error>(
                [&] { probe_centroids(FloatMatrix(), c, 1, kMetricCosine, 0); }),
            "No query embeddings provided.");
  EXPECT_THROW(probe_centroids(FloatMatrix({1, 2}, 2), c, 1, kMetricCosine, 0),
               std::invalid_argument);
  const ProbePlan p =
      probe_centroids(FloatMatrix({1, 2}, 1), FloatMatrix::zeros(0, 1), 3, kMetricCosine, 1.0f);
  EXPECT_TRUE(p.positions.rows == 2 && p.positions.cols == 0 && p.unique.empty());
}

}  // namespace
}  // namespace tavrin
