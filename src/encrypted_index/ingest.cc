// Writing items: overwrites, leaf positions, list entries, sealed records.
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/coding.h"
#include "crypto/keyed_hash.h"
#include "crypto/sealed_record.h"
#include "encrypted_index/index_core.h"
#include "encrypted_index/integrity.h"
#include "encrypted_index/item_record.h"

namespace tavrin {
namespace {

// Keeps cached lists current with the items about to be appended, using the
// counts as loaded before the upsert. A cached list that was complete takes
// the item; any other state of the list drops it.
void update_cache(ResultCache& cache, const IngestBatch& batch,
                  const std::vector<uint32_t>& loaded, uint64_t vector_bytes) {
  const std::vector<uint32_t>& lists = *batch.lists;
  const size_t floats = vector_bytes / sizeof(float);
  for (size_t i = 0; i < lists.size(); ++i) {
    const uint32_t list = lists[i];
    std::shared_ptr<DecodedList> cached = cache.Lookup(list);
    auto append = [&](DecodedList& entry) {
      const bool with_metadata = !batch.metadata->empty() && !(*batch.metadata)[i].empty();
      if (with_metadata) entry.KeepMetadata();
      if (entry.metadata_kept()) {
        entry.metadata.push_back(with_metadata ? (*batch.metadata)[i] : std::string());
      }
      entry.ids.push_back((*batch.ids)[i]);
      const float* v = batch.vectors.row(i);
      entry.vectors.insert(entry.vectors.end(), v, v + floats);
      entry.entries_read += 1;
      // Parsed for the rows before: a filter would pair documents and rows wrongly.
      entry.documents.reset();
      entry.sq_norms.reset();
    };
    if (cached) {
      if (cached->entries_read == loaded[list]) {
        append(*cached);
      } else {
        cache.Drop(list);
      }
    } else if (loaded[list] == 0) {
      auto entry = std::make_shared<DecodedList>();
      entry->list = list;
      append(*entry);
      cache.Insert(std::move(entry));
    } else {
      cache.Drop(list);  // reports the list it could not find
    }
  }
}

}  // namespace

void IndexCore::CheckBatch(const IngestBatch& batch) const {
  const size_t n = batch.ids->size();
  if (batch.data_tokens != nullptr && batch.data_tokens->size() != n) {
    throw std::runtime_error("Mismatch between size of input tokens and item IDs");
  }
  lists_->CheckLists(*batch.lists);
  if (gpu_) throw std::runtime_error(kCudaError);
  if (batch.lists->size() != n) {
    throw std::runtime_error("Mismatch between size of input tokens and item IDs");
  }
  if (vector_bytes_ != 0 && batch.vectors.rows != n) {
    throw std::runtime_error("Mismatch between size of input tokens and payload rows");
  }
  if (batch.vectors.cols * sizeof(float) != vector_bytes_) {
    throw std::invalid_argument("Payload column size does not match expected payload size");
  }
  if (batch.contents != nullptr && !batch.contents->empty() && batch.contents->size() != n) {
    throw std::runtime_error("Mismatch between the number of vectors and items.");
  }
  if (batch.metadata != nullptr && !batch.metadata->empty() && batch.metadata->size() != n) {
    throw std::runtime_error("Mismatch between the number of vectors and metadata.");
  }
}

std::vector<Bytes> IndexCore::seal_records(const IngestBatch& batch, size_t begin, size_t end) {
  const bool with_metadata = batch.metadata != nullptr && !batch.metadata->empty();
  auto metadata_of = [&](size_t i) {
    return with_metadata ? std::string_view((*batch.metadata)[i]) : std::string_view();
  };
  // Built where they are sealed: no plaintext buffer per record, which at
  // the peak of a re-ingest is a chunk of records held twice.
  std::vector<size_t> sizes(end - begin);
  for (size_t j = 0; j < sizes.size(); ++j) {
    sizes[j] = item_record_size((*batch.ids)[begin + j], vector_bytes_, metadata_of(begin + j));
  }
  return seal_built_items(sizes, data_key_, nullptr, [&](size_t j, uint8_t* at) {
    const size_t i = begin + j;
    write_item_record_at((*batch.ids)[i], (*batch.lists)[i],
                         reinterpret_cast<const uint8_t*>(batch.vectors.row(i)), vector_bytes_,
                         metadata_of(i), at);
  });
}

bool IndexCore::Ingest(const IngestBatch& batch) {
  if (tamper_) return te_write(batch, Contents::kReplace);
  // Everything that can be refused is refused before the first write.
  CheckBatch(batch);
  const std::vector<std::string>& ids = *batch.ids;
  const size_t n = ids.size();

  lists_->LoadCounts();
  const std::vector<uint64_t> data_tokens = item_tokens(ids, data_key_);
  const std::vector<uint64_t> content_tokens = item_tokens(ids, content_key_);

  // Overwrites: the new record replaces the old one in place and the old
  // list entries stay, skipped when their list is read. Old contents go
  // last, and only where no new contents replaced them: an item never loses
  // its record while the write is under way.
  const std::vector<Bytes> existing = record_store_->BatchGetItems(data_tokens);
  const bool with_contents = batch.contents != nullptr && !batch.contents->empty();
  std::vector<uint64_t> stale_contents;
  size_t overwrites = 0;
  for (size_t i = 0; i < n; ++i) {
    if (existing[i].empty()) continue;
    ++overwrites;
    if (!with_contents) stale_contents.push_back(content_tokens[i]);
  }
  const bool overwrote = overwrites != 0;
  // Sealed before the first write: a cipher failure changes nothing.
  std::vector<Bytes> sealed_contents;
  if (with_contents) sealed_contents = encrypt_items(*batch.contents, content_key_);
  const std::vector<uint32_t> loaded = lists_->counts();
  PendingEntries pending = lists_->Reserve(*batch.lists, data_tokens);
  // A cached list may hold an overwritten item's old row.
  if (overwrote) cache_.Clear();

  // Every entry is new; so is every record but the overwritten ones. Told
  // before the chunks, a store in memory grows once, not with every chunk.
  index_store_->ExpectNewKeys(n);
  record_store_->ExpectNewKeys(n - overwrites);
  // Entries before records: an item is live once its record names the list
  // of an entry that leads to it. Contents after records, so that contents
  // never outlive a failed write without a record to own them (a later item
  // of the same id would otherwise find them).
  for (size_t begin = 0; begin < n; begin += chunk_) {
    const size_t end = std::min(n, begin + chunk_);
    lists_->Write(pending, begin, end);
    const std::vector<uint64_t> tokens(data_tokens.begin() + begin, data_tokens.begin() + end);
    record_store_->BatchMoveItems(tokens, seal_records(batch, begin, end));
  }
  if (with_contents) items_store_->BatchMoveItems(content_tokens, std::move(sealed_contents));
  if (!stale_contents.empty()) items_store_->BatchDeleteItems(stale_contents);
  // Only once everything is stored: a failed write must not leave cached
  // lists holding items the stores do not. A list that missed some stored
  // entries is simply read again, its count no longer matching.
  if (cache_.enabled()) update_cache(cache_, batch, loaded, vector_bytes_);
  return overwrote;
}

void IndexCore::WriteRecords(const IngestBatch& batch) {
  if (tamper_) {
    te_write(batch, Contents::kKeep);
    return;
  }
  CheckBatch(batch);
  const size_t n = batch.ids->size();
  const std::vector<uint64_t> data_tokens = item_tokens(*batch.ids, data_key_);
  cache_.Clear();
  for (size_t begin = 0; begin < n; begin += chunk_) {
    const size_t end = std::min(n, begin + chunk_);
    const std::vector<uint64_t> tokens(data_tokens.begin() + begin, data_tokens.begin() + end);
    record_store_->BatchMoveItems(tokens, seal_records(batch, begin, end));
  }
}

std::vector<std::optional<IndexCore::StoredItem>> IndexCore::ReadRecords(
    const std::vector<std::string>& ids) {
  if (tamper_) {
    if (!txn_) te_load_state();
    const auto found = te_find(te_current(), item_tokens(ids, data_key_));
    std::vector<ItemView> got = te_get(ids, kFieldId | kFieldVector);
    std::vector<std::optional<StoredItem>> out(ids.size());
    for (size_t i = 0, k = 0; i < ids.size(); ++i) {
      if (!found[i]) continue;
      out[i] = StoredItem{found[i]->list, std::move(got[k++].vector)};
    }
    return out;
  }
  const std::vector<Bytes> records =
      decrypt_items(record_store_->BatchGetItems(item_tokens(ids, data_key_)), data_key_);
  std::vector<std::optional<StoredItem>> out(ids.size());
  const size_t floats = vector_bytes_ / sizeof(float);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (records[i].empty()) continue;
    ItemRecordView view;
    if (!read_item_record(records[i], vector_bytes_, &view)) {
      throw std::runtime_error("Insufficient payload size for item_id: " + ids[i]);
    }
    if (view.id != ids[i]) throw IntegrityError(foreign_record(ids[i]));
    StoredItem item;
    item.list = view.list;
    item.vector.resize(floats);
    std::memcpy(item.vector.data(), view.vector, vector_bytes_);
    out[i] = std::move(item);
  }
  return out;
}

