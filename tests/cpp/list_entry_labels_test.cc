#include "crypto/list_entry_labels.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <map>
#include <random>
#include <string>

#include "crypto_reference.h"
#include "test_util.h"

namespace tavrin {
namespace {

using ::tavrin::testing::error_text;

std::vector<CentroidSeed> random_seeds(std::mt19937_64& rng, size_t n) {
  std::vector<CentroidSeed> seeds(n);
  for (auto& s : seeds)
    for (auto& b : s) b = static_cast<uint8_t>(rng());
  return seeds;
}

TEST(CentroidSeeds, AreTwoHmacsOfTheLittleEndianNumber) {
  std::mt19937_64 rng(21);
  Key256 k, name_key;
  for (auto& b : k) b = static_cast<uint8_t>(rng());
  for (auto& b : name_key) b = static_cast<uint8_t>(rng());
  auto seeds = make_centroid_seeds(300, k, name_key);
  ASSERT_EQ(seeds.size(), 300u);
  for (uint32_t c : {0u, 1u, 255u, 256u, 299u}) {
    std::vector<uint8_t> le = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), 0, 0};
    auto hi = testref::rfc2104_hmac(name_key.data(), 32, le);
    auto lo = testref::rfc2104_hmac(k.data(), 32, le);
    EXPECT_EQ(testref::hex(seeds[c].data(), 32), testref::hex(hi.data(), 32)) << c;
    EXPECT_EQ(testref::hex(seeds[c].data() + 32, 32), testref::hex(lo.data(), 32)) << c;
  }
}

TEST(TreeWalk, PlainWalkMatchesByteLevelReference) {
  std::mt19937_64 rng(22);
  auto seeds = random_seeds(rng, 4);
  for (uint32_t rounds : {1u, 2u, 9u, 10u, 32u, 40u}) {
    for (uint32_t leaf : {0u, 1u, 2u, 1023u, 1024u, 0x7fffffffu, 0xffffffffu}) {
      uint64_t label, mask, ref_label, ref_mask;
      walk_leaf(seeds[leaf % 4], leaf, rounds, &label, &mask);
      testref::tree_walk(seeds[leaf % 4].data(), leaf, rounds, &ref_label, &ref_mask);
      ASSERT_EQ(label, ref_label) << "rounds " << rounds << " leaf " << leaf;
      ASSERT_EQ(mask, ref_mask) << "rounds " << rounds << " leaf " << leaf;
    }
  }
}

// The shared-state walk over whole lists, on several threads, against the
// plain per-leaf walk: counts that start, end and cross 1024-leaf blocks, and
// depths below, at and above the block size and the 32 leaf bits.
TEST(ListEntryMasks, SharedWalkEqualsPlainWalk) {
  std::mt19937_64 rng(23);
  const int saved = omp_get_max_threads();
  omp_set_num_threads(4);
  for (uint32_t rounds : {1u, 9u, 10u, 11u, 32u, 35u}) {
    auto seeds = random_seeds(rng, 6);
    std::vector<uint32_t> counts = {0,    1,    5,
                                    1023, 1024, static_cast<uint32_t>(1025 + rng() % 2000)};
    std::vector<uint32_t> probes = {5, 0, 3, 1, 4, 2};
    ListMasks got = list_entry_masks(probes, seeds, counts, rounds);
    ASSERT_EQ(got.offsets.size(), probes.size() + 1);
    for (size_t k = 0; k < probes.size(); ++k) {
      const uint32_t c = probes[k];
      ASSERT_EQ(got.offsets[k + 1] - got.offsets[k], counts[c]);
      for (uint32_t j = 0; j < counts[c]; ++j) {
        uint64_t label, mask;
        walk_leaf(seeds[c], j, rounds, &label, &mask);
        ASSERT_EQ(got.labels[got.offsets[k] + j], label) << "rounds " << rounds << " c " << c;
        ASSERT_EQ(got.masks[got.offsets[k] + j], mask) << "rounds " << rounds << " c " << c;
      }
    }
  }
  omp_set_num_threads(saved);
}

TEST(ListEntryMasks, OffsetsFollowProbeOrder) {
  std::mt19937_64 rng(24);
  auto seeds = random_seeds(rng, 3);
  ListMasks got = list_entry_masks({2, 0}, seeds, {3, 7, 1}, 32);
  EXPECT_EQ(got.offsets, (std::vector<uint64_t>{0, 1, 4}));
  uint64_t label, mask;
  walk_leaf(seeds[2], 0, 32, &label, &mask);
  EXPECT_EQ(got.labels[0], label);
  walk_leaf(seeds[0], 2, 32, &label, &mask);
  EXPECT_EQ(got.labels[3], label);
  EXPECT_EQ(got.masks[3], mask);

  ::testing::internal::CaptureStdout();
  ListMasks none = list_entry_masks({}, seeds, {3, 7, 1}, 32);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "empty input\n");
  EXPECT_TRUE(none.labels.empty() && none.masks.empty() && none.offsets.empty());
}

