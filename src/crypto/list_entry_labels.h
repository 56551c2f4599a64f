// List-entry labels and masks. Each membership of an item in a centroid's
// list is stored as one entry: a 64-bit label, derived from the centroid's
// secret seed and the item's position (leaf index) in the list, keys the
// item's data token XOR a 64-bit mask derived from the same seed and leaf.
//
// Both come from a binary tree of SHA3-256 hashes: S starts as seed[32..63];
// for each of the `rounds` low bits of the leaf, most significant first, bit
// 0 of S[0] is flipped when the leaf's bit is 1 and S = SHA3-256(S). Then
// label = sha3_u64(seed[0..15] || S[0..15]) and
// mask = sha3_u64(seed[16..31] || S[16..31]).
//
// Leaves that share their high bits share the tree states above them, so a
// run of consecutive leaves is walked level by level in aligned blocks of
// 1024 leaves: about 4 hashes per leaf instead of rounds + 2, with results
// identical to the plain per-leaf walk. All functions throw std::runtime_error
// before producing any output; loops run on the OpenMP team.
#ifndef TAVRIN_CRYPTO_LIST_ENTRY_LABELS_H_
#define TAVRIN_CRYPTO_LIST_ENTRY_LABELS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/row_matrix.h"
#include "common/key.h"

namespace tavrin {

inline constexpr size_t kCentroidSeedSize = 64;
using CentroidSeed = SecretBytes<kCentroidSeedSize>;  // wiped when released

// Seed c = HMAC(name_key, c) || HMAC(index_key, c), c as 4 bytes little-endian.
std::vector<CentroidSeed> make_centroid_seeds(size_t n, const Key256& index_key,
                                              const Key256& name_key);

struct ListEntries {
  std::vector<uint64_t> labels;
  std::vector<uint64_t> masked_tokens;  // mask XOR item token
};

// Upsert side: one entry per item, for item i in centroid centroids[i] at
// leaf leaves[i].
ListEntries encrypt_list_entries(const std::vector<uint32_t>& centroids,
                                 const std::vector<uint64_t>& item_tokens,
                                 const std::vector<CentroidSeed>& seeds, uint32_t rounds,
                                 const std::vector<uint32_t>& leaves);

struct ListMasks {
  std::vector<uint64_t> labels;
  std::vector<uint64_t> masks;
  // probes.size() + 1 entries; probe k owns positions offsets[k] .. offsets[k+1]-1.
  std::vector<uint64_t> offsets;
};

// Query side: every leaf starts[c] .. counts[c]-1 of every probed centroid c
// (starts null: from 0), in probe order. An empty probe list prints "empty
// input" and returns empty lists.
ListMasks list_entry_masks(const std::vector<uint32_t>& probes,
                           const std::vector<CentroidSeed>& seeds,
                           const std::vector<uint32_t>& counts, uint32_t rounds,
                           const std::vector<uint32_t>* starts = nullptr);

// Row i (8 bytes, least significant first) XOR masks[i].
std::vector<uint64_t> unmask_item_ids(const ByteMatrix& stored, const std::vector<uint64_t>& masks);

// The plain walk of one leaf, rounds + 2 hashes: the reference the fast paths
// are measured and tested against.
void walk_leaf(const CentroidSeed& seed, uint32_t leaf, uint32_t rounds, uint64_t* label,
               uint64_t* mask);

}  // namespace tavrin

#endif  // TAVRIN_CRYPTO_LIST_ENTRY_LABELS_H_
