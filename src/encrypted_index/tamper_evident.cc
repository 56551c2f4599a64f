// The tamper-evident format: one commit per operation, lists checked against
// their summaries, items against their bucket rows (tamper_state.h).
//
// A write seals everything it stores under keys of the new epoch, beside the
// values the committed state refers to, and stores the state row last: a
// writer killed before that leaves the committed state whole (its new values
// are never referred to), one killed after it leaves the new state whole.
// Values the new state no longer refers to are listed in it as dead and
// removed after the commit, or by the next write if the writer died first;
// readers skip them meanwhile.
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "backing_store/index_listing.h"
#include "backing_store/memory_keystore.h"
#include "common/coding.h"
#include "common/diagnostics.h"
#include "common/parallel.h"
#include "crypto/keyed_hash.h"
#include "crypto/sealed_record.h"
#include "encrypted_index/index_core.h"
#include "encrypted_index/integrity.h"
#include "encrypted_index/item_record.h"

namespace tavrin {

namespace {

constexpr uint8_t kRoleIndex = 0, kRoleRecords = 1, kRoleItems = 2;
constexpr size_t kSecretSize = 16;

std::array<uint64_t, 2> read_secret(const uint8_t* p) {
  return {DecodeFixed64(p), DecodeFixed64(p + 8)};
}

// A record's plaintext: the secret, then the framed item record.
bool open_item(const uint8_t* data, size_t size, size_t vector_bytes,
               std::array<uint64_t, 2>* secret, ItemRecordView* view) {
  if (size < kSecretSize) return false;
  ByteView inner;
  if (!unframe(ByteView(data + kSecretSize, size - kSecretSize), &inner)) return false;
  *secret = read_secret(data);
  return read_item_record(inner.data(), inner.size(), vector_bytes, view);
}

std::string names_of(const std::vector<uint32_t>& lists) {
  std::string text = lists.size() == 1 ? "list " : "lists ";
  for (size_t i = 0; i < lists.size() && i < 8; ++i) {
    text += (i ? ", " : "") + std::to_string(lists[i]);
  }
  return text + (lists.size() > 8 ? ", ..." : "");
}

std::vector<RecordAd> ads_for(SealKind kind, uint64_t scope, const std::vector<uint64_t>& keys) {
  std::vector<RecordAd> ads(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) ads[i] = make_ad(kind, scope, keys[i], 0);
  return ads;
}

Bytes serialize_map(std::vector<std::pair<uint64_t, Bytes>> items) {
  std::sort(items.begin(), items.end());
  size_t size = 4;
  for (const auto& item : items) size += 12 + item.second.size();
  Bytes out(size);
  EncodeFixed32(out.data(), static_cast<uint32_t>(items.size()));
  size_t at = 4;
  for (const auto& [key, value] : items) {
    EncodeFixed64(out.data() + at, key);
    EncodeFixed32(out.data() + at + 8, static_cast<uint32_t>(value.size()));
    if (!value.empty()) std::memcpy(out.data() + at + 12, value.data(), value.size());
    at += 12 + value.size();
  }
  return out;
}

bool parse_map(const Bytes& bytes, std::vector<uint64_t>* keys, std::vector<Bytes>* values) {
  if (bytes.size() < 4) return false;
  const uint32_t n = DecodeFixed32(bytes.data());
  size_t at = 4;
  for (uint32_t i = 0; i < n; ++i) {
    if (bytes.size() - at < 12) return false;
    const uint64_t key = DecodeFixed64(bytes.data() + at);
    const uint32_t len = DecodeFixed32(bytes.data() + at + 8);
    at += 12;
    if (bytes.size() - at < len) return false;
    keys->push_back(key);
    values->emplace_back(bytes.begin() + at, bytes.begin() + at + len);
    at += len;
  }
  return at == bytes.size();
}

// A fresh, nonzero version for one write attempt.
uint64_t fresh_write_id() {
  uint64_t id = 0;
  while (id == 0) {
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&id), sizeof id) != 1) {
      throw std::runtime_error("Failed to generate a write id");
    }
  }
  return id;
}

}  // namespace

// --- Setup, state row and commits ------------------------------------------

void IndexCore::te_init(const IndexParams& params, Mode mode) {
  tamper_ = true;
  const TamperKeys keys = derive_tamper_keys(index_key_, index_name_);
  name_key_ = keys.name_key;
  data_key_ = keys.data_key;
  content_key_ = keys.content_key;
  metadata_key_ = keys.metadata_key;
  list_key_ = keys.list_key;
  record_seal_key_ = keys.record_key;
  contents_seal_key_ = keys.contents_seal_key;
  state_key_ = keys.state_key;
  config_key_ = keys.config_key;
  if (mode == Mode::kLoad) return;  // the loader reads the records first
  make_lists(list_key_, /*own_counts=*/false);
  if (mode == Mode::kCreate) write_core_record();
  te_buckets_.clear();
  const uint32_t bits = params.tamper_bucket_bits != 0 ? params.tamper_bucket_bits : kBucketBits;
  if (bits < kMinBucketBits || bits > kMaxBucketBits) {
    throw std::invalid_argument("Bucket bits out of range");
  }
  state_ = TamperState::Empty(n_lists_, 1, fresh_write_id(), bits);
  index_store_->PutItem(tip_key(1), te_tip(state_));
  te_store_state(state_);
  te_adopt_counts();
}

Bytes IndexCore::te_seal_config(const std::string& name, const Bytes& plaintext) const {
  const RecordAd ad = make_ad(SealKind::kConfig, scope_,
                              sha3_u64(reinterpret_cast<const uint8_t*>(name.data()), name.size()), 0);
  return seal_record(ByteView(frame(ByteView(plaintext), /*coarse=*/true)), config_key_, &ad);
}

Bytes IndexCore::te_open_config(const std::string& name, const Bytes& sealed) const {
  const RecordAd ad = make_ad(SealKind::kConfig, scope_,
                              sha3_u64(reinterpret_cast<const uint8_t*>(name.data()), name.size()), 0);
  const Bytes framed = open_record(ByteView(sealed), config_key_, &ad);
  ByteView inner;
  if (!unframe(ByteView(framed), &inner)) throw IntegrityError("the configuration item " + name + " is malformed");
  return Bytes(inner.data(), inner.data() + inner.size());
}

