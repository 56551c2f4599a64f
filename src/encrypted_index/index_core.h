// The storage side of one encrypted index: what ties its pieces together.
// The stores of the four roles (backing_store/store_role.h), the subkeys, the
// inverted lists (ListStore: entries, positions, the count map), the item
// records and contents sealed under the item tokens, and the result cache of
// decoded lists. The handle (EncryptedIndex) validates requests and decides
// what to do; the core turns items into sealed records and list entries, and
// back.
//
// Contents live in the items store, which is the index location when the
// items location is NONE.
//
// A tamper-evident core (encrypted_index/tamper_state.h) binds every sealed
// value to its place, checks every list it reads against the state row and
// every item it gets against its bucket row, and makes each operation one
// commit: writes between the outermost Write and its Commit become visible
// together, when the state row is stored. An operation that fails before
// then leaves the index as it was.
//
// Not thread-safe; every failure is an exception.
#ifndef TAVRIN_ENCRYPTED_INDEX_INDEX_CORE_H_
#define TAVRIN_ENCRYPTED_INDEX_INDEX_CORE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "backing_store/keystore.h"
#include "backing_store/store_role.h"
#include "config/index_params.h"
#include "common/key.h"
#include "common/row_matrix.h"
#include "crypto/list_entry_labels.h"
#include "encrypted_index/decoded_list.h"
#include "encrypted_index/encrypted_index.h"
#include "encrypted_index/integrity.h"
#include "encrypted_index/item_record.h"
#include "encrypted_index/list_store.h"
#include "encrypted_index/result_cache.h"
#include "encrypted_index/store_factory.h"
#include "encrypted_index/tamper_state.h"

namespace tavrin {

namespace store = tavrin_encrypted_index::internal::backing_store;

// Items written per pair of store batches, unless IndexParams says otherwise.
inline constexpr size_t kIngestChunk = 10000;

// What one upsert writes, after validation and list assignment. Views of the
// caller's data: nothing is copied. contents and metadata are empty or hold
// one entry per id.
struct IngestBatch {
  const std::vector<uint32_t>* lists = nullptr;
  const std::vector<std::string>* ids = nullptr;
  FloatRowsView vectors;
  const std::vector<Bytes>* contents = nullptr;
  const std::vector<std::string>* metadata = nullptr;
  // The ids' data tokens where the caller has them already (a rewrite of
  // scanned items); null: derived from the ids.
  const std::vector<uint64_t>* data_tokens = nullptr;
};

// A batch without contents (training, compaction, metadata updates).
inline IngestBatch batch_of(const std::vector<uint32_t>& lists, const std::vector<std::string>& ids,
                            const FloatMatrix& vectors, const std::vector<std::string>& metadata) {
  IngestBatch batch;
  batch.lists = &lists;
  batch.ids = &ids;
  batch.vectors = vectors;
  batch.metadata = &metadata;
  return batch;
}

// Items opened from their records, row by row.
struct ItemRows {
  std::vector<std::string> ids;
  std::vector<std::string> metadata;
  FloatMatrix vectors;
};
// The live items of some lists as IndexCore::ScanLists found them: each
// once, in ReadLists' order, kept as what finds them again (12 bytes an
// item), not as their contents.
struct ItemScan {
  std::vector<uint32_t> lists;   // the list each item was found in
  std::vector<uint64_t> tokens;  // its data token: the record's key
  ItemRows held;                 // tamper-evident format: every item, opened
  size_t size() const { return tokens.size(); }
};
// Takes one chunk of opened items, with the row number of its first.
using ScanChunk = std::function<void(uint64_t first_row, const ItemRows& rows)>;

class IndexCore {
 public:
  enum class Mode { kCreate, kLoad, kRekey };

