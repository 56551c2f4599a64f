// Throughput of metadata filtering: parsing stored metadata texts, and
// FilterItems over a candidate batch (OpenMP across documents, each $regex
// compiled once per call) against evaluating documents one at a time. Then
// the per-query cost of centroid pre-filtering: one batched read of the
// filter's fields from a memory store, opening and decoding their buffers,
// the centroid test and the restricted centroids; and the test alone.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "backing_store/memory_keystore.h"
#include "filter/centroid_filter.h"
#include "filter/centroid_metadata.h"
#include "encrypted_index/centroid_prefilter.h"
#include "crypto/keyed_hash.h"
#include "crypto/sealed_record.h"
#include "filter/filter_eval.h"
#include "filter/filter_parse.h"

namespace {

using json = nlohmann::json;

std::vector<std::string> MetadataTexts(size_t n) {
  std::vector<std::string> texts;
  texts.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    json doc = {
        {"price", static_cast<double>(i % 1000) / 10.0},
        {"category", i % 3 == 0 ? "book" : (i % 3 == 1 ? "film" : "music")},
        {"tags", json::array({"t" + std::to_string(i % 17), "t" + std::to_string(i % 5)})},
        {"meta", {{"author", "author-" + std::to_string(i % 251)}, {"year", 1950 + i % 70}}}};
    texts.push_back(doc.dump());
  }
  return texts;
}

const char kFilter[] = R"({"$and": [
  {"price": {"$gte": 10, "$lt": 60}},
  {"category": {"$in": ["book", "music"]}},
  {"meta.author": {"$regex": "-1[0-9]*$"}},
  {"$not": {"tags": "t3"}}]})";

void BM_ParseMetadataBatch(benchmark::State& state) {
  const auto texts = MetadataTexts(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(tavrin::ParseMetadataBatch(texts));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseMetadataBatch)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_FilterItems(benchmark::State& state) {
  const auto docs = tavrin::ParseMetadataBatch(MetadataTexts(static_cast<size_t>(state.range(0))));
  const json filter = tavrin::ParseFilter(kFilter);
  for (auto _ : state) benchmark::DoNotOptimize(tavrin::FilterItems(docs, filter, true));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FilterItems)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The same work with EvaluateFilter per document: one thread, and the
// pattern compiled for every document that reaches it.
void BM_EvaluateFilterEach(benchmark::State& state) {
  const auto docs = tavrin::ParseMetadataBatch(MetadataTexts(static_cast<size_t>(state.range(0))));
  const json filter = tavrin::ParseFilter(kFilter);
  for (auto _ : state) {
    size_t kept = 0;
    for (const json& doc : docs) kept += tavrin::EvaluateFilter(filter, doc);
    benchmark::DoNotOptimize(kept);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EvaluateFilterEach)->Arg(10000)->Unit(benchmark::kMillisecond);

// 256 centroids of 128 dimensions; 20 items per centroid, each with 10
// fields (numbers, texts, an array and a nested object).
constexpr uint32_t kCentroids = 256;

struct PrefilterSetup {
  tavrin_encrypted_index::internal::backing_store::MemoryKeystore store{"bench", 1, 0};
  tavrin::Key256 key{};
  tavrin::TrainedData trained;

  PrefilterSetup() {
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i);
    std::vector<float> rows(kCentroids * 128);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<float>(i % 97);
    trained.codebooks.push_back({kCentroids, tavrin::FloatMatrix(std::move(rows), 128)});
    std::vector<std::string> texts;
    std::vector<uint32_t> centroids;
    for (uint32_t i = 0; i < kCentroids * 20; ++i) {
      const uint32_t c = i % kCentroids;
      json doc = {{"price", (i * 37) % 1000 / 10.0},
                  {"year", 1950 + (i + c) % 70},
                  {"stock", static_cast<int>(i % 50)},
                  {"rating", (i % 11) / 2.0},
                  {"category", i % 3 == 0 ? "book" : (i % 3 == 1 ? "film" : "music")},
                  {"lang", i % 4 == 0 ? "en" : "fr"},
                  {"author", "author-" + std::to_string((i * 7 + c) % 251)},
                  {"available", i % 5 != 0},
                  {"tags", json::array({"t" + std::to_string(i % 17),
                                        "t" + std::to_string(c % 5)})},
                  {"meta", {{"pages", 100 + i % 400}}}};
      texts.push_back(doc.dump());
      centroids.push_back(c);
    }
    tavrin::UpdateCentroidMetadata(store, key, texts, centroids);
  }
};

const char kCentroidFilter[] = R"({"$and": [
  {"price": {"$gte": 10, "$lt": 60}},
  {"category": {"$in": ["book", "music"]}},
  {"author": "author-17"},
  {"$or": [{"tags": "t3"}, {"meta.pages": {"$gt": 450}}]}]})";

void BM_PrefilterCentroids(benchmark::State& state) {
  PrefilterSetup setup;
  size_t kept = 0;
  for (auto _ : state) {
    auto result =
        tavrin::PrefilterCentroids(setup.store, setup.key, kCentroidFilter, setup.trained);
    kept = result.mapping.size();
    benchmark::DoNotOptimize(result);
  }
  state.counters["kept"] = static_cast<double>(kept);
}
BENCHMARK(BM_PrefilterCentroids)->Unit(benchmark::kMicrosecond);

// The centroid test alone, on a map decoded once.
void BM_FilterCentroids(benchmark::State& state) {
  PrefilterSetup setup;
  const json filter = tavrin::ParseFilter(kCentroidFilter);
  const auto fields = tavrin::CollectFilterFields(filter);
  const auto opened =
      tavrin::decrypt_items(setup.store.BatchGetItems(tavrin::item_tokens(fields, setup.key)),
                            setup.key);
  const auto map = tavrin::DecodeCentroidMetadata(fields, opened);
  std::vector<uint32_t> all(kCentroids);
  for (uint32_t c = 0; c < kCentroids; ++c) all[c] = c;
  for (auto _ : state) benchmark::DoNotOptimize(tavrin::FilterCentroids(map, all, filter, true));
  state.SetItemsProcessed(state.iterations() * kCentroids);
}
BENCHMARK(BM_FilterCentroids)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