void IndexCore::te_store_state(const TamperState& state) {
  const RecordAd ad = make_ad(SealKind::kState, scope_, kCountsKey, 0);
  index_store_->PutItem(kCountsKey, seal_record(ByteView(state.Serialize()), state_key_, &ad));
}

Bytes IndexCore::te_tip(const TamperState& state) const {
  const RecordAd ad = make_ad(SealKind::kTip, scope_, tip_key(state.epoch), state.write_id);
  return seal_record(ByteView(), state_key_, &ad);
}

void IndexCore::te_load_state() {
  if (te_fresh_ && !txn_) return;
  // A writer may commit between the reads of the row and of its tip (and
  // remove the tip read for): the row is read again then.
  for (int attempt = 0;; ++attempt) {
    try {
      return te_load_state_once();
    } catch (const IntegrityError&) {
      if (attempt == 8) throw;
      const Bytes again = index_store_->GetItem(kCountsKey);
      if (again.empty() || again == last_state_row_) throw;
    }
  }
}

void IndexCore::te_load_state_once() {
  te_fresh_ = false;
  const Bytes sealed = index_store_->GetItem(kCountsKey);
  last_state_row_ = sealed;
  if (sealed.empty()) throw IntegrityError("the state row is missing");
  const RecordAd ad = make_ad(SealKind::kState, scope_, kCountsKey, 0);
  Bytes plain;
  try {
    plain = open_record(ByteView(sealed), state_key_, &ad);
  } catch (const std::exception&) {
    throw IntegrityError("the state row is not this index's");
  }
  TamperState state;
  if (!TamperState::Parse(ByteView(plain), n_lists_, &state)) {
    throw IntegrityError("the state row is malformed");
  }
  // Only the latest state row has its tip: the next commit removes it.
  const Bytes tip = index_store_->GetItem(tip_key(state.epoch));
  const RecordAd tip_ad = make_ad(SealKind::kTip, scope_, tip_key(state.epoch), state.write_id);
  bool latest = !tip.empty();
  try {
    if (latest) open_record(ByteView(tip), state_key_, &tip_ad);
  } catch (const std::exception&) {
    latest = false;
  }
  if (!latest) {
    throw IntegrityError("the state row of epoch " + std::to_string(state.epoch) +
                         " is not the latest: an earlier one was put back");
  }
  state_ = std::move(state);
  te_fresh_ = true;
  if (!txn_) te_adopt_counts();
}

const TamperState& IndexCore::te_current() const { return txn_ ? txn_->work : state_; }

void IndexCore::te_adopt_counts() {
  const TamperState& state = te_current();
  std::vector<uint32_t> counts(n_lists_);
  for (uint64_t c = 0; c < n_lists_; ++c) counts[c] = state.lists[c].count;
  lists_->Adopt(std::move(counts));
}

IndexCore::Write::Write(IndexCore& core) : core_(core) {
  if (core_.tamper_) core_.te_begin();
}

IndexCore::Write::~Write() {
  if (core_.tamper_ && open_) core_.te_abort();
}

void IndexCore::Write::Commit() {
  if (!core_.tamper_ || !open_) return;
  open_ = false;
  try {
    core_.te_commit();
  } catch (...) {
    core_.te_abort();  // the state row was not stored: nothing was committed
    throw;
  }
}

void IndexCore::te_begin() {
  if (txn_) {
    ++txn_->depth;
    return;
  }
  te_fresh_ = false;  // under the lease: the store's latest, not this operation's copy
  te_load_state();
  // What the last writer could not remove is dead in the committed state:
  // removing it changes nothing a reader sees.
  te_delete_dead(state_);
  txn_ = std::make_unique<Txn>();
  txn_->depth = 1;
  txn_->work = state_;
  txn_->work.epoch = state_.epoch + 1;
  txn_->work.write_id = fresh_write_id();
  txn_->work.dead.clear();
  txn_->work.dead_ranges.clear();
  txn_->dirty.assign(txn_->work.buckets(), false);
}

void IndexCore::te_abort() noexcept {
  if (!txn_) return;
  for (const auto& [b, bucket] : txn_->buckets) te_buckets_.erase(b);
  txn_.reset();
  map_epoch_ = UINT64_MAX;  // the copy in memory may hold what was abandoned
  cache_.Clear();
  te_adopt_counts();
}