  // kCreate writes a new core record (refusing an existing name on a
  // persistent index location); kLoad reads it and the list counts back, and
  // takes the shape from the stored record, not from `params`. kRekey builds
  // the copy of an existing index under another key, which lives beside it
  // (every store scope derives from the key): it empties what an earlier,
  // interrupted copy left there and writes nothing else; switch_to() then
  // makes the copy the index.
  // A null factory means the keystore factory. A fence (of the lease the
  // caller holds) is set on the stores before their first write.
  IndexCore(const IndexParams& params, Mode mode, const StoreFactory& factory = nullptr,
            const store::WriteFence* fence = nullptr);
  // In kCreate mode the stores are left in one write; finish_create ends it.
  void finish_create();
  // Saves list counts not yet stored; never throws.
  ~IndexCore();

  IndexCore(const IndexCore&) = delete;
  IndexCore& operator=(const IndexCore&) = delete;

  // The shape of this index under another key, for a kRekey core.
  IndexParams rekeyed_params(IndexParams params, const Key256& key, bool tamper_evident) const;
  // Stores the core record and `index_record` (the ".cvs" item) in one
  // write: loading by name then finds this core's key in force.
  void switch_to(const std::string& record_name, const Bytes& index_record);
  // Removes every value of this index but its configuration items, which a
  // rekeyed copy has replaced. The core is of no further use.
  void drop_data();

  bool tamper_evident() const { return tamper_; }
  // Starts an operation of the handle: its first read of the state row
  // reads the store, later ones in the same operation reuse it.
  void BeginOperation() { te_fresh_ = false; }
  // A number that moves whenever the index record may have changed (another
  // process's writes included): the epoch of the tamper-evident index record,
  // or a sealed counter of the original format that every write under the
  // lease advances (0 before the first).
  uint64_t Generation();
  void AdvanceGeneration();
  // The epoch the stores are at, re-read; 0 for the original format.
  uint64_t epoch();

  // Groups the writes of one operation into one commit (tamper-evident
  // format; nothing otherwise). Nests: the outermost Commit commits, and a
  // Write destroyed uncommitted abandons the whole operation.
  class Write {
   public:
    explicit Write(IndexCore& core);
    ~Write();
    Write(const Write&) = delete;
    Write& operator=(const Write&) = delete;
    void Commit();

   private:
    IndexCore& core_;
    bool open_ = true;
  };

  // The index record (".cvs"): a configuration item, or in the
  // tamper-evident format a value of the state's epoch.
  void store_index_record(const Bytes& plaintext);
  Bytes load_index_record();
  // Where the centroid metadata map lives: the index store, or in the
  // tamper-evident format a copy in memory stored with each commit.
  store::Keystore& map_store();
  // List entries a read of every list goes through.
  uint64_t EntryCount();

  uint64_t n_lists() const { return n_lists_; }
  uint64_t vector_bytes() const { return vector_bytes_; }
  const std::vector<uint32_t>& list_counts() const { return lists_->counts(); }
  ListStore& lists() { return *lists_; }
  const Key256& metadata_key() const { return metadata_key_; }
  ResultCache& cache() { return cache_; }
  store::Keystore& index_store() { return *index_store_; }
  store::Keystore& record_store() { return *record_store_; }
  store::Keystore& config_store() { return *config_store_; }
  store::Keystore& items_store() { return *items_store_; }
  // The four stores, for one write transaction over all of them
  // (store::WriteScope).
  // Every later write of the stores checks `fence` (nullptr: none); with
  // `raise`, writes under earlier holders' fences fail from now on. Returns
  // 0, or a larger number a store's fence holds (see Keystore::RaiseFence).
  uint64_t SetFence(const store::WriteFence* fence, bool raise);

  std::vector<store::Keystore*> stores() {
    return {index_store_.get(), record_store_.get(), config_store_.get(), items_store_.get()};
  }

  // Configuration items, sealed under the index key as one row.
  void store_config_item(const std::string& name, const Bytes& plaintext);
  Bytes load_config_item(const std::string& name);

  // Re-reads the counts (the state row, in the tamper-evident format; inside
  // a Write, the counts of the operation so far).
  void load_list_counts();

