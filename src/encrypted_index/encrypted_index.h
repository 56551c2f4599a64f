// The handle of one encrypted index: what a Client returns and Python holds.
//
// An index keeps its data in four stores (lists, item records, configuration
// items, contents) that see only sealed records and keyed 64-bit tokens; the
// handle owns an IndexCore that does the storage work. After delete_index the
// handle holds no core, configuration or key, and every data operation throws
// std::runtime_error(kNotConnectedError).
//
// Errors: argument and shape errors are std::invalid_argument, state, store
// and cryptographic errors std::runtime_error, each with a fixed message.
//
// Thread safety: the operations themselves take no lock. Callers that may run
// operations of one index from several threads serialise them on mutex().
// Whoever holds it must not wait for anything the other callers may hold
// while they wait for it (the Python bindings never take the interpreter lock
// while holding it).
#ifndef TAVRIN_ENCRYPTED_INDEX_ENCRYPTED_INDEX_H_
#define TAVRIN_ENCRYPTED_INDEX_ENCRYPTED_INDEX_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/index_config.h"
#include "config/index_params.h"
#include "common/key.h"
#include "common/row_matrix.h"
#include "common/trained_data.h"
#include "encrypted_index/store_factory.h"
#include "search/search_results.h"

namespace tavrin_encrypted_index::internal::backing_store {
class Lease;
}

namespace tavrin {

class IndexCore;
struct ItemScan;
struct ItemRows;

// How long a write waits for another process's write of the same index.
inline constexpr int kLeaseWaitSeconds = 30;

inline constexpr const char kNotConnectedError[] =
    "Not connected to any index. Please call `CreateIndex()` or `LoadIndex()` before calling "
    "this function.";
inline constexpr const char kCudaError[] =
    "CUDA support is required, but the library was built without CUDA. Please build and run the "
    "program with CUDA support (e.g., ./build.sh -cuda).";

struct TrainParams {
  uint64_t batch_size = 2048;
  uint64_t max_iters = 100;
  double tolerance = 1e-6;
  uint64_t max_memory = 0;  // megabytes; accepted and not used
};

// Include codes of Query: 0 distance, 1 metadata (kIncludeMetadata).
struct QueryParams {
  uint64_t top_k = 100;
  uint64_t n_probes = 1;
  std::vector<uint32_t> include;
  bool greedy = false;
  // JSON text of the filter; empty, "{}", "[]" or "null" mean no filter.
  std::string filters;
  // A filtered query on a trained index that finds fewer than top_k matches
  // in its n_probes lists goes on to the next lists of its probe ranking
  // (among those the pre-filter keeps), one at a time, until it has top_k
  // results or has probed max_probes lists. Unset: n_probes (no widening);
  // below n_probes: std::invalid_argument; above n_lists: n_lists.
  std::optional<uint64_t> max_probes;
};

// Include codes of Get: 0 vector, 1 metadata, 2 contents; none means all.
struct ItemView {
  std::string id;
  std::vector<float> vector;  // empty unless asked for
  Bytes contents;             // empty unless asked for or when none was stored
  std::string metadata;       // JSON text; empty unless asked for or none stored
};

class EncryptedIndex {
 public:
  // Create: refuses an empty name, then n_lists 0, then dimension 0
  // (std::invalid_argument), builds the stores and writes the index's
  // records. On a persistent index location an existing name is refused
  // with "Index name <name> already exists" before anything is written.
  // `stores` builds each store (null: the keystore factory).
  EncryptedIndex(const std::string& name, const Key256& key, const IndexConfig& config,
                 const IndexParams& params, const StoreFactory& stores = nullptr);
  // Load: opens the stores and reads the sealed records; the configuration,
  // trained centroids and trained flag come from them. A wrong key fails to
  // open them.
  EncryptedIndex(const std::string& name, const Key256& key, const IndexParams& params,
                 const StoreFactory& stores = nullptr);
  // From serialized bytes: an empty index on new stores that holds the given
  // centroids and trained flag.
  EncryptedIndex(const std::string& name, const Key256& key, const IndexConfig& config,
                 const IndexParams& params, TrainedData trained_data, bool is_trained,
                 const StoreFactory& stores = nullptr);
  // Saves the list counts; never throws.
  ~EncryptedIndex();

