// Throughput of the whole index on the in-process store, and how far each
// operation sits above the cryptography it cannot avoid.
//
// Data: 100,000 x 128 float vectors drawn around 1,000 centres (centres and
// noise standard normal, noise scaled by 1.35, fixed seed), metadata
// {"k": i % 10}, 1,000 queries from the same mixture; Euclidean metric, top 10.
// Every index runs the OpenMP team at 2 threads (cpu_threads 2), and so does
// every floor measured here.
//
//   BM_Upsert/trained:0   one Upsert of all items into an untrained index;
//   BM_Upsert/trained:1   the same into an index trained with 256 lists
//                         (k-means with a fixed seed, the index built from the
//                         centroids as a serialized index would be).
//       floor: item_tokens under two keys, encrypt_list_entries with the
//       upsert's lists and leaves, encrypt_items of records of the same sizes.
//   BM_QueryBatch         1,000 queries in one call, 256 lists, 8 probes;
//   BM_QuerySingle        200 queries one call each;
//       cached:0 reads every probed list from the store (max_cache_size 0);
//       cached:1 has every list cached (max_cache_size 256, warmed up by one
//       batch query). floor of a cold read: list_entry_masks of the lists read
//       plus decrypt_items of as many records.
//   BM_QueryExhaustive    1,000 queries over 20,000 items of an untrained index.
//   BM_TrainIndex         TrainIndex on 100,000 items: k-means (default train
//                         parameters, fresh seeds) and the re-ingest.
//
// Counters: items_per_s or queries_per_s of the operation, floor_per_s of its
// crypto floor, over_floor = operation time / floor time, recall = recall@10
// against exact search; single queries also give median_ms and p99_ms.
// Times are wall-clock (manual timing), averaged over the iterations.
//
// Run: OMP_NUM_THREADS=2 build/cpp/bench/bench_index
#include <benchmark/benchmark.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "config/index_config.h"
#include "config/index_params.h"
#include "crypto/keyed_hash.h"
#include "crypto/list_entry_labels.h"
#include "crypto/sealed_record.h"
#include "encrypted_index/encrypted_index.h"
#include "encrypted_index/item_record.h"
#include "search/assign.h"
#include "search/kmeans.h"
#include "search/list_search.h"
#include "search/probe.h"

