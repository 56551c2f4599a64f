// Filtered queries through the whole index against brute force: every item
// whose metadata satisfies the filter, and nothing else, before and after
// training. Probing every list after training makes any list that the
// centroid pre-filter wrongly skips show up as missing results.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "config/index_config.h"
#include "encrypted_index/encrypted_index.h"
#include "filter/filter_eval.h"
#include "filter/filter_parse.h"
#include "metadata_generator.h"
#include "recording_keystore.h"
#include "search_reference.h"

namespace tavrin {
namespace {

using testing::json;

constexpr uint64_t kDim = 4;
constexpr uint64_t kLists = 8;
constexpr size_t kItems = 240;

TEST(IndexFilterTest, FilteredQueriesReturnExactlyTheMatchingItems) {
  testing::RandomMetadata gen(99);
  std::mt19937 rng(4);
  Key256 key{};
  key[0] = 9;
  IndexParams params;
  params.index_name = "f";
  params.index_key = key;
  params.index_location = DBConfig(Location::MEMORY, std::nullopt, std::nullopt);
  params.config_location = params.items_location = params.fourth_location = params.index_location;
  params.cpu_threads = 2;
  params.max_cache_size = 4;  // half the lists: hits and misses both
  params.n_lists = kLists;
  params.vector_bytes = 4 * kDim;
  const IndexIVFFlat config(kDim, kLists, kMetricSquaredEuclidean, std::string());
  EncryptedIndex index("f", key, config, params,
                       testing::recording_stores(std::make_shared<testing::StoreServer>()));

  std::vector<std::string> ids, texts;
  std::vector<json> docs;
  for (size_t i = 0; i < kItems; ++i) {
    ids.push_back("i" + std::to_string(i));
    docs.push_back(i % 11 == 0 ? json::object() : gen.Document());
    texts.push_back(i % 11 == 0 ? std::string() : docs.back().dump());
  }
  // Clustered vectors, so that training spreads items over the lists.
  std::vector<float> flat;
  for (size_t i = 0; i < kItems; ++i) {
    for (uint64_t d = 0; d < kDim; ++d) {
      flat.push_back(static_cast<float>((i % kLists) * 10 * (d == i % kDim)) +
                     std::uniform_real_distribution<float>(-1, 1)(rng));
    }
  }
  const FloatMatrix vectors(flat, kDim);
  // Two upserts before training, one after (the map merges stored and new).
  const size_t half = kItems / 2;
  auto slice = [&](size_t b, size_t e) {
    return std::make_tuple(FloatMatrix(std::vector<float>(flat.begin() + b * kDim, flat.begin() + e * kDim), kDim),
                           std::vector<std::string>(ids.begin() + b, ids.begin() + e),
                           std::vector<std::string>(texts.begin() + b, texts.begin() + e));
  };
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  {
    auto [v, i, m] = slice(0, half / 2);
    index.Upsert(v, i, {}, m);
    auto [v2, i2, m2] = slice(half / 2, half);
    index.Upsert(v2, i2, {}, m2);
  }

  const FloatMatrix queries(testing::random_floats(3 * kDim, rng), kDim);
  int compared = 0, nonempty = 0;
  auto check = [&](size_t n_items, const std::string& text) {
    json filter;
    try {
      filter = ParseFilter(text);
    } catch (const std::invalid_argument&) {
      return;
    }
    std::set<std::string> expected;
    for (size_t i = 0; i < n_items; ++i) {
      try {
        if (EvaluateFilter(filter, docs[i])) expected.insert(ids[i]);
      } catch (const std::exception&) {
        return;  // the item test fails the whole query
      }
    }
    QueryParams qp;
    qp.top_k = kItems;
    qp.n_probes = kLists;
    qp.filters = text;
    SearchResults r;
    try {
      r = index.Query(queries, qp);
    } catch (const std::exception& e) {
      // Only the specified refusal of a non-array $in operand may fail it.
      ASSERT_TRUE(testing::HasScalarIn(filter)) << text << ": " << e.what();
      return;
    }
    for (uint64_t q = 0; q < queries.rows; ++q) {
      std::set<std::string> got;
      for (uint32_t s = 0; s < r.counts[q]; ++s) got.insert(r.id(q, s));
      ASSERT_EQ(got, expected) << text;
    }
    ++compared;
    nonempty += !expected.empty();
  };
  for (int round = 0; round < 150; ++round) check(half, gen.Filter(3).dump());
  index.TrainIndex(TrainParams{});
  {
    auto [v, i, m] = slice(half, kItems);
    index.Upsert(v, i, {}, m);
  }
  for (int round = 0; round < 300; ++round) check(kItems, gen.Filter(3).dump());
  ::testing::internal::GetCapturedStdout();
  ::testing::internal::GetCapturedStderr();
  EXPECT_GT(compared, 250);
  EXPECT_GT(nonempty, 100);
}

}  // namespace
}  // namespace tavrin
