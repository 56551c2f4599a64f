// The pieces of the tamper-evident storage format that are plain values:
// where each sealed value lives, the associated data that binds it there,
// the padding of plaintexts, the state row and the bucket rows.
//
// The state row (index store, key kCountsKey) is the one commit point: the
// epoch every write advances, per list the positions handed out, the first
// position still read (base), the live items and the 128-bit sum of their
// records' secrets (random values sealed inside each record, never seen by a
// store), the version (write id) of each bucket row and delta row, of the
// map and of the index record, and the values the last write made dead but
// may not have removed yet. Everything else is written under keys that name the write id
// of the commit that wrote it, before the state row that refers to it; a
// reader verifies each list it reads against its summary and each item it
// gets against its bucket row.
//
// Bucket rows (index store, one per bucket of item tokens that holds items)
// are the authenticated index of live items: token, version, contents
// version, list and the record's secret, sorted by token. A bucket may also
// have a delta row: the entries that differ from its row (an entry of
// version 0 removes the token), so that a write rewrites what it changed
// rather than every bucket row it touched; the row is rewritten whole, and
// the delta dropped, once the delta grows past half the row.
#ifndef TAVRIN_ENCRYPTED_INDEX_TAMPER_STATE_H_
#define TAVRIN_ENCRYPTED_INDEX_TAMPER_STATE_H_

#include <array>
#include <cstdint>
#include <vector>

#include "common/row_matrix.h"
#include "crypto/sealed_record.h"

namespace tavrin {

// A token's bucket is its top bits. New indexes have 2^kBucketBits
// buckets; an index keeps the count it was made with (its state row holds a
// version per bucket), so that indexes made with 1,024 still load. Fewer
// buckets make a write touch fewer rows: a batch that touched all 1,024
// wrote, sealed and replaced 1,024 small rows per commit.
inline constexpr uint32_t kBucketBits = 8;
inline constexpr uint32_t kMinBucketBits = 4;
inline constexpr uint32_t kMaxBucketBits = 16;

// What a sealed value is; part of its associated data.
enum class SealKind : uint8_t {
  kState = 1,
  kBucket = 2,
  kRecord = 3,
  kContents = 4,
  kMap = 5,
  kIndexRecord = 6,
  kConfig = 7,
  kTip = 8,
  kBucketDelta = 9,
};

// "TVTE", format version 1, the kind, then scope (the hashed index name),
// the store key and one more value, little-endian.
RecordAd make_ad(SealKind kind, uint64_t scope, uint64_t key, uint64_t extra);

inline uint32_t bucket_of(uint64_t token, uint32_t bits) {
  return static_cast<uint32_t>(token >> (64 - bits));
}
// Store keys of versioned values. Tokens are secret and pseudorandom; the
// mixing keeps the versions of one item apart.
uint64_t record_key(uint64_t token, uint64_t version);
uint64_t contents_key(uint64_t content_token, uint64_t version);
uint64_t bucket_key(uint32_t bucket, uint64_t version, uint32_t bits);
uint64_t bucket_delta_key(uint32_t bucket, uint64_t version, uint32_t bits);
uint64_t map_key(uint64_t version);
uint64_t index_record_key(uint64_t version);
// The tip of an epoch: written with its state row, removed by the next
// commit, so that a state row put back from an earlier epoch finds no tip.
uint64_t tip_key(uint64_t epoch);

// Padded plaintext sizes: multiples of 64 bytes up to 1 KiB, then of 1 KiB,
// so that lengths tell items apart only by bucket.
size_t padded_size(size_t n);
// u32 length || bytes || zeros up to padded_size, or with `coarse` up to
// the next power of two (at least 1 KiB): for the index records, whose
// trained centroids would otherwise give the dimension to within 1 KiB.
Bytes frame(ByteView bytes, bool coarse = false);
// The framed bytes, or false when the length does not fit.
bool unframe(ByteView framed, ByteView* bytes);

struct ListSummary {
  uint32_t base = 0;   // first position read
  uint32_t count = 0;  // positions handed out
  uint32_t live = 0;
  std::array<uint64_t, 2> sum{};  // of the live records' secrets, per lane mod 2^64

