#include "crypto/list_entry_labels.h"

#include <omp.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <string>

#include "crypto/keyed_hash.h"
#include "common/diagnostics.h"
#include "crypto/sha3.h"

namespace tavrin {
namespace {

// Leaves are walked in aligned blocks of 2^kBlockBits: all leaves of a block
// share the tree states above bit kBlockBits.
constexpr uint32_t kBlockBits = 10;
constexpr uint32_t kBlockSize = 1u << kBlockBits;

using State = uint64_t[4];

struct SeedWords {
  uint64_t w[8];
};

SeedWords seed_words(const CentroidSeed& seed) {
  SeedWords s;
  for (int i = 0; i < 8; ++i) s.w[i] = DecodeFixed64(seed.data() + 8 * i);
  return s;
}

// Path bit b of a leaf; bits beyond the 32 of a leaf index are 0.
inline uint64_t path_bit(uint32_t leaf, uint64_t b) { return b < 32 ? (leaf >> b) & 1u : 0u; }

// State after walking bits rounds-1 .. lo of `leaf`.
void walk_down_to(const SeedWords& sw, uint32_t leaf, uint32_t rounds, uint32_t lo, State out) {
  uint64_t s[4] = {sw.w[4], sw.w[5], sw.w[6], sw.w[7]};
  for (uint64_t b = rounds; b-- > lo;) {
    s[0] ^= path_bit(leaf, b);
    sha3_256_words(s, s);
  }
  std::memcpy(out, s, sizeof(s));
}

inline void label_and_mask(const SeedWords& sw, const State s, uint64_t* label, uint64_t* mask) {
  const uint64_t lin[4] = {sw.w[0], sw.w[1], s[0], s[1]};
  const uint64_t min[4] = {sw.w[2], sw.w[3], s[2], s[3]};
  uint64_t lout[4], mout[4];
  sha3_256_words(lin, lout);
  sha3_256_words(min, mout);
  *label = digest_word0_be(lout[0]);
  *mask = digest_word0_be(mout[0]);
}

// Per-thread buffers for the block walk, allocated once per parallel region.
struct BlockScratch {
  std::vector<uint64_t> a = std::vector<uint64_t>(kBlockSize * 4);
  std::vector<uint64_t> b = std::vector<uint64_t>(kBlockSize * 4);
};

inline uint64_t (*as_states(std::vector<uint64_t>& v))[4] {
  return reinterpret_cast<uint64_t(*)[4]>(v.data());
}

// Labels and masks of leaves [first, last) (all in one aligned block, rounds
// >= kBlockBits) into labels[0 .. last-first) and masks likewise. The tree is
// walked level by level, each level's states hashed four at a time.
void walk_block(const SeedWords& sw, uint32_t first, uint64_t last, uint32_t rounds,
                BlockScratch& scratch, uint64_t* labels, uint64_t* masks) {
  uint64_t(*cur)[4] = as_states(scratch.a);
  uint64_t(*next)[4] = as_states(scratch.b);
  walk_down_to(sw, first, rounds, kBlockBits, cur[0]);
  const uint32_t lo = first & (kBlockSize - 1);
  const uint32_t hi = static_cast<uint32_t>(last - 1) & (kBlockSize - 1);
  uint64_t in[4][4];
  for (uint32_t b = kBlockBits; b-- > 0;) {
    const uint32_t begin = lo >> b, end = (hi >> b) + 1, parent_base = lo >> (b + 1);
    for (uint32_t q = begin; q < end; q += 4) {
      const uint32_t k = std::min<uint32_t>(4, end - q);
      for (uint32_t i = 0; i < k; ++i) {
        std::memcpy(in[i], cur[((q + i) >> 1) - parent_base], sizeof(in[i]));
        in[i][0] ^= (q + i) & 1u;
      }
      if (k == 4) {
        sha3_256_words_x4(in, next + (q - begin));
      } else {
        for (uint32_t i = 0; i < k; ++i) sha3_256_words(in[i], next[q - begin + i]);
      }
    }
    std::swap(cur, next);
  }
  // cur[i] is now the state of leaf first + i.
  const uint32_t n = static_cast<uint32_t>(last - first);
  uint64_t lin[4][4], min[4][4], lout[4][4], mout[4][4];
  for (uint32_t i = 0; i < n; i += 4) {
    const uint32_t k = std::min<uint32_t>(4, n - i);
    for (uint32_t t = 0; t < k; ++t) {
      const uint64_t* s = cur[i + t];
      lin[t][0] = sw.w[0], lin[t][1] = sw.w[1], lin[t][2] = s[0], lin[t][3] = s[1];
      min[t][0] = sw.w[2], min[t][1] = sw.w[3], min[t][2] = s[2], min[t][3] = s[3];
    }
    if (k == 4) {
      sha3_256_words_x4(lin, lout);
      sha3_256_words_x4(min, mout);
    } else {
      for (uint32_t t = 0; t < k; ++t) {
        sha3_256_words(lin[t], lout[t]);
        sha3_256_words(min[t], mout[t]);
      }
    }
    for (uint32_t t = 0; t < k; ++t) {
      labels[i + t] = digest_word0_be(lout[t][0]);
      masks[i + t] = digest_word0_be(mout[t][0]);
    }
  }
}

// Leaves [first, last) of one seed, in any range: split into aligned blocks
// when the tree is deep enough to share states, else walked leaf by leaf.
void walk_range(const CentroidSeed& seed, uint64_t first, uint64_t last, uint32_t rounds,
                BlockScratch& scratch, uint64_t* labels, uint64_t* masks) {
  const SeedWords sw = seed_words(seed);
  if (rounds < kBlockBits) {
    for (uint64_t j = first; j < last; ++j) {
      State s;
      walk_down_to(sw, static_cast<uint32_t>(j), rounds, 0, s);
      label_and_mask(sw, s, labels + (j - first), masks + (j - first));
    }
    return;
  }
  for (uint64_t start = first; start < last;) {
    const uint64_t block_end = ((start >> kBlockBits) + 1) << kBlockBits;
    const uint64_t stop = std::min<uint64_t>(block_end, last);
    walk_block(sw, static_cast<uint32_t>(start), stop, rounds, scratch, labels + (start - first),
               masks + (start - first));
    start = stop;
  }
}

struct Task {
  uint32_t seed;
  uint32_t first, last;  // leaf range
  uint64_t out;          // output position of `first`
};

}  // namespace

void walk_leaf(const CentroidSeed& seed, uint32_t leaf, uint32_t rounds, uint64_t* label,
               uint64_t* mask) {
  const SeedWords sw = seed_words(seed);
  State s;
  walk_down_to(sw, leaf, rounds, 0, s);
  label_and_mask(sw, s, label, mask);
}

std::vector<CentroidSeed> make_centroid_seeds(size_t n, const Key256& index_key,
                                              const Key256& name_key) {
  std::vector<CentroidSeed> seeds(n);
  bool failed = false;
#pragma omp parallel for schedule(static) if (n > 64)
  for (size_t c = 0; c < n; ++c) {
    const uint32_t id = static_cast<uint32_t>(c);
    const uint8_t le[4] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8),
                           static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 24)};
    try {
      const Key256 hi = hmac_sha3_256(name_key, le, sizeof(le));
      const Key256 lo = hmac_sha3_256(index_key, le, sizeof(le));
      std::memcpy(seeds[c].data(), hi.data(), 32);
      std::memcpy(seeds[c].data() + 32, lo.data(), 32);
    } catch (...) {
#pragma omp atomic write
      failed = true;
    }
  }
  if (failed) throw std::runtime_error("Failed to compute HMAC hash");
  return seeds;
}

