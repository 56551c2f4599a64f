// The list store's kept leaves against a list store that derives every leaf
// on each read: random writes, erasures and reads of whole lists, of ranges
// and of older counts, on a budget small enough that reads outgrow it.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "backing_store/memory_keystore.h"
#include "encrypted_index/list_store.h"
#include "test_util.h"

namespace tavrin {
namespace {

using tavrin_encrypted_index::internal::backing_store::MemoryKeystore;
using testing::error_text;

TEST(ListStoreTest, KeptLeavesReadAsEveryLeafDerivedAgain) {
  constexpr uint64_t kLists = 9;
  constexpr uint64_t kBudget = 400;
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    MemoryKeystore store("lists", 77, 0);
    Key256 index_key{}, name_key{};
    for (size_t i = 0; i < index_key.size(); ++i) {
      index_key[i] = static_cast<uint8_t>(rng());
      name_key[i] = static_cast<uint8_t>(rng());
    }
    const uint32_t rounds = seed % 2 == 0 ? 16 : 24;
    ListStore plain(store, index_key, name_key, kLists, rounds);
    ListStore kept(store, index_key, name_key, kLists, rounds);
    kept.KeepLeaves(kBudget);
    std::vector<std::vector<uint32_t>> snapshots;
    uint64_t next_token = 1;
    for (int step = 0; step < 120; ++step) {
      const int op = static_cast<int>(rng() % 10);
      if (op < 4) {  // a batch of new entries
        std::vector<uint32_t> lists;
        std::vector<uint64_t> tokens;
        for (uint64_t n = 1 + rng() % 40; n > 0; --n) {
          lists.push_back(static_cast<uint32_t>(rng() % kLists));
          tokens.push_back(next_token++);
        }
        const PendingEntries pending = plain.Reserve(lists, tokens);
        plain.Write(pending, 0, lists.size());
        kept.LoadCounts();
        snapshots.push_back(plain.counts());
      } else if (op == 4) {  // erased positions read as absent in both
        const auto list = static_cast<uint32_t>(rng() % kLists);
        const uint32_t count = plain.counts()[list];
        if (count > 0) {
          const auto from = static_cast<uint32_t>(rng() % count);
          plain.Erase(list, from, from + 1 + static_cast<uint32_t>(rng() % 3));
        }
      } else {  // reads: whole lists, ranges, older counts, repeated lists
        std::vector<uint32_t> lists;
        for (uint64_t n = 1 + rng() % 6; n > 0; --n) {
          lists.push_back(static_cast<uint32_t>(rng() % kLists));
        }
        std::vector<uint32_t> counts = plain.counts();
        if (op == 6 && !snapshots.empty()) counts = snapshots[rng() % snapshots.size()];
        std::vector<uint32_t> starts;
        if (op >= 8) {
          starts.resize(kLists);
          for (uint64_t c = 0; c < kLists; ++c) {
            starts[c] = counts[c] == 0 ? 0 : static_cast<uint32_t>(rng() % (counts[c] + 1));
          }
          // Now and then a start past its count: both refuse it alike.
          if (op == 9 && counts[lists[0]] > 0) starts[lists[0]] = counts[lists[0]] + 1;
        }
        const std::string want_error =
            error_text([&] { plain.ReadRange(lists, starts, counts); });
        const std::string got_error = error_text([&] { kept.ReadRange(lists, starts, counts); });
        ASSERT_EQ(got_error, want_error);
        if (want_error != error_text([] {})) continue;  // refused by both
        const ListTokens want = plain.ReadRange(lists, starts, counts);
        const ListTokens got = kept.ReadRange(lists, starts, counts);
        ASSERT_EQ(got.offsets, want.offsets) << "step " << step;
        ASSERT_EQ(got.tokens, want.tokens) << "step " << step;
      }
      ASSERT_LE(kept.kept_leaves(), kBudget);
      ASSERT_EQ(plain.kept_leaves(), 0u);
    }
    // A first read of whole lists on a new handle, then the same read again
    // from what it kept.
    ListStore again(store, index_key, name_key, kLists, rounds);
    again.KeepLeaves(1 << 20);
    again.LoadCounts();
    std::vector<uint32_t> all;
    for (uint32_t c = 0; c < kLists; ++c) {
      if (plain.counts()[c] > 0) all.push_back(c);
    }
    const ListTokens want = plain.Read(all);
    for (int read = 0; read < 2; ++read) {
      const ListTokens got = again.Read(all);
      EXPECT_EQ(got.offsets, want.offsets);
      EXPECT_EQ(got.tokens, want.tokens);
    }
    // The reads kept leaves, and a new budget starts from none.
    EXPECT_GT(kept.kept_leaves(), 0u);
    kept.KeepLeaves(kBudget);
    EXPECT_EQ(kept.kept_leaves(), 0u);
  }
}

}  // namespace
}  // namespace tavrin