void IndexCore::te_commit() {
  if (!txn_) throw std::runtime_error("The write was abandoned part-way");
  if (--txn_->depth > 0) return;
  Txn& x = *txn_;
  TamperState& w = x.work;
  const uint64_t e = w.write_id;
  std::vector<uint64_t> keys;
  std::vector<Bytes> rows;  // plaintexts until sealed together below
  std::vector<RecordAd> ads;
  auto seal_into = [&](SealKind kind, uint64_t key, uint64_t extra, Bytes plain) {
    ads.push_back(make_ad(kind, scope_, key, extra));
    keys.push_back(key);
    rows.push_back(std::move(plain));
  };
  auto retire = [&](uint64_t old, uint64_t key) {
    if (old != 0 && old != e) w.dead.push_back({kRoleIndex, key});
  };
  std::vector<uint32_t> changed;
  for (uint32_t b = 0; b < w.buckets(); ++b) {
    if (x.dirty[b]) changed.push_back(b);
  }
  // Each changed bucket writes its delta or, once that outgrows half the
  // row (or the bucket has no row yet), the row with the delta folded in;
  // a bucket left with no item loses both.
  enum Outcome : char { kKeepRow, kDelta, kRow, kEmpty };
  std::vector<char> outcome(changed.size());
  parallel_for(changed.size(), 64, 16, [&](size_t k) {
    VerifiedBucket& bucket = *x.buckets.at(changed[k]);
    // Removals of what the row does not hold (items added and removed
    // since the row) are dropped: a delta removes only entries of its row.
    // With no removal, the bucket holds items and the delta stands.
    std::vector<BucketItem>& delta = bucket.delta;
    size_t live = 1;
    if (std::any_of(delta.begin(), delta.end(), [](const BucketItem& d) { return is_removal(d); })) {
      live = bucket.row.size();
      size_t kept = 0;
      for (size_t j = 0; j < delta.size(); ++j) {
        const BucketItem d = delta[j];
        const bool in_row = holds_token(bucket.row, d.token);
        if (is_removal(d) && !in_row) continue;
        live = is_removal(d) ? live - 1 : live + (in_row ? 0 : 1);
        delta[kept++] = d;
      }
      delta.resize(kept);
    }
    if (live == 0) {
      bucket.row.clear();
      bucket.delta.clear();
      outcome[k] = kEmpty;
    } else if (bucket.row.empty() || bucket.delta.size() * 2 > bucket.row.size()) {
      fold_bucket_delta(&bucket.row, bucket.delta);
      bucket.delta.clear();
      outcome[k] = kRow;
    } else {
      outcome[k] = bucket.delta.empty() ? kKeepRow : kDelta;
    }
  });
  // The rows and deltas written are serialized where they are sealed.
  std::vector<const std::vector<BucketItem>*> written;
  std::vector<size_t> sizes;
  std::vector<uint64_t> bucket_keys;
  std::vector<RecordAd> bucket_ads;
  for (size_t k = 0; k < changed.size(); ++k) {
    const uint32_t b = changed[k];
    retire(w.delta_epochs[b], bucket_delta_key(b, w.delta_epochs[b], w.bucket_bits()));
    w.delta_epochs[b] = 0;
    if (outcome[k] == kEmpty || outcome[k] == kRow) {
      retire(w.bucket_epochs[b], bucket_key(b, w.bucket_epochs[b], w.bucket_bits()));
      w.bucket_epochs[b] = 0;
    }
    const VerifiedBucket& bucket = *x.buckets.at(b);
    if (outcome[k] == kRow) {
      w.bucket_epochs[b] = e;
      bucket_keys.push_back(bucket_key(b, e, w.bucket_bits()));
      bucket_ads.push_back(make_ad(SealKind::kBucket, scope_, bucket_keys.back(), b));
      written.push_back(&bucket.row);
    } else if (outcome[k] == kDelta) {
      w.delta_epochs[b] = e;
      bucket_keys.push_back(bucket_delta_key(b, e, w.bucket_bits()));
      bucket_ads.push_back(make_ad(SealKind::kBucketDelta, scope_, bucket_keys.back(), b));
      written.push_back(&bucket.delta);
    } else {
      continue;
    }
    sizes.push_back(serialized_bucket_size(written.back()->size()));
  }
  std::vector<Bytes> sealed_buckets =
      seal_built_items(sizes, state_key_, &bucket_ads,
                       [&](size_t j, uint8_t* at) { serialize_bucket_at(*written[j], at); });
  if (x.map_touched && map_) {
    retire(w.map_epoch, map_key(w.map_epoch));
    w.map_epoch = e;
    auto& memory = static_cast<store::MemoryKeystore&>(*map_);
    seal_into(SealKind::kMap, map_key(e), e, serialize_map(memory.Items()));
  }
  if (x.index_record) {
    retire(w.record_epoch, index_record_key(w.record_epoch));
    w.record_epoch = e;
    seal_into(SealKind::kIndexRecord, index_record_key(e), e, frame(ByteView(*x.index_record), /*coarse=*/true));
  }
  seal_into(SealKind::kTip, tip_key(w.epoch), e, Bytes());
  w.dead.push_back({kRoleIndex, tip_key(state_.epoch)});
  std::vector<Bytes> sealed = encrypt_items(rows, state_key_, &ads);
  keys.insert(keys.end(), bucket_keys.begin(), bucket_keys.end());
  sealed.insert(sealed.end(), std::make_move_iterator(sealed_buckets.begin()),
                std::make_move_iterator(sealed_buckets.end()));
  index_store_->BatchMoveItems(keys, std::move(sealed));
  te_store_state(w);  // the commit
  const bool map_stored = x.map_touched && map_;
  state_ = std::move(w);
  for (const auto& [b, bucket] : x.buckets) {
    if (state_.bucket_epochs[b] == 0) {
      te_buckets_.erase(b);
    } else {
      bucket->version = state_.bucket_epochs[b];
      bucket->delta_version = state_.delta_epochs[b];
    }
  }
  txn_.reset();
  if (map_stored) map_epoch_ = state_.map_epoch;
  te_adopt_counts();
  if (state_.dead.empty() && state_.dead_ranges.empty()) return;
  try {
    te_delete_dead(state_);
    state_.dead.clear();
    state_.dead_ranges.clear();
    te_store_state(state_);
  } catch (const std::exception& e) {
    // Committed all the same: the next write removes them.
    Warn(std::string("Warning: replaced values could not all be removed yet: ") + e.what());
  }
}

void IndexCore::te_delete_dead(const TamperState& state) {
  std::vector<uint64_t> by_role[3];
  for (const DeadValue& d : state.dead) {
    if (d.role < 3) by_role[d.role].push_back(d.key);
  }
  store::Keystore* stores[3] = {index_store_.get(), record_store_.get(), items_store_.get()};
  for (int r = 0; r < 3; ++r) {
    if (!by_role[r].empty()) stores[r]->BatchDeleteItems(by_role[r]);
  }
  for (const DeadRange& range : state.dead_ranges) lists_->Erase(range.list, range.from, range.to);
}

uint64_t IndexCore::epoch() {
  if (!tamper_) return 0;
  if (!txn_) te_load_state();
  return state_.epoch;
}