namespace tavrin {
namespace {

constexpr uint64_t kItems = 100000;
constexpr uint64_t kDim = 128;
constexpr uint64_t kQueries = 1000;
constexpr uint64_t kSingleQueries = 200;
constexpr uint64_t kExhaustiveItems = 20000;
constexpr uint64_t kTopK = 10;
constexpr uint64_t kLists = 256;
constexpr uint64_t kProbes = 8;
constexpr uint64_t kCentres = 1000;
constexpr float kNoise = 1.35f;
constexpr int kThreads = 2;
constexpr uint32_t kRounds = 32;  // the depth of the seed tree of every index
constexpr DistanceMetric kMetric = kMetricEuclidean;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Data {
  FloatMatrix items, queries;
  std::vector<std::string> ids, metadata;

  Data() {
    std::mt19937_64 rng(20240613);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_int_distribution<uint64_t> pick(0, kCentres - 1);
    std::vector<float> centres(kCentres * kDim);
    for (float& x : centres) x = normal(rng);
    auto draw = [&](uint64_t rows) {
      std::vector<float> v(rows * kDim);
      for (uint64_t r = 0; r < rows; ++r) {
        const float* c = &centres[pick(rng) * kDim];
        for (uint64_t j = 0; j < kDim; ++j) v[r * kDim + j] = c[j] + kNoise * normal(rng);
      }
      return FloatMatrix(std::move(v), kDim);
    };
    items = draw(kItems);
    queries = draw(kQueries);
    ids.reserve(kItems);
    metadata.reserve(kItems);
    for (uint64_t i = 0; i < kItems; ++i) {
      ids.push_back("item-" + std::to_string(i));
      metadata.push_back("{\"k\": " + std::to_string(i % 10) + "}");
    }
  }
};

const Data& data() {
  static const Data d;
  return d;
}

FloatMatrix first_rows(const FloatMatrix& m, uint64_t rows) {
  return FloatMatrix(std::vector<float>(m.data.begin(), m.data.begin() + rows * m.cols), m.cols);
}

Key256 bench_key() {
  Key256 k{};
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(3 * i + 1);
  return k;
}

IndexParams memory_params(uint64_t n_lists, uint64_t cache) {
  IndexParams p;
  p.index_name = "bench";
  p.index_key = bench_key();
  p.index_location = DBConfig(Location::MEMORY, std::nullopt, std::nullopt);
  p.config_location = p.index_location;
  p.items_location = p.index_location;
  p.fourth_location = p.index_location;
  p.cpu_threads = kThreads;
  p.max_cache_size = cache;
  p.n_lists = static_cast<uint32_t>(n_lists);
  p.vector_bytes = sizeof(float) * kDim;
  return p;
}

std::unique_ptr<EncryptedIndex> untrained_index(uint64_t cache) {
  const IndexIVFFlat config(kDim, kLists, kMetric, std::string());
  return std::make_unique<EncryptedIndex>("bench", bench_key(), config,
                                          memory_params(kLists, cache));
}

// Centroids of 256 lists from k-means with a fixed seed, so every run
// measures the same lists.
const TrainedData& trained_data() {
  static const TrainedData trained = [] {
    KMeansParams k;
    k.n_clusters = kLists;
    k.max_iters = TrainParams().max_iters;
    k.batch_size = TrainParams().batch_size;
    k.seed = 7;
    TrainedData t;
    t.codebooks = kmeans_train(data().items, k, kMetric);
    return t;
  }();
  return trained;
}

std::unique_ptr<EncryptedIndex> trained_index(uint64_t cache) {
  const IndexIVFFlat config(kDim, kLists, kMetric, std::string());
  return std::make_unique<EncryptedIndex>("bench", bench_key(), config,
                                          memory_params(kLists, cache), trained_data(), true);
}

// Sealed item records of every item, as the record store holds them; the
// floor of a cold read opens as many of these as the read opens.
struct Records {
  std::vector<Bytes> plain, sealed;
  Records() {
    const Data& d = data();
    plain.resize(kItems);
    for (uint64_t i = 0; i < kItems; ++i) {
      write_item_record(d.ids[i], 0, reinterpret_cast<const uint8_t*>(d.items.row(i)),
                        sizeof(float) * kDim, d.metadata[i], plain[i]);
    }
    omp_set_num_threads(kThreads);
    sealed = encrypt_items(plain, bench_key());
  }
};

const Records& records() {
  static const Records r;
  return r;
}

std::vector<CentroidSeed> random_seeds(size_t n) {
  std::mt19937_64 rng(99);
  std::vector<CentroidSeed> seeds(n);
  for (auto& s : seeds)
    for (auto& b : s) b = static_cast<uint8_t>(rng());
  return seeds;
}

// Exact top-10 ids of every query: one list holding all items.
const std::vector<std::vector<std::string>>& exact_top(uint64_t n_items) {
  static std::vector<std::vector<std::string>> full, part;
  auto& out = n_items == kItems ? full : part;
  if (!out.empty()) return out;
  const Data& d = data();
  const FloatMatrix items = first_rows(d.items, n_items);
  const std::vector<std::string> ids(d.ids.begin(), d.ids.begin() + n_items);
  const U32Matrix probes(std::vector<uint32_t>(kQueries, 0), 1);
  omp_set_num_threads(kThreads);
  const SearchResults r =
      search_lists(ids, {0, n_items}, {}, items, probes, d.queries, kTopK, kMetric, {});
  out.resize(kQueries);
  for (uint64_t q = 0; q < kQueries; ++q) {
    for (uint64_t i = 0; i < r.counts[q]; ++i) out[q].push_back(r.id(q, i));
  }
  return out;
}

// Mean share of the exact top 10 found, over queries first .. first + rows.
double recall(const SearchResults& r, uint64_t first, uint64_t n_items) {
  const auto& exact = exact_top(n_items);
  double sum = 0;
  for (uint64_t q = 0; q < r.n_queries; ++q) {
    const std::vector<std::string>& want = exact[first + q];
    const std::unordered_set<std::string> truth(want.begin(), want.end());
    uint64_t found = 0;
    for (uint64_t i = 0; i < r.counts[q]; ++i) found += truth.count(r.id(q, i));
    sum += double(found) / double(want.size());
  }
  return sum / double(r.n_queries);
}

// ---- Floors: the crypto routines alone, on the same sizes --------------

// Tokens under two keys, list entries for the given lists and leaves, and
// sealing of the plaintext records.
double upsert_floor_seconds(const std::vector<uint32_t>& lists) {
  const Data& d = data();
  std::vector<uint32_t> leaves(lists.size());
  std::vector<uint32_t> next(kLists, 0);
  for (size_t i = 0; i < lists.size(); ++i) leaves[i] = next[lists[i]]++;
  const auto seeds = random_seeds(kLists);
  Key256 content_key = bench_key();
  content_key[0] ^= 1;
  omp_set_num_threads(kThreads);
  const auto start = Clock::now();
  const std::vector<uint64_t> tokens = item_tokens(d.ids, bench_key());
  benchmark::DoNotOptimize(item_tokens(d.ids, content_key).data());
  const ListEntries entries = encrypt_list_entries(lists, tokens, seeds, kRounds, leaves);
  benchmark::DoNotOptimize(entries.labels.data());
  benchmark::DoNotOptimize(encrypt_items(records().plain, bench_key()).data());
  return seconds_since(start);
}

// Regenerating the labels and masks of the given lists (with the counts of
// the index) and opening as many records as they hold.
double cold_read_floor_seconds(const std::vector<uint32_t>& lists,
                               const std::vector<uint32_t>& counts) {
  static const auto seeds = random_seeds(kLists);
  uint64_t entries = 0;
  for (uint32_t list : lists) entries += counts[list];
  const std::vector<Bytes> sealed(records().sealed.begin(), records().sealed.begin() + entries);
  omp_set_num_threads(kThreads);
  const auto start = Clock::now();
  const ListMasks masks = list_entry_masks(lists, seeds, counts, kRounds);
  benchmark::DoNotOptimize(masks.labels.data());
  benchmark::DoNotOptimize(decrypt_items(sealed, bench_key()).data());
  return seconds_since(start);
}

// Entries per list after the whole data set is upserted into the trained index.
const std::vector<uint32_t>& trained_counts() {
  static const std::vector<uint32_t> counts = [] {
    const U32Matrix codes = assign_codes(data().items, trained_data().codebooks, kMetric);
    std::vector<uint32_t> c(kLists, 0);
    for (uint32_t list : codes.data) ++c[list];
    return c;
  }();
  return counts;
}

void set_rate(benchmark::State& state, const char* name, double count, double seconds) {
  state.counters[name] = count / seconds;
}

// Every case does a second or more of work per iteration: a few iterations,
// timed by the case itself around the operation alone.
template <int kIterations>
void timed(benchmark::internal::Benchmark* b) {
  b->Iterations(kIterations)->UseManualTime()->Unit(benchmark::kMillisecond);
}

// ---- Upsert --------------------------------------------------------------

// Arg: 0 untrained, 1 trained. Both indexes are made with 256 lists.
void BM_Upsert(benchmark::State& state) {
  const Data& d = data();
  const bool trained = state.range(0) != 0;
  std::vector<uint32_t> lists(kItems, 0);
  if (trained) {
    const U32Matrix codes = assign_codes(d.items, trained_data().codebooks, kMetric);
    lists = codes.data;
  }
  records();
  double upsert = 0, floor = 0;
  for (auto _ : state) {
    auto index = trained ? trained_index(0) : untrained_index(0);
    const auto start = Clock::now();
    index->Upsert(d.items, d.ids, {}, d.metadata);
    const double t = seconds_since(start);
    state.SetIterationTime(t);
    upsert += t;
    index.reset();
    floor += upsert_floor_seconds(lists);
  }
  const double n = double(state.iterations());
  set_rate(state, "items_per_s", kItems * n, upsert);
  set_rate(state, "floor_per_s", kItems * n, floor);
  state.counters["over_floor"] = upsert / floor;
}
BENCHMARK(BM_Upsert)->ArgName("trained")->Arg(0)->Arg(1)->Apply(timed<3>);

// ---- Trained queries -------------------------------------------------------

// Filling a cache reports each list it had to read on standard output; the
// set-up fills 256 lists, so those lines are dropped to keep the table
// readable.
class QuietStdout {
 public:
  QuietStdout() : saved_(std::cout.rdbuf(nullptr)) {}
  ~QuietStdout() { std::cout.rdbuf(saved_); }

