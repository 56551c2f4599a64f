// List search scored through matrix products must give the pairwise answer
// bit for bit. Batches here are built to break a careless bound: exact copies
// of queries among the candidates, copies one unit in the last place away,
// more equal candidates than slots (the first-scanned rule), zero vectors,
// large and tiny magnitudes, a common offset far larger than the distances,
// non-finite rows and queries.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "search/list_search.h"
#include "search_reference.h"

namespace tavrin {
namespace {

struct Batch {
  size_t d = 0;
  std::vector<std::string> ids;
  std::vector<std::string> metadata;
  std::vector<uint64_t> offsets{0};
  std::vector<float> flat;
  FloatMatrix queries;
  U32Matrix probes;

  FloatRowsView vectors() const { return FloatRowsView(flat.data(), ids.size(), d); }
};

// Restore automatic scoring and the CPU's kernels when a test ends, whatever
// it asserted.
struct ScoringGuard {
  ~ScoringGuard() { set_list_scoring(ListScoring::kAuto); }
};
struct PortableGuard {
  explicit PortableGuard(bool on) { force_portable_distance_kernels(on); }
  ~PortableGuard() { force_portable_distance_kernels(false); }
};

SearchResults run(const Batch& b, uint64_t top_k, DistanceMetric metric, ListScoring scoring,
                  uint64_t* product_pairs = nullptr) {
  set_list_scoring(scoring);
  const uint64_t before = product_scored_pairs();
  SearchResults r = search_lists(b.ids, b.offsets, b.metadata, b.vectors(), b.probes, b.queries,
                                 top_k, metric, {kIncludeMetadata});
  if (product_pairs != nullptr) *product_pairs = product_scored_pairs() - before;
  set_list_scoring(ListScoring::kAuto);
  return r;
}

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

void expect_identical(const SearchResults& want, const SearchResults& got) {
  ASSERT_EQ(want.k, got.k);
  ASSERT_EQ(want.counts, got.counts);
  for (uint64_t q = 0; q < want.n_queries; ++q) {
    for (uint64_t i = 0; i < want.k; ++i) {
      ASSERT_EQ(want.id(q, i), got.id(q, i)) << "query " << q << " slot " << i;
      ASSERT_EQ(bits(want.distance(q, i)), bits(got.distance(q, i)))
          << "query " << q << " slot " << i << ": " << want.distance(q, i) << " vs "
          << got.distance(q, i);
    }
  }
  EXPECT_EQ(want.metadata, got.metadata);
}

// The literal selection over the kernels' pairwise values, in scan order.
void expect_reference(const Batch& b, uint64_t top_k, DistanceMetric metric,
                      const SearchResults& got) {
  const uint64_t k = std::min<uint64_t>(top_k, b.ids.size());
  ASSERT_EQ(got.k, k);
  for (uint64_t q = 0; q < b.probes.rows; ++q) {
    std::vector<testing::RefOffer> scan;
    for (uint64_t j = 0; j < b.probes.cols; ++j) {
      const uint32_t list = b.probes.row(q)[j];
      for (uint64_t r = b.offsets[list]; r < b.offsets[list + 1]; ++r) {
        const float* x = b.flat.data() + r * b.d;
        const float v = metric == kMetricCosine ? cosine_distance(b.queries.row(q), x, b.d)
                                                : squared_euclidean(b.queries.row(q), x, b.d);
        scan.emplace_back(v, b.ids[r], b.metadata[r]);
      }
    }
    const std::vector<testing::RefOffer> want = testing::ref_bounded_selection(scan, k);
    ASSERT_EQ(got.counts[q], want.size()) << "query " << q;
    for (size_t i = 0; i < want.size(); ++i) {
      float v = std::get<0>(want[i]);
      if (metric == kMetricEuclidean) v = std::sqrt(v);
      ASSERT_EQ(got.id(q, i), std::get<1>(want[i])) << "query " << q << " slot " << i;
      ASSERT_EQ(bits(got.distance(q, i)), bits(v)) << "query " << q << " slot " << i;
      ASSERT_EQ(got.metadata[q][i], std::get<2>(want[i])) << "query " << q << " slot " << i;
    }
  }
}

// Every scoring gives the reference answer; products were really used.
void check_all_scorings(const Batch& b, DistanceMetric metric, std::vector<uint64_t> top_ks,
                        bool auto_uses_products) {
  ScoringGuard guard;
  for (uint64_t top_k : top_ks) {
    SCOPED_TRACE("metric " + std::to_string(static_cast<uint32_t>(metric)) + " top_k " +
                 std::to_string(top_k));
    uint64_t pairwise_pairs = 0, matrix_pairs = 0, auto_pairs = 0;
    const SearchResults pairwise = run(b, top_k, metric, ListScoring::kPairwise, &pairwise_pairs);
    const SearchResults matrix = run(b, top_k, metric, ListScoring::kMatrix, &matrix_pairs);
    const SearchResults automatic = run(b, top_k, metric, ListScoring::kAuto, &auto_pairs);
    EXPECT_EQ(pairwise_pairs, 0u);
    EXPECT_GT(matrix_pairs, 0u);
    if (auto_uses_products) {
      EXPECT_GT(auto_pairs, 0u);
    }
    expect_reference(b, top_k, metric, pairwise);
    expect_identical(pairwise, matrix);
    expect_identical(pairwise, automatic);
  }
}

float scaled_last_bit(float v, int steps) {
  for (int i = 0; i < steps; ++i) v = std::nextafter(v, steps > 0 ? 1e30f : -1e30f);
  return v;
}

// n queries, each probing `width` of `lists` lists drawn from a small pool
// so that every list is shared by many queries. Candidates are random,
// plus per list: exact copies of queries that probe it, copies one or two
// units in the last place away, and a block of identical vectors (more
// than any k) whose ids fall as the scan goes on. `offset` is added to
// every coordinate of every vector (0: none).
Batch adversarial_batch(size_t d, size_t lists, size_t rows, size_t n, size_t width,
                        float offset, unsigned seed) {
  std::mt19937 gen(seed);
  Batch b;
  b.d = d;
  std::vector<float> q = testing::random_floats(n * d, gen);
  for (float& v : q) v += offset;
  // Special queries: zero, tiny, large.
  std::fill(q.begin(), q.begin() + d, 0.0f);
  for (size_t i = 0; i < d; ++i) q[d + i] *= 1e-22f;
  for (size_t i = 0; i < d; ++i) q[2 * d + i] *= 1e6f;
  b.queries = FloatMatrix(q, d);
  std::vector<uint32_t> probe(n * width);
  std::uniform_int_distribution<uint32_t> pick(0, static_cast<uint32_t>(lists - 1));
  for (size_t i = 0; i < n * width; ++i) probe[i] = pick(gen);
  probe[5 * width] = probe[5 * width + width - 1];  // a list probed twice by one query
  b.probes = U32Matrix(probe, width);

  const std::vector<float> shared = testing::random_floats(d, gen);
  size_t next_id = 0;
  auto add = [&](const std::vector<float>& v, const std::string& id) {
    b.ids.push_back(id);
    b.metadata.push_back("m" + std::to_string(next_id++ % 7));
    b.flat.insert(b.flat.end(), v.begin(), v.end());
  };
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (size_t p = 0; p < lists; ++p) {
    std::vector<size_t> users;
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = 0; j < width; ++j) {
        if (b.probes.row(i)[j] == p) users.push_back(i);
      }
    }
    const size_t size = p == 1 ? 0 : rows + 37 * (p % 4);
    for (size_t r = 0; r < size; ++r) {
      std::vector<float> v = testing::random_floats(d, gen);
      for (float& x : v) x += offset;
      const float dice = unit(gen);
      if (!users.empty() && dice < 0.15f) {
        const size_t who = users[r % users.size()];
        v.assign(b.queries.row(who), b.queries.row(who) + d);
        if (dice < 0.05f) v[r % d] = scaled_last_bit(v[r % d], 1);
        if (dice < 0.02f) v[(r + 1) % d] = scaled_last_bit(v[(r + 1) % d], -2);
      } else if (dice < 0.22f) {
        v = shared;
      } else if (dice < 0.24f) {
        std::fill(v.begin(), v.end(), 0.0f);
      } else if (dice < 0.25f) {
        for (float& x : v) x *= 1e-21f;
      } else if (dice < 0.26f) {
        for (float& x : v) x *= 3e4f;
      }
      // Ids fall along the scan, so equal distances are not in id order.
      add(v, "x" + std::to_string(1000000 - next_id));
    }
    b.offsets.push_back(b.ids.size());
  }
  return b;
}

