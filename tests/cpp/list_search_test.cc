#include "search/list_search.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace tavrin {
namespace {

struct Candidates {
  std::vector<std::string> ids;
  std::vector<uint64_t> offsets{0, 0};
  std::vector<std::string> metadata;
  std::vector<float> flat;
  size_t d = 0;

  void add(const std::string& id, std::vector<float> v, const std::string& meta = "") {
    d = v.size();
    ids.push_back(id);
    metadata.push_back(meta);
    flat.insert(flat.end(), v.begin(), v.end());
    offsets.back() += 1;
  }
  void close_list() { offsets.push_back(offsets.back()); }
  FloatRowsView vectors() const { return FloatRowsView(flat.data(), ids.size(), d); }
};

// One list position per probe column, one row per query.
U32Matrix probes(std::vector<uint32_t> rows, uint64_t cols) { return U32Matrix(rows, cols); }

SearchResults run(const Candidates& c, const U32Matrix& p, const FloatMatrix& q, uint64_t top_k,
                  uint32_t metric, std::vector<uint32_t> include = {}) {
  return search_lists(c.ids, c.offsets, c.metadata, c.vectors(), p, q, top_k, metric, include);
}

std::vector<std::string> row_ids(const SearchResults& r, uint64_t q) {
  return std::vector<std::string>(r.ids.begin() + q * r.k, r.ids.begin() + q * r.k + r.counts[q]);
}

// Four points on a line, one list.
Candidates line() {
  Candidates c;
  c.add("c", {3}, "m3");
  c.add("a", {1}, "m1");
  c.add("d", {-2}, "m-2");
  c.add("b", {0.5f}, "m.5");
  return c;
}

TEST(ListSearchTest, HandCheckedRankingUnderEachMetric) {
  const Candidates c = line();
  const FloatMatrix q({0.0f}, 1);
  const SearchResults sq = run(c, probes({0}, 1), q, 3, kMetricSquaredEuclidean, {1});
  ASSERT_EQ(sq.k, 3u);
  EXPECT_EQ(sq.counts[0], 3u);
  EXPECT_EQ(row_ids(sq, 0), (std::vector<std::string>{"b", "a", "d"}));
  EXPECT_FLOAT_EQ(sq.distance(0, 0), 0.25f);
  EXPECT_FLOAT_EQ(sq.distance(0, 1), 1.0f);
  EXPECT_FLOAT_EQ(sq.distance(0, 2), 4.0f);
  EXPECT_EQ(sq.metadata[0], (std::vector<std::string>{"m.5", "m1", "m-2"}));

  const SearchResults eu = run(c, probes({0}, 1), q, 3, kMetricEuclidean);
  EXPECT_EQ(row_ids(eu, 0), row_ids(sq, 0));
  EXPECT_FLOAT_EQ(eu.distance(0, 0), 0.5f);
  EXPECT_FLOAT_EQ(eu.distance(0, 2), 2.0f);
  EXPECT_TRUE(eu.metadata[0].empty());  // not asked for

  // In one dimension cosine distance is 0 on the same side, 2 opposite;
  // ties among a, b, c go by identifier.
  const FloatMatrix pos({5.0f}, 1);
  const SearchResults co = run(c, probes({0}, 1), pos, 4, kMetricCosine);
  EXPECT_EQ(row_ids(co, 0), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_NEAR(co.distance(0, 0), 0.0f, 1e-6);
  EXPECT_FLOAT_EQ(co.distance(0, 3), 2.0f);
}

TEST(ListSearchTest, TiesOrderByIdThenMetadataAndFirstScannedStaysAtTheBoundary) {
  Candidates c;
  c.add("b", {1, 0});
  c.add("a", {0, 1});
  c.add("c", {-1, 0});
  c.add("a", {0, -1}, "z");
  c.add("a", {0, -1}, "y");
  const FloatMatrix q({0, 0}, 2);
  const SearchResults all = run(c, probes({0}, 1), q, 5, kMetricSquaredEuclidean, {1});
  EXPECT_EQ(row_ids(all, 0), (std::vector<std::string>{"a", "a", "a", "b", "c"}));
  EXPECT_EQ(all.metadata[0], (std::vector<std::string>{"", "y", "z", "", ""}));

  // k = 2 of five equal distances: a later equal candidate never displaces
  // a held one, so the first two scanned are kept and then ordered by id.
  const SearchResults two = run(c, probes({0}, 1), q, 2, kMetricSquaredEuclidean);
  EXPECT_EQ(row_ids(two, 0), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(two.distance(0, 1), 1.0f);
}

TEST(ListSearchTest, TopKZeroAndAboveCandidateCount) {
  Candidates c;
  c.add("x0", {0});
  c.add("x1", {1});
  c.close_list();
  c.add("y0", {10});
  const FloatMatrix q({0.0f, 9.0f}, 1);
  const SearchResults none = run(c, probes({0, 1}, 1), q, 0, kMetricEuclidean, {1});
  EXPECT_EQ(none.k, 0u);
  EXPECT_EQ(none.counts, (std::vector<uint32_t>{0, 0}));
  EXPECT_TRUE(none.ids.empty());

  // k = 3 (all candidates); query 1 scans a list of one item only.
  const SearchResults many = run(c, probes({0, 1}, 1), q, 100, kMetricEuclidean, {1});
  ASSERT_EQ(many.k, 3u);
  EXPECT_EQ(many.counts, (std::vector<uint32_t>{2, 1}));
  EXPECT_EQ(row_ids(many, 1), (std::vector<std::string>{"y0"}));
  EXPECT_FLOAT_EQ(many.distance(1, 0), 1.0f);
  for (uint64_t i = 1; i < 3; ++i) {
    EXPECT_EQ(many.id(1, i), "");
    EXPECT_EQ(many.distance(1, i), 0.0f);
    EXPECT_EQ(many.metadata[1][i], "");
  }
  EXPECT_EQ(many.id(0, 2), "");
}

TEST(ListSearchTest, EmptyInputsGiveRowsWithoutSlotsBeforeAnyCheck) {
  Candidates empty;
  empty.d = 3;
  const FloatMatrix q({1, 2}, 2);  // wrong width, unknown metric: not looked at
  const SearchResults r =
      search_lists({}, {0}, {}, FloatRowsView(), probes({0, 0, 0}, 1), q, 5, 99, {1});
  EXPECT_EQ(r.n_queries, 3u);
  EXPECT_EQ(r.k, 0u);
  EXPECT_EQ(r.counts.size(), 3u);

  const Candidates c = line();
  EXPECT_EQ(run(c, U32Matrix(), q, 5, kMetricCosine).n_queries, 0u);
  const SearchResults no_queries = run(c, probes({0}, 1), FloatMatrix(), 5, kMetricCosine);
  EXPECT_EQ(no_queries.n_queries, 1u);
  EXPECT_EQ(no_queries.k, 0u);
}

template <typename E>
void expect_error(const std::function<void()>& call, const std::string& message) {
  try {
    call();
    FAIL() << "expected: " << message;
  } catch (const E& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

TEST(ListSearchTest, RejectsBadInputsBeforeSearching) {
  const Candidates c = line();
  const FloatMatrix q({0}, 1);
  const U32Matrix p = probes({0}, 1);
  expect_error<std::runtime_error>([&] { run(c, p, q, 2, 3); }, "Unsupported distance metric.");
  expect_error<std::invalid_argument>(
      [&] {
        search_lists(c.ids, c.offsets, c.metadata, FloatRowsView(c.flat.data(), 3, 1), p, q, 2,
                     kMetricCosine, {});
      },
      "Matching IDs and embeddings have different sizes");
  expect_error<std::invalid_argument>(
      [&] {
        run(c, p, FloatMatrix({0, 0}, 2), 2, kMetricCosine);
      },
      "Query embedding dimension does not match item embedding");
  // Malformed candidate sets would read out of bounds: refused instead.
  expect_error<std::invalid_argument>([&] { run(c, probes({1}, 1), q, 2, kMetricCosine); },
                                      "Probe matrix names a list outside the candidate set");
  Candidates bad = c;
  bad.offsets = {0, 9};
  expect_error<std::invalid_argument>([&] { run(bad, p, q, 2, kMetricCosine); },
                                      "Candidate list offsets do not fit the candidate set");
  bad = c;
  bad.metadata.pop_back();
  expect_error<std::invalid_argument>([&] { run(bad, p, q, 2, kMetricCosine); },
                                      "Matching IDs and metadata have different sizes");
  expect_error<std::invalid_argument>(
      [&] {
        run(c, probes({0, 0}, 1), q, 2, kMetricCosine);
      },
      "Probe matrix has more rows than there are queries");
  // A candidate set without metadata texts is accepted; texts read as empty.
  bad = c;
  bad.metadata.clear();
  EXPECT_EQ(run(bad, p, q, 4, kMetricCosine, {1}).metadata[0].size(), 4u);
}

TEST(ListSearchTest, ZeroQueryUnderCosineIsAtDistanceOneFromAll) {
  const Candidates c = line();
  const SearchResults r = run(c, probes({0}, 1), FloatMatrix({0.0f}, 1), 4, kMetricCosine);
  EXPECT_EQ(row_ids(r, 0), (std::vector<std::string>{"a", "b", "c", "d"}));
  for (uint64_t i = 0; i < 4; ++i) EXPECT_EQ(r.distance(0, i), 1.0f);
}

TEST(ListSearchTest, NaNDistancesRankAfterEveryNumber) {
  Candidates c;
  c.add("n", {std::nanf("")});
  c.add("b", {2});
  c.add("a", {1});
  const FloatMatrix q({0.0f}, 1);
  const SearchResults all = run(c, probes({0}, 1), q, 3, kMetricSquaredEuclidean);
  EXPECT_EQ(row_ids(all, 0), (std::vector<std::string>{"a", "b", "n"}));
  EXPECT_TRUE(std::isnan(all.distance(0, 2)));
  // Scanned first and held, the NaN entry still gives way to a number.
  const SearchResults one = run(c, probes({0}, 1), q, 1, kMetricEuclidean);
  EXPECT_EQ(row_ids(one, 0), (std::vector<std::string>{"a"}));
}

// ---- Random data against a brute-force reference --------------------------

struct Fixture {
  Candidates c;
  FloatMatrix queries;
  U32Matrix probe;
};

// `lists` lists of varied sizes (some larger than one scoring block, one
// empty), `n` queries whose probe rows repeat in runs so that both shared
// and distinct scans occur.
Fixture random_fixture(size_t d, size_t lists, size_t n, size_t width, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> u(-1, 1);
  Fixture f;
  size_t id = 0;
  for (size_t p = 0; p < lists; ++p) {
    const size_t size = p == 1 ? 0 : 200 + 700 * (p % 3);
    for (size_t r = 0; r < size; ++r, ++id) {
      std::vector<float> v(d);
      for (float& x : v) x = u(gen);
      if (id % 97 == 5) std::fill(v.begin(), v.end(), 0.0f);
      f.c.add("id" + std::to_string(id), v, "meta" + std::to_string(id % 13));
    }
    if (p + 1 < lists) f.c.close_list();
  }
  std::vector<float> q(n * d);
  for (float& x : q) x = u(gen);
  f.queries = FloatMatrix(q, d);
  std::vector<uint32_t> rows;
  std::vector<uint32_t> current(width);
  for (size_t i = 0; i < n; ++i) {
    if (i % 3 == 0) {
      // width distinct lists in a random order
      std::vector<uint32_t> all(lists);
      for (uint32_t p = 0; p < lists; ++p) all[p] = p;
      std::shuffle(all.begin(), all.end(), gen);
      current.assign(all.begin(), all.begin() + width);
    }
    rows.insert(rows.end(), current.begin(), current.end());
  }
  f.probe = U32Matrix(rows, width);
  return f;
}

void check_against_reference(const Fixture& f, uint64_t top_k, uint32_t metric,
                             const SearchResults& r) {
  const size_t d = f.c.d;
  const uint64_t k = std::min<uint64_t>(top_k, f.c.ids.size());
  ASSERT_EQ(r.n_queries, f.probe.rows);
  ASSERT_EQ(r.k, k);
  for (uint64_t q = 0; q < f.probe.rows; ++q) {
    std::vector<std::pair<double, std::string>> ref;
    std::map<std::string, double> by_id;
    for (uint64_t j = 0; j < f.probe.cols; ++j) {
      const uint32_t list = f.probe.row(q)[j];
      for (uint64_t row = f.c.offsets[list]; row < f.c.offsets[list + 1]; ++row) {
        const float* x = f.c.flat.data() + row * d;
        const float* y = f.queries.row(q);
        double dot = 0, nx = 0, ny = 0, sq = 0;
        for (size_t i = 0; i < d; ++i) {
          dot += double(x[i]) * y[i];
          nx += double(x[i]) * x[i];
          ny += double(y[i]) * y[i];
          sq += (double(x[i]) - y[i]) * (double(x[i]) - y[i]);
        }
        const double den = std::sqrt(nx) * std::sqrt(ny);
        const double dist = metric == kMetricCosine      ? (den == 0 ? 1.0 : 1.0 - dot / den)
                            : metric == kMetricEuclidean ? std::sqrt(sq)
                                                         : sq;
        ref.emplace_back(dist, f.c.ids[row]);
        by_id[f.c.ids[row]] = dist;
      }
    }
    std::sort(ref.begin(), ref.end());
    const uint64_t expected = std::min<uint64_t>(k, ref.size());
    ASSERT_EQ(r.counts[q], expected) << "query " << q;
    for (uint64_t i = 0; i < expected; ++i) {
      const double tol = 1e-4 * (1 + ref[i].first);
      EXPECT_NEAR(r.distance(q, i), ref[i].first, tol) << "query " << q << " slot " << i;
      ASSERT_TRUE(by_id.count(r.id(q, i))) << r.id(q, i) << " is not in the lists of " << q;
      EXPECT_NEAR(by_id[r.id(q, i)], ref[i].first, tol) << "query " << q << " slot " << i;
      if (i > 0) {
        EXPECT_LE(r.distance(q, i - 1), r.distance(q, i));
      }
    }
    for (uint64_t i = expected; i < k; ++i) EXPECT_EQ(r.id(q, i), "");
  }
}

TEST(ListSearchTest, RandomDataMatchesBruteForceForEveryMetric) {
  const Fixture f = random_fixture(64, 6, 40, 2, 3);
  for (uint32_t metric : {kMetricCosine, kMetricEuclidean, kMetricSquaredEuclidean}) {
    for (uint64_t top_k : {1u, 7u, 50u}) {
      SCOPED_TRACE("metric " + std::to_string(metric) + " top_k " + std::to_string(top_k));
      check_against_reference(f, top_k, metric, run(f.c, f.probe, f.queries, top_k, metric));
    }
  }
}

TEST(ListSearchTest, QueriesScanningTheSameListsMatchBruteForce) {
  // All rows equal, as in an exhaustive search: queries are scored together.
  Fixture f = random_fixture(24, 3, 48, 3, 13);
  for (uint64_t q = 1; q < f.probe.rows; ++q) {
    std::copy(f.probe.row(0), f.probe.row(0) + f.probe.cols, f.probe.row(q));
  }
  for (uint32_t metric : {kMetricCosine, kMetricSquaredEuclidean}) {
    SCOPED_TRACE("metric " + std::to_string(metric));
    check_against_reference(f, 5, metric, run(f.c, f.probe, f.queries, 5, metric));
  }
}

TEST(ListSearchTest, EuclideanIsTheRootOfSquaredEuclideanInTheSameOrder) {
  const Fixture f = random_fixture(19, 4, 12, 2, 5);
  const SearchResults e = run(f.c, f.probe, f.queries, 20, kMetricEuclidean);
  const SearchResults s = run(f.c, f.probe, f.queries, 20, kMetricSquaredEuclidean);
  EXPECT_EQ(e.ids, s.ids);
  EXPECT_EQ(e.counts, s.counts);
  for (size_t i = 0; i < e.distances.size(); ++i) {
    EXPECT_EQ(e.distances[i], std::sqrt(s.distances[i]));
  }
}

TEST(ListSearchTest, ResultsDoNotDependOnTheThreadCount) {
  const Fixture f = random_fixture(33, 5, 60, 3, 9);
  const int before = omp_get_max_threads();
  omp_set_num_threads(1);
  const SearchResults one = run(f.c, f.probe, f.queries, 9, kMetricCosine, {1});
  omp_set_num_threads(3);
  const SearchResults three = run(f.c, f.probe, f.queries, 9, kMetricCosine, {1});
  omp_set_num_threads(before);
  EXPECT_EQ(one.ids, three.ids);
  EXPECT_EQ(one.distances, three.distances);
  EXPECT_EQ(one.metadata, three.metadata);
  EXPECT_EQ(one.counts, three.counts);
}

}  // namespace
}  // namespace tavrin
