#include "search/list_search.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "search_reference.h"
#include "test_util.h"

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

SearchResults run(const Candidates& c, const U32Matrix& p, const FloatMatrix& q, uint64_t top_k,
                  DistanceMetric metric, std::vector<uint32_t> include = {}) {
  return search_lists(c.ids, c.offsets, c.metadata, c.vectors(), p, q, top_k, metric, include);
}

std::vector<std::string> row_ids(const SearchResults& r, uint64_t q) {
  return std::vector<std::string>(r.ids.begin() + q * r.k, r.ids.begin() + q * r.k + r.counts[q]);
}

const U32Matrix kOneList({0}, 1);

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
  const SearchResults sq =
      run(c, kOneList, FloatMatrix({0.0f}, 1), 3, kMetricSquaredEuclidean, {1});
  ASSERT_EQ(sq.k, 3u);
  EXPECT_EQ(row_ids(sq, 0), (std::vector<std::string>{"b", "a", "d"}));
  EXPECT_EQ(sq.distances, (std::vector<float>{0.25f, 1.0f, 4.0f}));
  EXPECT_EQ(sq.metadata[0], (std::vector<std::string>{"m.5", "m1", "m-2"}));
  EXPECT_TRUE(run(c, kOneList, FloatMatrix({0.0f}, 1), 3, kMetricEuclidean).metadata[0].empty());

  // In one dimension cosine distance is 0 on the same side, 2 opposite;
  // ties among a, b, c go by identifier. A zero query is at 1 from all.
  const SearchResults co = run(c, kOneList, FloatMatrix({5.0f}, 1), 4, kMetricCosine);
  EXPECT_EQ(row_ids(co, 0), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_NEAR(co.distance(0, 0), 0.0f, 1e-6);
  EXPECT_FLOAT_EQ(co.distance(0, 3), 2.0f);
  const SearchResults zero = run(c, kOneList, FloatMatrix({0.0f}, 1), 4, kMetricCosine);
  EXPECT_EQ(row_ids(zero, 0), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(zero.distances, (std::vector<float>{1, 1, 1, 1}));
}

TEST(ListSearchTest, TiesOrderByIdThenMetadataAndFirstScannedStaysAtTheBoundary) {
  Candidates c;
  c.add("b", {1, 0});
  c.add("a", {0, 1});
  c.add("c", {-1, 0});
  c.add("a", {0, -1}, "z");
  c.add("a", {0, -1}, "y");
  const FloatMatrix q({0, 0}, 2);
  const SearchResults all = run(c, kOneList, q, 5, kMetricSquaredEuclidean, {1});
  EXPECT_EQ(row_ids(all, 0), (std::vector<std::string>{"a", "a", "a", "b", "c"}));
  EXPECT_EQ(all.metadata[0], (std::vector<std::string>{"", "y", "z", "", ""}));
  // k = 2 of five equal distances: a later equal candidate never displaces
  // a held one, so the first two scanned are kept and then ordered by id.
  EXPECT_EQ(row_ids(run(c, kOneList, q, 2, kMetricSquaredEuclidean), 0),
            (std::vector<std::string>{"a", "b"}));
}

TEST(ListSearchTest, ResultShapes) {
  Candidates c;
  c.add("x0", {0});
  c.add("x1", {1});
  c.close_list();
  c.add("y0", {10});
  const FloatMatrix q({0.0f, 9.0f}, 1);
  const U32Matrix p({0, 1}, 1);
  // k = 3 (all candidates); query 1 scans a list of one item only.
  const SearchResults many = run(c, p, q, 100, kMetricEuclidean, {1});
  ASSERT_EQ(many.k, 3u);
  EXPECT_EQ(many.counts, (std::vector<uint32_t>{2, 1}));
  EXPECT_EQ(many.ids, (std::vector<std::string>{"x0", "x1", "", "y0", "", ""}));
  EXPECT_EQ(many.distances, (std::vector<float>{0, 1, 0, 1, 0, 0}));
  EXPECT_EQ(many.metadata[1], (std::vector<std::string>{"", "", ""}));
  // n rows of 0 slots: top_k 0, no probe rows, no query rows, and no
  // candidates (then even a wrong width passes).
  const std::vector<std::pair<SearchResults, uint64_t>> empty = {
      {run(c, p, q, 0, kMetricEuclidean, {1}), 2},
      {run(c, U32Matrix(), q, 5, kMetricCosine), 0},
      {run(c, p, FloatMatrix(), 5, kMetricCosine), 2},
      {search_lists({}, {0}, {}, FloatRowsView(), p, FloatMatrix({1, 2}, 2), 5, kMetricCosine, {1}), 2}};
  for (const auto& [r, n] : empty) {
    EXPECT_EQ(r.n_queries, n);
    EXPECT_EQ(r.k, 0u);
    EXPECT_EQ(r.counts, std::vector<uint32_t>(n, 0));
  }
}

TEST(ListSearchTest, RejectsBadInputsBeforeSearching) {
  const Candidates c = line();
  const FloatMatrix q1({0}, 1), q2({0, 0}, 2);
  auto refused = [&](const Candidates& set, FloatRowsView vectors, const U32Matrix& p,
                     const FloatMatrix& q) {
    return testing::error_text<std::invalid_argument>([&] {
      search_lists(set.ids, set.offsets, set.metadata, vectors, p, q, 2, kMetricCosine, {1});
    });
  };
  Candidates bad_offsets = c, short_metadata = c, no_metadata = c;
  bad_offsets.offsets = {0, 9};
  short_metadata.metadata.pop_back();
  no_metadata.metadata.clear();
  // The documented checks in their order (a later fault is present in each
  // case); then malformed candidate sets that would be read out of bounds.
  EXPECT_EQ(refused(c, FloatRowsView(c.flat.data(), 3, 1), kOneList, q2),
            "Matching IDs and embeddings have different sizes");
  EXPECT_EQ(refused(c, c.vectors(), kOneList, q2),
            "Query embedding dimension does not match item embedding");
  EXPECT_EQ(refused(c, c.vectors(), U32Matrix({1}, 1), q1),
            "Probe matrix names a list outside the candidate set");
  EXPECT_EQ(refused(bad_offsets, c.vectors(), kOneList, q1),
            "Candidate list offsets do not fit the candidate set");
  EXPECT_EQ(refused(short_metadata, c.vectors(), kOneList, q1),
            "Matching IDs and metadata have different sizes");
  EXPECT_EQ(refused(c, c.vectors(), U32Matrix({0, 0}, 1), q1),
            "Probe matrix has more rows than there are queries");
  // A candidate set without metadata texts is accepted; texts read as empty.
  EXPECT_EQ(run(no_metadata, kOneList, q1, 4, kMetricCosine, {1}).metadata[0],
            (std::vector<std::string>(4)));
}

TEST(ListSearchTest, NaNDistancesRankAfterEveryNumber) {
  Candidates c;
  c.add("n", {std::nanf("")});
  c.add("b", {2});
  c.add("a", {1});
  const FloatMatrix q({0.0f}, 1);
  const SearchResults all = run(c, kOneList, q, 3, kMetricSquaredEuclidean);
  EXPECT_EQ(row_ids(all, 0), (std::vector<std::string>{"a", "b", "n"}));
  EXPECT_TRUE(std::isnan(all.distance(0, 2)));
  // Scanned first and held, the NaN entry still gives way to a number.
  EXPECT_EQ(row_ids(run(c, kOneList, q, 1, kMetricEuclidean), 0), (std::vector<std::string>{"a"}));
}

// ---- Random data against a brute-force reference --------------------------

struct Fixture {
  Candidates c;
  FloatMatrix queries;
  U32Matrix probe;
};

// Lists of varied sizes (some larger than one scoring block, list 1 empty,
// some zero vectors); probe rows repeat in runs of three, or are all equal,
// so that both the shared and the gathered scans run.
Fixture random_fixture(size_t d, size_t lists, size_t n, size_t width, bool all_same,
                       unsigned seed) {
  std::mt19937 gen(seed);
  Fixture f;
  size_t id = 0;
  for (size_t p = 0; p < lists; ++p) {
    const size_t size = p == 1 ? 0 : 200 + 700 * (p % 3);
    for (size_t r = 0; r < size; ++r, ++id) {
      std::vector<float> v = testing::random_floats(d, gen);
      if (id % 97 == 5) std::fill(v.begin(), v.end(), 0.0f);
      f.c.add("id" + std::to_string(id), v, "meta" + std::to_string(id % 13));
    }
    if (p + 1 < lists) f.c.close_list();
  }
  f.queries = FloatMatrix(testing::random_floats(n * d, gen), d);
  std::vector<uint32_t> rows, current, all(lists);
  for (uint32_t p = 0; p < lists; ++p) all[p] = p;
  for (size_t i = 0; i < n; ++i) {
    if (i % 3 == 0 && (i == 0 || !all_same)) {
      std::shuffle(all.begin(), all.end(), gen);
      current.assign(all.begin(), all.begin() + width);
    }
    rows.insert(rows.end(), current.begin(), current.end());
  }
  f.probe = U32Matrix(rows, width);
  return f;
}

void check_against_reference(const Fixture& f, uint64_t top_k, DistanceMetric metric,
                             const SearchResults& r) {
  const uint64_t k = std::min<uint64_t>(top_k, f.c.ids.size());
  ASSERT_EQ(r.n_queries, f.probe.rows);
  ASSERT_EQ(r.k, k);
  for (uint64_t q = 0; q < f.probe.rows; ++q) {
    auto ref_at = [&](uint64_t row) {
      return testing::ref_distance(f.c.flat.data() + row * f.c.d, f.queries.row(q), f.c.d, metric);
    };
    std::vector<std::pair<double, std::string>> ref;
    for (uint64_t j = 0; j < f.probe.cols; ++j) {
      const uint32_t list = f.probe.row(q)[j];
      for (uint64_t row = f.c.offsets[list]; row < f.c.offsets[list + 1]; ++row) {
        ref.emplace_back(ref_at(row), f.c.ids[row]);
      }
    }
    std::sort(ref.begin(), ref.end());
    const uint64_t expected = std::min<uint64_t>(k, ref.size());
    ASSERT_EQ(r.counts[q], expected) << "query " << q;
    for (uint64_t i = 0; i < expected; ++i) {
      const double tol = 1e-4 * (1 + ref[i].first);
      EXPECT_NEAR(r.distance(q, i), ref[i].first, tol) << "query " << q << " slot " << i;
      // The id must name a scanned candidate ("id" + row) at that distance.
      const uint64_t row = std::stoull(r.id(q, i).substr(2));
      ASSERT_TRUE(std::count(ref.begin(), ref.end(), std::make_pair(ref_at(row), r.id(q, i))))
          << r.id(q, i) << " is not in the lists of query " << q;
      EXPECT_NEAR(ref_at(row), ref[i].first, tol) << "query " << q << " slot " << i;
    }
    for (uint64_t i = expected; i < k; ++i) EXPECT_EQ(r.id(q, i), "");
  }
}

TEST(ListSearchTest, RandomDataMatchesBruteForce) {
  const Fixture mixed = random_fixture(61, 6, 40, 2, false, 3);
  const Fixture same = random_fixture(24, 3, 48, 3, true, 13);
  for (DistanceMetric metric : {kMetricCosine, kMetricEuclidean, kMetricSquaredEuclidean}) {
    for (uint64_t top_k : {1u, 7u, 50u}) {
      SCOPED_TRACE("metric " + std::to_string(static_cast<uint32_t>(metric)) + " top_k " + std::to_string(top_k));
      check_against_reference(mixed, top_k, metric,
                              run(mixed.c, mixed.probe, mixed.queries, top_k, metric));
      check_against_reference(same, top_k, metric,
                              run(same.c, same.probe, same.queries, top_k, metric));
    }
  }
  // Euclidean results are the roots of the squared ones, in the same order.
  const SearchResults e = run(mixed.c, mixed.probe, mixed.queries, 20, kMetricEuclidean);
  const SearchResults s = run(mixed.c, mixed.probe, mixed.queries, 20, kMetricSquaredEuclidean);
  EXPECT_EQ(e.ids, s.ids);
  for (size_t i = 0; i < e.distances.size(); ++i) {
    EXPECT_EQ(e.distances[i], std::sqrt(s.distances[i]));
  }
}

// Queries are grouped by the team size: grouping must not change a bit.
TEST(ListSearchTest, ResultsDoNotDependOnTheThreadCount) {
  const Fixture f = random_fixture(33, 5, 60, 3, false, 9);
  const int before = omp_get_max_threads();
  std::vector<SearchResults> r;
  for (int threads : {1, 3}) {
    omp_set_num_threads(threads);
    r.push_back(run(f.c, f.probe, f.queries, 9, kMetricCosine, {1}));
  }
  omp_set_num_threads(before);
  EXPECT_EQ(r[0].ids, r[1].ids);
  EXPECT_EQ(r[0].distances, r[1].distances);
  EXPECT_EQ(r[0].metadata, r[1].metadata);
  EXPECT_EQ(r[0].counts, r[1].counts);
}

}  // namespace
}  // namespace tavrin
