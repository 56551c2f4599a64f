#include "crypto/list_entry_labels.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <map>
#include <random>
#include <set>
#include <string>

#include "crypto/keyed_hash.h"
#include "crypto_reference.h"

namespace tavrin {
namespace {

std::vector<CentroidSeed> random_seeds(std::mt19937_64& rng, size_t n) {
  std::vector<CentroidSeed> seeds(n);
  for (auto& s : seeds)
    for (auto& b : s) b = static_cast<uint8_t>(rng());
  return seeds;
}

template <typename F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
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
  EXPECT_TRUE(make_centroid_seeds(0, k, name_key).empty());
}

TEST(TreeWalk, PlainWalkMatchesByteLevelReference) {
  std::mt19937_64 rng(22);
  auto seeds = random_seeds(rng, 4);
  for (uint32_t rounds : {1u, 2u, 9u, 10u, 31u, 32u, 33u, 40u}) {
    for (uint32_t leaf : {0u, 1u, 2u, 1023u, 1024u, 0x7fffffffu, 0xffffffffu}) {
      uint64_t label, mask, ref_label, ref_mask;
      walk_leaf(seeds[leaf % 4], leaf, rounds, &label, &mask);
      testref::tree_walk(seeds[leaf % 4].data(), leaf, rounds, &ref_label, &ref_mask);
      ASSERT_EQ(label, ref_label) << "rounds " << rounds << " leaf " << leaf;
      ASSERT_EQ(mask, ref_mask) << "rounds " << rounds << " leaf " << leaf;
    }
  }
}

// The shared-state walk over whole lists against the plain per-leaf walk, on
// random seeds and counts that start, end and cross 1024-leaf blocks, and on
// depths below, at and above the block size and the 32 leaf bits.
TEST(ListEntryMasks, SharedWalkEqualsPlainWalk) {
  std::mt19937_64 rng(23);
  for (uint32_t rounds : {1u, 3u, 9u, 10u, 11u, 32u, 35u}) {
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

  testing::internal::CaptureStdout();
  ListMasks none = list_entry_masks({}, seeds, {3, 7, 1}, 32);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "empty input\n");
  EXPECT_TRUE(none.labels.empty() && none.masks.empty() && none.offsets.empty());
}

TEST(ListEntries, UpsertAndQuerySidesAgreeAndUnmask) {
  std::mt19937_64 rng(25);
  auto seeds = random_seeds(rng, 8);
  // Items appended to lists in a shuffled order, as an upsert assigns them:
  // some lists dense and long, others with a single entry.
  std::vector<uint32_t> centroids, leaves;
  std::vector<uint64_t> tokens;
  std::vector<uint32_t> counts(8, 0);
  for (int i = 0; i < 3000; ++i) {
    uint32_t c = (i % 10 == 0) ? static_cast<uint32_t>(rng() % 8) : static_cast<uint32_t>(i % 3);
    centroids.push_back(c);
    leaves.push_back(counts[c]++);
    tokens.push_back(rng());
  }
  ListEntries stored = encrypt_list_entries(centroids, tokens, seeds, 32, leaves);
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

  std::vector<uint32_t> probes = {0, 1, 2, 3, 4, 5, 6, 7};
  ListMasks query = list_entry_masks(probes, seeds, counts, 32);
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

TEST(ListEntries, LeavesAndCentroidsGiveDistinctLabels) {
  std::mt19937_64 rng(26);
  auto seeds = random_seeds(rng, 2);
  ListEntries e = encrypt_list_entries({0, 0, 1}, {9, 9, 9}, seeds, 32, {0, 1, 0});
  EXPECT_NE(e.labels[0], e.labels[1]);
  EXPECT_NE(e.labels[0], e.labels[2]);
  EXPECT_NE(e.masked_tokens[0], e.masked_tokens[1]);
}

TEST(ListEntries, SameResultsWithOneAndManyThreads) {
  std::mt19937_64 rng(27);
  auto seeds = random_seeds(rng, 50);
  std::vector<uint32_t> centroids, leaves, counts(50, 0);
  std::vector<uint64_t> tokens;
  for (int i = 0; i < 20000; ++i) {
    uint32_t c = static_cast<uint32_t>(rng() % 50);
    centroids.push_back(c);
    leaves.push_back(counts[c]++);
    tokens.push_back(rng());
  }
  leaves[7] = 0xffffffffu;  // the last possible leaf, alone in its block
  std::vector<uint32_t> probes(50);
  for (uint32_t c = 0; c < 50; ++c) probes[c] = 49 - c;
  const int saved = omp_get_max_threads();
  omp_set_num_threads(1);
  ListEntries e1 = encrypt_list_entries(centroids, tokens, seeds, 32, leaves);
  ListMasks m1 = list_entry_masks(probes, seeds, counts, 32);
  omp_set_num_threads(4);
  ListEntries e4 = encrypt_list_entries(centroids, tokens, seeds, 32, leaves);
  ListMasks m4 = list_entry_masks(probes, seeds, counts, 32);
  omp_set_num_threads(saved);
  EXPECT_EQ(e1.labels, e4.labels);
  EXPECT_EQ(e1.masked_tokens, e4.masked_tokens);
  EXPECT_EQ(m1.labels, m4.labels);
  EXPECT_EQ(m1.masks, m4.masks);
  EXPECT_EQ(m1.offsets, m4.offsets);
  uint64_t label, mask;
  walk_leaf(seeds[centroids[7]], 0xffffffffu, 32, &label, &mask);
  EXPECT_EQ(e4.labels[7], label);
}

TEST(ListEntries, RefusesBadArgumentsWithTheirMessages) {
  std::mt19937_64 rng(28);
  auto seeds = random_seeds(rng, 2);
  EXPECT_EQ(error_of([&] {
              encrypt_list_entries({0}, {1, 2}, seeds, 32, {0});
            }),
            "The number of centroid Ids does not match the number item Ids.");
  EXPECT_EQ(error_of([&] { encrypt_list_entries({0}, {1}, seeds, 0, {0}); }),
            "The number of round should be at least 1.");
  EXPECT_EQ(error_of([&] {
              list_entry_masks({0, 1, 0}, seeds, {1, 1}, 32);
            }),
            "Number of centroid not matching the number of seeds.");
  EXPECT_EQ(error_of([&] {
              list_entry_masks({0}, seeds, {1, 1}, 0);
            }),
            "The number of round should be at lest 1.");
  // Numbers past the seeds, counts or leaves are refused instead of read.
  EXPECT_NE(error_of([&] { encrypt_list_entries({2}, {1}, seeds, 32, {0}); }), "");
  EXPECT_NE(error_of([&] { encrypt_list_entries({0, 1}, {1, 2}, seeds, 32, {0}); }), "");
  EXPECT_NE(error_of([&] { list_entry_masks({1}, seeds, {4}, 32); }), "");
  EXPECT_NE(error_of([&] { list_entry_masks({5}, seeds, {4, 4, 4, 4, 4, 4}, 32); }), "");
}

TEST(UnmaskItemIds, RowWidthAndCounts) {
  ByteMatrix wide(Bytes(32, 0), 16);
  EXPECT_EQ(error_of([&] { unmask_item_ids(wide, {1, 2}); }), "Invalid encrypted item ID size");
  ByteMatrix two(Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}, 8);
  EXPECT_EQ(unmask_item_ids(two, {3, 1}), (std::vector<uint64_t>{2, 0x8000000000000001ULL}));
  EXPECT_NE(error_of([&] { unmask_item_ids(two, {3}); }), "");
  // An empty read (no entries in any probed list) unmasks to nothing.
  EXPECT_TRUE(unmask_item_ids(ByteMatrix(), {}).empty());
}

}  // namespace
}  // namespace tavrin