void IndexCore::te_clear() {
  const uint64_t next = std::max(state_.epoch, txn_ ? txn_->work.epoch : 0) + 1;
  index_store_->DeleteIndex();
  record_store_->DeleteIndex();
  items_store_->DeleteIndex();
  cache_.Clear();
  map_.reset();
  map_epoch_ = UINT64_MAX;
  write_core_record();
  te_buckets_.clear();
  state_ = TamperState::Empty(n_lists_, next, fresh_write_id(), state_.bucket_bits());
  index_store_->PutItem(tip_key(next), te_tip(state_));
  te_store_state(state_);
  if (txn_) {
    const int depth = txn_->depth;
    *txn_ = Txn();
    txn_->depth = depth;
    txn_->work = state_;
    txn_->work.epoch = next + 1;
    txn_->work.write_id = fresh_write_id();
    txn_->dirty.assign(txn_->work.buckets(), false);
  }
  te_adopt_counts();
  config_store_->DeleteIndex();
}

// --- Index record and metadata map -----------------------------------------

void IndexCore::te_stage_index_record(const Bytes& plaintext) { txn_->index_record = plaintext; }

Bytes IndexCore::load_index_record() {
  const std::string config_name = index_name_ + store::kIndexRecordSuffix;
  if (!tamper_) return load_config_item(config_name);
  if (!txn_) return te_retry([&] { return te_load_index_record(); });
  return te_load_index_record();
}

Bytes IndexCore::te_load_index_record() {
  const std::string config_name = index_name_ + store::kIndexRecordSuffix;
  if (!txn_) te_load_state();
  if (txn_ && txn_->index_record) return *txn_->index_record;
  const uint64_t e = te_current().record_epoch;
  if (e == 0) return load_config_item(config_name);
  const uint64_t key = index_record_key(e);
  const Bytes sealed = index_store_->GetItem(key);
  if (sealed.empty()) throw IntegrityError("the index record is missing");
  const RecordAd ad = make_ad(SealKind::kIndexRecord, scope_, key, e);
  Bytes framed;
  try {
    framed = open_record(ByteView(sealed), state_key_, &ad);
  } catch (const std::exception&) {
    throw IntegrityError("the index record is not the one of the state's epoch");
  }
  ByteView inner;
  if (!unframe(ByteView(framed), &inner)) throw IntegrityError("the index record is malformed");
  return Bytes(inner.data(), inner.data() + inner.size());
}

store::Keystore& IndexCore::map_store() {
  if (!tamper_) return *index_store_;
  if (!txn_) return te_retry([&]() -> store::Keystore& { return te_map_store(); });
  return te_map_store();
}

store::Keystore& IndexCore::te_map_store() {
  if (!txn_) te_load_state();
  const uint64_t e = te_current().map_epoch;
  if (!map_ || map_epoch_ != e) {
    auto memory = std::make_unique<store::MemoryKeystore>(index_name_, scope_, 0);
    if (e != 0) {
      const uint64_t key = map_key(e);
      const Bytes sealed = index_store_->GetItem(key);
      if (sealed.empty()) throw IntegrityError("the centroid metadata map is missing");
      const RecordAd ad = make_ad(SealKind::kMap, scope_, key, e);
      Bytes plain;
      try {
        plain = open_record(ByteView(sealed), state_key_, &ad);
      } catch (const std::exception&) {
        throw IntegrityError("the centroid metadata map is not the one of the state's epoch");
      }
      std::vector<uint64_t> keys;
      std::vector<Bytes> values;
      if (!parse_map(plain, &keys, &values)) {
        throw IntegrityError("the centroid metadata map is malformed");
      }
      if (!keys.empty()) memory->BatchMoveItems(keys, std::move(values));
    }
    map_ = std::move(memory);
    map_epoch_ = e;
  }
  if (txn_) txn_->map_touched = true;
  return *map_;
}

// --- Buckets -----------------------------------------------------------------

void IndexCore::te_load_buckets(const TamperState& state, const std::vector<uint32_t>& buckets) {
  std::vector<uint64_t> keys;
  std::vector<RecordAd> ads;
  std::vector<uint32_t> which;
  std::vector<size_t> first;  // per bucket read, its first key; a delta follows its row
  for (uint32_t bucket : buckets) {
    const uint64_t e = state.bucket_epochs[bucket], d = state.delta_epochs[bucket];
    if (e == 0) continue;  // no item there
    auto have = te_buckets_.find(bucket);
    if (have != te_buckets_.end() && have->second.version == e && have->second.delta_version == d) {
      continue;
    }
    which.push_back(bucket);
    first.push_back(keys.size());
    keys.push_back(bucket_key(bucket, e, state.bucket_bits()));
    ads.push_back(make_ad(SealKind::kBucket, scope_, keys.back(), bucket));
    if (d != 0) {
      keys.push_back(bucket_delta_key(bucket, d, state.bucket_bits()));
      ads.push_back(make_ad(SealKind::kBucketDelta, scope_, keys.back(), bucket));
    }
  }
  if (keys.empty()) return;
  first.push_back(keys.size());
  std::vector<Bytes> rows;
  try {
    rows = decrypt_items(index_store_->BatchGetItems(keys), state_key_, &ads);
  } catch (const std::runtime_error&) {
    throw IntegrityError("a bucket row read is not the one of the state's epoch");
  }
  std::vector<VerifiedBucket> parsed(which.size());
  parallel_for(which.size(), 64, 16, [&](size_t j) {
    const uint32_t bucket = which[j];
    const std::string what = "bucket row " + std::to_string(bucket);
    VerifiedBucket& v = parsed[j];
    v.version = state.bucket_epochs[bucket];
    v.delta_version = state.delta_epochs[bucket];
    const Bytes& row = rows[first[j]];
    if (row.empty()) throw IntegrityError(what + " is missing");
    if (!parse_bucket(ByteView(row), &v.row) || v.row.empty()) {
      throw IntegrityError(what + " is malformed");
    }
    for (const BucketItem& item : v.row) {
      if (state.bucket_of(item.token) != bucket || item.list >= n_lists_ || is_removal(item)) {
        throw IntegrityError(what + " is malformed");
      }
    }
    if (v.delta_version == 0) return;
    const Bytes& delta = rows[first[j] + 1];
    if (delta.empty()) throw IntegrityError("the delta of " + what + " is missing");
    // As a writer leaves it: removals only of entries of the row, and items
    // left in the bucket.
    size_t live = v.row.size();
    bool sound = parse_bucket(ByteView(delta), &v.delta) && !v.delta.empty();
    for (size_t k = 0; sound && k < v.delta.size(); ++k) {
      const BucketItem& d = v.delta[k];
      const bool in_row = holds_token(v.row, d.token);
      sound = state.bucket_of(d.token) == bucket;
      if (is_removal(d)) {
        sound = sound && in_row && is_bare_removal(d);
        --live;
      } else {
        sound = sound && d.list < n_lists_;
        live += in_row ? 0 : 1;
      }
    }
    if (!sound || live == 0) throw IntegrityError("the delta of " + what + " is malformed");
  });
  for (size_t j = 0; j < which.size(); ++j) te_buckets_[which[j]] = std::move(parsed[j]);
}

