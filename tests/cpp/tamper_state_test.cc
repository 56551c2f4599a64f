// The plain values of the tamper-evident format: a bucket row with its delta
// put over it (into a new row and into the row itself), against a map of
// token to entry, and the state row's delta
// versions through a round trip and through malformed rows.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "encrypted_index/tamper_state.h"

namespace tavrin {
namespace {

std::vector<BucketItem> sorted_items(const std::map<uint64_t, BucketItem>& m) {
  std::vector<BucketItem> out;
  for (const auto& [token, item] : m) out.push_back(item);
  return out;
}

Bytes serialize_bucket(const std::vector<BucketItem>& items) {
  Bytes out(serialized_bucket_size(items.size()));
  serialize_bucket_at(items, out.data());
  return out;
}

bool same(const std::vector<BucketItem>& a, const std::vector<BucketItem>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].token != b[i].token || a[i].version != b[i].version ||
        a[i].contents_version != b[i].contents_version || a[i].list != b[i].list ||
        a[i].secret != b[i].secret) {
      return false;
    }
  }
  return true;
}

TEST(TamperState, ADeltaPutOverItsRowGivesTheEntriesAMapWouldHold) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    // Tokens drawn from a small range, so that rows and deltas share many.
    auto token = [&] { return rng() % 64; };
    auto entry = [&](uint64_t t) {
      BucketItem item;
      item.token = t;
      item.version = 1 + rng() % 5;
      item.contents_version = rng() % 3;
      item.list = static_cast<uint32_t>(rng() % 9);
      item.secret = {rng(), rng()};
      return item;
    };
    std::map<uint64_t, BucketItem> row, delta;
    for (int k = rng() % 20; k > 0; --k) {
      const uint64_t t = token();
      row[t] = entry(t);
    }
    // Half the deltas only add and replace, the way a batch of upserts does.
    const bool removals = trial % 2 == 0;
    for (int k = rng() % 20; k > 0; --k) {
      const uint64_t t = token();
      BucketItem removal;
      removal.token = t;
      delta[t] = removals && rng() % 3 == 0 ? removal : entry(t);
    }
    std::map<uint64_t, BucketItem> want = row;
    for (const auto& [t, d] : delta) {
      if (is_removal(d)) {
        want.erase(t);
      } else {
        want[t] = d;
      }
    }
    std::vector<BucketItem> got;
    ASSERT_TRUE(apply_bucket_delta(sorted_items(row), sorted_items(delta), &got));
    EXPECT_TRUE(same(got, sorted_items(want))) << "trial " << trial;
    std::vector<BucketItem> folded = sorted_items(row);
    ASSERT_TRUE(fold_bucket_delta(&folded, sorted_items(delta)));
    EXPECT_TRUE(same(folded, sorted_items(want))) << "trial " << trial;
    // Both round-trip through their stored form.
    std::vector<BucketItem> parsed;
    ASSERT_TRUE(parse_bucket(ByteView(serialize_bucket(sorted_items(delta))), &parsed));
    EXPECT_TRUE(same(parsed, sorted_items(delta)));
  }
  // A removal that carries more than its token is no removal a writer makes.
  BucketItem odd;
  odd.token = 3;
  odd.list = 1;
  std::vector<BucketItem> out;
  EXPECT_FALSE(apply_bucket_delta({}, {odd}, &out));
  std::vector<BucketItem> kept = {odd};
  kept[0].token = 1, kept[0].version = 2;
  EXPECT_FALSE(fold_bucket_delta(&kept, {odd}));
  EXPECT_TRUE(kept.size() == 1 && kept[0].token == 1);
  // Tokens out of order are refused.
  BucketItem a, b;
  a.token = 9, a.version = 1, b.token = 4, b.version = 1;
  EXPECT_FALSE(parse_bucket(ByteView(serialize_bucket({a, b})), &out));
}

// In the default layout and in the earlier one of 1,024 buckets, which
// indexes made before keep: the state row says how many buckets there are.
TEST(TamperState, DeltaVersionsRoundTripAndStandOnlyBesideARow) {
  for (uint32_t bits : {kBucketBits, 10u}) {
    SCOPED_TRACE(bits);
    TamperState s = TamperState::Empty(3, 5, 77, bits);
    const uint32_t last = s.buckets() - 1;
    s.bucket_epochs[2] = 11;
    s.bucket_epochs[last] = 12;
    s.delta_epochs[last] = 13;
    s.dead.push_back({1, 99});
    const Bytes row = s.Serialize();
    TamperState back;
    ASSERT_TRUE(TamperState::Parse(ByteView(row), 3, &back));
    EXPECT_EQ(back.bucket_bits(), bits);
    EXPECT_EQ(back.delta_epochs, s.delta_epochs);
    EXPECT_EQ(back.bucket_epochs, s.bucket_epochs);
    EXPECT_EQ(back.write_id, 77u);
    // A token's bucket is its top bits.
    EXPECT_EQ(back.bucket_of(~uint64_t{0}), last);
    EXPECT_EQ(back.bucket_of(uint64_t{1} << (64 - bits)), 1u);

    // A row from before delta rows (no section at its end) reads as none.
    TamperState plain = TamperState::Empty(3, 5, 78, bits);
    Bytes old = plain.Serialize();
    old.resize(old.size() - 4);  // the empty section's count
    ASSERT_TRUE(TamperState::Parse(ByteView(old), 3, &back));
    EXPECT_EQ(back.delta_epochs, std::vector<uint64_t>(s.buckets(), 0));

    auto refused = [&](const TamperState& t) {
      TamperState out;
      return !TamperState::Parse(ByteView(t.Serialize()), 3, &out);
    };
    TamperState no_row = s;
    no_row.delta_epochs[5] = 14;  // bucket 5 has no row
    EXPECT_TRUE(refused(no_row));
    // Bucket counts that are no power of two, or out of range, are refused.
    for (size_t count : {size_t{0}, size_t{8}, size_t{300}, size_t{1} << 17}) {
      TamperState odd = plain;
      odd.bucket_epochs.assign(count, 0);
      odd.delta_epochs.assign(count, 0);
      EXPECT_TRUE(refused(odd)) << count;
    }
    // Every prefix is refused, and so is a byte more.
    for (size_t n = 0; n < row.size(); ++n) {
      if (n == row.size() - 16) continue;  // cut just before the section: not this row's length
      EXPECT_FALSE(TamperState::Parse(ByteView(row.data(), n), 3, &back)) << n;
    }
    Bytes longer = row;
    longer.push_back(0);
    EXPECT_FALSE(TamperState::Parse(ByteView(longer), 3, &back));
  }
}

}  // namespace
}  // namespace tavrin