 private:
  std::streambuf* saved_;
};

struct TrainedIndexes {
  std::unique_ptr<EncryptedIndex> cold, cached;
  TrainedIndexes() {
    const Data& d = data();
    QuietStdout quiet;
    cold = trained_index(0);
    cold->Upsert(d.items, d.ids, {}, d.metadata);
    cached = trained_index(kLists);
    cached->Upsert(d.items, d.ids, {}, d.metadata);
  }
};

TrainedIndexes& trained_indexes() {
  static TrainedIndexes t;
  return t;
}

QueryParams query_params() {
  QueryParams p;
  p.top_k = kTopK;
  p.n_probes = kProbes;
  return p;
}

// The lists a batch of queries reads: each list once, whoever probes it.
std::vector<uint32_t> lists_read(const FloatMatrix& queries) {
  const FloatMatrix& centroids = trained_data().codebooks.front().matrix;
  return probe_centroids(queries, centroids, kProbes, kMetric, 0.0f).unique;
}

EncryptedIndex& warm(EncryptedIndex& index) {
  QuietStdout quiet;
  index.Query(data().queries, query_params());
  return index;
}

// Arg: 0 cold, 1 every list cached.
void BM_QueryBatch(benchmark::State& state) {
  const Data& d = data();
  const bool cached = state.range(0) != 0;
  EncryptedIndex& index = cached ? warm(*trained_indexes().cached) : *trained_indexes().cold;
  double total = 0, found = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const SearchResults r = index.Query(d.queries, query_params());
    const double t = seconds_since(start);
    state.SetIterationTime(t);
    total += t;
    found = recall(r, 0, kItems);
  }
  const double n = double(state.iterations());
  set_rate(state, "queries_per_s", kQueries * n, total);
  state.counters["recall"] = found;
  if (!cached) {
    const std::vector<uint32_t> lists = lists_read(d.queries);
    double floor = 0;
    for (int64_t i = 0; i < state.iterations(); ++i) {
      floor += cold_read_floor_seconds(lists, trained_counts());
    }
    set_rate(state, "floor_per_s", kQueries * n, floor);
    state.counters["over_floor"] = total / floor;
    uint64_t entries = 0;
    for (uint32_t list : lists) entries += trained_counts()[list];
    state.counters["entries_read"] = double(entries);
  }
}
BENCHMARK(BM_QueryBatch)->ArgName("cached")->Arg(0)->Arg(1)->Apply(timed<3>);

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const size_t at = std::min(v.size() - 1, static_cast<size_t>(p * double(v.size() - 1) + 0.5));
  return v[at];
}

