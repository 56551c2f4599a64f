// What the index harness (index_harness_test.cc) cannot see from answers
// alone: how writes are chunked, what the result cache reads and prints,
// refusal of altered stores and of a wrong key, what delete_index leaves, and
// the handle that train_and_serialize leaves behind.
#include "encrypted_index/encrypted_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "config/index_config.h"
#include "config/index_record.h"
#include "encrypted_index/index_core.h"
#include "recording_keystore.h"
#include "search_reference.h"
#include "test_util.h"

namespace tavrin {
namespace {

using testing::recording_stores;
using testing::StoreServer;

constexpr uint64_t kDim = 8;

Key256 key_of(uint8_t seed) {
  Key256 k{};
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(seed + 7 * i);
  return k;
}

IndexParams params_for(const std::string& name, const Key256& key, uint64_t n_lists,
                       std::optional<uint64_t> cache = 0) {
  IndexParams p;
  p.index_name = name;
  p.index_key = key;
  p.index_location = DBConfig(Location::POSTGRES, "t", "c");
  p.config_location = p.index_location;
  p.items_location = p.index_location;
  p.fourth_location = p.index_location;
  p.cpu_threads = 2;
  p.max_cache_size = cache;
  p.n_lists = static_cast<uint32_t>(n_lists);
  p.vector_bytes = 4 * kDim;
  return p;
}

struct Fixture {
  std::shared_ptr<StoreServer> server = std::make_shared<StoreServer>();
  Key256 key = key_of(1);
  IndexIVFFlat config;
  std::unique_ptr<EncryptedIndex> index;

