// What the index harness (index_harness_test.cc) cannot see from answers
// alone: how writes are chunked, what the result cache reads and prints,
// refusal of altered stores, of a wrong key and of records a store moved,
// what delete_index leaves, and the handle that train_and_serialize leaves.
#include "encrypted_index/encrypted_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "config/index_config.h"
#include "config/index_record.h"
#include "encrypted_index/index_core.h"
#include "encrypted_index/integrity.h"
#include "encrypted_index/training.h"
#include "recording_keystore.h"
#include "search/kmeans.h"
#include "search/list_search.h"
#include "search_reference.h"
#include "test_util.h"

namespace tavrin {
namespace {

namespace bs = tavrin_encrypted_index::internal::backing_store;
using testing::recording_stores;
using testing::StoreServer;

constexpr uint64_t kDim = 8;

Key256 key_of(uint8_t seed) {
  Key256 k;
  k.fill(seed);
  return k;
}

IndexParams params_for(const Key256& key, uint64_t n_lists, uint64_t cache = 0,
                       const std::string& name = "idx") {
  IndexParams p;
  p.index_name = name;
  p.index_key = key;
  p.index_location = DBConfig(Location::POSTGRES, "t", "c");
  p.config_location = p.items_location = p.fourth_location = p.index_location;
  p.cpu_threads = 2;
  p.max_cache_size = cache;
  p.n_lists = static_cast<uint32_t>(n_lists);
  p.vector_bytes = 4 * kDim;
  return p;
}

struct Fixture {
  std::shared_ptr<StoreServer> server = std::make_shared<StoreServer>();
  Key256 key = key_of(1);
  std::unique_ptr<EncryptedIndex> index;