// Arg: 0 cold, 1 every list cached.
void BM_QuerySingle(benchmark::State& state) {
  const Data& d = data();
  const bool cached = state.range(0) != 0;
  EncryptedIndex& index = cached ? warm(*trained_indexes().cached) : *trained_indexes().cold;
  std::vector<FloatMatrix> one;
  for (uint64_t q = 0; q < kSingleQueries; ++q) {
    one.emplace_back(std::vector<float>(d.queries.row(q), d.queries.row(q) + kDim), kDim);
  }
  std::vector<double> latencies;
  double total = 0, found = 0;
  for (auto _ : state) {
    double iteration = 0;
    found = 0;
    for (uint64_t q = 0; q < kSingleQueries; ++q) {
      const auto start = Clock::now();
      const SearchResults r = index.Query(one[q], query_params());
      const double t = seconds_since(start);
      iteration += t;
      latencies.push_back(t);
      found += recall(r, q, kItems);
    }
    state.SetIterationTime(iteration);
    total += iteration;
  }
  const double n = double(state.iterations());
  set_rate(state, "queries_per_s", kSingleQueries * n, total);
  state.counters["median_ms"] = 1e3 * percentile(latencies, 0.5);
  state.counters["p99_ms"] = 1e3 * percentile(latencies, 0.99);
  state.counters["recall"] = found / kSingleQueries;
  if (!cached) {
    double floor = 0;
    uint64_t entries = 0;
    for (uint64_t q = 0; q < kSingleQueries; ++q) {
      const std::vector<uint32_t> lists = lists_read(one[q]);
      floor += cold_read_floor_seconds(lists, trained_counts());
      for (uint32_t list : lists) entries += trained_counts()[list];
    }
    set_rate(state, "floor_per_s", kSingleQueries, floor);
    state.counters["over_floor"] = (total / n) / floor;
    state.counters["entries_read"] = double(entries) / kSingleQueries;
  }
}
BENCHMARK(BM_QuerySingle)->ArgName("cached")->Arg(0)->Arg(1)->Apply(timed<2>);

