#include "crypto/list_entry_labels.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <utility>

#include "crypto_reference.h"
#include "test_util.h"

namespace tavrin {
namespace {

using ::tavrin::testing::error_text;

std::vector<CentroidSeed> random_seeds(std::mt19937_64& rng, size_t n) {
  std::vector<CentroidSeed> seeds(n);
  for (auto& s : seeds) s = testref::random_array<64>(rng);
  return seeds;
}

// Seeds are two HMACs of the little-endian centroid number (name key, then
// index key); the plain walk of a leaf follows the byte-level reference.
TEST(CentroidSeeds, SeedsAndPlainWalkMatchTheByteLevelReference) {
  std::mt19937_64 rng(21);
  const Key256 k = testref::random_array<32>(rng), name_key = testref::random_array<32>(rng);
  const auto seeds = make_centroid_seeds(300, k, name_key);
  ASSERT_EQ(seeds.size(), 300u);
  for (uint32_t c : {0u, 1u, 255u, 256u, 299u}) {
    const std::vector<uint8_t> le = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), 0, 0};
    const auto hi = testref::rfc2104_hmac(name_key.data(), 32, le);
    const auto lo = testref::rfc2104_hmac(k.data(), 32, le);
    EXPECT_EQ(testref::hex(seeds[c].data(), 64),
              testref::hex(hi.data(), 32) + testref::hex(lo.data(), 32));
  }
  for (uint32_t rounds : {1u, 2u, 9u, 10u, 32u, 40u}) {
    for (uint32_t leaf : {0u, 1u, 2u, 1023u, 1024u, 0x7fffffffu, 0xffffffffu}) {
      uint64_t label, mask, ref_label, ref_mask;
      walk_leaf(seeds[leaf % 300], leaf, rounds, &label, &mask);
      testref::tree_walk(seeds[leaf % 300].data(), leaf, rounds, &ref_label, &ref_mask);
      ASSERT_EQ(label, ref_label) << "rounds " << rounds << " leaf " << leaf;
      ASSERT_EQ(mask, ref_mask) << "rounds " << rounds << " leaf " << leaf;
    }
  }
}

// Items appended to lists in a shuffled order, as an upsert assigns them:
// lists of 0, 1, 5, 1023, 1024 and over 1024 entries (starting, ending and
// crossing 1024-leaf blocks) and one item at the last possible leaf, at
// depths below, at and above the block size and the 32 leaf bits, on several
// threads. The upsert side and the query side's shared-state walk both give
// the plain walk's labels and masks.
TEST(ListEntries, UpsertAndQuerySidesEqualThePlainWalk) {
  std::mt19937_64 rng(23);
  const auto seeds = random_seeds(rng, 7);
  const std::vector<uint32_t> counts = {0,    1,    5,
                                        1023, 1024, 1025 + static_cast<uint32_t>(rng() % 2000)};
  std::vector<std::pair<uint32_t, uint32_t>> items = {{6, 0xffffffffu}};  // (centroid, leaf)
  for (uint32_t c = 0; c < counts.size(); ++c) {
    for (uint32_t j = 0; j < counts[c]; ++j) items.emplace_back(c, j);
  }
  std::shuffle(items.begin(), items.end(), rng);
  std::vector<uint32_t> centroids, leaves;
  std::vector<uint64_t> tokens;
  for (const auto& [c, leaf] : items) {
    centroids.push_back(c);
    leaves.push_back(leaf);
    tokens.push_back(rng());
  }
  const std::vector<uint32_t> probes = {5, 0, 3, 1, 4, 2};
  const int saved = omp_get_max_threads();
  omp_set_num_threads(4);
  for (uint32_t rounds : {1u, 9u, 10u, 11u, 32u, 35u}) {
    const ListEntries stored = encrypt_list_entries(centroids, tokens, seeds, rounds, leaves);
    const ListMasks query = list_entry_masks(probes, seeds, counts, rounds);
    ASSERT_EQ(stored.labels.size(), items.size());
    std::set<uint64_t> distinct;
    for (size_t i = 0; i < items.size(); ++i) {
      uint64_t label, mask;
      walk_leaf(seeds[centroids[i]], leaves[i], rounds, &label, &mask);
      ASSERT_EQ(stored.labels[i], label) << "rounds " << rounds << " item " << i;
      ASSERT_EQ(stored.masked_tokens[i], mask ^ tokens[i]) << "rounds " << rounds << " item " << i;
      distinct.insert(label);
    }
    if (rounds >= 32) {
      EXPECT_EQ(distinct.size(), items.size()) << "labels collide";
    }
    ASSERT_EQ(query.offsets.size(), probes.size() + 1);
    for (size_t k = 0; k < probes.size(); ++k) {
      const uint32_t c = probes[k];
      ASSERT_EQ(query.offsets[k + 1] - query.offsets[k], counts[c]);
      for (uint32_t j = 0; j < counts[c]; ++j) {
        uint64_t label, mask;
        walk_leaf(seeds[c], j, rounds, &label, &mask);
        ASSERT_EQ(query.labels[query.offsets[k] + j], label) << "rounds " << rounds << " c " << c;
        ASSERT_EQ(query.masks[query.offsets[k] + j], mask) << "rounds " << rounds << " c " << c;
      }
    }
  }
  omp_set_num_threads(saved);
}