  EncryptedIndex(const EncryptedIndex&) = delete;
  EncryptedIndex& operator=(const EncryptedIndex&) = delete;

  bool is_trained() const { return is_trained_; }
  const std::string& index_name() const { return index_name_; }
  // Null after delete_index.
  const IndexConfig* index_config() const { return index_config_.get(); }
  const TrainedData& trained_data() const { return trained_data_; }

  // Removes everything the index stored and disconnects the handle.
  void delete_index();

  // Adds or overwrites items. vectors has one row per id; contents and
  // metadata are empty or one entry per id. Validation failures throw; a
  // failure after validation is written as "Error ingesting: " + message on
  // standard error and then thrown as std::runtime_error with that message.
  // The rows are read where they lie, during the call only.
  void Upsert(const FloatRowsView& vectors, const std::vector<std::string>& ids,
              const std::vector<Bytes>& contents, const std::vector<std::string>& metadata);

  // Top-k items of each query row, exhaustive before training and probed
  // (with centroid pre-filtering) after.
  SearchResults Query(const FloatMatrix& queries, const QueryParams& params);

  // Stored items among ids, in the order of ids; unknown ids give nothing.
  // A stored record that names another id throws IntegrityError.
  std::vector<ItemView> Get(const std::vector<std::string>& ids,
                            const std::vector<uint32_t>& include);
  void Delete(const std::vector<std::string>& ids);

  // Clusters a sample of the stored vectors (training.h) and re-ingests
  // every item into its list, reading the items twice a chunk at a time:
  // in the original format it never holds every item. A record found under
  // another item's key throws IntegrityError before anything is written.
  void TrainIndex(const TrainParams& params);
  // Number of live items (after overwrites and deletes), from the count of
  // stored records: nothing is opened.
  uint64_t Count();
  // Every live id, in no particular order.
  std::vector<std::string> Ids();
  // Rewrites the lists without the entries of deleted items and the old
  // entries of overwritten ones; returns how many entries went. Answers do
  // not change, and a failure at any write leaves every item findable.
  uint64_t Compact();
  // Clusters a trained index anew on its current items and moves them to
  // their new lists, then compacts. std::runtime_error on an untrained index.
  // A failure at any write leaves every item findable by get and by a query
  // probing every list (the old centroids stay in force until the new ones
  // are stored); one before the switch leaves the index marked, so that
  // queries read every list until a retraining completes.
  void Retrain(const TrainParams& params);
  // Replaces the metadata of existing items (one text per id; empty: none),
  // keeping vectors and contents. Refuses, before any write, a length
  // mismatch, a repeated id, metadata that is not JSON, and unknown ids
  // (std::invalid_argument naming every unknown id).
  void UpdateMetadata(const std::vector<std::string>& ids, const std::vector<std::string>& metadata);
  // Re-seals everything the index stores under `new_key`: a copy of every
  // item, list, map and configuration item is written under the new key
  // beside the old values (every store scope derives from the key), the
  // configuration items of both keys' records switch in one write, and the
  // old values are removed last. A failure or a kill before the switch leaves
  // the index under the old key, after it under the new one, every item
  // kept; leftovers of an interrupted copy are removed by the next rotation
  // to the same key. The handle goes on under the new key. The key in use is
  // refused (std::invalid_argument) before anything is written.
  // tamper_evident: true moves an index in the original format to the
  // tamper-evident one; false on a tamper-evident index is refused
  // (std::invalid_argument); unset keeps the format.
  void RotateKey(const Key256& new_key, std::optional<bool> tamper_evident = std::nullopt);
  // Whether the index is stored in the tamper-evident format.
  bool tamper_evident() const;
  // The stores' epoch (re-read), which every committed write advances;
  // nullopt for the original format.
  std::optional<uint64_t> epoch();
  // Saves the list counts and releases the stores; afterwards every data
  // operation throws kNotConnectedError but nothing is deleted, and the
  // name, configuration and trained flag still answer. A second call does
  // nothing.
  void Close();