  explicit Fixture(uint64_t n_lists = 4, DistanceMetric metric = kMetricSquaredEuclidean,
                   std::optional<uint64_t> cache = 0)
      : config(kDim, n_lists, metric, std::string()) {
    index = std::make_unique<EncryptedIndex>("idx", key, config, params_for("idx", key, n_lists, cache),
                                             recording_stores(server));
  }
  std::unique_ptr<EncryptedIndex> load(const Key256& k, std::optional<uint64_t> cache = 0) {
    return std::make_unique<EncryptedIndex>("idx", k, params_for("idx", k, 0, cache),
                                            recording_stores(server));
  }
};

struct Items {
  FloatMatrix vectors;
  std::vector<std::string> ids;
  std::vector<Bytes> contents;
  std::vector<std::string> metadata;
};

Items make_items(size_t n, std::mt19937& gen, const std::string& prefix = "item-") {
  Items items;
  items.vectors = FloatMatrix(testing::random_floats(n * kDim, gen), kDim);
  for (size_t i = 0; i < n; ++i) {
    items.ids.push_back(prefix + std::to_string(i));
    items.contents.push_back(Bytes{'c', static_cast<uint8_t>(i), 'x'});
    items.metadata.push_back("{\"n\": " + std::to_string(i) + ", \"tag\": \"t" +
                             std::to_string(i % 3) + "\"}");
  }
  return items;
}

void upsert(EncryptedIndex& index, const Items& items) {
  index.Upsert(items.vectors, items.ids, items.contents, items.metadata);
}

std::vector<std::string> result_ids(const SearchResults& r, uint64_t q) {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < r.counts[q]; ++i) out.push_back(r.id(q, i));
  return out;
}

TEST(EncryptedIndexTest, KeyTrainingAndDeletionRefusals) {
  std::mt19937 gen(11);
  Fixture f(4, kMetricSquaredEuclidean);
  upsert(*f.index, make_items(300, gen));
  EXPECT_EQ(f.index->core()->list_counts(), (std::vector<uint32_t>{300, 0, 0, 0}));
  f.index->TrainIndex(TrainParams{});
  EXPECT_EQ(testing::error_text<std::runtime_error>([&] { f.index->TrainIndex(TrainParams{}); }),
            "Index has already been trained.");
  f.index.reset();
  EXPECT_THROW(f.load(key_of(2)), std::runtime_error);
  auto loaded = f.load(f.key);
  EXPECT_TRUE(loaded->is_trained());

  // delete_index leaves only the all-zero count row and a disconnected handle.
  loaded->delete_index();
  QueryParams qp;
  for (auto op : std::vector<std::function<void()>>{
           [&] { loaded->Get({"a"}, {}); },
           [&] { loaded->Query(FloatMatrix(std::vector<float>(kDim, 0), kDim), qp); },
           [&] { loaded->delete_index(); }}) {
    EXPECT_EQ(testing::error_text<std::runtime_error>(op), kNotConnectedError);
  }
  EXPECT_TRUE(f.server->config.empty());
  size_t rows = 0;
  for (const auto& t : f.server->tables) rows += t.second.size();
  EXPECT_EQ(rows, 1u);
}

TEST(EncryptedIndexTest, WritesInChunksAndNeverReusesALeafAfterAFailure) {
  std::mt19937 gen(3);
  Fixture f(2);
  upsert(*f.index, make_items(10001, gen));
  // Role 0 is the index store, role 3 the record store; role 2 got contents.
  EXPECT_EQ(f.server->put_batches[0], (std::vector<size_t>{10000, 1}));
  EXPECT_EQ(f.server->put_batches[3], (std::vector<size_t>{10000, 1}));
  EXPECT_EQ(f.server->put_batches[2], (std::vector<size_t>{10001}));

  // The second chunk of the next upsert fails after the first was stored.
  f.server->fail_role = 3;
  f.server->fail_at = 4;
  const Items failed = make_items(15000, gen, "f-");
  EXPECT_THROW(upsert(*f.index, failed), std::runtime_error);
  f.server->fail_role = -1;
  // A reload and a later upsert must not overwrite the entries of the
  // stored chunk: every item of it stays findable.
  auto reloaded = f.load(f.key);
  upsert(*reloaded, make_items(5000, gen, "later-"));
  QueryParams qp;
  qp.top_k = 100000;
  const SearchResults r = reloaded->Query(FloatMatrix(std::vector<float>(kDim, 0.0f), kDim), qp);
  const std::vector<std::string> ids = result_ids(r, 0);
  const std::set<std::string> found(ids.begin(), ids.end());
  EXPECT_EQ(found.size(), 10001u + 10000u + 5000u);
  for (size_t i = 0; i < 10000; ++i) ASSERT_TRUE(found.count(failed.ids[i])) << failed.ids[i];
}

TEST(EncryptedIndexTest, ResultCacheHitsMissesAndCoherence) {
  std::mt19937 gen(5);
  Fixture f(1, kMetricSquaredEuclidean, 4);
  const Items items = make_items(20, gen);
  upsert(*f.index, items);  // list 0 was empty: cached with the first item only, then dropped
  const FloatMatrix q(testing::random_floats(kDim, gen), kDim);
  QueryParams qp;
  qp.top_k = 100;

  ::testing::internal::CaptureStdout();
  f.index->Query(q, qp);
  const size_t reads = f.server->get_rows_calls[0];
  f.index->Query(q, qp);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Token not found: 0\n");
  EXPECT_EQ(f.server->get_rows_calls[0], reads);  // the second query read no entries

  // One item into the complete cached list keeps it cached and visible.
  Items one = make_items(1, gen, "one-");
  upsert(*f.index, one);
  SearchResults r = f.index->Query(FloatMatrix(std::vector<float>(one.vectors.data), kDim), qp);
  EXPECT_EQ(r.id(0, 0), "one-0");
  EXPECT_EQ(r.counts[0], 21u);
  EXPECT_EQ(f.server->get_rows_calls[0], reads);
  // Two items in one call drop it; the next query reads the list again.
  ::testing::internal::CaptureStdout();
  upsert(*f.index, make_items(2, gen, "two-"));
  f.index->Query(q, qp);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Token not found: 0\n");
  EXPECT_EQ(f.server->get_rows_calls[0], reads + 1);
}

// That the stores hold no plaintext is checked on real servers by
// tests/python/test_store_e2e.py.
TEST(EncryptedIndexTest, StoresRefuseAlteredData) {
  std::mt19937 gen(13);
  Fixture f;
  const Items items = make_items(50, gen, "secret-id-");
  upsert(*f.index, items);
  // A flipped bit in any stored record is refused, never read.
  for (auto& [name, table] : f.server->tables) {
    for (auto& [key, value] : table) {
      if (value.size() > 40) value[30] ^= 1;
    }
  }
  EXPECT_THROW(f.index->Get({"secret-id-1"}, {}), std::runtime_error);
  QueryParams qp;
  EXPECT_THROW(f.index->Query(FloatMatrix(std::vector<float>(kDim, 0), kDim), qp),
               std::runtime_error);
  // Cut configuration items fail to load with an error, not a crash.
  for (auto& [name, value] : f.server->config) value.resize(value.size() / 2);
  EXPECT_THROW(f.load(f.key), std::runtime_error);
}

TEST(EncryptedIndexTest, TrainAndSerializeKeepsAHandleWithItemsUsable) {
  std::mt19937 gen(21);
  Fixture f(4, kMetricEuclidean);
  const Items items = make_items(200, gen);
  upsert(*f.index, items);
  const Bytes bytes = f.index->TrainAndSerialize(items.vectors, TrainParams{}, false);
  // The handle holds items: it stays untrained and still finds them all.
  EXPECT_FALSE(f.index->is_trained());
  QueryParams qp;
  qp.top_k = 5;
  const SearchResults r = f.index->Query(FloatMatrix(std::vector<float>(items.vectors.row(9), items.vectors.row(9) + kDim), kDim), qp);
  EXPECT_EQ(r.id(0, 0), "item-9");
  // The bytes carry trained centroids that another index assigns with.
  IndexParams p = params_for("other", key_of(5), 4);
  const IndexRecord record = deserialize_index_record(bytes);
  EXPECT_TRUE(record.trained);
  auto copy = std::make_unique<EncryptedIndex>("idx", key_of(5), *record.config, p,
                                               record.trained_data, true,
                                               recording_stores(std::make_shared<StoreServer>()));
  EXPECT_TRUE(copy->Query(FloatMatrix(std::vector<float>(kDim, 0), kDim), qp).counts[0] == 0);
  upsert(*copy, items);
  const auto& counts = copy->core()->list_counts();
  EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), 0u), 200u);
  EXPECT_GT(std::count_if(counts.begin(), counts.end(), [](uint32_t c) { return c > 0; }), 1);
  // With delete_after the handle is emptied and takes the centroids.
  f.index->TrainAndSerialize(items.vectors, TrainParams{}, true);
  EXPECT_TRUE(f.index->is_trained());
  EXPECT_TRUE(f.index->Get({"item-1"}, {}).empty());
}

}  // namespace
}  // namespace tavrin
