#include "encrypted_index/list_store.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/coding.h"
#include "common/diagnostics.h"
#include "common/key.h"
#include "common/parallel.h"
#include "encrypted_index/integrity.h"
#include "encrypted_index/sealed_row.h"

namespace tavrin {

namespace store = tavrin_encrypted_index::internal::backing_store;

ListStore::ListStore(store::Keystore& store, const Key256& index_key, const Key256& name_key,
                     uint64_t n_lists, uint32_t rounds, bool own_counts)
    : store_(store),
      index_key_(index_key),
      name_key_(name_key),
      n_lists_(n_lists),
      rounds_(rounds),
      own_counts_(own_counts),
      counts_(n_lists, 0) {}

const std::vector<CentroidSeed>& ListStore::seeds() {
  if (seeds_.empty()) seeds_ = make_centroid_seeds(n_lists_, index_key_, name_key_);
  return seeds_;
}

void ListStore::LoadCounts() {
  if (!own_counts_) return;
  Bytes stored = store_.GetItem(kCountsKey);
  if (stored.empty()) {
    Warn("Warning: No map data found in the backing store. Creating a new map.");
    counts_.assign(n_lists_, 0);
    // Stored by the next write, under the lease: a handle that only read
    // must not write zero counts over another writer's on closing.
    stored_ = counts_;
    return;
  }
  const Bytes plain = open_row(std::move(stored), index_key_);
  if (plain.size() != 4 * n_lists_) {
    throw std::runtime_error("The stored list-count map does not match the number of lists");
  }
  counts_.resize(n_lists_);
  for (uint64_t c = 0; c < n_lists_; ++c) counts_[c] = DecodeFixed32(plain.data() + 4 * c);
  stored_ = counts_;
}

void ListStore::SaveCounts() {
  if (counts_.empty()) return;
  if (!own_counts_) {
    stored_ = counts_;
    return;
  }
  Bytes plain(4 * counts_.size());
  for (size_t c = 0; c < counts_.size(); ++c) EncodeFixed32(plain.data() + 4 * c, counts_[c]);
  store_.PutItem(kCountsKey, seal_row(plain, index_key_));
  stored_ = counts_;
}

void ListStore::ResetCounts() {
  counts_.assign(n_lists_, 0);
  SaveCounts();
}

void ListStore::SetCounts(std::vector<uint32_t> counts) {
  if (counts.size() != n_lists_) throw std::runtime_error("Count table of the wrong size");
  counts_.swap(counts);
  try {
    SaveCounts();
  } catch (...) {
    counts_.swap(counts);
    throw;
  }
}

ListEntries ListStore::Derive(const std::vector<uint32_t>& lists,
                              const std::vector<uint64_t>& tokens,
                              const std::vector<uint32_t>& leaves) {
  CheckLists(lists);
  if (lists.empty()) return ListEntries();
  return encrypt_list_entries(lists, tokens, seeds(), rounds_, leaves);
}

void ListStore::CheckLists(const std::vector<uint32_t>& lists) const {
  for (uint32_t list : lists) {
    if (list >= n_lists_) throw std::runtime_error("List number out of range in upsert");
  }
}

PendingEntries ListStore::Reserve(const std::vector<uint32_t>& lists,
                                  const std::vector<uint64_t>& tokens) {
  CheckLists(lists);
  if (lists.size() != tokens.size()) {
    throw std::runtime_error("Mismatch between size of input tokens and item IDs");
  }
  PendingEntries pending;
  pending.leaves.resize(lists.size());
  std::vector<uint32_t> advanced = counts_;
  for (size_t i = 0; i < lists.size(); ++i) {
    if (advanced[lists[i]] == UINT32_MAX) {
      throw std::runtime_error("List " + std::to_string(lists[i]) + " has no free position");
    }
    pending.leaves[i] = advanced[lists[i]]++;
  }
  // Derived before the counts move: a failure here changes nothing stored.
  pending.entries = Derive(lists, tokens, pending.leaves);
  counts_.swap(advanced);
  try {
    SaveCounts();
  } catch (...) {
    // Unsaved, the positions were never handed out.
    counts_.swap(advanced);
    throw;
  }
  return pending;
}

void ListStore::Write(const PendingEntries& pending, size_t begin, size_t end) {
  if (begin >= end) return;
  const size_t count = end - begin;
  std::vector<Bytes> masked(count);
  parallel_for(count, 256, 64, [&](size_t j) {
    masked[j].resize(8);
    EncodeFixed64(masked[j].data(), pending.entries.masked_tokens[begin + j]);
  });
  const std::vector<uint64_t> labels(pending.entries.labels.begin() + begin,
                                     pending.entries.labels.begin() + end);
  store_.BatchMoveItems(labels, std::move(masked));
}

ListTokens ListStore::Read(const std::vector<uint32_t>& lists) {
  return ReadRange(lists, {}, counts_);
}

ListTokens ListStore::ReadRange(const std::vector<uint32_t>& lists,
                                const std::vector<uint32_t>& starts,
                                const std::vector<uint32_t>& counts) {
  for (uint32_t list : lists) {
    if (list >= n_lists_ || list >= counts.size()) {
      throw std::runtime_error("List number out of range");
    }
  }
  ListTokens out;
  uint64_t total = 0;
  for (uint32_t list : lists) total += counts[list] - (starts.empty() ? 0 : starts[list]);
  if (total == 0) {
    out.offsets.assign(lists.size() + 1, 0);
    return out;
  }
  ListMasks masks = Masks(lists, starts, counts);
  if (!own_counts_) {
    // Checked one by one: a value of another width is a changed entry, not
    // a store failure. An absent entry unmasks to a token no item has.
    std::vector<Bytes> holder;
    const std::vector<ByteView> values = store_.BatchViewItems(masks.labels, holder);
    out.tokens.resize(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
      if (!values[i].empty() && values[i].size() != 8) {
        throw IntegrityError("a list entry read is " + std::to_string(values[i].size()) +
                             " bytes long, not 8");
      }
      out.tokens[i] = masks.masks[i] ^ (values[i].empty() ? 0 : DecodeFixed64(values[i].data()));
    }
    out.offsets = std::move(masks.offsets);
    return out;
  }
  const ByteMatrix rows = store_.BatchGetRows(masks.labels);
  if (rows.cols != 8 || rows.rows != masks.labels.size()) {
    throw std::runtime_error("Invalid encrypted item ID size");
  }
  out.tokens = unmask_item_ids(rows, masks.masks);
  out.offsets = std::move(masks.offsets);
  return out;
}

ListStore::~ListStore() { DropKeptLeaves(); }

void ListStore::DropKeptLeaves() {
  for (KeptRun& run : runs_) WipeSecret(run.masks.data(), run.masks.size() * sizeof(uint64_t));
  runs_.clear();
  kept_ = 0;
}

void ListStore::KeepLeaves(uint64_t max_leaves) {
  DropKeptLeaves();
  max_kept_ = max_leaves;
}

ListMasks ListStore::Masks(const std::vector<uint32_t>& lists, const std::vector<uint32_t>& starts,
                           const std::vector<uint32_t>& counts) {
  const std::vector<uint32_t>* from = starts.empty() ? nullptr : &starts;
  if (max_kept_ == 0) return list_entry_masks(lists, seeds(), counts, rounds_, from);
  if (runs_.empty()) runs_.resize(n_lists_);
  // Derives the leaves past those kept of each list read, while the budget
  // lasts (ReadRange checked the list numbers).
  std::vector<uint32_t> grow, have(n_lists_, 0), upto(n_lists_, 0);
  uint64_t adding = 0;
  bool covered = true;
  for (uint32_t c : lists) {
    // A start past its count is refused by the derivation itself.
    if (from && (c >= starts.size() || starts[c] > counts[c])) {
      return list_entry_masks(lists, seeds(), counts, rounds_, from);
    }
    const uint64_t kept = runs_[c].labels.size();
    if (counts[c] <= kept || upto[c] != 0) continue;
    if (kept_ + adding + (counts[c] - kept) > max_kept_) {
      covered = false;
      continue;
    }
    grow.push_back(c);
    have[c] = static_cast<uint32_t>(kept);
    upto[c] = counts[c];
    adding += counts[c] - kept;
  }
  if (!grow.empty()) {
    ListMasks fresh = list_entry_masks(grow, seeds(), upto, rounds_, &have);
    for (size_t k = 0; k < grow.size(); ++k) {
      KeptRun& run = runs_[grow[k]];
      const auto first = static_cast<std::ptrdiff_t>(fresh.offsets[k]);
      const auto last = static_cast<std::ptrdiff_t>(fresh.offsets[k + 1]);
      // Grown into new storage so that no old copy of a mask is freed unwiped.
      KeptRun longer;
      longer.labels.reserve(run.labels.size() + (last - first));
      longer.masks.reserve(run.masks.size() + (last - first));
      longer.labels.insert(longer.labels.end(), run.labels.begin(), run.labels.end());
      longer.masks.insert(longer.masks.end(), run.masks.begin(), run.masks.end());
      longer.labels.insert(longer.labels.end(), fresh.labels.begin() + first,
                           fresh.labels.begin() + last);
      longer.masks.insert(longer.masks.end(), fresh.masks.begin() + first,
                          fresh.masks.begin() + last);
      WipeSecret(run.masks.data(), run.masks.size() * sizeof(uint64_t));
      run = std::move(longer);
    }
    kept_ += adding;
    // A first read of whole lists is what was just derived: no second copy.
    const bool whole = !from && grow == lists &&
                       std::all_of(grow.begin(), grow.end(),
                                   [&](uint32_t c) { return have[c] == 0; });
    if (whole) return fresh;
    WipeSecret(fresh.masks.data(), fresh.masks.size() * sizeof(uint64_t));
  }
  if (!covered) return list_entry_masks(lists, seeds(), counts, rounds_, from);
  ListMasks out;
  out.offsets.resize(lists.size() + 1, 0);
  for (size_t k = 0; k < lists.size(); ++k) {
    const uint32_t c = lists[k];
    out.offsets[k + 1] = out.offsets[k] + (counts[c] - (from ? starts[c] : 0));
  }
  out.labels.resize(out.offsets.back());
  out.masks.resize(out.offsets.back());
  for (size_t k = 0; k < lists.size(); ++k) {
    const KeptRun& run = runs_[lists[k]];
    const uint32_t start = from ? starts[lists[k]] : 0;
    const size_t n = out.offsets[k + 1] - out.offsets[k];
    std::copy_n(run.labels.begin() + start, n, out.labels.begin() + out.offsets[k]);
    std::copy_n(run.masks.begin() + start, n, out.masks.begin() + out.offsets[k]);
  }
  return out;
}

void ListStore::Erase(uint32_t list, uint32_t from, uint32_t to) {
  if (list >= n_lists_ || from >= to) return;
  std::vector<uint32_t> counts(n_lists_, 0);
  counts[list] = to;
  const ListMasks masks = list_entry_masks({list}, seeds(), counts, rounds_);
  const std::vector<uint64_t> labels(masks.labels.begin() + from, masks.labels.end());
  store_.BatchDeleteItems(labels);
}

}  // namespace tavrin