void IndexCore::Relist(const IngestBatch& batch) {
  if (tamper_) {
    te_write(batch, Contents::kKeep);
    return;
  }
  CheckBatch(batch);
  const size_t n = batch.ids->size();
  lists_->LoadCounts();
  std::vector<uint64_t> derived;
  const std::vector<uint64_t>& data_tokens =
      batch.data_tokens ? *batch.data_tokens : (derived = item_tokens(*batch.ids, data_key_));
  PendingEntries pending = lists_->Reserve(*batch.lists, data_tokens);
  cache_.Clear();
  for (size_t begin = 0; begin < n; begin += chunk_) {
    lists_->Write(pending, begin, std::min(n, begin + chunk_));
  }
  for (size_t begin = 0; begin < n; begin += chunk_) {
    const size_t end = std::min(n, begin + chunk_);
    const std::vector<uint64_t> tokens(data_tokens.begin() + begin, data_tokens.begin() + end);
    record_store_->BatchMoveItems(tokens, seal_records(batch, begin, end));
  }
}

void IndexCore::RelistEntries(const std::vector<uint32_t>& lists,
                              const std::vector<uint64_t>& tokens) {
  lists_->CheckLists(lists);
  if (lists.size() != tokens.size()) {
    throw std::runtime_error("Mismatch between size of input tokens and item IDs");
  }
  if (tamper_) return te_relist_entries(lists, tokens);
  lists_->LoadCounts();
  PendingEntries pending = lists_->Reserve(lists, tokens);
  cache_.Clear();
  for (size_t begin = 0; begin < tokens.size(); begin += chunk_) {
    lists_->Write(pending, begin, std::min(tokens.size(), begin + chunk_));
  }
}