void IndexCore::te_prefetch_buckets(const std::vector<uint64_t>& tokens) {
  const TamperState& w = txn_->work;
  std::vector<char> asked(w.buckets());
  for (uint64_t t : tokens) asked[w.bucket_of(t)] = 1;
  std::vector<uint32_t> missing;
  for (uint32_t b = 0; b < w.buckets(); ++b) {
    if (asked[b] && !txn_->buckets.count(b)) missing.push_back(b);
  }
  te_load_buckets(txn_->work, missing);
  // The write changes the verified copies in place: an abort drops them.
  for (uint32_t b : missing) {
    VerifiedBucket& bucket = te_buckets_[b];
    if (txn_->work.bucket_epochs[b] == 0) bucket = VerifiedBucket();
    txn_->buckets.emplace(b, &bucket);
  }
}

IndexCore::VerifiedBucket& IndexCore::te_bucket(uint32_t bucket) {
  auto it = txn_->buckets.find(bucket);
  if (it == txn_->buckets.end()) {
    te_prefetch_buckets({static_cast<uint64_t>(bucket) << (64 - txn_->work.bucket_bits())});
    it = txn_->buckets.find(bucket);
  }
  return *it->second;
}

namespace {
std::vector<BucketItem>::const_iterator lower(const std::vector<BucketItem>& items, uint64_t token) {
  return std::lower_bound(items.begin(), items.end(), token,
                          [](const BucketItem& item, uint64_t t) { return item.token < t; });
}
}  // namespace

const BucketItem* IndexCore::VerifiedBucket::Find(uint64_t token) const {
  auto d = lower(delta, token);
  if (d != delta.end() && d->token == token) return is_removal(*d) ? nullptr : &*d;
  auto r = lower(row, token);
  return r != row.end() && r->token == token ? &*r : nullptr;
}

void IndexCore::VerifiedBucket::Put(const BucketItem& item) {
  auto at = delta.begin() + (lower(delta, item.token) - delta.cbegin());
  if (at != delta.end() && at->token == item.token) {
    *at = item;
  } else {
    delta.insert(at, item);
  }
}

std::vector<std::optional<BucketItem>> IndexCore::te_find(const TamperState& state,
                                                          const std::vector<uint64_t>& tokens) {
  std::vector<std::optional<BucketItem>> found(tokens.size());
  if (txn_) {
    te_prefetch_buckets(tokens);  // every bucket asked for comes in one read
  } else {
    std::vector<uint32_t> buckets;
    for (uint64_t t : tokens) buckets.push_back(state.bucket_of(t));
    std::sort(buckets.begin(), buckets.end());
    buckets.erase(std::unique(buckets.begin(), buckets.end()), buckets.end());
    te_load_buckets(state, buckets);
  }
  for (size_t i = 0; i < tokens.size(); ++i) {
    const uint32_t b = state.bucket_of(tokens[i]);
    const VerifiedBucket* bucket = nullptr;
    if (txn_) {
      bucket = &te_bucket(b);
    } else if (state.bucket_epochs[b] != 0) {
      bucket = &te_buckets_.at(b);
    }
    const BucketItem* item = bucket ? bucket->Find(tokens[i]) : nullptr;
    if (item) found[i] = *item;
  }
  return found;
}

// --- Writes ------------------------------------------------------------------

