// List search against the literal bounded selection over the pairwise
// values, under every scoring: products must give the pairwise answer bit for
// bit. Batches are built to break a careless bound or tie rule: exact copies
// of queries among the candidates, copies one unit in the last place away,
// more equal candidates than slots (the first-scanned rule), equal ids told
// apart by metadata, zero vectors, large and tiny magnitudes, a common offset
// far larger than the distances, non-finite rows and queries.
#include "search/list_search.h"
#include "search/parted_search.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "search_reference.h"
#include "test_util.h"

namespace tavrin {
namespace {

using testing::RefOffer;

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

// Restores automatic scoring, the CPU's kernels and the team size when a
// test ends, whatever it asserted.
struct Restore {
  const int threads = omp_get_max_threads();
  ~Restore() {
    set_list_scoring(ListScoring::kAuto);
    force_portable_distance_kernels(false);
    omp_set_num_threads(threads);
  }
};

SearchResults run(const Batch& b, uint64_t top_k, DistanceMetric metric, ListScoring scoring,
                  uint64_t* product_pairs = nullptr, std::vector<uint32_t> include = {1}) {
  set_list_scoring(scoring);
  const uint64_t before = product_scored_pairs();
  SearchResults r = search_lists(b.ids, b.offsets, b.metadata, b.vectors(), b.probes, b.queries,
                                 top_k, metric, include);
  if (product_pairs != nullptr) *product_pairs = product_scored_pairs() - before;
  return r;
}

// The same search with each list carrying its rows' squared norms, as lists a
// cache keeps do: the products must not tell them from measured rows.
SearchResults run_with_norms(const Batch& b, uint64_t top_k, DistanceMetric metric) {
  set_list_scoring(ListScoring::kMatrix);
  std::vector<float> norms(b.ids.size());
  squared_norms(b.flat.data(), norms.size(), b.d, norms.data());
  std::vector<CandidateList> views;
  for (size_t l = 0; l + 1 < b.offsets.size(); ++l) {
    views.push_back({b.ids.data() + b.offsets[l], b.metadata.data() + b.offsets[l],
                     b.flat.data() + b.offsets[l] * b.d, b.offsets[l + 1] - b.offsets[l],
                     norms.data() + b.offsets[l]});
  }
  return search_candidate_lists(views, b.probes, b.queries, top_k, metric, {1});
}

// The literal selection of every query over the kernels' pairwise values, in
// scan order.
std::vector<std::vector<RefOffer>> reference(const Batch& b, uint64_t k, DistanceMetric metric) {
  std::vector<std::vector<RefOffer>> want;
  for (uint64_t q = 0; q < b.probes.rows; ++q) {
    std::vector<RefOffer> scan;
    for (uint64_t j = 0; j < b.probes.cols; ++j) {
      const uint32_t list = b.probes.row(q)[j];
      for (uint64_t r = b.offsets[list]; r < b.offsets[list + 1]; ++r) {
        const float* x = b.flat.data() + r * b.d;
        const float v = metric == kMetricCosine ? cosine_distance(b.queries.row(q), x, b.d)
                                                : squared_euclidean(b.queries.row(q), x, b.d);
        scan.emplace_back(v, b.ids[r], b.metadata[r]);
      }
    }
    want.push_back(testing::ref_bounded_selection(scan, k));
  }
  return want;
}

// Ids, distance bits (rooted for Euclidean) and metadata of the reference;
// slots past a query's count stay empty.
void expect_matches(const std::vector<std::vector<RefOffer>>& want, uint64_t k,
                    DistanceMetric metric, const SearchResults& got) {
  ASSERT_TRUE(got.n_queries == want.size() && got.k == k);
  for (uint64_t q = 0; q < want.size(); ++q) {
    ASSERT_TRUE(got.counts[q] == want[q].size() && got.metadata[q].size() == k) << "query " << q;
    std::vector<std::tuple<std::string, uint32_t, std::string>> row, wanted;  // id, bits, text
    for (size_t i = 0; i < k; ++i) {
      const auto [v, id, text] = i < want[q].size() ? want[q][i] : RefOffer(0.0f, "", "");
      wanted.emplace_back(id, testing::float_bits(metric == kMetricEuclidean ? std::sqrt(v) : v),
                          text);
      row.emplace_back(got.id(q, i), testing::float_bits(got.distance(q, i)), got.metadata[q][i]);
    }
    ASSERT_EQ(row, wanted) << "query " << q;
  }
}

// Every scoring gives the reference answer, products were really used, and
// the team size (1 to 3 threads in turn) changes no bit.
void check_all_scorings(const Batch& b, std::vector<DistanceMetric> metrics,
                        std::vector<uint64_t> top_ks) {
  Restore restore;
  for (DistanceMetric metric : metrics) {
    for (size_t t = 0; t < top_ks.size(); ++t) {
      const uint64_t top_k = top_ks[t];
      SCOPED_TRACE("metric " + std::to_string(static_cast<uint32_t>(metric)) + " top_k " +
                   std::to_string(top_k));
      omp_set_num_threads(static_cast<int>(1 + t % 3));
      const uint64_t k = std::min<uint64_t>(top_k, b.ids.size());
      const auto want = reference(b, k, metric);
      for (ListScoring scoring : {ListScoring::kPairwise, ListScoring::kMatrix, ListScoring::kAuto}) {
        uint64_t pairs = 0;
        expect_matches(want, k, metric, run(b, top_k, metric, scoring, &pairs));
        EXPECT_EQ(pairs > 0, scoring != ListScoring::kPairwise);
      }
      expect_matches(want, k, metric, run_with_norms(b, top_k, metric));
    }
  }
}

// n queries (the first zero, the second tiny, the third large, the fifth with
// a NaN, the seventh too large for a product), each probing `width` of `lists`
// lists, so that every list is shared by many queries; list 1 is empty and
// query 5 probes one list twice. Candidates are random, plus per list: exact
// copies of queries that probe it, copies one or two units in the last place
// away, identical vectors (more than any k) under a few repeated ids, zero,
// tiny, large, overflowing and non-finite rows. Other ids fall as the scan
// goes on, so equal distances are not in id order. `offset` is added to every
// coordinate (0: none); `all_equal` makes every candidate the same vector.
Batch adversarial_batch(size_t d, size_t lists, size_t rows, size_t n, size_t width, float offset,
                        unsigned seed, bool all_equal = false) {
  std::mt19937 gen(seed);
  Batch b;
  b.d = d;
  std::vector<float> q = testing::random_floats(n * d, gen);
  for (float& v : q) v += offset;
  for (size_t i = 0; i < d; ++i)
    q[i] = 0, q[d + i] *= 1e-22f, q[2 * d + i] *= 1e6f, q[6 * d + i] = 5e18f;
  q[4 * d + d / 2] = std::nanf("");
  b.queries = FloatMatrix(q, d);
  std::vector<uint32_t> probe(n * width);
  std::uniform_int_distribution<uint32_t> pick(0, static_cast<uint32_t>(lists - 1));
  for (size_t i = 0; i < n * width; ++i) probe[i] = pick(gen);
  probe[5 * width] = probe[5 * width + width - 1];
  b.probes = U32Matrix(probe, width);

  const std::vector<float> shared = testing::random_floats(d, gen);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (size_t p = 0; p < lists; ++p) {
    std::vector<size_t> users;
    for (size_t i = 0; i < n * width; ++i) if (b.probes.data[i] == p) users.push_back(i / width);
    const size_t size = p == 1 ? 0 : rows + 37 * (p % 4);
    for (size_t r = 0; r < size; ++r) {
      const size_t serial = b.ids.size();
      std::vector<float> v = testing::random_floats(d, gen);
      for (float& x : v) x += offset;
      std::string id = "x" + std::to_string(1000000 - serial);
      const float dice = all_equal ? 0.2f : unit(gen);
      if (!users.empty() && dice < 0.15f) {
        const size_t who = users[r % users.size()];
        v.assign(b.queries.row(who), b.queries.row(who) + d);
        if (dice < 0.05f) v[r % d] = std::nextafter(v[r % d], 1e30f);
        if (dice < 0.02f)
          v[(r + 1) % d] = std::nextafter(std::nextafter(v[(r + 1) % d], -1e30f), -1e30f);
      } else if (dice < 0.22f) {
        v = shared;
        if (!all_equal) id = "s" + std::to_string(serial % 3);
      } else if (dice < 0.24f) {
        std::fill(v.begin(), v.end(), 0.0f);
      } else if (dice < 0.25f) {
        for (float& x : v) x *= 1e-21f;
      } else if (dice < 0.26f) {
        for (float& x : v) x *= 3e4f;
      } else if (dice < 0.265f) {
        for (float& x : v) x = 1e20f;  // its square overflows
      } else if (dice < 0.27f) {
        v[r % d] = r % 2 ? std::nanf("") : -std::numeric_limits<float>::infinity();
      }
      b.ids.push_back(id);
      b.metadata.push_back("m" + std::to_string(serial % 7));
      b.flat.insert(b.flat.end(), v.begin(), v.end());
    }
    b.offsets.push_back(b.ids.size());
  }
  return b;
}

const std::vector<DistanceMetric> kAll = {kMetricSquaredEuclidean, kMetricEuclidean, kMetricCosine};
const std::vector<DistanceMetric> kTwo = {kMetricSquaredEuclidean, kMetricCosine};

TEST(ListSearchTest, AdversarialBatchesGiveTheReferenceUnderEveryScoring) {
  // Width not a multiple of the kernels' lanes; many queries share a list.
  check_all_scorings(adversarial_batch(37, 10, 60, 90, 3, 0.0f, 5), kAll, {1, 4, 17, 100000});
  check_all_scorings(adversarial_batch(8, 3, 40, 30, 2, 0.0f, 34), kAll, {2, 9});
  // Products lose the distances in the norms: nearly every candidate must
  // be rescored, and the answer may not change.
  check_all_scorings(adversarial_batch(24, 4, 50, 40, 2, 300.0f, 8), kTwo, {3, 12});
  // All distances equal: the first k scanned, then ordered by id.
  check_all_scorings(adversarial_batch(12, 3, 20, 16, 2, 0.0f, 77, true), kTwo, {5, 20, 21});
  // One list scanned by every query, as before training: several product
  // chunks, several row blocks per chunk, one shared pairwise scan.
  Batch one = adversarial_batch(16, 1, 1500, 300, 1, 0.0f, 21);
  one.probes = U32Matrix(std::vector<uint32_t>(300, 0), 1);
  check_all_scorings(one, kTwo, {1, 10, 64});
  // Rescoring uses whichever pairwise kernels are in force.
  Restore restore;
  force_portable_distance_kernels(true);
  check_all_scorings(adversarial_batch(29, 5, 50, 48, 2, 0.0f, 61), kTwo, {1, 6, 7});
}

// Lists scored a part at a time (random parts, any team size): every query
// either gets the reference answer or is left unsettled, and is then
// answered over all its lists, as the index does. Equal distances must leave
// queries unsettled; a batch of distinct distances must mostly settle.
TEST(ListSearchTest, PartedSearchGivesTheReferenceOrLeavesTheQueryUnsettled) {
  Restore restore;
  std::mt19937 gen(11);
  const Batch batches[] = {adversarial_batch(37, 10, 60, 90, 3, 0.0f, 5),
                           adversarial_batch(24, 6, 50, 40, 2, 300.0f, 8),
                           adversarial_batch(12, 6, 20, 16, 2, 0.0f, 77, true)};
  for (size_t c = 0; c < 3; ++c) {
    Batch b = batches[c];
    const uint32_t lists = static_cast<uint32_t>(b.offsets.size() - 1);
    for (uint64_t q = 0; q < b.probes.rows; ++q) {  // a row names a list once
      uint32_t* row = b.probes.row(q);
      for (uint64_t j = 1; j < b.probes.cols; ++j)
        while (std::find(row, row + j, row[j]) != row + j) row[j] = (row[j] + 1) % lists;
    }
    size_t settled = 0, asked = 0;
    for (DistanceMetric metric : kAll) {
      for (uint64_t top_k : {1, 6, 17}) {
        omp_set_num_threads(static_cast<int>(1 + gen() % 3));
        std::vector<uint32_t> order(lists);
        for (uint32_t l = 0; l < lists; ++l) order[l] = l;
        std::shuffle(order.begin(), order.end(), gen);
        PartedSearch parted(b.probes, lists, b.queries, top_k, metric);
        for (size_t at = 0; at < lists;) {
          const size_t end = std::min<size_t>(lists, at + 1 + gen() % 3);
          std::vector<uint32_t> part(order.begin() + at, order.begin() + end);
          std::vector<CandidateList> views;
          for (uint32_t l : part)
            views.push_back({b.ids.data() + b.offsets[l], b.metadata.data() + b.offsets[l],
                             b.flat.data() + b.offsets[l] * b.d, b.offsets[l + 1] - b.offsets[l]});
          parted.Score(part, views);
          at = end;
        }
        const std::vector<uint32_t> unsettled = parted.Unsettled();
        SearchResults got = parted.Finish({1});
        const SearchResults all = run(b, top_k, metric, ListScoring::kAuto);
        for (uint32_t q : unsettled) {
          for (uint64_t i = 0; i < got.k; ++i) {
            got.ids[q * got.k + i] = all.id(q, i);
            got.distances[q * got.k + i] = all.distance(q, i);
          }
          got.counts[q] = all.counts[q];
          got.metadata[q] = all.metadata[q];
        }
        const uint64_t k = std::min<uint64_t>(top_k, b.ids.size());
        expect_matches(reference(b, k, metric), k, metric, got);
        settled += b.probes.rows - unsettled.size();
        asked += b.probes.rows;
      }
    }
    if (c == 0) {
      EXPECT_GT(settled, asked * 3 / 4);
    }
    if (c == 2) {
      EXPECT_LT(settled, asked / 2);
    }
  }
}

TEST(ListSearchTest, ShapesAndRefusals) {
  Batch b = adversarial_batch(2, 2, 3, 7, 1, 0.0f, 3);
  const FloatMatrix& q = b.queries;
  EXPECT_TRUE(run(b, 2, kMetricEuclidean, ListScoring::kAuto, nullptr, {}).metadata[0].empty());
  // n rows of 0 slots: top_k 0, no probe rows, no query rows, and no
  // candidates (then even a wrong width passes).
  auto search = [&](const Batch& c, FloatRowsView vectors, const U32Matrix& p,
                    const FloatMatrix& queries, uint64_t top_k) {
    return search_lists(c.ids, c.offsets, c.metadata, vectors, p, queries, top_k, kMetricCosine,
                        {1});
  };
  const std::vector<std::pair<SearchResults, uint64_t>> empty = {
      {search(b, b.vectors(), b.probes, q, 0), 7},
      {search(b, b.vectors(), U32Matrix(), q, 5), 0},
      {search(b, b.vectors(), b.probes, FloatMatrix(), 5), 7},
      {search(Batch(), FloatRowsView(), b.probes, FloatMatrix({1, 2, 3}, 3), 5), 7}};
  for (const auto& [r, n] : empty)
    EXPECT_TRUE(r.n_queries == n && r.k == 0 && r.counts == std::vector<uint32_t>(n, 0)) << n;
  auto refused = [&](const Batch& c, FloatRowsView vectors, const U32Matrix& p,
                     const FloatMatrix& queries) {
    return testing::error_text<std::invalid_argument>([&] { search(c, vectors, p, queries, 2); });
  };
  Batch bad_offsets = b, short_metadata = b, no_metadata = b;
  bad_offsets.offsets = {0, 99};
  short_metadata.metadata.pop_back();
  no_metadata.metadata.clear();
  const FloatMatrix wide(std::vector<float>(7 * 3), 3);
  const FloatRowsView fewer(b.flat.data(), b.ids.size() - 1, 2);
  // The documented checks in their order (a later fault is present in each
  // case); then malformed candidate sets that would be read out of bounds.
  EXPECT_EQ(refused(b, fewer, b.probes, wide), "Matching IDs and embeddings have different sizes");
  EXPECT_EQ(refused(b, b.vectors(), U32Matrix({2}, 1), wide),
            "Query embedding dimension does not match item embedding");
  EXPECT_EQ(refused(b, b.vectors(), U32Matrix({2}, 1), q),
            "Probe matrix names a list outside the candidate set");
  EXPECT_EQ(refused(bad_offsets, b.vectors(), b.probes, q),
            "Candidate list offsets do not fit the candidate set");
  EXPECT_EQ(refused(short_metadata, b.vectors(), b.probes, q),
            "Matching IDs and metadata have different sizes");
  EXPECT_EQ(refused(b, b.vectors(), U32Matrix(std::vector<uint32_t>(8), 1), q),
            "Probe matrix has more rows than there are queries");
  // A candidate set without metadata texts is accepted; texts read as empty.
  EXPECT_EQ(search(no_metadata, b.vectors(), b.probes, q, 3).metadata[0],
            (std::vector<std::string>(3)));
}

}  // namespace
}  // namespace tavrin