void IndexCore::CompactLists(const std::vector<uint32_t>& lists,
                             const std::vector<uint64_t>& data_tokens,
                             const std::vector<uint32_t>& appended_at) {
  lists_->CheckLists(lists);
  const size_t n = lists.size();
  if (data_tokens.size() != n) {
    throw std::runtime_error("Mismatch between size of input tokens and item IDs");
  }
  if (appended_at.size() != n_lists_) throw std::runtime_error("Count table of the wrong size");
  if (tamper_) return te_compact(appended_at);
  lists_->LoadCounts();
  const std::vector<uint32_t> before = lists_->counts();
  std::vector<uint32_t> fresh(n_lists_, 0);
  for (uint32_t c : lists) ++fresh[c];
  // A list is rewritten only where the new layout stays below the entries
  // the batch was appended at, so every item keeps an untouched entry until
  // the shorter count is saved. A list that starts at 0 is compact already.
  std::vector<uint8_t> rewrite(n_lists_, 0);
  for (uint64_t c = 0; c < n_lists_; ++c) {
    rewrite[c] = appended_at[c] != 0 && fresh[c] <= appended_at[c] &&
                 before[c] >= appended_at[c] + fresh[c];
  }
  std::vector<uint32_t> sub_lists, leaves;
  std::vector<uint64_t> tokens;
  {
    std::vector<uint32_t> next(n_lists_, 0);
    for (size_t i = 0; i < n; ++i) {
      if (!rewrite[lists[i]]) continue;
      sub_lists.push_back(lists[i]);
      tokens.push_back(data_tokens[i]);
      leaves.push_back(next[lists[i]]++);
    }
  }
  PendingEntries pending;
  pending.leaves = leaves;
  pending.entries = lists_->Derive(sub_lists, tokens, leaves);
  cache_.Clear();
  for (size_t begin = 0; begin < sub_lists.size(); begin += chunk_) {
    lists_->Write(pending, begin, std::min(sub_lists.size(), begin + chunk_));
  }
  std::vector<uint32_t> after = before;
  for (uint64_t c = 0; c < n_lists_; ++c) {
    if (rewrite[c]) after[c] = fresh[c];
  }
  if (after == before) return;
  lists_->SetCounts(after);  // the commit point
  for (uint64_t c = 0; c < n_lists_; ++c) {
    if (after[c] < before[c]) lists_->Erase(static_cast<uint32_t>(c), after[c], before[c]);
  }
}

}  // namespace tavrin
