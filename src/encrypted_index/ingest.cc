// Writing items: overwrites, leaf positions, list entries, sealed records.
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/parallel.h"
#include "crypto/keyed_hash.h"
#include "crypto/list_entry_labels.h"
#include "crypto/sealed_record.h"
#include "encrypted_index/index_core.h"
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
      entry.ids.push_back((*batch.ids)[i]);
      const float* v = batch.vectors->row(i);
      entry.vectors.insert(entry.vectors.end(), v, v + floats);
      entry.metadata.push_back(batch.metadata->empty() ? std::string() : (*batch.metadata)[i]);
      entry.entries_read += 1;
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

bool IndexCore::Ingest(const IngestBatch& batch) {
  const std::vector<std::string>& ids = *batch.ids;
  const std::vector<uint32_t>& lists = *batch.lists;
  const FloatMatrix& vectors = *batch.vectors;
  const size_t n = ids.size();
  for (uint32_t list : lists) {
    if (list >= n_lists_) throw std::runtime_error("List number out of range in upsert");
  }

  load_list_counts();
  ensure_centroid_seeds();

  const std::vector<uint64_t> data_tokens = item_tokens(ids, data_key_);
  const std::vector<uint64_t> content_tokens = item_tokens(ids, content_key_);

  // Overwrites: the old record and contents go; the old list entries stay
  // and are skipped when their list is read.
  const std::vector<Bytes> existing = record_store_->BatchGetItems(data_tokens);
  std::vector<uint64_t> old_data, old_content;
  for (size_t i = 0; i < n; ++i) {
    if (!existing[i].empty()) {
      old_data.push_back(data_tokens[i]);
      old_content.push_back(content_tokens[i]);
    }
  }
  const bool overwrote = !old_data.empty();
  if (overwrote) {
    // A cached list may hold an overwritten item's old row.
    cache_.Clear();
    record_store_->BatchDeleteItems(old_data);
    items_store_->BatchDeleteItems(old_content);
  }
  const std::vector<uint32_t> loaded = list_counts_;

  std::vector<uint32_t> leaves(n);
  for (size_t i = 0; i < n; ++i) leaves[i] = list_counts_[lists[i]]++;
  // Saved before any entry is written: the stored map then covers every
  // entry that reaches the store, whatever fails below, so no leaf position
  // is ever handed out twice.
  save_list_counts();

  if (gpu_) throw std::runtime_error(kCudaError);
  const ListEntries entries =
      encrypt_list_entries(lists, data_tokens, centroid_seeds_, static_cast<uint32_t>(rounds_), leaves);
  if (entries.labels.size() != n) {
    throw std::runtime_error("Mismatch between size of input tokens and item IDs");
  }
  if (vector_bytes_ != 0 && vectors.rows != n) {
    throw std::runtime_error("Mismatch between size of input tokens and payload rows");
  }
  if (vectors.cols * sizeof(float) != vector_bytes_) {
    throw std::invalid_argument("Payload column size does not match expected payload size");
  }

  if (batch.contents != nullptr && !batch.contents->empty()) {
    items_store_->BatchMoveItems(content_tokens, encrypt_items(*batch.contents, content_key_));
  }

  const bool with_metadata = batch.metadata != nullptr && !batch.metadata->empty();
  std::vector<Bytes> masked(std::min(n, kIngestChunk));
  std::vector<Bytes> records(std::min(n, kIngestChunk));
  for (size_t begin = 0; begin < n; begin += kIngestChunk) {
    const size_t end = std::min(n, begin + kIngestChunk);
    const size_t count = end - begin;
    masked.assign(count, Bytes());  // moved into the store by the last chunk
    records.resize(count);
    parallel_for(count, 256, 64, [&](size_t j) {
      const size_t i = begin + j;
      masked[j].resize(8);
      const uint64_t token = entries.masked_tokens[i];
      for (int b = 0; b < 8; ++b) masked[j][b] = static_cast<uint8_t>(token >> (8 * b));
      write_item_record(ids[i], lists[i], reinterpret_cast<const uint8_t*>(vectors.row(i)),
                        vector_bytes_, with_metadata ? (*batch.metadata)[i] : std::string_view(),
                        records[j]);
    });
    std::vector<Bytes> sealed = encrypt_items(records, data_key_);
    const std::vector<uint64_t> labels(entries.labels.begin() + begin, entries.labels.begin() + end);
    const std::vector<uint64_t> tokens(data_tokens.begin() + begin, data_tokens.begin() + end);
    index_store_->BatchMoveItems(labels, std::move(masked));
    record_store_->BatchMoveItems(tokens, std::move(sealed));
  }
  // Only once everything is stored: a failed write must not leave cached
  // lists holding items the stores do not. A list that missed some stored
  // entries is simply read again, its count no longer matching.
  if (cache_.enabled()) update_cache(cache_, batch, loaded, vector_bytes_);
  return overwrote;
}

}  // namespace tavrin
