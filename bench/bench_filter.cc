// Throughput of metadata filtering: parsing stored metadata texts, and
// FilterItems over a candidate batch (OpenMP across documents, each $regex
// compiled once per call) against evaluating documents one at a time.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

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

}  // namespace

BENCHMARK_MAIN();