  bool operator==(const ListSummary& o) const {
    return base == o.base && count == o.count && live == o.live && sum == o.sum;
  }
};

inline void add_secret(std::array<uint64_t, 2>& sum, const std::array<uint64_t, 2>& s) {
  sum[0] += s[0];
  sum[1] += s[1];
}
inline void sub_secret(std::array<uint64_t, 2>& sum, const std::array<uint64_t, 2>& s) {
  sum[0] -= s[0];
  sum[1] -= s[1];
}

// A value the last write replaced: the store role and key.
struct DeadValue {
  uint8_t role = 0;
  uint64_t key = 0;
};
struct DeadRange {
  uint32_t list = 0, from = 0, to = 0;
};

struct TamperState {
  uint64_t epoch = 0;
  // The random id of the commit that wrote this row: the version that every
  // value it wrote carries in its key and associated data. An epoch numbers
  // attempts too (a writer that dies before its state row leaves values of
  // the next epoch, and so may a stale lease holder), so an epoch alone could
  // not tell the committed values from an abandoned attempt's, which a store
  // could put back under the same keys; an id drawn afresh for each attempt
  // can.
  uint64_t write_id = 0;
  // Versions (write ids) of the values the state refers to.
  uint64_t record_epoch = 0;  // 0: the index record is the configuration item
  uint64_t map_epoch = 0;     // 0: no map
  std::vector<ListSummary> lists;
  std::vector<uint64_t> bucket_epochs;  // one per bucket, versions; 0: no row
  std::vector<uint64_t> delta_epochs;   // one per bucket, versions of delta rows; 0: none
  std::vector<DeadValue> dead;
  std::vector<DeadRange> dead_ranges;

  static TamperState Empty(uint64_t n_lists, uint64_t epoch, uint64_t write_id,
                           uint32_t bucket_bits = kBucketBits);
  // The layout is the number of bucket versions: a power of two (the
  // default layout before any is set).
  uint32_t buckets() const { return 1u << bucket_bits(); }
  uint32_t bucket_bits() const {
    return bucket_epochs.empty() ? kBucketBits
                                 : static_cast<uint32_t>(__builtin_ctzll(bucket_epochs.size()));
  }
  uint32_t bucket_of(uint64_t token) const { return tavrin::bucket_of(token, bucket_bits()); }
  uint64_t live() const;
  Bytes Serialize() const;
  // False when the bytes are not a state row of n_lists lists and a power
  // of two of buckets from 2^kMinBucketBits to 2^kMaxBucketBits.
  static bool Parse(ByteView bytes, uint64_t n_lists, TamperState* out);
};

struct BucketItem {
  uint64_t token = 0;
  uint64_t version = 0;
  uint64_t contents_version = 0;  // 0: no contents
  uint32_t list = 0;
  std::array<uint64_t, 2> secret{};
};

inline constexpr size_t kBucketItemSize = 44;
// A bucket row's stored form (u32 count, then 44 bytes per entry), written
// at `at`, which has serialized_bucket_size() bytes: rows are built where
// they are sealed.
inline size_t serialized_bucket_size(size_t items) { return 4 + kBucketItemSize * items; }
void serialize_bucket_at(const std::vector<BucketItem>& items, uint8_t* at);
// False unless the tokens strictly increase.
bool parse_bucket(ByteView bytes, std::vector<BucketItem>* out);
// A delta entry that removes its token: version 0.
inline bool is_removal(const BucketItem& item) { return item.version == 0; }
// A removal as a writer makes it: the token and nothing else.
inline bool is_bare_removal(const BucketItem& item) {
  return is_removal(item) && item.contents_version == 0 && item.list == 0 && item.secret[0] == 0 &&
         item.secret[1] == 0;
}
// Whether entries sorted by token hold `token`.
bool holds_token(const std::vector<BucketItem>& sorted, uint64_t token);
// The entries of `row` with those of `delta` put over them (both sorted by
// token); false when a removal carries anything but its token.
bool apply_bucket_delta(const std::vector<BucketItem>& row, const std::vector<BucketItem>& delta,
                        std::vector<BucketItem>* out);
// The same, into `row` itself; false (and the row unchanged) when a removal
// carries anything but its token.
bool fold_bucket_delta(std::vector<BucketItem>* row, const std::vector<BucketItem>& delta);

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_TAMPER_STATE_H_