  // Removes everything the index stored: lists, records, configuration
  // items and contents; what remains is the all-zero count row.
  void clear();

  // Checks the batch against the index (list numbers, row count and width)
  // without touching a store; Ingest calls it first.
  void CheckBatch(const IngestBatch& batch) const;
  // Writes the batch: overwritten items lose their old record and contents,
  // every item gets the next position of its list, contents and records are
  // sealed and stored in chunks of chunk() items. Returns whether any
  // item already existed.
  bool Ingest(const IngestBatch& batch);
  // Moves items to other lists without touching their contents: each item
  // gets an entry in its new list, then its record is rewritten to name that
  // list; until then its old entry keeps it findable. `batch.contents` is
  // ignored.
  void Relist(const IngestBatch& batch);
  // A second entry for each item in the list its record names (`lists`),
  // appended; records and contents stay as they are.
  // `tokens` are the items' data tokens (ItemScan::tokens).
  void RelistEntries(const std::vector<uint32_t>& lists, const std::vector<uint64_t>& tokens);
  // Rewrites the records of existing items (their list, vector and metadata
  // as `batch` gives them), leaving entries and contents alone.
  void WriteRecords(const IngestBatch& batch);
  // The stored record of each id: its list and vector, or nullopt for an
  // unknown id.
  struct StoredItem {
    uint32_t list = 0;
    std::vector<float> vector;
  };
  std::vector<std::optional<StoredItem>> ReadRecords(const std::vector<std::string>& ids);
  // Number of stored item records: the live items.
  uint64_t CountRecords();
  // After Relist of every live item (data tokens `tokens`, now in `lists`,
  // in the order Relist appended them, in one batch or in consecutive ones), with
  // `appended_at` the counts Relist appended at: rewrites the lists whose old
  // entries came before the appended ones so that they hold only the new
  // entries from position 0, then saves the shorter counts (the one commit
  // point) and removes the positions past them. Every item stays findable at
  // every moment.
  void CompactLists(const std::vector<uint32_t>& lists, const std::vector<uint64_t>& tokens,
                    const std::vector<uint32_t>& appended_at);

  // The live items of each requested list, one entry per request, from the
  // cache where it is current and from one batched read otherwise.
  // The count map is re-read first unless the caller just did.
  std::vector<DecodedListPtr> MergeResults(const std::vector<uint32_t>& lists,
                                           bool counts_loaded = false);
  // Items per pair of store batches (IndexParams::write_chunk).
  size_t chunk() const { return chunk_; }

  // Lists read past the cache, owned by the caller (training moves their
  // vectors out instead of copying them).
  std::vector<DecodedList> ReadLists(const std::vector<uint32_t>& lists);
  // The lists an untrained index keeps items in: list 0, and any list an
  // interrupted training has written entries to.
  std::vector<uint32_t> untrained_lists() const;
  // The lists whose counts are not 0, as loaded.
  std::vector<uint32_t> lists_with_entries() const;
  // Every live item of `lists` opened, in ReadLists' order, one row each;
  // found_in receives the list of each.
  ItemRows ReadItems(const std::vector<uint32_t>& lists, std::vector<uint32_t>* found_in);

  // The live items of `lists`, streamed: `take` gets them opened a chunk of
  // at most chunk() records at a time, and they are gone when it returns, so
  // that rewriting every item never holds every item beside the store. The
  // tamper-evident format verifies lists whole: there the scan holds the
  // items too.
  ItemScan ScanLists(const std::vector<uint32_t>& lists, const ScanChunk& take);
  // Items [begin, end) of `scan`, read again. A record that no longer exists
  // or names another list throws std::runtime_error: the index changed
  // under the writer. Both refuse, with IntegrityError, a record found under
  // the key of another item.
  ItemRows ReadScanned(const ItemScan& scan, size_t begin, size_t end);