ListEntries encrypt_list_entries(const std::vector<uint32_t>& centroids,
                                 const std::vector<uint64_t>& item_tokens,
                                 const std::vector<CentroidSeed>& seeds, uint32_t rounds,
                                 const std::vector<uint32_t>& leaves) {
  if (centroids.size() != item_tokens.size()) {
    throw std::runtime_error("The number of centroid Ids does not match the number item Ids.");
  }
  if (rounds == 0) throw std::runtime_error("The number of round should be at least 1.");
  const size_t n = centroids.size();
  // An index past the seeds or the leaves would read outside them.
  if (leaves.size() != n) {
    throw std::runtime_error("The number of leaf indices does not match the number of items.");
  }
  for (uint32_t c : centroids) {
    if (c >= seeds.size()) {
      throw std::runtime_error("Centroid " + std::to_string(c) + " has no seed.");
    }
  }
  ListEntries out;
  out.labels.resize(n);
  out.masked_tokens.resize(n);
  if (n == 0) return out;

  // Items sorted by (centroid, leaf); runs of one centroid within one leaf
  // block share their upper tree and are walked together when dense enough.
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return centroids[a] != centroids[b] ? centroids[a] < centroids[b] : leaves[a] < leaves[b];
  });
  std::vector<size_t> group_starts;
  for (size_t i = 0; i < n; ++i) {
    if (i == 0 || centroids[order[i]] != centroids[order[i - 1]] ||
        (leaves[order[i]] >> kBlockBits) != (leaves[order[i - 1]] >> kBlockBits)) {
      group_starts.push_back(i);
    }
  }
  group_starts.push_back(n);
  const size_t groups = group_starts.size() - 1;

  // Per-thread buffers made before the region, so that no allocation failure
  // can be thrown inside it.
  const int threads = n > 64 ? omp_get_max_threads() : 1;
  std::vector<BlockScratch> scratches(threads);
  std::vector<uint64_t> run_labels(kBlockSize * threads), run_masks(kBlockSize * threads);
