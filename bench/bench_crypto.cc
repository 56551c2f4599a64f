// Throughput of the crypto primitives. Per-core figures: every benchmark runs
// the OpenMP team at the thread count in its last argument (1 unless named).
//   sha3: our routine (byte and word forms, four-way kernel) against OpenSSL's
//         EVP SHA3-256, both the one-shot EVP_Digest and a fetched digest
//         with a reused context.
//   item tokens: prefix-keyed SHA3 of short identifiers.
//   list entries: list_entry_masks against the plain per-leaf walk.
//   sealing: encrypt/decrypt rows and items for 32- and 600-byte records.
#include <benchmark/benchmark.h>
#include <omp.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "crypto/keyed_hash.h"
#include "crypto/list_entry_labels.h"
#include "crypto/sealed_record.h"
#include "crypto/sha3.h"

namespace tavrin {
namespace {

std::vector<uint8_t> message(size_t n) {
  std::vector<uint8_t> m(n);
  for (size_t i = 0; i < n; ++i) m[i] = static_cast<uint8_t>(i * 13 + 1);
  return m;
}

void BM_Sha3Ours(benchmark::State& state) {
  auto msg = message(static_cast<size_t>(state.range(0)));
  uint8_t out[32];
  for (auto _ : state) {
    sha3_256(msg.data(), msg.size(), out);
    msg[0] = out[0];  // chain so the calls cannot be hoisted
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sha3Ours)->Arg(32)->Arg(100)->Arg(135)->Arg(1000);

void BM_Sha3OpenSslDigest(benchmark::State& state) {
  auto msg = message(static_cast<size_t>(state.range(0)));
  uint8_t out[32];
  unsigned int n = 0;
  for (auto _ : state) {
    EVP_Digest(msg.data(), msg.size(), out, &n, EVP_sha3_256(), nullptr);
    msg[0] = out[0];
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sha3OpenSslDigest)->Arg(32)->Arg(100)->Arg(135)->Arg(1000);

void BM_Sha3OpenSslReusedCtx(benchmark::State& state) {
  auto msg = message(static_cast<size_t>(state.range(0)));
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA3-256", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  uint8_t out[32];
  unsigned int n = 0;
  for (auto _ : state) {
    EVP_DigestInit_ex2(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, msg.data(), msg.size());
    EVP_DigestFinal_ex(ctx, out, &n);
    msg[0] = out[0];
    benchmark::DoNotOptimize(out);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sha3OpenSslReusedCtx)->Arg(32)->Arg(100)->Arg(135)->Arg(1000);

void BM_Sha3Words(benchmark::State& state) {
  uint64_t s[4] = {1, 2, 3, 4};
  for (auto _ : state) {
    sha3_256_words(s, s);
    benchmark::DoNotOptimize(s);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sha3Words);

void BM_Sha3WordsX4(benchmark::State& state) {
  uint64_t in[4][4] = {{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}, {13, 14, 15, 16}};
  uint64_t out[4][4];
  for (auto _ : state) {
    sha3_256_words_x4(in, out);
    in[0][0] = out[0][0];
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(4 * state.iterations());
  state.SetLabel(sha3_internal::x4_kernel_name());
}
BENCHMARK(BM_Sha3WordsX4);

// Args: identifiers, threads.
void BM_ItemTokens(benchmark::State& state) {
  omp_set_num_threads(static_cast<int>(state.range(1)));
  std::vector<std::string> ids;
  for (int64_t i = 0; i < state.range(0); ++i) ids.push_back("item-" + std::to_string(i));
  Key256 key{};
  for (auto _ : state) benchmark::DoNotOptimize(item_tokens(ids, key).data());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ItemTokens)->Args({100000, 1})->Unit(benchmark::kMicrosecond);

std::vector<CentroidSeed> bench_seeds(size_t n) {
  std::mt19937_64 rng(42);
  std::vector<CentroidSeed> seeds(n);
  for (auto& s : seeds)
    for (auto& b : s) b = static_cast<uint8_t>(rng());
  return seeds;
}

// Args: entries per list, lists, threads.
void BM_ListEntryMasks(benchmark::State& state) {
  const uint32_t entries = static_cast<uint32_t>(state.range(0));
  const uint32_t lists = static_cast<uint32_t>(state.range(1));
  omp_set_num_threads(static_cast<int>(state.range(2)));
  auto seeds = bench_seeds(lists);
  std::vector<uint32_t> counts(lists, entries), probes(lists);
  for (uint32_t c = 0; c < lists; ++c) probes[c] = c;
  for (auto _ : state) {
    ListMasks m = list_entry_masks(probes, seeds, counts, 32);
    benchmark::DoNotOptimize(m.labels.data());
  }
  state.SetItemsProcessed(state.iterations() * uint64_t{entries} * lists);
}
BENCHMARK(BM_ListEntryMasks)
    ->Args({1000, 1, 1})
    ->Args({1000, 16, 1})
    ->Args({100000, 1, 1})
    ->Args({1000, 16, 2})
    ->Args({100000, 1, 2})
    ->Unit(benchmark::kMicrosecond);

void BM_PlainWalk(benchmark::State& state) {
  const uint32_t entries = static_cast<uint32_t>(state.range(0));
  auto seeds = bench_seeds(1);
  std::vector<uint64_t> labels(entries), masks(entries);
  for (auto _ : state) {
    for (uint32_t j = 0; j < entries; ++j) walk_leaf(seeds[0], j, 32, &labels[j], &masks[j]);
    benchmark::DoNotOptimize(labels.data());
  }
  state.SetItemsProcessed(state.iterations() * uint64_t{entries});
}
BENCHMARK(BM_PlainWalk)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Args: consecutive leaves per list in one upsert batch, threads.
void BM_EncryptListEntries(benchmark::State& state) {
  const uint32_t n = static_cast<uint32_t>(state.range(0));
  omp_set_num_threads(static_cast<int>(state.range(1)));
  auto seeds = bench_seeds(1);
  std::vector<uint32_t> centroids(n, 0), leaves(n);
  std::vector<uint64_t> tokens(n, 7);
  for (uint32_t j = 0; j < n; ++j) leaves[j] = 500 + j;
  for (auto _ : state) {
    ListEntries e = encrypt_list_entries(centroids, tokens, seeds, 32, leaves);
    benchmark::DoNotOptimize(e.labels.data());
  }
  state.SetItemsProcessed(state.iterations() * uint64_t{n});
}
BENCHMARK(BM_EncryptListEntries)->Args({10000, 1})->Unit(benchmark::kMicrosecond);

Key256 bench_key() {
  Key256 k;
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(i);
  return k;
}

// Args: record plaintext bytes, threads. 10000 rows per call.
void BM_EncryptRows(benchmark::State& state) {
  const size_t width = static_cast<size_t>(state.range(0));
  omp_set_num_threads(static_cast<int>(state.range(1)));
  ByteMatrix rows(message(width * 10000), width);
  const Key256 key = bench_key();
  for (auto _ : state) benchmark::DoNotOptimize(encrypt_rows(rows, key).data.data());
  state.SetBytesProcessed(state.iterations() * rows.data.size());
}
BENCHMARK(BM_EncryptRows)
    ->Args({32, 1})
    ->Args({600, 1})
    ->Args({600, 2})
    ->Unit(benchmark::kMicrosecond);

void BM_DecryptRows(benchmark::State& state) {
  const size_t width = static_cast<size_t>(state.range(0));
  omp_set_num_threads(static_cast<int>(state.range(1)));
  const Key256 key = bench_key();
  ByteMatrix sealed = encrypt_rows(ByteMatrix(message(width * 10000), width), key);
  for (auto _ : state) benchmark::DoNotOptimize(decrypt_rows(sealed, key).data.data());
  state.SetBytesProcessed(state.iterations() * width * 10000);
}
BENCHMARK(BM_DecryptRows)
    ->Args({32, 1})
    ->Args({600, 1})
    ->Args({600, 2})
    ->Unit(benchmark::kMicrosecond);

void BM_EncryptItems(benchmark::State& state) {
  const size_t width = static_cast<size_t>(state.range(0));
  omp_set_num_threads(static_cast<int>(state.range(1)));
  std::vector<Bytes> items(10000, message(width));
  const Key256 key = bench_key();
  for (auto _ : state) benchmark::DoNotOptimize(encrypt_items(items, key).data());
  state.SetBytesProcessed(state.iterations() * width * items.size());
}
BENCHMARK(BM_EncryptItems)->Args({32, 1})->Args({600, 1})->Unit(benchmark::kMicrosecond);

void BM_DecryptItems(benchmark::State& state) {
  const size_t width = static_cast<size_t>(state.range(0));
  omp_set_num_threads(static_cast<int>(state.range(1)));
  const Key256 key = bench_key();
  auto sealed = encrypt_items(std::vector<Bytes>(10000, message(width)), key);
  for (auto _ : state) benchmark::DoNotOptimize(decrypt_items(sealed, key).data());
  state.SetBytesProcessed(state.iterations() * width * sealed.size());
}
BENCHMARK(BM_DecryptItems)->Args({32, 1})->Args({600, 1})->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tavrin

BENCHMARK_MAIN();