  explicit Fixture(uint64_t n_lists, DistanceMetric metric = kMetricSquaredEuclidean,
                   uint64_t cache = 0)
      : index(std::make_unique<EncryptedIndex>(
            "idx", key, IndexIVFFlat(kDim, n_lists, metric, std::string()),
            params_for(key, n_lists, cache), recording_stores(server))) {}
  std::unique_ptr<EncryptedIndex> load(const Key256& k) {
    return std::make_unique<EncryptedIndex>("idx", k, params_for(k, 0), recording_stores(server));
  }
};

// Upserts n items (ids prefix + i, with contents and metadata); returns
// their vectors.
FloatMatrix upsert_items(EncryptedIndex& index, size_t n, std::mt19937& gen,
                         const std::string& prefix = "item-") {
  FloatMatrix vectors(testing::random_floats(n * kDim, gen), kDim);
  std::vector<std::string> ids;
  for (size_t i = 0; i < n; ++i) ids.push_back(prefix + std::to_string(i));
  index.Upsert(vectors, ids, std::vector<Bytes>(n, Bytes{'c', 'x'}),
               std::vector<std::string>(n, "{\"n\": 1}"));
  return vectors;
}

TEST(EncryptedIndexTest, WritesInChunksAndNeverReusesALeafAfterAFailure) {
  std::mt19937 gen(3);
  Fixture f(2);
  upsert_items(*f.index, 10001, gen);
  // Role 0 is the index store, role 3 the record store; role 2 got contents.
  EXPECT_EQ(f.server->put_batches[0], (std::vector<size_t>{10000, 1}));
  EXPECT_EQ(f.server->put_batches[3], (std::vector<size_t>{10000, 1}));
  EXPECT_EQ(f.server->put_batches[2], (std::vector<size_t>{10001}));

  // The second chunk of the next upsert fails after the first was stored.
  f.server->fail_role = 3;
  f.server->fail_at = 4;
  EXPECT_THROW(upsert_items(*f.index, 15000, gen, "f-"), std::runtime_error);
  f.server->fail_role = -1;
  // A reload and a later upsert must not overwrite the entries of the
  // stored chunk: every item of it stays findable.
  auto reloaded = f.load(f.key);
  upsert_items(*reloaded, 5000, gen, "later-");
  QueryParams qp;
  qp.top_k = 100000;
  const SearchResults r = reloaded->Query(FloatMatrix(std::vector<float>(kDim, 0.0f), kDim), qp);
  std::set<std::string> found;
  for (uint32_t i = 0; i < r.counts[0]; ++i) found.insert(r.id(0, i));
  EXPECT_EQ(found.size(), 10001u + 10000u + 5000u);
  EXPECT_TRUE(found.count("f-0") && found.count("f-9999") && !found.count("f-10000"));
}

// The training sample: a set no larger than its capacity is used whole and
// in order (the clustering is that of the whole set, bit for bit), chunk
// boundaries do not change it, and past the capacity every row is kept with
// the same chance.
TEST(TrainingSampleTest, WholeWhenSmallUniformWhenLargeAndBlindToChunks) {
  std::mt19937 gen(11);
  const IndexIVFFlat two(kDim, 2, kMetricSquaredEuclidean, std::string());
  const uint64_t capacity = 2 * kTrainingRowsPerList;
  TrainParams params;
  params.max_iters = 5;
  const FloatMatrix small(testing::random_floats(capacity * kDim, gen), kDim);
  KMeansParams k;
  k.n_clusters = 2;
  k.max_iters = 5;
  k.batch_size = params.batch_size;
  k.seed = 7;
  k.refine_passes = 25;
  k.refine_sample = kTrainingRowsPerList;
  k.seeding_tries = kmeans_seeding_tries(2);
  EXPECT_EQ(TrainCentroids(small, two, params, 7).at(0).matrix.data,
            kmeans_train(small, k, kMetricSquaredEuclidean).at(0).matrix.data);

  // Row i carries i in its first column.
  const uint64_t n = 4 * capacity;
  std::vector<float> data(n * kDim, 0.0f);
  for (uint64_t i = 0; i < n; ++i) data[i * kDim] = static_cast<float>(i);
  const FloatMatrix large(std::move(data), kDim);
  auto held = [&](uint64_t seed, uint64_t chunk) {
    TrainingSample sample(two, seed, chunk == n ? n : 0);
    for (uint64_t begin = 0; begin < n; begin += chunk) {
      sample.Add(FloatRowsView(large.row(begin), std::min(chunk, n - begin), kDim));
    }
    EXPECT_EQ(sample.seen(), n);
    std::vector<uint64_t> rows;
    const FloatRowsView kept = sample.rows();
    for (uint64_t r = 0; r < kept.rows; ++r) rows.push_back(static_cast<uint64_t>(kept.row(r)[0]));
    return rows;
  };
  EXPECT_EQ(held(3, n), held(3, 37));
  EXPECT_NE(held(3, n), held(4, n));
  std::vector<uint32_t> times(n, 0);
  const int draws = 400;
  for (int seed = 0; seed < draws; ++seed) {
    std::vector<uint64_t> rows = held(static_cast<uint64_t>(seed), 101);
    ASSERT_EQ(rows.size(), capacity);
    std::sort(rows.begin(), rows.end());
    ASSERT_EQ(std::adjacent_find(rows.begin(), rows.end()), rows.end()) << "a row held twice";
    for (uint64_t r : rows) ++times[r];
  }
  // Each row is held with chance 1/4: 100 of 400 draws, standard deviation
  // 8.7; early and late rows alike (a reservoir that favours either shows
  // in the quarter means long before in single rows).
  for (uint64_t i = 0; i < n; ++i) ASSERT_NEAR(times[i], draws / 4, 45) << "row " << i;
  for (int q = 0; q < 4; ++q) {
    const double sum = std::accumulate(times.begin() + q * n / 4, times.begin() + (q + 1) * n / 4, 0.0);
    EXPECT_NEAR(sum / (n / 4), draws / 4.0, 1.5) << "quarter " << q;
  }
}

// Training streams the vectors: with more items than the sample holds and
// chunks far smaller than the set, every item ends in the list of its
// nearest centroid, once, and the lists are compact.
TEST(EncryptedIndexTest, TrainingStreamsPastTheSample) {
  std::mt19937 gen(13);
  auto server = std::make_shared<StoreServer>();
  const Key256 key = key_of(2);
  IndexParams p = params_for(key, 2);
  p.write_chunk = 97;
  EncryptedIndex index("idx", key, IndexIVFFlat(kDim, 2, kMetricSquaredEuclidean, std::string()),
                       p, recording_stores(server));
  const size_t n = 3 * 2 * kTrainingRowsPerList + 5;
  upsert_items(index, n, gen);
  // Overwritten and deleted items: repeated and dead entries in list 0.
  upsert_items(index, 40, gen);
  index.Delete({"item-41", "item-42"});
  index.TrainIndex(TrainParams{});
  ASSERT_TRUE(index.is_trained());
  IndexCore& core = *index.core();
  core.load_list_counts();
  const std::vector<uint32_t> counts = core.list_counts();
  EXPECT_EQ(counts.at(0) + counts.at(1), n - 2);
  std::vector<std::string> ids;
  for (size_t i = 0; i < n; ++i) {
    if (i != 41 && i != 42) ids.push_back("item-" + std::to_string(i));
  }
  const auto records = core.ReadRecords(ids);
  const FloatMatrix& c = index.trained_data().codebooks.at(0).matrix;
  for (size_t j = 0; j < ids.size(); ++j) {
    ASSERT_TRUE(records[j].has_value()) << ids[j];
    const std::vector<float>& v = records[j]->vector;
    float d[2] = {0, 0};
    for (int l = 0; l < 2; ++l) {
      for (uint64_t x = 0; x < kDim; ++x) d[l] += (v[x] - c.row(l)[x]) * (v[x] - c.row(l)[x]);
    }
    ASSERT_EQ(records[j]->list, d[1] < d[0] ? 1u : 0u) << ids[j];
  }
  const std::vector<DecodedList> lists = core.ReadLists({0, 1});
  EXPECT_EQ(lists[0].rows() + lists[1].rows(), n - 2);
}

TEST(EncryptedIndexTest, ResultCacheHitsMissesAndCoherence) {
  std::mt19937 gen(5);
  Fixture f(1, kMetricSquaredEuclidean, 4);
  upsert_items(*f.index, 20, gen);  // list 0 was empty: cached with the first item only, then dropped
  const FloatMatrix q(testing::random_floats(kDim, gen), kDim);
  QueryParams qp;
  qp.top_k = 100;

  ::testing::internal::CaptureStdout();
  f.index->Query(q, qp);
  const size_t reads = f.server->get_rows_calls[0];
  f.index->Query(q, qp);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Token not found: 0\n");
  EXPECT_EQ(f.server->get_rows_calls[0], reads);  // the second query read no entries

  // A filtered query keeps the list's metadata parsed with it.
  QueryParams filtered = qp;
  filtered.filters = "{\"n\": 1}";
  EXPECT_EQ(f.index->Query(q, filtered).counts[0], 20u);

  // One item into the complete cached list keeps it cached and visible, to
  // filtered queries too: the parsed metadata covers the new row.
  // Scored as one product, the list's norms were kept by the queries above.
  struct Scoring {
    Scoring() { set_list_scoring(ListScoring::kMatrix); }
    ~Scoring() { set_list_scoring(ListScoring::kAuto); }
  } scoring;
  const FloatMatrix one = upsert_items(*f.index, 1, gen, "one-");
  for (const QueryParams& params : {qp, filtered}) {
    SearchResults r = f.index->Query(one, params);
    EXPECT_EQ(r.id(0, 0), "one-0");
    EXPECT_EQ(r.counts[0], 21u);
  }
  EXPECT_EQ(f.server->get_rows_calls[0], reads);
  // And they cover the new row: the answers are a handle without a cache's,
  // bit for bit.
  std::vector<float> many = testing::random_floats(40 * kDim, gen);
  std::copy(one.row(0), one.row(0) + kDim, many.begin());
  const FloatMatrix batch(many, kDim);
  qp.include = {0, 1};
  qp.top_k = 5;  // fewer than the rows: scored, not all taken
  const SearchResults cached = f.index->Query(batch, qp);
  const SearchResults cold = f.load(f.key)->Query(batch, qp);
  EXPECT_EQ(cached.id(0, 0), "one-0");
  EXPECT_EQ(cached.ids, cold.ids);
  for (size_t i = 0; i < cold.distances.size(); ++i)
    ASSERT_EQ(testing::float_bits(cached.distances[i]), testing::float_bits(cold.distances[i]));
  qp.include = {};
  qp.top_k = 100;
  // Two items in one call drop it; the next query reads the list again.
  const size_t before_two = f.server->get_rows_calls[0];
  ::testing::internal::CaptureStdout();
  upsert_items(*f.index, 2, gen, "two-");
  f.index->Query(q, qp);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Token not found: 0\n");
  EXPECT_EQ(f.server->get_rows_calls[0], before_two + 1);
}

// A cached list whose rows carry no metadata keeps no strings for them; the
// first item with metadata brings them back, and every answer, filtered or
// not, is a handle without a cache's.
TEST(EncryptedIndexTest, CachedListsWithoutMetadataTakeAnItemWithSome) {
  std::mt19937 gen(9);
  Fixture f(1, kMetricSquaredEuclidean, 4);
  auto upsert = [&](size_t n, const std::string& prefix, const std::string& metadata) {
    std::vector<std::string> ids;
    for (size_t i = 0; i < n; ++i) ids.push_back(prefix + std::to_string(i));
    f.index->Upsert(FloatMatrix(testing::random_floats(n * kDim, gen), kDim), ids, {},
                    metadata.empty() ? std::vector<std::string>() : std::vector<std::string>(n, metadata));
  };
  const FloatMatrix q(testing::random_floats(3 * kDim, gen), kDim);
  QueryParams all;
  all.top_k = 100;
  all.include = {0, 1};
  QueryParams filtered = all;
  filtered.filters = "{\"n\": 2}";
  auto same_as_cold = [&](const char* step) {
    for (const QueryParams& qp : {all, filtered}) {
      const SearchResults cached = f.index->Query(q, qp), cold = f.load(f.key)->Query(q, qp);
      EXPECT_EQ(cached.ids, cold.ids) << step;
      EXPECT_EQ(cached.metadata, cold.metadata) << step;
      EXPECT_EQ(cached.counts, cold.counts) << step;
    }
  };
  ::testing::internal::CaptureStdout();  // the cache's notes on the first writes and read
  upsert(20, "bare-", "");
  f.index->Query(q, all);  // reads list 0 and caches it
  ::testing::internal::GetCapturedStdout();
  same_as_cold("bare");
  EXPECT_EQ(f.index->Query(q, filtered).counts[0], 0u);
  // Each single-item upsert goes into the cached list, not around it: the
  // cached handle reads no entries again.
  size_t reads = f.server->get_rows_calls[0];
  upsert(1, "meta-", "{\"n\": 2}");
  const SearchResults only = f.index->Query(q, filtered);
  ASSERT_EQ(only.counts[0], 1u);
  EXPECT_EQ(only.id(0, 0), "meta-0");
  EXPECT_FALSE(only.metadata.at(0).at(0).empty());
  EXPECT_EQ(f.server->get_rows_calls[0], reads);
  same_as_cold("one with metadata");
  reads = f.server->get_rows_calls[0];
  upsert(1, "after-", "");
  EXPECT_EQ(f.index->Query(q, all).counts[0], 22u);
  EXPECT_EQ(f.server->get_rows_calls[0], reads);
  same_as_cold("one more without");
}

// A cold batch read a part at a time answers as one read of every list, bit
// for bit: with copies of items under other ids tying at the k-th (such
// queries are answered again over all their lists), overwritten and deleted
// items.
TEST(EncryptedIndexTest, ColdBatchReadInPartsAnswersAsOneRead) {
  struct Reset {
    ~Reset() { set_cold_part_bytes(uint64_t{32} << 20); }
  } reset;
  std::mt19937 gen(9);
  Fixture f(6);
  const FloatMatrix items = upsert_items(*f.index, 600, gen);
  f.index->TrainIndex(TrainParams{});
  std::vector<float> copies, queries = testing::random_floats(30 * kDim, gen);
  std::vector<std::string> ids;
  for (size_t i = 0; i < 200; ++i) {
    copies.insert(copies.end(), items.row(i % 40), items.row(i % 40) + kDim);
    ids.push_back("copy-" + std::to_string(199 - i));
  }
  f.index->Upsert(FloatMatrix(copies, kDim), ids, std::vector<Bytes>(200, Bytes{'c'}),
                  std::vector<std::string>(200, "{\"n\": 2}"));
  upsert_items(*f.index, 50, gen);  // overwrites item-0 .. item-49
  f.index->Delete({"item-50", "copy-3", "item-599"});
  queries.insert(queries.end(), copies.begin(), copies.begin() + 20 * kDim);
  QueryParams qp;
  qp.top_k = 7;
  qp.n_probes = 3;
  qp.include = {0, 1};
  const FloatMatrix q(queries, kDim);
  set_cold_part_bytes(uint64_t{1} << 40);
  const SearchResults whole = f.index->Query(q, qp);
  const size_t reads = f.server->get_rows_calls[0];
  set_cold_part_bytes(400);
  const SearchResults parted = f.index->Query(q, qp);
  EXPECT_GT(f.server->get_rows_calls[0], reads + 3);  // several parts, and queries read again
  ASSERT_EQ(parted.k, whole.k);
  EXPECT_EQ(parted.counts, whole.counts);
  EXPECT_EQ(parted.ids, whole.ids);
  EXPECT_EQ(parted.metadata, whole.metadata);
  for (size_t i = 0; i < whole.distances.size(); ++i)
    ASSERT_EQ(testing::float_bits(parted.distances[i]), testing::float_bits(whole.distances[i]));
}

// Train-and-serialize, a second training, keys, altered stores and
// delete_index, along one index's life. That the stores hold no plaintext is
// checked on real servers by tests/python/test_store_e2e.py.
TEST(EncryptedIndexTest, TrainingKeysAlteredStoresAndDeletion) {
  std::mt19937 gen(21);
  Fixture f(4, kMetricEuclidean);
  const FloatMatrix vectors = upsert_items(*f.index, 200, gen);
  const Bytes bytes = f.index->TrainAndSerialize(vectors, TrainParams{}, false);
  EXPECT_TRUE(deserialize_index_record(bytes).trained);
  // The handle holds items in their lists: it stays untrained.
  EXPECT_FALSE(f.index->is_trained());
  EXPECT_EQ(f.index->core()->list_counts(), (std::vector<uint32_t>{200, 0, 0, 0}));
  f.index->TrainIndex(TrainParams{});
  EXPECT_EQ(testing::error_text<std::runtime_error>([&] { f.index->TrainIndex(TrainParams{}); }),
            "Index has already been trained.");
  const auto& counts = f.index->core()->list_counts();
  EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), 0u), 200u);  // no entry left behind
  EXPECT_GT(std::count_if(counts.begin(), counts.end(), [](uint32_t c) { return c > 0; }), 1);
  f.index.reset();
  EXPECT_THROW(f.load(key_of(2)), std::runtime_error);

  // A flipped bit in any stored record is refused, never read; cut
  // configuration items fail to load with an error, not a crash.
  auto altered = std::make_shared<StoreServer>(*f.server);
  auto spoilt = std::make_unique<EncryptedIndex>("idx", f.key, params_for(f.key, 0),
                                                 recording_stores(altered));
  for (auto& [name, table] : altered->tables) {
    for (auto& [key, value] : table) value[value.size() / 2] ^= value.size() > 40;
  }
  EXPECT_THROW(spoilt->Get({"item-1"}, {}), std::runtime_error);
  EXPECT_THROW(spoilt->Query(vectors, QueryParams()), std::runtime_error);
  for (auto& [name, value] : altered->config) value.resize(value.size() / 2);
  EXPECT_THROW(EncryptedIndex("idx", f.key, params_for(f.key, 0), recording_stores(altered)),
               std::runtime_error);

  // With delete_after the handle is emptied and takes the centroids; then
  // delete_index leaves only the all-zero count row and a disconnected handle.
  auto loaded = f.load(f.key);
  EXPECT_TRUE(loaded->is_trained());
  loaded->TrainAndSerialize(vectors, TrainParams{}, true);
  EXPECT_TRUE(loaded->is_trained());
  EXPECT_TRUE(loaded->Get({"item-1"}, {}).empty());
  loaded->delete_index();
  EXPECT_EQ(testing::error_text<std::runtime_error>([&] { loaded->Get({"a"}, {}); }),
            kNotConnectedError);
  EXPECT_TRUE(f.server->config.empty());
  size_t rows = 0;
  for (const auto& t : f.server->tables) rows += t.second.size();
  EXPECT_EQ(rows, 1u);
}