bool IndexCore::te_write(const IngestBatch& batch, Contents mode) {
  CheckBatch(batch);
  const std::vector<std::string>& ids = *batch.ids;
  const std::vector<uint32_t>& lists = *batch.lists;
  const size_t n = ids.size();
  const bool with_metadata = batch.metadata != nullptr && !batch.metadata->empty();
  const bool with_contents =
      mode == Contents::kReplace && batch.contents != nullptr && !batch.contents->empty();
  // Each record: the secret, then the item record framed as frame() lays it
  // out, built where it is sealed. Sizes are checked before anything is read.
  auto metadata_of = [&](size_t i) {
    return with_metadata ? std::string_view((*batch.metadata)[i]) : std::string_view();
  };
  std::vector<uint32_t> record_sizes(n);
  for (size_t i = 0; i < n; ++i) {
    const size_t size = item_record_size(ids[i], vector_bytes_, metadata_of(i));
    if (size > UINT32_MAX - 4) throw std::invalid_argument("Item record too large to frame");
    record_sizes[i] = static_cast<uint32_t>(size);
  }
  Write write(*this);
  TamperState& w = txn_->work;
  const uint64_t e = w.write_id;
  std::vector<uint64_t> derived;
  const std::vector<uint64_t>& tokens =
      batch.data_tokens ? *batch.data_tokens : (derived = item_tokens(ids, data_key_));
  std::vector<uint64_t> content_tokens;
  if (mode != Contents::kKeep) content_tokens = item_tokens(ids, content_key_);
  std::vector<uint8_t> secrets(kSecretSize * n);
  if (n != 0 && RAND_bytes(secrets.data(), static_cast<int>(secrets.size())) != 1) {
    throw std::runtime_error("Failed to generate record secrets");
  }
  std::vector<uint64_t> keys(n);
  for (size_t i = 0; i < n; ++i) keys[i] = record_key(tokens[i], e);
  std::vector<uint64_t> content_keys;
  std::vector<Bytes> sealed_contents;
  if (with_contents) {
    std::vector<Bytes> framed(n);
    content_keys.resize(n);
    parallel_for(n, 256, 64, [&](size_t i) {
      framed[i] = frame(ByteView((*batch.contents)[i]));
      content_keys[i] = contents_key(content_tokens[i], e);
    });
    const std::vector<RecordAd> ads = ads_for(SealKind::kContents, scope_, content_keys);
    sealed_contents = encrypt_items(framed, contents_seal_key_, &ads);
  }

  // The state first, in memory: nothing of it is stored before the commit.
  te_prefetch_buckets(tokens);  // one read for every bucket the batch touches
  auto item_of = [&](size_t i, const BucketItem* replaced) {
    BucketItem item;
    item.token = tokens[i];
    item.version = e;
    item.list = lists[i];
    item.secret = read_secret(secrets.data() + kSecretSize * i);
    if (with_contents) item.contents_version = e;
    if (replaced != nullptr && mode == Contents::kKeep) item.contents_version = replaced->contents_version;
    return item;
  };
  // The summaries and dead values of item i, which replaced `replaced` (or
  // nothing), in the batch's order.
  bool overwrote = false;
  auto account = [&](size_t i, const BucketItem* replaced) {
    if (replaced != nullptr) {
      overwrote = true;
      ListSummary& old = w.lists[replaced->list];
      --old.live;
      sub_secret(old.sum, replaced->secret);
      if (replaced->version != e) w.dead.push_back({kRoleRecords, record_key(tokens[i], replaced->version)});
      if (mode != Contents::kKeep && replaced->contents_version != 0 &&
          !(with_contents && replaced->contents_version == e)) {
        w.dead.push_back({kRoleItems, contents_key(content_tokens[i], replaced->contents_version)});
      }
    }
    ListSummary& list = w.lists[lists[i]];
    ++list.live;
    add_secret(list.sum, read_secret(secrets.data() + kSecretSize * i));
  };
  // In token order, each bucket takes its new items in one merge, the
  // buckets side by side; a batch naming an id twice goes item by item.
  std::vector<uint32_t> order(n);
  {
    // By bucket in one counting pass, then each bucket's few by token.
    const uint32_t buckets = w.buckets();
    std::vector<uint32_t> start(buckets + 1);
    for (uint64_t t : tokens) ++start[w.bucket_of(t) + 1];
    for (uint32_t b = 0; b < buckets; ++b) start[b + 1] += start[b];
    std::vector<std::pair<uint64_t, uint32_t>> sorted(n);  // beside the key: no indirection
    std::vector<uint32_t> at(start.begin(), start.end() - 1);
    for (size_t i = 0; i < n; ++i) {
      sorted[at[w.bucket_of(tokens[i])]++] = {tokens[i], static_cast<uint32_t>(i)};
    }
    for (uint32_t b = 0; b < buckets; ++b) {
      std::sort(sorted.begin() + start[b], sorted.begin() + start[b + 1]);
    }
    for (size_t k = 0; k < n; ++k) order[k] = sorted[k].second;
  }
  bool distinct = true;
  for (size_t k = 1; k < n && distinct; ++k) distinct = tokens[order[k]] != tokens[order[k - 1]];
  if (distinct) {
    std::vector<size_t> starts;
    std::vector<VerifiedBucket*> groups;
    for (size_t k = 0; k < n; ++k) {
      const uint32_t b = w.bucket_of(tokens[order[k]]);
      if (k > 0 && b == w.bucket_of(tokens[order[k - 1]])) continue;
      starts.push_back(k);
      groups.push_back(&te_bucket(b));
      txn_->dirty[b] = true;
    }
    starts.push_back(n);
    std::vector<std::optional<BucketItem>> replaced(n);
    std::vector<char> in_delta(n);  // by sorted position: the token had a delta entry
    parallel_for(groups.size(), 64, 8, [&](size_t g) {
      // The new entries go into the delta (the row stays as it is): those
      // of tokens it holds where they stand, the others merged in from the
      // back, so that the delta is neither copied nor reallocated often.
      VerifiedBucket& bucket = *groups[g];
      std::vector<BucketItem>& delta = bucket.delta;
      size_t added = 0, at = 0;
      for (size_t k = starts[g]; k < starts[g + 1]; ++k) {
        const size_t i = order[k];
        if (const BucketItem* old = bucket.Find(tokens[i])) replaced[i] = *old;
        at = std::lower_bound(delta.begin() + at, delta.end(), tokens[i],
                              [](const BucketItem& item, uint64_t t) { return item.token < t; }) -
             delta.begin();
        if (at < delta.size() && delta[at].token == tokens[i]) {
          delta[at] = item_of(i, replaced[i] ? &*replaced[i] : nullptr);
          in_delta[k] = 1;
        } else {
          ++added;
        }
      }
      if (added == 0) return;
      size_t from = delta.size(), to = delta.size() + added;
      delta.resize(to);
      for (size_t k = starts[g + 1]; k-- > starts[g];) {
        if (in_delta[k]) continue;
        const size_t i = order[k];
        while (from > 0 && delta[from - 1].token > tokens[i]) delta[--to] = delta[--from];
        delta[--to] = item_of(i, replaced[i] ? &*replaced[i] : nullptr);
      }
    });
    for (size_t i = 0; i < n; ++i) account(i, replaced[i] ? &*replaced[i] : nullptr);
  } else {
    for (size_t i = 0; i < n; ++i) {
      const uint32_t b = w.bucket_of(tokens[i]);
      VerifiedBucket& bucket = te_bucket(b);
      txn_->dirty[b] = true;
      std::optional<BucketItem> old;
      if (const BucketItem* found = bucket.Find(tokens[i])) old = *found;
      bucket.Put(item_of(i, old ? &*old : nullptr));
      account(i, old ? &*old : nullptr);
    }
  }
  PendingEntries pending = lists_->Reserve(lists, keys);
  for (uint64_t c = 0; c < n_lists_; ++c) w.lists[c].count = lists_->counts()[c];

  for (size_t begin = 0; begin < n; begin += chunk_) {
    const size_t end = std::min(n, begin + chunk_);
    std::vector<size_t> sizes(end - begin);
    for (size_t j = 0; j < sizes.size(); ++j) {
      sizes[j] = kSecretSize + padded_size(record_sizes[begin + j] + size_t{4});
    }
    const std::vector<uint64_t> chunk(keys.begin() + begin, keys.begin() + end);
    const std::vector<RecordAd> ads = ads_for(SealKind::kRecord, scope_, chunk);
    lists_->Write(pending, begin, end);
    auto build = [&](size_t j, uint8_t* out) {
      const size_t i = begin + j;
      std::memcpy(out, secrets.data() + kSecretSize * i, kSecretSize);
      EncodeFixed32(out + kSecretSize, record_sizes[i]);
      const auto* vector = reinterpret_cast<const uint8_t*>(batch.vectors.row(i));
      write_item_record_at(ids[i], lists[i], vector, vector_bytes_, metadata_of(i),
                           out + kSecretSize + 4);
    };
    record_store_->BatchMoveItems(chunk, seal_built_items(sizes, record_seal_key_, &ads, build));
  }
  if (with_contents) items_store_->BatchMoveItems(content_keys, std::move(sealed_contents));
  write.Commit();
  return overwrote;
}

