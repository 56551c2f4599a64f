#include "encrypted_index/tamper_state.h"

#include <algorithm>
#include <cstring>

#include "common/coding.h"

namespace tavrin {
namespace {

// splitmix64's finalizer: a bijection, so distinct inputs never share a key.
uint64_t mix64(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  x ^= x >> 31;
  return x;
}

// Appends little-endian values; reads them back with bounds checks.
struct Writer {
  Bytes out;
  void u8(uint8_t v) { out.push_back(v); }
  void u32(uint32_t v) {
    out.resize(out.size() + 4);
    EncodeFixed32(out.data() + out.size() - 4, v);
  }
  void u64(uint64_t v) {
    out.resize(out.size() + 8);
    EncodeFixed64(out.data() + out.size() - 8, v);
  }
};

struct Reader {
  ByteView in;
  size_t at = 0;
  bool ok = true;
  bool need(size_t n) {
    ok = ok && at <= in.size() && in.size() - at >= n;
    return ok;
  }
  uint8_t u8() { return need(1) ? in.data()[at++] : 0; }
  uint32_t u32() {
    if (!need(4)) return 0;
    at += 4;
    return DecodeFixed32(in.data() + at - 4);
  }
  uint64_t u64() {
    if (!need(8)) return 0;
    at += 8;
    return DecodeFixed64(in.data() + at - 8);
  }
  // A count of items of `size` bytes each that the rest can hold.
  bool count(uint32_t n, size_t size) { return need(0) && (in.size() - at) / size >= n; }
};

}  // namespace

RecordAd make_ad(SealKind kind, uint64_t scope, uint64_t key, uint64_t extra) {
  RecordAd ad{};
  std::memcpy(ad.data(), "TVTE", 4);
  ad[4] = 1;
  ad[5] = static_cast<uint8_t>(kind);
  EncodeFixed64(ad.data() + 8, scope);
  EncodeFixed64(ad.data() + 16, key);
  EncodeFixed64(ad.data() + 24, extra);
  return ad;
}

uint64_t record_key(uint64_t token, uint64_t version) { return token ^ mix64(version); }
uint64_t contents_key(uint64_t content_token, uint64_t version) {
  return content_token ^ mix64(version ^ 0x6a09e667f3bcc908ull);
}
uint64_t bucket_key(uint32_t bucket, uint64_t version, uint32_t bits) {
  return mix64((version << bits | bucket) ^ 0xbb67ae8584caa73bull);
}
uint64_t bucket_delta_key(uint32_t bucket, uint64_t version, uint32_t bits) {
  return mix64((version << bits | bucket) ^ 0x9b05688c2b3e6c1full);
}
uint64_t map_key(uint64_t version) { return mix64(version ^ 0x3c6ef372fe94f82bull); }
uint64_t index_record_key(uint64_t version) { return mix64(version ^ 0xa54ff53a5f1d36f1ull); }
uint64_t tip_key(uint64_t epoch) { return mix64(epoch ^ 0x510e527fade682d1ull); }

size_t padded_size(size_t n) {
  const size_t unit = n <= 1024 ? 64 : 1024;
  return n == 0 ? unit : (n + unit - 1) / unit * unit;
}

Bytes frame(ByteView bytes, bool coarse) {
  size_t size = padded_size(bytes.size() + 4);
  if (coarse) {
    size = 1024;
    while (size < bytes.size() + 4) size *= 2;
  }
  Bytes out(size, 0);
  EncodeFixed32(out.data(), static_cast<uint32_t>(bytes.size()));
  if (!bytes.empty()) std::memcpy(out.data() + 4, bytes.data(), bytes.size());
  return out;
}

bool unframe(ByteView framed, ByteView* bytes) {
  if (framed.size() < 4) return false;
  const uint32_t n = DecodeFixed32(framed.data());
  if (framed.size() - 4 < n) return false;
  *bytes = ByteView(framed.data() + 4, n);
  return true;
}

TamperState TamperState::Empty(uint64_t n_lists, uint64_t epoch, uint64_t write_id,
                               uint32_t bucket_bits) {
  TamperState state;
  state.epoch = epoch;
  state.write_id = write_id;
  state.lists.assign(n_lists, ListSummary());
  state.bucket_epochs.assign(size_t{1} << bucket_bits, 0);
  state.delta_epochs.assign(size_t{1} << bucket_bits, 0);
  return state;
}

uint64_t TamperState::live() const {
  uint64_t n = 0;
  for (const ListSummary& l : lists) n += l.live;
  return n;
}

Bytes TamperState::Serialize() const {
  Writer w;
  w.u64(epoch);
  w.u64(write_id);
  w.u64(record_epoch);
  w.u64(map_epoch);
  w.u32(static_cast<uint32_t>(lists.size()));
  for (const ListSummary& l : lists) {
    w.u32(l.base);
    w.u32(l.count);
    w.u32(l.live);
    w.u64(l.sum[0]);
    w.u64(l.sum[1]);
  }
  w.u32(static_cast<uint32_t>(bucket_epochs.size()));
  for (uint64_t e : bucket_epochs) w.u64(e);
  w.u32(static_cast<uint32_t>(dead.size()));
  for (const DeadValue& d : dead) {
    w.u8(d.role);
    w.u64(d.key);
  }
  w.u32(static_cast<uint32_t>(dead_ranges.size()));
  for (const DeadRange& r : dead_ranges) {
    w.u32(r.list);
    w.u32(r.from);
    w.u32(r.to);
  }
  // Few buckets have a delta at a time: bucket and version of each.
  uint32_t deltas = 0;
  for (uint64_t e : delta_epochs) deltas += e != 0;
  w.u32(deltas);
  for (uint32_t b = 0; b < delta_epochs.size(); ++b) {
    if (delta_epochs[b] == 0) continue;
    w.u32(b);
    w.u64(delta_epochs[b]);
  }
  return std::move(w.out);
}

bool TamperState::Parse(ByteView bytes, uint64_t n_lists, TamperState* out) {
  Reader r{bytes};
  TamperState s;
  s.epoch = r.u64();
  s.write_id = r.u64();
  s.record_epoch = r.u64();
  s.map_epoch = r.u64();
  const uint32_t lists = r.u32();
  if (!r.ok || lists != n_lists || !r.count(lists, 28)) return false;
  s.lists.resize(lists);
  for (ListSummary& l : s.lists) {
    l.base = r.u32();
    l.count = r.u32();
    l.live = r.u32();
    l.sum[0] = r.u64();
    l.sum[1] = r.u64();
    if (l.base > l.count || l.live > l.count - l.base) return false;
  }
  const uint32_t buckets = r.u32();
  if (!r.ok || !r.count(buckets, 8)) return false;
  const bool power_of_two = buckets != 0 && (buckets & (buckets - 1)) == 0;
  if (!power_of_two || buckets < (1u << kMinBucketBits) || buckets > (1u << kMaxBucketBits)) {
    return false;
  }
  s.bucket_epochs.resize(buckets);
  for (uint64_t& e : s.bucket_epochs) e = r.u64();
  const uint32_t dead = r.u32();
  if (!r.ok || !r.count(dead, 9)) return false;
  s.dead.resize(dead);
  for (DeadValue& d : s.dead) {
    d.role = r.u8();
    d.key = r.u64();
  }
  const uint32_t ranges = r.u32();
  if (!r.ok || !r.count(ranges, 12)) return false;
  s.dead_ranges.resize(ranges);
  for (DeadRange& d : s.dead_ranges) {
    d.list = r.u32();
    d.from = r.u32();
    d.to = r.u32();
    if (d.list >= n_lists || d.from > d.to) return false;
  }
  s.delta_epochs.assign(buckets, 0);
  // Rows written before delta rows existed end here.
  const uint32_t deltas = r.ok && r.at == bytes.size() ? 0 : r.u32();
  if (!r.ok || !r.count(deltas, 12)) return false;
  for (uint32_t k = 0, last = 0; k < deltas; ++k) {
    const uint32_t b = r.u32();
    const uint64_t e = r.u64();
    // Increasing, and only beside a row: a delta applies to one.
    if (b >= buckets || (k > 0 && b <= last) || e == 0 || s.bucket_epochs[b] == 0) return false;
    s.delta_epochs[b] = e;
    last = b;
  }
  if (!r.ok || r.at != bytes.size()) return false;
  *out = std::move(s);
  return true;
}

// Fixed 44-byte items: a write re-serialises every bucket it touches, so
// this is one pass of stores into a buffer sized once.
void serialize_bucket_at(const std::vector<BucketItem>& items, uint8_t* p) {
  EncodeFixed32(p, static_cast<uint32_t>(items.size()));
  p += 4;
  for (const BucketItem& item : items) {
    EncodeFixed64(p, item.token);
    EncodeFixed64(p + 8, item.version);
    EncodeFixed64(p + 16, item.contents_version);
    EncodeFixed32(p + 24, item.list);
    EncodeFixed64(p + 28, item.secret[0]);
    EncodeFixed64(p + 36, item.secret[1]);
    p += kBucketItemSize;
  }
}

bool parse_bucket(ByteView bytes, std::vector<BucketItem>* out) {
  if (bytes.size() < 4) return false;
  const uint32_t n = DecodeFixed32(bytes.data());
  if ((bytes.size() - 4) / kBucketItemSize != n || (bytes.size() - 4) % kBucketItemSize != 0) return false;
  std::vector<BucketItem> items(n);
  const uint8_t* p = bytes.data() + 4;
  for (size_t i = 0; i < n; ++i, p += kBucketItemSize) {
    BucketItem& item = items[i];
    item.token = DecodeFixed64(p);
    item.version = DecodeFixed64(p + 8);
    item.contents_version = DecodeFixed64(p + 16);
    item.list = DecodeFixed32(p + 24);
    item.secret[0] = DecodeFixed64(p + 28);
    item.secret[1] = DecodeFixed64(p + 36);
    if (i > 0 && items[i - 1].token >= item.token) return false;
  }
  *out = std::move(items);
  return true;
}

bool holds_token(const std::vector<BucketItem>& sorted, uint64_t token) {
  auto at = std::lower_bound(sorted.begin(), sorted.end(), token,
                             [](const BucketItem& item, uint64_t t) { return item.token < t; });
  return at != sorted.end() && at->token == token;
}

bool apply_bucket_delta(const std::vector<BucketItem>& row, const std::vector<BucketItem>& delta,
                        std::vector<BucketItem>* out) {
  std::vector<BucketItem> merged;
  merged.reserve(row.size() + delta.size());
  size_t at = 0;
  for (const BucketItem& d : delta) {
    while (at < row.size() && row[at].token < d.token) merged.push_back(row[at++]);
    if (at < row.size() && row[at].token == d.token) ++at;
    if (!is_removal(d)) {
      merged.push_back(d);
    } else if (!is_bare_removal(d)) {
      return false;
    }
  }
  merged.insert(merged.end(), row.begin() + at, row.end());
  *out = std::move(merged);
  return true;
}

bool fold_bucket_delta(std::vector<BucketItem>* row, const std::vector<BucketItem>& delta) {
  if (std::any_of(delta.begin(), delta.end(), [](const BucketItem& d) { return is_removal(d); })) {
    std::vector<BucketItem> merged;
    if (!apply_bucket_delta(*row, delta, &merged)) return false;
    row->swap(merged);
    return true;
  }
  // No removal: the row only grows. Merged from the back into the row's own
  // storage, which grows geometrically, so that a bucket fed by many
  // writes is seldom reallocated.
  std::vector<BucketItem>& r = *row;
  size_t added = 0;
  for (size_t i = 0, j = 0; j < delta.size(); ++j) {
    while (i < r.size() && r[i].token < delta[j].token) ++i;
    if (i == r.size() || r[i].token != delta[j].token) ++added;
  }
  size_t i = r.size(), j = delta.size(), to = r.size() + added;
  r.resize(to);
  while (j > 0) {
    if (i > 0 && r[i - 1].token > delta[j - 1].token) {
      r[--to] = r[--i];
    } else {
      if (i > 0 && r[i - 1].token == delta[j - 1].token) --i;
      r[--to] = delta[--j];
    }
  }
  return true;
}

}  // namespace tavrin
