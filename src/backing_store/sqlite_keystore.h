// The Keystore on one table of an SQLite database file, through the file's
// shared connection (sqlite_connection.h): every store of the process on the
// same file uses one connection, so one write transaction covers all roles.
//
// Role 1 (configuration store) keeps named items in a table
//   (index_name TEXT PRIMARY KEY, config BLOB NOT NULL);
// every other role keeps 64-bit keys in a table
//   (index_name INTEGER, key INTEGER, value BLOB, PRIMARY KEY (index_name, key))
// keys and the hashed index name stored as the signed 64-bit integers of the
// same bits. Several indexes and roles share one table. A
// missing table is created; an existing one is checked for these columns and
// primary key. The table name is any text without a NUL byte that does not
// begin with "sqlite_"; statements double-quote it.
//
// Every batch write is one transaction (a nested one inside a caller's
// BeginWrite); batch reads run on one snapshot. Any failed statement throws:
// a failed read is never taken for an absent value.
#ifndef TAVRIN_BACKING_STORE_SQLITE_KEYSTORE_H_
#define TAVRIN_BACKING_STORE_SQLITE_KEYSTORE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backing_store/keystore.h"
#include "backing_store/sqlite_connection.h"
#include "common/db_config.h"

namespace tavrin_encrypted_index::internal::backing_store {

// The table name double-quoted for statement text; throws
// std::runtime_error for a name the store refuses.
std::string sqlite_table_name(const std::string& table);

class SqliteKeystore : public Keystore {
 public:
  // Needs the table name and the file path (the connection string) of
  // `config`; throws std::runtime_error when either is missing, the file
  // cannot be opened or the table has another shape.
  SqliteKeystore(const tavrin::DBConfig& config, std::string index_name, uint64_t base,
                 int32_t role);
  ~SqliteKeystore() override;

  void BatchPutRows(const std::vector<uint64_t>& keys, const ByteMatrix& matrix) override;
  void BatchPutItems(const std::vector<uint64_t>& keys, const std::vector<Bytes>& values) override;
  void PutItem(uint64_t key, const Bytes& value) override;
  void BatchDeleteItems(const std::vector<uint64_t>& keys) override;
  void DeleteItem(uint64_t key) override;
  Bytes GetItem(uint64_t key) override;
  ByteMatrix BatchGetRows(const std::vector<uint64_t>& keys) override;
  std::vector<Bytes> BatchGetItems(const std::vector<uint64_t>& keys) override;
  void PushConfigItem(const std::string& name, const Bytes& value) override;
  Bytes LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteIndex() override;
  uint64_t CountItems() override;
  void SetRowSize(uint64_t size) override;

  void BeginWrite() override { conn_->BeginWrite(); }
  void CommitWrite() override { conn_->CommitWrite(); }
  bool AbortWrite() noexcept override { return conn_->AbortWrite(); }

  uint64_t hashed_index_name() const { return hashed_index_name_; }
  SqliteConnection& connection() { return *conn_; }

 private:
  struct IndexScope;  // binds this index's rows to a statement
  void EnsureTable();
  void CheckSchema();
  void RequireItems(const char* what) const;
  // Runs `put` for each (key, value) in order inside one transaction.
  void PutAll(const std::vector<uint64_t>& keys, const std::vector<const uint8_t*>& values,
              const std::vector<size_t>& lengths);
  // Positions of keys in the order of the stored rows.
  std::vector<size_t> KeyOrder(const std::vector<uint64_t>& keys) const;
  // Reads the value of key into *out; false when absent.
  bool ReadOne(uint64_t key, Bytes* out);

  uint64_t row_size = 8;
  std::shared_ptr<SqliteConnection> conn_;  // before the statements: outlives them
  std::string index_name_;
  uint64_t hashed_index_name_;
  std::string table_;  // quoted
  std::string table_text_;  // as given, for messages
  int32_t role_;
  SqliteStatement put_, get_, delete_, count_, delete_index_;
};

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_SQLITE_KEYSTORE_H_
