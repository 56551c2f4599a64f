// The backing-store interface every encrypted index writes through. A store
// sees only opaque 64-bit keys and already sealed or hashed byte strings, and
// scopes every row it touches to one number, its hashed index name (the base
// given at construction plus the store's role), so that indexes and roles can
// share a table or database without seeing each other's rows.
//
// Items live under 64-bit keys, either as fixed-width rows of row_size bytes
// (moved in bulk as a ByteMatrix) or as variable-length byte strings.
// Configuration items live under a text name and are only used by the
// configuration store (role 1). A store is not thread-safe: one operation at
// a time. Failures are thrown as std::runtime_error.
#ifndef TAVRIN_BACKING_STORE_KEYSTORE_H_
#define TAVRIN_BACKING_STORE_KEYSTORE_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/row_matrix.h"

namespace tavrin_encrypted_index::internal::backing_store {

inline constexpr const char kNoKeysError[] = "No keys provided for batch insertion";
inline constexpr const char kBatchMismatchError[] =
    "Mismatch between number of keys and batch size";
inline constexpr const char kRowWidthError[] =
    "Amount of data must be divisible by the size of each value";

// Refusal of a stored value read back as a row of another width: returning it
// cut, padded or shifted would hand wrong rows to the caller.
inline std::string stored_width_error(uint64_t key, uint64_t length, uint64_t row_size) {
  return "Stored value for key " + std::to_string(key) + " is " + std::to_string(length) +
         " bytes long, not the row size " + std::to_string(row_size);
}

// The checks every store makes before writing a batch of rows: keys given,
// one row per key, rows of the store's width, and a buffer that really holds
// rows x cols bytes (the fields are public, and a short buffer would be read
// past its end).
inline void check_batch_rows(const std::vector<uint64_t>& keys, const ByteMatrix& matrix,
                             uint64_t row_size) {
  if (keys.empty()) throw std::runtime_error(kNoKeysError);
  if (matrix.rows != keys.size()) throw std::runtime_error(kBatchMismatchError);
  if (matrix.cols != row_size) throw std::runtime_error(kRowWidthError);
  if (matrix.data.size() != matrix.rows * matrix.cols) {
    throw std::invalid_argument(tavrin::kMatrixShapeError);
  }
}

// What the stores of an index-lease holder check inside each of its writes,
// so that a holder whose lease lapsed (a process paused past the expiry, or
// whose lease connection dropped) cannot write once another process took the
// lease. Given by the lease (lease.h).
struct WriteFence {
  // Redis: handed out with the lease, larger for every later holder; a write
  // carrying a smaller number than the store has seen fails.
  uint64_t number = 0;
  // PostgreSQL: the lease's advisory lock and the backend of the connection
  // holding it, checked inside each write transaction, and the lock each such
  // transaction shares and a new holder takes once before it reads.
  int64_t lease_key = 0;
  int lease_pid = 0;
  int64_t drain_key = 0;
};

inline constexpr const char kFenceLostError[] =
    "the write lease of the index passed to another writer before this write";

class Keystore {
 public:
  virtual ~Keystore() = default;