void IndexCore::te_relist_entries(const std::vector<uint32_t>& lists,
                                  const std::vector<uint64_t>& tokens) {
  Write write(*this);
  const std::vector<std::optional<BucketItem>> found = te_find(txn_->work, tokens);
  std::vector<uint64_t> keys(tokens.size());
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (!found[i] || found[i]->list != lists[i]) {
      throw std::runtime_error("Cannot relist an item: not stored in list " +
                               std::to_string(lists[i]));
    }
    keys[i] = record_key(tokens[i], found[i]->version);
  }
  PendingEntries pending = lists_->Reserve(lists, keys);
  for (uint64_t c = 0; c < n_lists_; ++c) txn_->work.lists[c].count = lists_->counts()[c];
  for (size_t begin = 0; begin < keys.size(); begin += chunk_) {
    lists_->Write(pending, begin, std::min(keys.size(), begin + chunk_));
  }
  write.Commit();
}

void IndexCore::te_compact(const std::vector<uint32_t>& appended_at) {
  Write write(*this);
  TamperState& w = txn_->work;
  for (uint64_t c = 0; c < n_lists_; ++c) {
    ListSummary& list = w.lists[c];
    if (appended_at[c] > list.count) throw std::runtime_error("Count table past the list ends");
    if (appended_at[c] <= list.base) continue;
    w.dead_ranges.push_back({static_cast<uint32_t>(c), list.base, appended_at[c]});
    list.base = appended_at[c];
  }
  write.Commit();
}

void IndexCore::te_delete(const std::vector<std::string>& ids) {
  Write write(*this);
  TamperState& w = txn_->work;
  const std::vector<uint64_t> tokens = item_tokens(ids, data_key_);
  const std::vector<uint64_t> content_tokens = item_tokens(ids, content_key_);
  te_prefetch_buckets(tokens);
  for (size_t i = 0; i < ids.size(); ++i) {
    const uint32_t b = w.bucket_of(tokens[i]);
    VerifiedBucket& bucket = te_bucket(b);
    const BucketItem* found = bucket.Find(tokens[i]);
    if (found == nullptr) continue;
    const BucketItem old = *found;
    ListSummary& list = w.lists[old.list];
    --list.live;
    sub_secret(list.sum, old.secret);
    w.dead.push_back({kRoleRecords, record_key(tokens[i], old.version)});
    if (old.contents_version != 0) {
      w.dead.push_back({kRoleItems, contents_key(content_tokens[i], old.contents_version)});
    }
    BucketItem removal;
    removal.token = tokens[i];
    bucket.Put(removal);
    txn_->dirty[b] = true;
  }
  write.Commit();
}

// --- Reads -------------------------------------------------------------------