  // Field mask bits of GetItems.
  static constexpr uint32_t kFieldId = 1, kFieldMetadata = 2, kFieldContents = 4,
                            kFieldVector = 8;
  std::vector<ItemView> GetItems(const std::vector<std::string>& ids, uint32_t mask);
  void DeleteItems(const std::vector<std::string>& ids);

 private:
  // A bucket's entries as verified (te_buckets_ below): its row and the
  // delta over it, kept apart as stored, so that a write changes the small
  // delta and the row only when the delta is folded into it.
  struct VerifiedBucket {
    uint64_t version = 0;        // of the row; 0: none
    uint64_t delta_version = 0;  // of the delta row; 0: none
    std::vector<BucketItem> row;    // sorted by token
    std::vector<BucketItem> delta;  // sorted by token; a removal has version 0
    // The entry of `token`, or null when the bucket holds none.
    const BucketItem* Find(uint64_t token) const;
    // Makes `item` the entry of its token (a removal takes it away).
    void Put(const BucketItem& item);
  };
  // One operation's writes in the tamper-evident format, until its commit.
  struct Txn {
    int depth = 0;
    TamperState work;  // the state the operation will commit
    // Buckets read so far, changed in place in te_buckets_ (an abort drops
    // them from there).
    std::unordered_map<uint32_t, VerifiedBucket*> buckets;
    std::vector<bool> dirty;  // per bucket of `work`: changed
    std::optional<Bytes> index_record;
    bool map_touched = false;
  };
  enum class Contents { kReplace, kDrop, kKeep };

  Bytes core_record() const;  // the ".cei" item's plaintext
  // What get returns of a verified record: the fields `mask` asks for.
  ItemView item_view(const ItemRecordView& record, uint32_t mask, Bytes contents) const;
  void delete_data();         // every store's values but the configuration items
  void write_core_record();
  // The lists opened from the store, in either format; a list whose rows
  // carry no metadata keeps no strings for them (DecodedList::metadata).
  std::vector<std::shared_ptr<DecodedList>> read_lists(const std::vector<uint32_t>& lists);
  std::vector<std::shared_ptr<DecodedList>> read_plain_lists(const std::vector<uint32_t>& lists);
  // open_live for tokens[begin, end) into `out`, row j for token begin + j
  // (its buffers reused); returns which rows were found.
  std::vector<uint8_t> open_rows(const std::vector<uint64_t>& tokens, size_t begin, size_t end,
                                 const std::function<uint32_t(size_t)>& list_of, ItemRows& out);
  // Throws IntegrityError unless tokens[i] is the data token of ids[i].
  void check_tokens(const std::vector<std::string>& ids, const uint64_t* tokens) const;
  // Opens the records of tokens[begin, end) and hands `take` (on worker
  // threads) each that exists and names list_of(its index); the view lives
  // for the call. A record that does not parse is refused; an exception
  // from `take` ends as std::bad_alloc.
  void open_live(const std::vector<uint64_t>& tokens, size_t begin, size_t end,
                 const std::function<uint32_t(size_t)>& list_of,
                 const std::function<void(size_t, const ItemRecordView&)>& take);
  std::vector<DecodedListPtr> merge_results(const std::vector<uint32_t>& lists, bool counts_loaded);
  // Sealed records of a batch, chunk [begin, end).
  std::vector<Bytes> seal_records(const IngestBatch& batch, size_t begin, size_t end);

  uint64_t rounds_ = 32;
  uint64_t n_lists_ = 0;
  size_t chunk_ = kIngestChunk;
  int64_t num_threads_ = 1;
  bool gpu_ = false;
  uint64_t vector_bytes_ = 0;
  ResultCache cache_;
  Key256 index_key_{};
  Key256 data_key_{}, content_key_{}, metadata_key_{}, name_key_{};
  uint64_t row_size_ = 8;
  std::string index_name_;
  std::shared_ptr<store::Keystore> index_store_;
  std::shared_ptr<store::Keystore> record_store_;
  std::unique_ptr<store::Keystore> config_store_;
  std::unique_ptr<store::Keystore> items_store_;
  std::unique_ptr<ListStore> lists_;
  std::unique_ptr<store::WriteScope> creating_;  // before the stores are gone
  std::string core_note_;