TEST(ListSearchProductTest, MatchesPairwiseBitForBitOnAdversarialBatches) {
  // Width not a multiple of the kernels' lanes; many queries share a list.
  const Batch b = adversarial_batch(37, 10, 60, 90, 3, 0.0f, 5);
  for (DistanceMetric metric : {kMetricSquaredEuclidean, kMetricEuclidean, kMetricCosine}) {
    check_all_scorings(b, metric, {1, 4, 17, 100000}, true);
  }
}

TEST(ListSearchProductTest, CommonOffsetFarLargerThanTheDistances) {
  // Products lose the distances in the norms: nearly every candidate must
  // be rescored, and the answer may not change.
  const Batch b = adversarial_batch(24, 4, 50, 40, 2, 300.0f, 8);
  for (DistanceMetric metric : {kMetricSquaredEuclidean, kMetricCosine}) {
    check_all_scorings(b, metric, {3, 12}, true);
  }
}

TEST(ListSearchProductTest, LongListsSpanSeveralProductBlocksAndChunks) {
  // One list scanned by every query, as before training: 300 queries come in
  // several product chunks and 1,500 rows in several row blocks per chunk.
  const Batch src = adversarial_batch(16, 1, 1500, 300, 1, 0.0f, 21);
  Batch b = src;
  b.probes = U32Matrix(std::vector<uint32_t>(300, 0), 1);
  for (DistanceMetric metric : {kMetricSquaredEuclidean, kMetricCosine}) {
    check_all_scorings(b, metric, {1, 10, 64}, true);
  }
}