std::vector<std::shared_ptr<DecodedList>> IndexCore::te_read_lists(
    const std::vector<uint32_t>& lists) {
  const TamperState& state = te_current();
  std::vector<uint32_t> starts(n_lists_), counts(n_lists_);
  for (uint64_t c = 0; c < n_lists_; ++c) {
    starts[c] = state.lists[c].base;
    counts[c] = state.lists[c].count;
  }
  std::vector<std::shared_ptr<DecodedList>> out;
  for (uint32_t list : lists) {
    auto entry = std::make_shared<DecodedList>();
    entry->list = list;
    entry->entries_read = counts[list];
    const ListSummary& s = state.lists[list];
    entry->summary = {s.base, s.sum[0], s.sum[1]};
    out.push_back(std::move(entry));
  }
  const ListTokens read = lists_->ReadRange(lists, starts, counts);
  std::unordered_set<uint64_t> dead;
  for (const DeadValue& d : state.dead) {
    if (d.role == kRoleRecords) dead.insert(d.key);
  }
  // Distinct record keys per list (compaction leaves an item two entries
  // until the base moves past the first), the lists side by side.
  std::vector<std::vector<uint64_t>> distinct(lists.size());
  parallel_for(lists.size(), 2, 1, [&](size_t p) {
    std::vector<uint64_t>& mine = distinct[p];
    if (read.offsets.empty()) return;
    mine.reserve(read.offsets[p + 1] - read.offsets[p]);
    for (uint64_t e = read.offsets[p]; e < read.offsets[p + 1]; ++e) {
      if (dead.empty() || dead.count(read.tokens[e]) == 0) mine.push_back(read.tokens[e]);
    }
    std::sort(mine.begin(), mine.end());
    mine.erase(std::unique(mine.begin(), mine.end()), mine.end());
  });
  std::vector<size_t> first(lists.size() + 1, 0);  // list p's keys: [first[p], first[p + 1])
  for (size_t p = 0; p < lists.size(); ++p) first[p + 1] = first[p] + distinct[p].size();
  const size_t n = first.back();
  std::vector<uint64_t> keys(n);
  std::vector<size_t> list_of(n);
  std::vector<RecordAd> ads(n);
  parallel_for(lists.size(), 2, 1, [&](size_t p) {
    for (size_t r = first[p]; r < first[p + 1]; ++r) {
      keys[r] = distinct[p][r - first[p]];
      list_of[r] = p;
      ads[r] = make_ad(SealKind::kRecord, scope_, keys[r], 0);
    }
    distinct[p] = std::vector<uint64_t>();
  });
  std::vector<Bytes> holder;
  const std::vector<ByteView> sealed = record_store_->BatchViewItems(keys, holder);
  // Every record present has its row: one that is not live in its list fails
  // the whole read below, so the rows can be placed as they are opened,
  // each from its opening thread's buffer.
  const size_t floats = vector_bytes_ / sizeof(float);
  std::vector<size_t> position(n);
  parallel_for(lists.size(), 2, 1, [&](size_t p) {
    DecodedList& entry = *out[p];
    size_t kept = 0;
    for (size_t r = first[p]; r < first[p + 1]; ++r) {
      if (!sealed[r].empty()) position[r] = kept++;
    }
    entry.ids.resize(kept);
    entry.metadata.resize(kept);
    entry.vectors.resize(kept * floats);
  });
  std::vector<std::array<uint64_t, 2>> secrets(n);
  std::vector<uint8_t> state_of(n, 0);  // 0 absent, 1 live, 2 malformed
  try {
    open_items_each(sealed, record_seal_key_, [&](size_t r, const uint8_t* data, size_t size) {
      ItemRecordView view;
      if (!open_item(data, size, vector_bytes_, &secrets[r], &view) ||
          view.list != lists[list_of[r]]) {
        state_of[r] = 2;
        return;
      }
      state_of[r] = 1;
      DecodedList& entry = *out[list_of[r]];
      entry.ids[position[r]].assign(view.id);
      entry.metadata[position[r]].assign(view.metadata);
      std::memcpy(entry.vectors.data() + position[r] * floats, view.vector, vector_bytes_);
    }, &ads);
  } catch (const std::runtime_error&) {
    throw IntegrityError("an item record read for " + names_of(lists) +
                         " is not the one written under its key");
  }
  std::vector<ListSummary> found(lists.size());
  for (size_t r = 0; r < n; ++r) {
    if (state_of[r] == 2 || (state_of[r] == 0 && !sealed[r].empty())) {
      throw IntegrityError("an item record read for list " + std::to_string(lists[list_of[r]]) +
                           " does not belong to it");
    }
    if (state_of[r] == 0) continue;
    ++found[list_of[r]].live;
    add_secret(found[list_of[r]].sum, secrets[r]);
  }
  for (size_t p = 0; p < lists.size(); ++p) {
    const ListSummary& want = state.lists[lists[p]];
    if (found[p].live != want.live || found[p].sum != want.sum) {
      throw IntegrityError("list " + std::to_string(lists[p]) + " holds " +
                           std::to_string(found[p].live) + " live items, not the " +
                           std::to_string(want.live) + " its summary gives, or other ones");
    }
  }
  return out;
}

std::vector<ItemView> IndexCore::te_get(const std::vector<std::string>& ids, uint32_t mask) {
  if (!txn_) te_load_state();
  const TamperState& state = te_current();
  const std::vector<uint64_t> tokens = item_tokens(ids, data_key_);
  const std::vector<std::optional<BucketItem>> found = te_find(state, tokens);
  std::vector<size_t> at;
  std::vector<uint64_t> keys, content_keys;
  std::vector<size_t> with_contents;
  const std::vector<uint64_t> content_tokens =
      (mask & kFieldContents) ? item_tokens(ids, content_key_) : std::vector<uint64_t>();
  for (size_t i = 0; i < ids.size(); ++i) {
    if (!found[i]) continue;
    at.push_back(i);
    keys.push_back(record_key(tokens[i], found[i]->version));
    if ((mask & kFieldContents) && found[i]->contents_version != 0) {
      with_contents.push_back(i);
      content_keys.push_back(contents_key(content_tokens[i], found[i]->contents_version));
    }
  }
  std::vector<Bytes> records, contents;
  try {
    const std::vector<RecordAd> ads = ads_for(SealKind::kRecord, scope_, keys);
    records = decrypt_items(record_store_->BatchGetItems(keys), record_seal_key_, &ads);
  } catch (const std::runtime_error&) {
    throw IntegrityError("an item record read by get is not the one written for its item");
  }
  try {
    const std::vector<RecordAd> ads = ads_for(SealKind::kContents, scope_, content_keys);
    if (!content_keys.empty()) {
      contents = decrypt_items(items_store_->BatchGetItems(content_keys), contents_seal_key_, &ads);
    }
  } catch (const std::runtime_error&) {
    throw IntegrityError("the contents read by get are not the ones written for their item");
  }
  std::vector<Bytes> item_contents(ids.size());
  for (size_t k = 0; k < with_contents.size(); ++k) {
    ByteView inner;
    if (contents[k].empty() || !unframe(ByteView(contents[k]), &inner)) {
      throw IntegrityError("the contents of id " + ids[with_contents[k]] + " are missing");
    }
    item_contents[with_contents[k]].assign(inner.data(), inner.data() + inner.size());
  }
  std::vector<ItemView> out(at.size());
  for (size_t k = 0; k < at.size(); ++k) {
    const size_t i = at[k];
    std::array<uint64_t, 2> secret;
    ItemRecordView record;
    if (records[k].empty()) throw IntegrityError("the item record of id " + ids[i] + " is missing");
    if (!open_item(records[k].data(), records[k].size(), vector_bytes_, &secret, &record) ||
        record.id != ids[i] || record.list != found[i]->list || secret != found[i]->secret) {
      throw IntegrityError(foreign_record(ids[i]));
    }
    out[k] = item_view(record, mask, std::move(item_contents[i]));
  }
  return out;
}

uint64_t IndexCore::te_count() {
  // The state row is authenticated and, with its tip, the latest.
  if (!txn_) te_load_state();
  return te_current().live();
}

}  // namespace tavrin