  // The tamper-evident format (tamper_evident.cc).
  void te_init(const IndexParams& params, Mode mode);
  // Makes lists_ on `key`. A handle that keeps no decoded lists keeps the
  // leaves its reads derive instead, up to kKeptLeaves (ListStore::KeepLeaves).
  void make_lists(const Key256& key, bool own_counts);
  static constexpr uint64_t kKeptLeaves = uint64_t{1} << 21;  // 32 MB of labels and masks
  void te_load_state();
  void te_load_state_once();
  Bytes te_load_index_record();
  store::Keystore& te_map_store();
  void te_store_state(const TamperState& state);
  Bytes te_tip(const TamperState& state) const;
  // Runs a read outside a write; when it finds something missing or stale
  // while another process committed meanwhile (removing what the state this
  // read began from named), runs it again from the new state.
  template <typename Read>
  auto te_retry(Read&& read) -> decltype(read()) {
    for (int attempt = 0;; ++attempt) {
      const uint64_t seen = state_.epoch;
      try {
        return read();
      } catch (const IntegrityError&) {
        if (txn_ || attempt == 8) throw;
        te_fresh_ = false;
        te_load_state();
        if (state_.epoch == seen) throw;
      }
    }
  }
  const TamperState& te_current() const;
  void te_adopt_counts();
  void te_begin();
  void te_commit();
  void te_abort() noexcept;
  void te_delete_dead(const TamperState& state);
  // Makes te_buckets_ hold the rows of `buckets` at the versions `state`
  // names, reading those it lacks in one batch.
  void te_load_buckets(const TamperState& state, const std::vector<uint32_t>& buckets);
  uint64_t te_count();
  VerifiedBucket& te_bucket(uint32_t bucket);  // the operation's, read if need be
  // Reads, in one batch, the rows of the buckets of `tokens` not yet read.
  void te_prefetch_buckets(const std::vector<uint64_t>& tokens);
  bool te_write(const IngestBatch& batch, Contents contents);
  void te_relist_entries(const std::vector<uint32_t>& lists, const std::vector<uint64_t>& tokens);
  void te_compact(const std::vector<uint32_t>& appended_at);
  std::vector<std::shared_ptr<DecodedList>> te_read_lists(const std::vector<uint32_t>& lists);
  // The bucket item of each token (nullopt: not stored), from `state`.
  std::vector<std::optional<BucketItem>> te_find(const TamperState& state,
                                                 const std::vector<uint64_t>& tokens);
  std::vector<ItemView> te_get(const std::vector<std::string>& ids, uint32_t mask);
  void te_delete(const std::vector<std::string>& ids);
  void te_clear();
  void te_stage_index_record(const Bytes& plaintext);
  Bytes te_seal_config(const std::string& name, const Bytes& plaintext) const;
  Bytes te_open_config(const std::string& name, const Bytes& sealed) const;

  bool tamper_ = false;
  uint64_t scope_ = 0;  // the hashed index name
  Key256 list_key_{}, record_seal_key_{}, contents_seal_key_{}, state_key_{}, config_key_{};
  TamperState state_;  // as last committed or read
  Bytes last_state_row_;  // its sealed bytes
  // Bucket rows this handle verified or committed, by bucket, with the
  // version they were read at. A version names one commit's row, so a row
  // the state still names is served from here without reading it again: a
  // write then costs what it changes, not a read of every bucket it touches.
  // About 48 bytes per item and per entry of a delta.
  std::unordered_map<uint32_t, VerifiedBucket> te_buckets_;
  bool te_fresh_ = false;  // state_ read in the current operation
  std::unique_ptr<Txn> txn_;
  std::unique_ptr<store::Keystore> map_;  // the map in memory
  uint64_t map_epoch_ = UINT64_MAX;      // the epoch map_ holds; none loaded
};

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_INDEX_CORE_H_