  // Trains on the given vectors only and returns the index record's bytes.
  Bytes TrainAndSerialize(const FloatMatrix& vectors, const TrainParams& params,
                          bool delete_after);

  // The lock that serialises callers of this index (see above).
  std::mutex& mutex() { return mutex_; }

  // For tests and tools inside the library: the core, null after
  // delete_index.
  IndexCore* core() { return core_.get(); }
  // For tests and tools inside the library: the lease writes take instead
  // of the one of the configuration location.
  void UseLease(std::unique_ptr<tavrin_encrypted_index::internal::backing_store::Lease> lease);

 private:
  // Held by every write: the index's lease (backing_store/lease.h), taken
  // within kLeaseWaitSeconds or refused with std::invalid_argument, then the
  // handle brought up to date (sync); on release the generation advances.
  class Writing;
  // Takes in what other processes committed since this handle last looked:
  // the index record (trained flag, centroids) and, for the original format,
  // no cached list.
  void sync();

  IndexCore& connected() const;  // throws kNotConnectedError
  void store_index_record();     // the ".cvs" item, from the current state
  // Every live item of the lists that hold entries.
  struct AllItems {
    std::vector<uint32_t> lists;
    std::vector<std::string> ids;
    FloatMatrix vectors;
    std::vector<std::string> metadata;
  };
  AllItems read_all_items();
  // Every live item of the lists that hold entries, streamed as
  // IndexCore::ScanLists gives them: `take` sees them a chunk at a time.
  ItemScan scan_items(const std::function<void(uint64_t, const ItemRows&)>& take);
  // Scans the items of `lists` (counts loaded) into `scan`, streaming their
  // vectors through a training sample, and returns the trained data with
  // the sample's centroids. Refuses fewer items than lists, and a GPU handle.
  TrainedData cluster_scanned(const std::vector<uint32_t>& lists, const TrainParams& params,
                              ItemScan* scan);
  // Moves every scanned item to the list of its nearest centroid under
  // `trained`, a chunk read again at a time, in the scan's order: the
  // centroid map takes the chunk's metadata, then each item gets an entry in
  // its new list and a record naming it. Returns the lists, in that order.
  std::vector<uint32_t> relist_scanned(const ItemScan& scan, const TrainedData& trained);
  // Lists of the vectors: 0 before training, nearest centroid after.
  std::vector<uint32_t> assign_lists(const FloatRowsView& vectors) const;
  std::vector<uint32_t> assign_lists(const FloatRowsView& vectors, const TrainedData& trained) const;
  // The centroid metadata map: folded in on upsert, consulted by queries.
  void update_centroid_metadata(const std::vector<std::string>& metadata,
                                const std::vector<uint32_t>& lists);
  // The lists whose items may satisfy the filter, and their centroids.
  struct CentroidSelection {
    std::vector<uint32_t> mapping;
    TrainedData centroids;
  };
  CentroidSelection prefilter_centroids(const std::string& filter_text);

  uint32_t cpu_threads_ = 0;
  bool gpu_accelerate_ = false;
  std::string index_name_;
  std::unique_ptr<IndexConfig> index_config_;
  Key256 index_key_{};
  TrainedData trained_data_;
  bool is_trained_ = false;
  // A retraining stopped before its switch: queries read every list that
  // holds entries (as before training) until a retraining completes.
  bool retraining_ = false;
  std::unique_ptr<IndexCore> core_;
  // What built the core, for a rotation to build its successor.
  IndexParams params_;
  StoreFactory stores_;
  uint64_t generation_ = 0;  // as last seen
  int writing_depth_ = 0;    // Writings of this handle in progress
  std::unique_ptr<tavrin_encrypted_index::internal::backing_store::Lease> lease_;
  std::mutex mutex_;
};

// Bytes of rows (vectors and their ids and metadata) a cold batch query holds
// at once: above that it reads and scores its lists a part at a time.
// Process-wide, for tests and benchmarks; not to be changed while queries run.
void set_cold_part_bytes(uint64_t bytes);
uint64_t cold_part_bytes();

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_ENCRYPTED_INDEX_H_