// Items appended to lists in a shuffled order, as an upsert assigns them
// (some lists dense and long, others sparse, one item at the last possible
// leaf), sealed on several threads: the query side regenerates the same
// labels, and unmasking the stored values gives back the tokens.
TEST(ListEntries, UpsertAndQuerySidesAgreeAndUnmask) {
  std::mt19937_64 rng(25);
  auto seeds = random_seeds(rng, 8);
  std::vector<uint32_t> centroids, leaves, counts(8, 0);
  std::vector<uint64_t> tokens;
  for (int i = 0; i < 3000; ++i) {
    uint32_t c = (i % 10 == 0) ? static_cast<uint32_t>(rng() % 8) : static_cast<uint32_t>(i % 3);
    centroids.push_back(c);
    leaves.push_back(counts[c]++);
    tokens.push_back(rng());
  }
  centroids.push_back(7);
  leaves.push_back(0xffffffffu);
  tokens.push_back(rng());
  const int saved = omp_get_max_threads();
  omp_set_num_threads(4);
  ListEntries stored = encrypt_list_entries(centroids, tokens, seeds, 32, leaves);
  omp_set_num_threads(saved);
  ASSERT_EQ(stored.labels.size(), tokens.size());
  std::map<uint64_t, std::pair<uint64_t, uint64_t>> by_label;  // label -> (masked, token)
  for (size_t i = 0; i < tokens.size(); ++i) {
    uint64_t label, mask;
    walk_leaf(seeds[centroids[i]], leaves[i], 32, &label, &mask);
    ASSERT_EQ(stored.labels[i], label) << i;
    ASSERT_EQ(stored.masked_tokens[i], mask ^ tokens[i]) << i;
    by_label[label] = {stored.masked_tokens[i], tokens[i]};
  }
  EXPECT_EQ(by_label.size(), tokens.size()) << "labels collide";

  ListMasks query = list_entry_masks({0, 1, 2, 3, 4, 5, 6, 7}, seeds, counts, 32);
  ByteMatrix rows;
  rows.cols = 8;
  rows.rows = query.labels.size();
  std::vector<uint64_t> expected;
  for (uint64_t label : query.labels) {
    auto it = by_label.find(label);
    ASSERT_NE(it, by_label.end());
    for (int b = 0; b < 8; ++b)
      rows.data.push_back(static_cast<uint8_t>(it->second.first >> (8 * b)));
    expected.push_back(it->second.second);
  }
  EXPECT_EQ(unmask_item_ids(rows, query.masks), expected);
}

TEST(ListEntries, RefusesBadArgumentsWithTheirMessages) {
  std::mt19937_64 rng(28);
  auto seeds = random_seeds(rng, 2);
  auto error = [](auto&& fn) { return error_text<std::runtime_error>(fn); };
  EXPECT_EQ(error([&] {
              encrypt_list_entries({0}, {1, 2}, seeds, 32, {0});
            }),
            "The number of centroid Ids does not match the number item Ids.");
  EXPECT_EQ(error([&] { encrypt_list_entries({0}, {1}, seeds, 0, {0}); }),
            "The number of round should be at least 1.");
  EXPECT_EQ(error([&] {
              list_entry_masks({0, 1, 0}, seeds, {1, 1}, 32);
            }),
            "Number of centroid not matching the number of seeds.");
  EXPECT_EQ(error([&] {
              list_entry_masks({0}, seeds, {1, 1}, 0);
            }),
            "The number of round should be at lest 1.");
  // Numbers past the seeds, counts or leaves are refused instead of read.
  const std::string none = error([] {});
  EXPECT_NE(error([&] { encrypt_list_entries({2}, {1}, seeds, 32, {0}); }), none);
  EXPECT_NE(error([&] { encrypt_list_entries({0, 1}, {1, 2}, seeds, 32, {0}); }), none);
  EXPECT_NE(error([&] { list_entry_masks({1}, seeds, {4}, 32); }), none);
  EXPECT_NE(error([&] { list_entry_masks({5}, seeds, {4, 4, 4, 4, 4, 4}, 32); }), none);
}

TEST(UnmaskItemIds, RowWidthAndCounts) {
  ByteMatrix wide(Bytes(32, 0), 16);
  EXPECT_EQ(error_text<std::runtime_error>([&] {
              unmask_item_ids(wide, {1, 2});
            }),
            "Invalid encrypted item ID size");
  ByteMatrix two(Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}, 8);
  EXPECT_EQ(unmask_item_ids(two, {3, 1}), (std::vector<uint64_t>{2, 0x8000000000000001ULL}));
  EXPECT_THROW(unmask_item_ids(two, {3}), std::runtime_error);
  // An empty read (every probed list empty) unmasks to nothing.
  EXPECT_TRUE(unmask_item_ids(ByteMatrix(), {}).empty());
}

}  // namespace
}  // namespace tavrin
