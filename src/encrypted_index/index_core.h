// The storage side of one encrypted index: its four stores, its subkeys, the
// list-count map and the result cache. The handle (EncryptedIndex) validates
// requests and decides what to do; the core turns items into sealed records,
// keyed tokens and list entries, and back.
//
// Stores and roles: index store (role 0) holds list entries (label -> masked
// token), the sealed list-count map under kCountsKey and the sealed centroid
// metadata; record store (role 3) holds sealed item records under data-key
// tokens; configuration store (role 1) holds the sealed ".cvs" and ".cei"
// items; items store (role 2) holds sealed contents under content-key tokens, in
// the index location when the items location is NONE.
//
// The list-count map is the number of entries ever appended to each list
// (leaf positions are never reused). It is saved before any entry of an
// upsert is written, so the stored map always covers every stored entry.
//
// Not thread-safe; every failure is an exception.
#ifndef TAVRIN_ENCRYPTED_INDEX_INDEX_CORE_H_
#define TAVRIN_ENCRYPTED_INDEX_INDEX_CORE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backing_store/keystore.h"
#include "client/index_params.h"
#include "common/key.h"
#include "common/row_matrix.h"
#include "crypto/list_entry_labels.h"
#include "encrypted_index/decoded_list.h"
#include "encrypted_index/encrypted_index.h"
#include "encrypted_index/result_cache.h"
#include "encrypted_index/store_factory.h"

namespace tavrin {

namespace store = tavrin_encrypted_index::internal::backing_store;

// Key of the sealed list-count map in the index store.
inline constexpr uint64_t kCountsKey = 0xFFFFFFFFFFFFFFFFull;
// Items written per pair of store batches.
inline constexpr size_t kIngestChunk = 10000;

// What one upsert writes, after validation and list assignment. Views of the
// caller's data: nothing is copied. contents and metadata are empty or hold
// one entry per id.
struct IngestBatch {
  const std::vector<uint32_t>* lists = nullptr;
  const std::vector<std::string>* ids = nullptr;
  const FloatMatrix* vectors = nullptr;
  const std::vector<Bytes>* contents = nullptr;
  const std::vector<std::string>* metadata = nullptr;
};

class IndexCore {
 public:
  enum class Mode { kCreate, kLoad };

  // kCreate writes a new core record (refusing an existing name on a
  // persistent index location); kLoad reads it and the list counts back, and
  // takes the shape from the stored record, not from `params`.
  // A null factory means the keystore factory.
  IndexCore(const IndexParams& params, Mode mode, const StoreFactory& factory = nullptr);
  // In kCreate mode the stores are left in one write; finish_create ends it.
  void finish_create();
  // Saves list counts not yet stored; never throws.
  ~IndexCore();

  IndexCore(const IndexCore&) = delete;
  IndexCore& operator=(const IndexCore&) = delete;

  uint64_t n_lists() const { return n_lists_; }
  uint64_t vector_bytes() const { return vector_bytes_; }
  const std::vector<uint32_t>& list_counts() const { return list_counts_; }
  const Key256& metadata_key() const { return metadata_key_; }
  ResultCache& cache() { return cache_; }
  store::Keystore& index_store() { return *index_store_; }
  store::Keystore& record_store() { return *record_store_; }
  store::Keystore& config_store() { return *config_store_; }
  store::Keystore& items_store() { return *items_store_; }
  // The four stores, for one write transaction over all of them
  // (store::WriteScope).
  std::vector<store::Keystore*> stores() {
    return {index_store_.get(), record_store_.get(), config_store_.get(), items_store_.get()};
  }

  // Configuration items, sealed under the index key as one row.
  void store_config_item(const std::string& name, const Bytes& plaintext);
  Bytes load_config_item(const std::string& name);

  void load_list_counts();
  void save_list_counts();
  void ensure_centroid_seeds();

  // Empties the index and record stores, resets the counts and rewrites the
  // core record; with `all`, also removes the configuration items and the
  // contents.
  void clear(bool all);

  // Writes the batch: overwritten items lose their old record and contents,
  // every item gets the next leaf of its list, contents and records are
  // sealed and stored in chunks of kIngestChunk items. Returns whether any
  // item already existed.
  bool Ingest(const IngestBatch& batch);

  // The live items of each requested list, one entry per request, from the
  // cache where it is current and from one batched read otherwise.
  std::vector<DecodedListPtr> MergeResults(const std::vector<uint32_t>& lists);
  // One list read past the cache, owned by the caller (training moves its
  // vectors out instead of copying them).
  DecodedList ReadList(uint32_t list);

  // Field mask bits of GetItems.
  static constexpr uint32_t kFieldId = 1, kFieldMetadata = 2, kFieldContents = 4,
                            kFieldVector = 8;
  std::vector<ItemView> GetItems(const std::vector<std::string>& ids, uint32_t mask);
  void DeleteItems(const std::vector<std::string>& ids);

 private:
  void write_core_record();
  std::vector<std::shared_ptr<DecodedList>> read_lists(const std::vector<uint32_t>& lists);

  uint64_t rounds_ = 32;
  uint64_t n_lists_ = 0;
  int64_t num_threads_ = 1;
  bool gpu_ = false;
  uint64_t vector_bytes_ = 0;
  std::vector<uint32_t> list_counts_;
  std::vector<uint32_t> stored_counts_;  // as last read or written; empty: none stored
  ResultCache cache_;
  Key256 index_key_{};
  Key256 data_key_{}, content_key_{}, metadata_key_{}, name_key_{};
  uint64_t row_size_ = 8;
  std::string index_name_;
  std::shared_ptr<store::Keystore> index_store_;
  std::shared_ptr<store::Keystore> record_store_;
  std::unique_ptr<store::Keystore> config_store_;
  std::unique_ptr<store::Keystore> items_store_;
  std::unique_ptr<store::WriteScope> creating_;  // before the stores are gone
  std::vector<CentroidSeed> centroid_seeds_;
  std::string core_note_;
};

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_INDEX_CORE_H_
