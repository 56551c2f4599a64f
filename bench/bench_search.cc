// Throughput of list search and matrix distances on 100,000 x 128 vectors
// against 1,000 queries. The "evals_per_s_per_core" counter is distance
// evaluations per wall-clock second divided by the OpenMP team size; run
// with OMP_NUM_THREADS=1 for a single-core figure. bench/numpy_search.py does
// the same work in NumPy on the same data. List search runs under each
// scoring (scoring:0 automatic, with matrix products where lists are shared;
// scoring:2 pairwise kernels only); the answers are the same.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "search/distance.h"
#include "search/kmeans.h"
#include "search/list_search.h"

namespace tavrin {
namespace {

constexpr uint64_t kItems = 100000;
constexpr uint64_t kQueries = 1000;
constexpr uint64_t kDim = 128;
constexpr uint64_t kTopK = 10;

// splitmix64 of the element index, 24 bits mapped to [-1, 1); the NumPy
// script computes the identical values.
float value(uint64_t i) {
  uint64_t z = i * 0x9E3779B97F4A7C15ULL + 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return static_cast<float>(z >> 40) / 8388608.0f - 1.0f;
}

struct Data {
  FloatMatrix items, queries;
  std::vector<std::string> ids;
  std::vector<std::string> metadata;
  Data() {
    std::vector<float> v(kItems * kDim), q(kQueries * kDim);
    for (uint64_t i = 0; i < v.size(); ++i) v[i] = value(i);
    for (uint64_t i = 0; i < q.size(); ++i) q[i] = value(v.size() + i);
    items = FloatMatrix(std::move(v), kDim);
    queries = FloatMatrix(std::move(q), kDim);
    ids.reserve(kItems);
    for (uint64_t i = 0; i < kItems; ++i) ids.push_back("item-" + std::to_string(i));
    metadata.assign(kItems, "");
  }
};

const Data& data() {
  static const Data d;
  return d;
}

// Sets the scoring named by the benchmark's second argument for its run.
struct Scoring {
  explicit Scoring(const benchmark::State& state) {
    set_list_scoring(static_cast<ListScoring>(state.range(1)));
  }
  ~Scoring() { set_list_scoring(ListScoring::kAuto); }
};

void report(benchmark::State& state, double evals) {
  const double threads = omp_get_max_threads();
  state.counters["evals_per_s_per_core"] =
      benchmark::Counter(evals / threads, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["threads"] = threads;
  state.SetLabel(distance_kernel_name());
}

// Every query scans all items: one list, as before training.
void BM_SearchListsExhaustive(benchmark::State& state) {
  const Data& d = data();
  const DistanceMetric metric = metric_from_code(static_cast<uint32_t>(state.range(0)));
  const U32Matrix probes(std::vector<uint32_t>(kQueries, 0), 1);
  const std::vector<uint64_t> offsets{0, kItems};
  const Scoring scoring(state);
  for (auto _ : state) {
    SearchResults r =
        search_lists(d.ids, offsets, d.metadata, d.items, probes, d.queries, kTopK, metric, {});
    benchmark::DoNotOptimize(r.distances.data());
  }
  report(state, double(kQueries) * kItems);
}

// 100 lists of 1,000 items; each query probes 10 lists of its own.
void BM_SearchListsProbed(benchmark::State& state) {
  const Data& d = data();
  const DistanceMetric metric = metric_from_code(static_cast<uint32_t>(state.range(0)));
  constexpr uint32_t kLists = 100, kProbes = 10;
  std::vector<uint64_t> offsets(kLists + 1);
  for (uint32_t p = 0; p <= kLists; ++p) offsets[p] = uint64_t{p} * (kItems / kLists);
  std::vector<uint32_t> rows(kQueries * kProbes);
  for (uint64_t q = 0; q < kQueries; ++q) {
    for (uint32_t j = 0; j < kProbes; ++j) rows[q * kProbes + j] = (q * 7 + j * 13) % kLists;
  }
  const U32Matrix probes(rows, kProbes);
  const Scoring scoring(state);
  for (auto _ : state) {
    SearchResults r =
        search_lists(d.ids, offsets, d.metadata, d.items, probes, d.queries, kTopK, metric, {});
    benchmark::DoNotOptimize(r.distances.data());
  }
  report(state, double(kQueries) * kProbes * (kItems / kLists));
}

// The shape of a trained index: 256 lists of about 390 items, each query
// probing 8 lists at random, so about 31 queries share a list.
void BM_SearchListsIndexShape(benchmark::State& state) {
  const Data& d = data();
  const DistanceMetric metric = metric_from_code(static_cast<uint32_t>(state.range(0)));
  constexpr uint32_t kLists = 256, kProbes = 8;
  std::vector<uint64_t> offsets(kLists + 1);
  for (uint32_t p = 0; p <= kLists; ++p) offsets[p] = uint64_t{p} * kItems / kLists;
  std::vector<uint32_t> rows(kQueries * kProbes);
  for (uint64_t i = 0; i < rows.size(); ++i) {
    rows[i] = static_cast<uint32_t>(value(uint64_t{1} << 40 | i) * 128.0f + 128.0f) % kLists;
  }
  const U32Matrix probes(rows, kProbes);
  const Scoring scoring(state);
  for (auto _ : state) {
    SearchResults r =
        search_lists(d.ids, offsets, d.metadata, d.items, probes, d.queries, kTopK, metric, {});
    benchmark::DoNotOptimize(r.distances.data());
  }
  report(state, double(kQueries) * kProbes * (kItems / kLists));
}

// The BLAS matrix form (what NumPy does): all 1,000 x 100,000 distances.
void BM_DistanceMatrix(benchmark::State& state) {
  const Data& d = data();
  const DistanceMetric metric = metric_from_code(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    arma::fmat m = distance_matrix(d.queries, d.items, metric);
    benchmark::DoNotOptimize(m.memptr());
  }
  report(state, double(kQueries) * kItems);
}

// Training as an index does it (one codebook, default batch) on the first
// 20,000 items: 256 lists seeded from a 3,072-point sample, then 10
// iterations of 1,024-point batches.
void BM_KMeansTrain(benchmark::State& state) {
  const Data& d = data();
  const DistanceMetric metric = metric_from_code(static_cast<uint32_t>(state.range(0)));
  constexpr uint64_t kTrain = 20000;
  const FloatMatrix items(
      std::vector<float>(d.items.data.begin(), d.items.data.begin() + kTrain * kDim), kDim);
  KMeansParams params;
  params.n_clusters = 256;
  params.max_iters = 10;
  for (auto _ : state) {
    std::vector<CentroidMatrix> books = kmeans_train(items, params, metric);
    benchmark::DoNotOptimize(books.data());
  }
}

void metrics(benchmark::internal::Benchmark* b) {
  b->ArgName("metric")->Arg(2)->Arg(0);
  b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
}

void metrics_and_scorings(benchmark::internal::Benchmark* b) {
  b->ArgNames({"metric", "scoring"});
  for (int64_t metric : {2, 0}) {
    for (int64_t scoring : {0, 2}) b->Args({metric, scoring});
  }
  b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
}

BENCHMARK(BM_SearchListsExhaustive)->Apply(metrics_and_scorings);
BENCHMARK(BM_SearchListsProbed)->Apply(metrics_and_scorings);
BENCHMARK(BM_SearchListsIndexShape)->Apply(metrics_and_scorings);
BENCHMARK(BM_DistanceMatrix)->Apply(metrics);
BENCHMARK(BM_KMeansTrain)->Apply(metrics);

}  // namespace
}  // namespace tavrin

BENCHMARK_MAIN();