  // Stores row i of `matrix` under keys[i]; later duplicates win. Refuses an
  // empty key list, a row count other than the key count, and rows whose
  // width is not row_size, before writing anything.
  virtual void BatchPutRows(const std::vector<uint64_t>& keys, const ByteMatrix& matrix) = 0;
  // Stores values[i] under keys[i]; an empty value is skipped (an earlier
  // value under its key stays).
  virtual void BatchPutItems(const std::vector<uint64_t>& keys,
                             const std::vector<Bytes>& values) = 0;
  // BatchPutItems that takes the values over: a store that keeps values in
  // memory moves them instead of copying. The default copies.
  virtual void BatchMoveItems(const std::vector<uint64_t>& keys, std::vector<Bytes>&& values) {
    BatchPutItems(keys, values);
  }
  // Stores one value, overwriting; an empty value is stored as empty.
  virtual void PutItem(uint64_t key, const Bytes& value) = 0;
  // Removes keys; absent keys are ignored.
  virtual void BatchDeleteItems(const std::vector<uint64_t>& keys) = 0;
  virtual void DeleteItem(uint64_t key) = 0;
  // The stored value, or empty Bytes for an absent key.
  virtual Bytes GetItem(uint64_t key) = 0;
  // One row_size row per key in key order; an absent key gives zero bytes.
  // No keys give the empty matrix.
  virtual ByteMatrix BatchGetRows(const std::vector<uint64_t>& keys) = 0;
  // One entry per key in key order; an absent key gives empty Bytes.
  virtual std::vector<Bytes> BatchGetItems(const std::vector<uint64_t>& keys) = 0;
  // BatchGetItems for a caller that reads the values at once and writes
  // nothing meanwhile: a store that holds values in memory hands out views of
  // them, valid until its next write; the default reads into `holder` and
  // views that. An absent key gives an empty view.
  virtual std::vector<ByteView> BatchViewItems(const std::vector<uint64_t>& keys,
                                               std::vector<Bytes>& holder) {
    holder = BatchGetItems(keys);
    std::vector<ByteView> views(holder.size());
    for (size_t i = 0; i < holder.size(); ++i) views[i] = ByteView(holder[i]);
    return views;
  }
  virtual void PushConfigItem(const std::string& name, const Bytes& value) = 0;
  // Stores several configuration items so that a reader finds all of them
  // or none: one statement where the store has no transactions. The default
  // pushes them one by one, which a surrounding write makes one.
  virtual void PushConfigItems(const std::vector<std::pair<std::string, Bytes>>& items) {
    for (const auto& [name, value] : items) PushConfigItem(name, value);
  }
  // Throws when the item is absent.
  virtual Bytes LoadConfigItem(const std::string& name) = 0;
  virtual bool ConfigItemExists(const std::string& name) = 0;
  // Removes everything this store keeps under its hashed index name.
  virtual void DeleteIndex() = 0;
  // Number of keys stored under the hashed index name.
  virtual uint64_t CountItems() = 0;
  // Width of one fixed-width row; 8 until changed. Not checked.
  virtual void SetRowSize(uint64_t size) = 0;
  // A hint that about `count` keys not stored yet are about to be written,
  // batch after batch: a store that keeps its keys in memory makes room for
  // them at once instead of growing as the batches arrive (each growth moves
  // every key held). Writes nothing and refuses nothing; the default ignores
  // it.
  virtual void ExpectNewKeys(uint64_t count) { (void)count; }

  // One write transaction over several operations, for stores that have
  // them; the others write each operation as it comes. Calls nest: stores
  // that share a database count begins on it, and only the outermost commit
  // makes the writes visible. AbortWrite never throws and says whether the
  // writes since BeginWrite are undone (or will be, by the outermost abort).
  virtual void BeginWrite() {}
  virtual void CommitWrite() {}
  virtual bool AbortWrite() noexcept { return false; }

  // Every later write checks `fence` (nullptr: none), in the same atomic step
  // as the write itself, and fails with kFenceLostError in its message. The
  // fence must outlive its use. Stores nobody else writes ignore it.
  virtual void SetFence(const WriteFence* fence) { (void)fence; }
  // Called once by a new holder before it reads anything: from then on no
  // write under an earlier holder's fence gets through. Returns 0, or the
  // larger number a fence already holds (then nothing is promised: the
  // holder draws a larger number from its lease and raises again).
  virtual uint64_t RaiseFence() { return 0; }
};

// Begins a write on each store; unless Commit() succeeds, the destructor
// aborts them. Stores sharing one database make one transaction of it.
class WriteScope {
 public:
  explicit WriteScope(std::vector<Keystore*> stores) {
    begun_.reserve(stores.size());
    try {
      for (Keystore* s : stores) {
        s->BeginWrite();
        begun_.push_back(s);
      }
    } catch (...) {
      Abort();
      throw;
    }
  }
  ~WriteScope() { Abort(); }
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;

  // Innermost first, so that the last commit on a shared database is the
  // real one. A failed commit aborts what is left and rethrows.
  void Commit() {
    while (!begun_.empty()) {
      Keystore* s = begun_.back();
      begun_.pop_back();
      try {
        s->CommitWrite();
      } catch (...) {
        Abort();
        throw;
      }
    }
  }
  // Whether every store undid the writes (false once committed or for a
  // store without transactions).
  bool Abort() noexcept {
    bool undone = !begun_.empty();
    while (!begun_.empty()) {
      undone = begun_.back()->AbortWrite() && undone;
      begun_.pop_back();
    }
    return undone;
  }

 private:
  std::vector<Keystore*> begun_;
};

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_KEYSTORE_H_