template <typename Fn>
void expect_integrity_failure(Fn fn) {
  try {
    fn();
    ADD_FAILURE() << "the read was answered";
  } catch (const IntegrityError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Integrity check failed: ", 0), 0u) << e.what();
  }
}

// A store that anyone can write must not make a read answer a record that
// it moved from another item, or an index record copied from another index
// sealed with the same key: such a read fails and writes nothing.
TEST(Tamper, ARecordMovedToAnotherItemOrIndexIsRefused) {
  auto server = std::make_shared<StoreServer>();
  uint64_t records = 0;  // the table of index a's item records
  StoreFactory stores = [&](const DBConfig& at, const std::string& name, uint64_t base,
                            bs::StoreRole role) {
    if (name == "a" && role == bs::StoreRole::kRecords) records = base + bs::role_number(role);
    return recording_stores(server)(at, name, base, role);
  };
  const Key256 key = key_of(9);
  const IndexIVFFlat config(kDim, 2, kMetricSquaredEuclidean, std::string());
  EncryptedIndex a("a", key, config, params_for(key, 2, 0, "a"), stores);
  EncryptedIndex b("b", key, config, params_for(key, 2, 0, "b"), stores);
  a.Upsert(FloatMatrix(std::vector<float>(2 * kDim, 1.0f), kDim), {"x", "y"}, {{'1'}, {'2'}},
           {"{\"k\": 1}", "{\"k\": 2}"});

  // Each item's record under the other's token.
  auto& table = server->tables.at(records);
  ASSERT_EQ(table.size(), 2u);
  std::swap(table.begin()->second, std::next(table.begin())->second);
  const auto tables = server->tables;
  const auto config_items = server->config;
  for (const std::string id : {"x", "y"}) {
    expect_integrity_failure([&] { a.Get({id}, {}); });
    expect_integrity_failure([&] { a.UpdateMetadata({id}, {"{}"}); });
  }
  EXPECT_EQ(a.Get({"z"}, {}).size(), 0u);  // an unknown id is still just absent
  // Training would write each record back under its own id's token, beside
  // the record it displaced.
  expect_integrity_failure([&] { a.TrainIndex(TrainParams{}); });
  EXPECT_FALSE(a.is_trained());

  // b's index record under a's name: same key, same shape, another index.
  server->config["a.cvs"] = server->config.at("b.cvs");
  expect_integrity_failure([&] { EncryptedIndex("a", key, params_for(key, 2, 0, "a"), stores); });
  server->config["a.cvs"] = config_items.at("a.cvs");
  EXPECT_EQ(server->tables, tables);  // no failed read wrote anything
  EXPECT_NO_THROW(EncryptedIndex("a", key, params_for(key, 2, 0, "a"), stores));
}

}  // namespace
}  // namespace tavrin
