// The Keystore on one PostgreSQL table, through one libpq connection opened
// by the constructor and closed by the destructor.
//
// Role 1 (configuration store) keeps named items in a table
//   (index_name VARCHAR(255) PRIMARY KEY, config BYTEA NOT NULL);
// every other role keeps 64-bit keys (as decimal text) in a table
//   (key VARCHAR(255), value BYTEA, index_name BIGINT)
// where index_name is the store's hashed index name with bit 63 cleared. A
// table this store creates makes (index_name, key) its primary key, so several
// indexes can share it; a table created with the primary key on key alone is
// still used, upserting on key as it was built to (detected at construction).
// A missing table is created; any table is checked for the expected columns
// and types. The table name follows the rule of pg_handles.h.
//
// Statements are parameterised (keys as decimal text, values binary). A batch
// write goes in one transaction, in the key column's order, and a failure
// rolls the whole batch back. It is first sent as one binary COPY of plain
// rows (BEGIN, the fence's check, the COPY in one round trip, then COMMIT):
// the server's bulk path, cheaper than inserts. If a key already
// exists (unique violation, rolled back) it goes again as upserts: keys and
// values as binary arrays to a statement prepared once per connection, up to
// kChunkRows rows or kChunkBytes a statement, all statements in one libpq
// pipeline (BEGIN, the chunks, COMMIT); after such a miss the next batches
// are upserts, for a while. Either way the table ends with the same rows. A
// batch read is one statement with the keys as one binary array (prepared,
// unless it has kPlannedReadKeys keys or more). A failed read always throws:
// it is never taken for an absent value.
//
// Bounded waits: the connection string gets connect_timeout=10 and TCP
// keepalives (idle 10 s, interval 5 s, 3 probes) unless it sets them itself,
// and every statement must be answered within the command timeout (60 s by
// default). After a timeout the connection is closed and every later call
// throws at once.
#ifndef TAVRIN_BACKING_STORE_POSTGRES_KEYSTORE_H_
#define TAVRIN_BACKING_STORE_POSTGRES_KEYSTORE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "backing_store/keystore.h"
#include "backing_store/pg_handles.h"
#include "common/db_config.h"

namespace tavrin_encrypted_index::internal::backing_store {

class PostgresKeystore : public Keystore {
 public:
  // Rows, and value bytes, sent per statement of a batch write at most (a
  // single larger value goes alone).
  static constexpr size_t kChunkRows = 4096;
  static constexpr size_t kChunkBytes = size_t{64} << 20;
  // Batch reads of fewer keys use a statement prepared once (index probes);
  // larger ones are planned with their keys.
  static constexpr size_t kPlannedReadKeys = 16384;

  // Needs the connection string and table name of `config`; throws
  // std::runtime_error on a bad table name (before connecting), a failed
  // connection ("Postgres connection error: " + reason), or a table that does
  // not have the expected shape.
  PostgresKeystore(const tavrin::DBConfig& config, std::string index_name, uint64_t base,
                   int32_t role);

  void BatchPutRows(const std::vector<uint64_t>& keys, const ByteMatrix& matrix) override;
  void BatchPutItems(const std::vector<uint64_t>& keys, const std::vector<Bytes>& values) override;
  void PutItem(uint64_t key, const Bytes& value) override;
  void BatchDeleteItems(const std::vector<uint64_t>& keys) override;
  void DeleteItem(uint64_t key) override;
  Bytes GetItem(uint64_t key) override;
  ByteMatrix BatchGetRows(const std::vector<uint64_t>& keys) override;
  std::vector<Bytes> BatchGetItems(const std::vector<uint64_t>& keys) override;
  // Views into the server's result, kept until the next batch view or write.
  std::vector<ByteView> BatchViewItems(const std::vector<uint64_t>& keys,
                                       std::vector<Bytes>& holder) override;
  void PushConfigItem(const std::string& name, const Bytes& value) override;
  void PushConfigItems(const std::vector<std::pair<std::string, Bytes>>& items) override;
  Bytes LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteIndex() override;
  uint64_t CountItems() override;
  void SetRowSize(uint64_t size) override;

  uint64_t hashed_index_name() const { return hashed_index_name_; }
  // Whether upserts conflict on (key, index_name), keeping indexes apart.
  bool keeps_indexes_apart() const { return pair_key_; }
  // Process id of the server session, for diagnostics.
  int backend_pid() const { return conn_ ? PQbackendPID(conn_.get()) : 0; }
  void SetCommandTimeout(std::chrono::milliseconds timeout) { command_timeout_ = timeout; }
  // When set, the text of every statement sent is appended to *log.
  void set_statement_log(std::vector<std::string>* log) { statement_log_ = log; }
  // With a fence, every write is a transaction whose first statement checks
  // that the lease's connection still holds the lease (while sharing the
  // lock a new holder drains before it reads).
  void SetFence(const WriteFence* fence) override;