// ---- Untrained ---------------------------------------------------------------

void BM_QueryExhaustive(benchmark::State& state) {
  const Data& d = data();
  auto index = untrained_index(0);
  const std::vector<std::string> ids(d.ids.begin(), d.ids.begin() + kExhaustiveItems);
  const std::vector<std::string> metadata(d.metadata.begin(),
                                          d.metadata.begin() + kExhaustiveItems);
  index->Upsert(first_rows(d.items, kExhaustiveItems), ids, {}, metadata);
  double total = 0, found = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const SearchResults r = index->Query(d.queries, query_params());
    const double t = seconds_since(start);
    state.SetIterationTime(t);
    total += t;
    found = recall(r, 0, kExhaustiveItems);
  }
  const double n = double(state.iterations());
  set_rate(state, "queries_per_s", kQueries * n, total);
  state.counters["recall"] = found;
  double floor = 0;
  const std::vector<uint32_t> counts{static_cast<uint32_t>(kExhaustiveItems)};
  for (int64_t i = 0; i < state.iterations(); ++i) floor += cold_read_floor_seconds({0}, counts);
  set_rate(state, "floor_per_s", kQueries * n, floor);
  state.counters["over_floor"] = total / floor;
}
BENCHMARK(BM_QueryExhaustive)->Apply(timed<3>);

// ---- Training ------------------------------------------------------------------

void BM_TrainIndex(benchmark::State& state) {
  const Data& d = data();
  double total = 0;
  for (auto _ : state) {
    auto index = untrained_index(0);
    index->Upsert(d.items, d.ids, {}, d.metadata);
    const auto start = Clock::now();
    index->TrainIndex(TrainParams());
    const double t = seconds_since(start);
    state.SetIterationTime(t);
    total += t;
  }
  set_rate(state, "items_per_s", kItems * double(state.iterations()), total);
}
BENCHMARK(BM_TrainIndex)->Apply(timed<1>);

}  // namespace
}  // namespace tavrin

BENCHMARK_MAIN();
