// Items by id: get and delete go straight to the record and items stores
// through the item tokens; list entries are not touched.
#include <cstring>
#include <stdexcept>
#include <vector>

#include "common/parallel.h"
#include "crypto/keyed_hash.h"
#include "crypto/sealed_record.h"
#include "encrypted_index/index_core.h"
#include "encrypted_index/integrity.h"
#include "encrypted_index/item_record.h"

namespace tavrin {

ItemView IndexCore::item_view(const ItemRecordView& record, uint32_t mask, Bytes contents) const {
  ItemView view;
  view.id.assign(record.id);
  if (mask & kFieldVector) {
    view.vector.resize(vector_bytes_ / sizeof(float));
    std::memcpy(view.vector.data(), record.vector, vector_bytes_);
  }
  if (mask & kFieldMetadata) view.metadata.assign(record.metadata);
  if (mask & kFieldContents) view.contents = std::move(contents);
  return view;
}

std::vector<ItemView> IndexCore::GetItems(const std::vector<std::string>& ids, uint32_t mask) {
  if (ids.empty()) return {};
  if (tamper_) return te_retry([&] { return te_get(ids, mask); });
  const std::vector<uint64_t> content_tokens = item_tokens(ids, content_key_);
  const std::vector<uint64_t> data_tokens = item_tokens(ids, data_key_);
  std::vector<Bytes> contents;
  if (mask & kFieldContents) {
    contents = decrypt_items(items_store_->BatchGetItems(content_tokens), content_key_);
  }
  const std::vector<Bytes> records =
      decrypt_items(record_store_->BatchGetItems(data_tokens), data_key_);

  const size_t n = ids.size();
  std::vector<ItemView> views(n);
  std::vector<uint8_t> found(n, 0);
  parallel_for(n, 256, 64, [&](size_t i) {
    if (records[i].empty()) return;  // no such item
    ItemRecordView record;
    if (!read_item_record(records[i], vector_bytes_, &record)) {
      throw std::runtime_error("Insufficient payload size for item_id: " + ids[i]);
    }
    // The store chooses what it hands back for a token; only a record that
    // names the id asked for is this item's.
    if (record.id != ids[i]) throw IntegrityError(foreign_record(ids[i]));
    views[i] = item_view(record, mask, mask & kFieldContents ? contents[i] : Bytes());
    found[i] = 1;
  });
  std::vector<ItemView> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (found[i]) out.push_back(std::move(views[i]));
  }
  return out;
}

void IndexCore::DeleteItems(const std::vector<std::string>& ids) {
  if (ids.empty()) return;
  // Cached lists would still serve the deleted items, also when a delete
  // fails part-way.
  cache_.Clear();
  store::WriteScope write(stores());
  if (tamper_) {
    te_delete(ids);
    write.Commit();
    return;
  }
  // Contents first: contents left behind by a failure without their record
  // would be found by a later item of the same id.
  items_store_->BatchDeleteItems(item_tokens(ids, content_key_));
  record_store_->BatchDeleteItems(item_tokens(ids, data_key_));
  write.Commit();
}

}  // namespace tavrin