TEST(ListEntries, RefusesBadArgumentsWithTheirMessages) {
  std::mt19937_64 rng(28);
  auto seeds = random_seeds(rng, 2);
  auto error = [](auto&& fn) { return error_text<std::runtime_error>(fn); };
  EXPECT_EQ(error([&] { encrypt_list_entries({0}, {1, 2}, seeds, 32, {0}); }),
            "The number of centroid Ids does not match the number item Ids.");
  EXPECT_EQ(error([&] { encrypt_list_entries({0}, {1}, seeds, 0, {0}); }),
            "The number of round should be at least 1.");
  EXPECT_EQ(error([&] { list_entry_masks({0, 1, 0}, seeds, {1, 1}, 32); }),
            "Number of centroid not matching the number of seeds.");
  EXPECT_EQ(error([&] { list_entry_masks({0}, seeds, {1, 1}, 0); }),
            "The number of round should be at lest 1.");
  ::testing::internal::CaptureStdout();
  const ListMasks empty = list_entry_masks({}, seeds, {3, 7}, 32);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "empty input\n");
  EXPECT_TRUE(empty.labels.empty() && empty.masks.empty() && empty.offsets.empty());
  // Numbers past the seeds, counts or leaves are refused instead of read.
  const std::string none = error([] {});
  EXPECT_NE(error([&] { encrypt_list_entries({2}, {1}, seeds, 32, {0}); }), none);
  EXPECT_NE(error([&] { encrypt_list_entries({0, 1}, {1, 2}, seeds, 32, {0}); }), none);
  EXPECT_NE(error([&] { list_entry_masks({1}, seeds, {4}, 32); }), none);
  EXPECT_NE(error([&] { list_entry_masks({5}, seeds, {4, 4, 4, 4, 4, 4}, 32); }), none);
}

TEST(UnmaskItemIds, RowWidthAndCounts) {
  ByteMatrix wide(Bytes(32, 0), 16);
  EXPECT_EQ(error_text<std::runtime_error>([&] { unmask_item_ids(wide, {1, 2}); }),
            "Invalid encrypted item ID size");
  ByteMatrix two(Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}, 8);
  EXPECT_EQ(unmask_item_ids(two, {3, 1}), (std::vector<uint64_t>{2, 0x8000000000000001ULL}));
  EXPECT_THROW(unmask_item_ids(two, {3}), std::runtime_error);
  // An empty read (every probed list empty) unmasks to nothing.
  EXPECT_TRUE(unmask_item_ids(ByteMatrix(), {}).empty());
}

}  // namespace
}  // namespace tavrin
