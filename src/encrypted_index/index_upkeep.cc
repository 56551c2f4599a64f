// Living with an index: counting, listing ids, compaction, metadata updates
// and closing.
#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "backing_store/lease.h"
#include "backing_store/index_listing.h"
#include "common/diagnostics.h"
#include "config/index_record.h"
#include "encrypted_index/encrypted_index.h"
#include "encrypted_index/index_core.h"
#include "encrypted_index/writing.h"
#include "filter/filter_eval.h"

namespace tavrin {

EncryptedIndex::AllItems EncryptedIndex::read_all_items() {
  IndexCore& core = connected();
  core.load_list_counts();
  AllItems all;
  ItemRows rows = core.ReadItems(core.lists_with_entries(), &all.lists);
  all.ids = std::move(rows.ids);
  all.vectors = std::move(rows.vectors);
  all.metadata = std::move(rows.metadata);
  return all;
}

ItemScan EncryptedIndex::scan_items(const ScanChunk& take) {
  IndexCore& core = connected();
  core.load_list_counts();
  return core.ScanLists(core.lists_with_entries(), take);
}

uint64_t EncryptedIndex::Count() {
  IndexCore& core = connected();
  core.BeginOperation();
  return core.CountRecords();
}

std::vector<std::string> EncryptedIndex::Ids() {
  connected().BeginOperation();
  // Ids only: no vector is held beyond the chunk being opened.
  std::vector<std::string> ids;
  scan_items([&](uint64_t, const ItemRows& rows) {
    ids.insert(ids.end(), rows.ids.begin(), rows.ids.end());
  });
  return ids;
}

uint64_t EncryptedIndex::Compact() {
  IndexCore& core = connected();
  Writing writing(*this);
  // Entries are all it writes: items are opened a chunk at a time and dropped.
  const ItemScan scan = scan_items([](uint64_t, const ItemRows&) {});
  const std::vector<uint32_t> before = core.list_counts();
  const uint64_t entries = core.EntryCount();
  if (entries == scan.size()) return 0;
  writing.Started();
  // Every live item gets a second entry at the end of its list; then each
  // list is rewritten from position 0 while those entries keep the items
  // findable, and the shorter counts are the switch.
  store::WriteScope write(core.stores());
  IndexCore::Write commit(core);
  core.RelistEntries(scan.lists, scan.tokens);
  core.CompactLists(scan.lists, scan.tokens, before);
  writing.Fence();
  commit.Commit();
  write.Commit();
  return entries - scan.size();
}

void EncryptedIndex::UpdateMetadata(const std::vector<std::string>& ids,
                                    const std::vector<std::string>& metadata) {
  IndexCore& core = connected();
  Writing writing(*this);
  if (ids.size() != metadata.size()) {
    throw std::invalid_argument("Mismatch between the number of ids and metadata.");
  }
  std::unordered_set<std::string> seen;
  for (const std::string& id : ids) {
    if (!seen.insert(id).second) throw std::invalid_argument("Repeated id in update_metadata: " + id);
  }
  CheckStorableMetadata(metadata);
  const auto stored = core.ReadRecords(ids);
  std::string unknown;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (!stored[i]) unknown += (unknown.empty() ? "" : ", ") + ids[i];
  }
  if (!unknown.empty()) throw std::invalid_argument("Unknown ids: " + unknown);
  if (ids.empty()) return;
  std::vector<uint32_t> lists(ids.size());
  std::vector<float> vectors;
  vectors.reserve(ids.size() * index_config_->dimension);
  for (size_t i = 0; i < ids.size(); ++i) {
    lists[i] = stored[i]->list;
    vectors.insert(vectors.end(), stored[i]->vector.begin(), stored[i]->vector.end());
  }
  const FloatMatrix matrix(std::move(vectors), index_config_->dimension);
  const IngestBatch batch = batch_of(lists, ids, matrix, metadata);
  core.CheckBatch(batch);
  writing.Started();
  // The map first: a filtered query must never skip a list that holds a
  // match, so the map may only ever cover more than the records.
  store::WriteScope write(core.stores());
  IndexCore::Write commit(core);
  if (is_trained_) update_centroid_metadata(metadata, lists);
  core.WriteRecords(batch);
  writing.Fence();
  commit.Commit();
  write.Commit();
}

void EncryptedIndex::Close() {
  if (!core_) return;
  core_.reset();  // saves the list counts, closes the stores
  WipeSecret(index_key_.data(), index_key_.size());
  WipeSecret(params_.index_key.data(), params_.index_key.size());
}

void EncryptedIndex::RotateKey(const Key256& new_key, std::optional<bool> tamper_evident) {
  IndexCore& old = connected();
  Writing writing(*this);
  if (std::equal(new_key.begin(), new_key.end(), index_key_.begin())) {
    throw std::invalid_argument("The new key is the key the index is sealed with.");
  }
  if (old.tamper_evident() && tamper_evident == false) {
    throw std::invalid_argument("A tamper-evident index cannot move back to the original format.");
  }
  const bool tamper = tamper_evident.value_or(old.tamper_evident());
  AllItems all = read_all_items();
  std::vector<Bytes> contents(all.ids.size());
  {
    std::unordered_map<std::string, size_t> at;
    for (size_t i = 0; i < all.ids.size(); ++i) at.emplace(all.ids[i], i);
    for (ItemView& item : old.GetItems(all.ids, IndexCore::kFieldId | IndexCore::kFieldContents)) {
      contents[at.at(item.id)] = std::move(item.contents);
    }
  }
  IngestBatch batch = batch_of(all.lists, all.ids, all.vectors, all.metadata);
  batch.contents = &contents;
  // The copy has this core's shape: checked here, before its stores are touched.
  if (!all.ids.empty()) old.CheckBatch(batch);
  writing.Started();
  auto fresh = std::make_unique<IndexCore>(old.rekeyed_params(params_, new_key, tamper),
                                           IndexCore::Mode::kRekey, stores_, lease_->fence());

  // The copy is written through the new core, which update_centroid_metadata
  // reaches as core_; the old one comes back unless the switch was stored.
  std::unique_ptr<IndexCore> previous = std::move(core_);
  core_ = std::move(fresh);
  try {
    store::WriteScope write(core_->stores());
    {
      IndexCore::Write commit(*core_);
      if (is_trained_) update_centroid_metadata(all.metadata, all.lists);
      if (!all.ids.empty()) core_->Ingest(batch);
      commit.Commit();
    }
    core_->lists().SaveCounts();
    core_->switch_to(index_name_ + store::kIndexRecordSuffix,
                     serialize_index_record(index_name_, *index_config_, trained_data_,
                                            is_trained_, retraining_));
    write.Commit();
  } catch (...) {
    core_ = std::move(previous);
    throw;
  }
  index_key_ = new_key;
  params_.index_key = new_key;
  try {
    previous->drop_data();
  } catch (const std::exception& e) {
    // The index is under the new key; what is left is unreadable to it.
    Warn(std::string("Warning: values under the previous key could not all be removed: ") +
         e.what());
  }
}

}  // namespace tavrin