#pragma omp parallel num_threads(threads)
  {
    const int t = omp_get_thread_num();
    BlockScratch& scratch = scratches[t];
    uint64_t* labels = run_labels.data() + kBlockSize * t;
    uint64_t* masks = run_masks.data() + kBlockSize * t;
#pragma omp for schedule(dynamic, 1)
    for (size_t g = 0; g < groups; ++g) {
      const size_t begin = group_starts[g], end = group_starts[g + 1];
      const CentroidSeed& seed = seeds[centroids[order[begin]]];
      const uint64_t first = leaves[order[begin]];
      const uint64_t last = uint64_t{leaves[order[end - 1]]} + 1;
      const uint64_t shared_cost = 4ull * (last - first) + rounds;
      const uint64_t plain_cost = (uint64_t{rounds} + 2) * (end - begin);
      if (rounds >= kBlockBits && shared_cost < plain_cost) {
        walk_range(seed, first, last, rounds, scratch, labels, masks);
        for (size_t i = begin; i < end; ++i) {
          const uint32_t item = order[i];
          out.labels[item] = labels[leaves[item] - first];
          out.masked_tokens[item] = masks[leaves[item] - first] ^ item_tokens[item];
        }
      } else {
        for (size_t i = begin; i < end; ++i) {
          const uint32_t item = order[i];
          uint64_t mask;
          walk_leaf(seed, leaves[item], rounds, &out.labels[item], &mask);
          out.masked_tokens[item] = mask ^ item_tokens[item];
        }
      }
    }
  }
  return out;
}

ListMasks list_entry_masks(const std::vector<uint32_t>& probes,
                           const std::vector<CentroidSeed>& seeds,
                           const std::vector<uint32_t>& counts, uint32_t rounds,
                           const std::vector<uint32_t>* starts) {
  if (probes.size() > seeds.size()) {
    throw std::runtime_error("Number of centroid not matching the number of seeds.");
  }
  if (rounds == 0) throw std::runtime_error("The number of round should be at lest 1.");
  ListMasks out;
  if (probes.empty()) {
    Note("empty input");
    return out;
  }
  // A probe past the seeds or the count table would read outside them.
  for (uint32_t c : probes) {
    if (c >= seeds.size() || c >= counts.size() ||
        (starts && (c >= starts->size() || (*starts)[c] > counts[c]))) {
      throw std::runtime_error("Centroid " + std::to_string(c) + " has no seed or entry count.");
    }
  }
  out.offsets.resize(probes.size() + 1);
  out.offsets[0] = 0;
  std::vector<Task> tasks;
  for (size_t k = 0; k < probes.size(); ++k) {
    const uint32_t count = counts[probes[k]];
    const uint32_t start = starts ? (*starts)[probes[k]] : 0;
    out.offsets[k + 1] = out.offsets[k] + (count - start);
    // Block-aligned tasks so that one long list still spreads over threads.
    for (uint64_t first = start; first < count;) {
      const uint64_t last = std::min<uint64_t>(count, (first / kBlockSize + 1) * kBlockSize);
      tasks.push_back(Task{probes[k], static_cast<uint32_t>(first), static_cast<uint32_t>(last),
                           out.offsets[k] + (first - start)});
      first = last;
    }
  }
  const uint64_t total = out.offsets.back();
  out.labels.resize(total);
  out.masks.resize(total);
  const int threads = tasks.size() > 1 ? omp_get_max_threads() : 1;
  std::vector<BlockScratch> scratches(threads);  // made before the region: no throw inside
#pragma omp parallel num_threads(threads)
  {
    BlockScratch& scratch = scratches[omp_get_thread_num()];
#pragma omp for schedule(dynamic, 1)
    for (size_t t = 0; t < tasks.size(); ++t) {
      const Task& task = tasks[t];
      walk_range(seeds[task.seed], task.first, task.last, rounds, scratch,
                 out.labels.data() + task.out, out.masks.data() + task.out);
    }
  }
  return out;
}

std::vector<uint64_t> unmask_item_ids(const ByteMatrix& stored,
                                      const std::vector<uint64_t>& masks) {
  // No entries at all (an empty read gives the empty matrix) unmask to none.
  if (stored.rows == 0 && masks.empty()) return {};
  if (stored.cols != 8) throw std::runtime_error("Invalid encrypted item ID size");
  if (stored.rows != masks.size() || stored.data.size() != stored.rows * 8) {
    throw std::runtime_error("Number of masks does not match the number of stored entries");
  }
  std::vector<uint64_t> tokens(stored.rows);
  for (size_t i = 0; i < tokens.size(); ++i) {
    tokens[i] = masks[i] ^ DecodeFixed64(stored.row(i));
  }
  return tokens;
}

}  // namespace tavrin