 private:
  // Sends one statement and waits for its result within the command timeout.
  // A null result means the statement could not be sent or the connection
  // broke; the caller reports the connection's error text.
  PgResult Run(const std::string& sql, const std::vector<const char*>& values = {},
               const std::vector<int>& lengths = {}, const std::vector<int>& formats = {},
               int result_format = 0);
  // Runs `count` statements in one pipeline: send(i) queues statement i
  // (false when it could not be queued), take(i, result) receives its
  // successful result in order, while later statements still run. Every
  // result is read through the pipeline's end before the first failure is
  // thrown: a failed statement's as prefix + the server's message, a
  // throwing take's as it is.
  void Pipeline(size_t count, const std::function<bool(size_t)>& send,
                const std::function<void(size_t, PgResult)>& take, const std::string& prefix);
  // Sends everything queued, reading meanwhile; then the next result (null
  // after a statement's last one). Both wait at most until `deadline` (then
  // TimedOut) and set *broken when the connection fails. A result that
  // starts a COPY other than an expected COPY FROM STDIN (copy_in) closes the
  // connection and throws.
  void Flush(std::chrono::steady_clock::time_point deadline, bool* broken);
  PGresult* NextResult(std::chrono::steady_clock::time_point deadline, bool* broken,
                       bool copy_in = false);
  // The first failed result's message into *failure (if still empty), its
  // SQLSTATE into failed_state_.
  void KeepFirstFailure(const PGresult* r, std::string* failure);
  [[noreturn]] void TimedOut();
  void EnsureTable();
  void CheckSchema();
  void DetectConflictTarget();
  // Upserts values[i] (lengths[i] bytes) under keys[i], the later of equal
  // keys winning, in one transaction, in the key column's order: as one
  // COPY when no key is expected to exist, again as upserts when one did.
  void PutLatest(const std::vector<uint64_t>& keys, const std::vector<const uint8_t*>& values,
                 const std::vector<size_t>& lengths);
  // The rows as upserts, in one pipelined transaction.
  void UpsertChunks(const std::vector<std::pair<uint64_t, const uint8_t*>>& rows,
                    const std::vector<size_t>& lengths);
  // The rows as one binary COPY, in a transaction of its own. False when a
  // key exists (rolled back); any other failure throws.
  bool CopyRows(const std::vector<std::pair<uint64_t, const uint8_t*>>& rows,
                const std::vector<size_t>& lengths);
  // Runs `sql`, statements whose last is a COPY FROM STDIN, as one simple
  // query, and feeds the COPY the bytes each next(out) appends until it
  // returns false. A failure throws prefix + the server's message, its
  // SQLSTATE kept in failed_state_; a broken connection is closed.
  void CopyIn(const std::string& sql, const std::function<bool(std::string&)>& next,
              const std::string& prefix);
  // Run for a write: alone, or with a fence in one pipelined transaction
  // after the fence's check.
  PgResult RunWrite(const std::string& sql, const std::vector<const char*>& values = {},
                    const std::vector<int>& lengths = {}, const std::vector<int>& formats = {});
  // Ends a transaction a failed pipeline left open.
  void RollbackAfterFailure() noexcept;
  // The (key, value) rows of `keys` that exist, values binary.
  PgResult SelectMany(const std::vector<uint64_t>& keys);
  [[noreturn]] void Fail(const std::string& prefix) const;

  uint64_t row_size = 8;
  PgConn conn_;
  std::string index_name_;
  uint64_t hashed_index_name_;
  std::string hashed_text_;  // decimal text of hashed_index_name_
  PgTableName table_;
  int32_t role_;
  bool pair_key_ = true;
  std::string upsert_tail_;  // " ON CONFLICT ... DO UPDATE ...;"
  std::chrono::milliseconds command_timeout_{60000};
  bool put_prepared_ = false;
  bool get_prepared_ = false;
  std::string put_sql_, get_sql_;  // texts of the prepared statements
  std::string copy_sql_;
  // Batches still to go straight to upserts, and how many the next miss of
  // a COPY sends there.
  static constexpr size_t kMaxInsertBackoff = 64;
  size_t upserts_ahead_ = 0;
  size_t insert_backoff_ = 1;
  std::string failed_state_;  // SQLSTATE of the last pipeline's first failure
  std::string array_buf_[2];         // reused binary array parameters
  PgResult held_;                    // the result BatchViewItems handed out views of
  std::string closed_reason_;        // why conn_ was closed
  std::vector<std::string>* statement_log_ = nullptr;
  std::string fence_sql_;  // the fence's check; empty without a fence
};

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_POSTGRES_KEYSTORE_H_