TEST(ListSearchProductTest, NonFiniteAndExtremeValuesKeepTheirAnswers) {
  Batch b = adversarial_batch(8, 3, 40, 30, 2, 0.0f, 34);
  const float inf = std::numeric_limits<float>::infinity();
  // A NaN row, an infinite row, a row whose square overflows, and a query
  // with a NaN and one too large for a product.
  b.flat[3 * b.d] = std::nanf("");
  b.flat[9 * b.d + 1] = -inf;
  for (size_t i = 0; i < b.d; ++i) b.flat[14 * b.d + i] = 1e20f;
  std::vector<float> q = b.queries.data;
  q[4 * b.d + 2] = std::nanf("");
  for (size_t i = 0; i < b.d; ++i) q[6 * b.d + i] = 5e18f;
  b.queries = FloatMatrix(q, b.d);
  for (DistanceMetric metric : {kMetricSquaredEuclidean, kMetricEuclidean, kMetricCosine}) {
    check_all_scorings(b, metric, {2, 9}, true);
  }
}

TEST(ListSearchProductTest, EqualCandidatesBeyondTheSlotsKeepTheFirstScanned) {
  // Every candidate is the same vector: all distances are equal, so the
  // answer is the first k scanned, then ordered by id.
  ScoringGuard guard;
  Batch b;
  b.d = 12;
  std::mt19937 gen(77);
  const std::vector<float> v = testing::random_floats(b.d, gen);
  for (size_t p = 0; p < 3; ++p) {
    for (size_t r = 0; r < 20; ++r) {
      b.ids.push_back("id" + std::to_string(99 - (p * 20 + r)));
      b.metadata.push_back("");
      b.flat.insert(b.flat.end(), v.begin(), v.end());
    }
    b.offsets.push_back(b.ids.size());
  }
  b.queries = FloatMatrix(testing::random_floats(16 * b.d, gen), b.d);
  std::vector<uint32_t> probe;
  for (uint32_t i = 0; i < 16; ++i) probe.insert(probe.end(), {(i + 2) % 3, i % 3});
  b.probes = U32Matrix(probe, 2);
  for (DistanceMetric metric : {kMetricSquaredEuclidean, kMetricCosine}) {
    const SearchResults r = run(b, 5, metric, ListScoring::kMatrix);
    for (uint64_t q = 0; q < 16; ++q) {
      // The first five rows of the first list probed, whose ids fall.
      const uint32_t first = b.probes.row(q)[0];
      for (uint64_t i = 0; i < 5; ++i) {
        EXPECT_EQ(r.id(q, i), "id" + std::to_string(99 - (first * 20 + 4 - i)));
      }
    }
    check_all_scorings(b, metric, {5, 20, 21}, true);
  }
}

TEST(ListSearchProductTest, PortableKernelsToo) {
  // Rescoring uses whichever pairwise kernels are in force.
  const Batch b = adversarial_batch(29, 5, 50, 48, 2, 0.0f, 61);
  const PortableGuard portable(true);
  for (DistanceMetric metric : {kMetricSquaredEuclidean, kMetricCosine}) {
    check_all_scorings(b, metric, {1, 6}, true);
  }
}

TEST(ListSearchProductTest, SquaredNormsOfRowsAreThoseOfSquaredNorm) {
  std::mt19937 gen(4);
  for (bool on : {false, true}) {
    const PortableGuard portable(on);
    for (size_t d : {1, 7, 8, 33, 128}) {
      const size_t n = 21;  // two groups of eight and a remainder
      const std::vector<float> rows = testing::random_floats(n * d, gen);
      std::vector<float> norms(n + 1, -1.0f);
      squared_norms(rows.data(), n, d, norms.data());
      for (size_t r = 0; r < n; ++r) {
        EXPECT_EQ(bits(norms[r]), bits(squared_norm(rows.data() + r * d, d))) << d << " " << r;
      }
      EXPECT_EQ(norms[n], -1.0f);  // nothing written past the rows
    }
  }
}

TEST(ListSearchProductTest, ResultsDoNotDependOnTheThreadCount) {
  ScoringGuard guard;
  const Batch b = adversarial_batch(20, 6, 70, 64, 3, 0.0f, 55);
  const int before = omp_get_max_threads();
  std::vector<SearchResults> r;
  for (int threads : {1, 3}) {
    omp_set_num_threads(threads);
    r.push_back(run(b, 7, kMetricCosine, ListScoring::kMatrix));
  }
  omp_set_num_threads(before);
  expect_identical(r[0], r[1]);
}

}  // namespace
}  // namespace tavrin
