#include "backing_store/sqlite_keystore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace tavrin_encrypted_index::internal::backing_store {

namespace {

// Keys and hashed names are unsigned; SQLite integers are signed 64-bit.
int64_t as_signed(uint64_t v) {
  int64_t s;
  std::memcpy(&s, &v, sizeof s);
  return s;
}

// Resets and unbinds a kept statement when its use ends, also on a throw.
class Use {
 public:
  explicit Use(const SqliteStatement& s) : st_(s.get()) {}
  ~Use() {
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
  }
  sqlite3_stmt* operator*() const { return st_; }

 private:
  sqlite3_stmt* st_;
};

// A zero-length blob must not be bound as NULL (the column refuses NULL).
void bind_blob(sqlite3_stmt* st, int i, const uint8_t* data, size_t length) {
  if (length == 0) {
    sqlite3_bind_zeroblob(st, i, 0);
  } else {
    sqlite3_bind_blob64(st, i, data, length, SQLITE_STATIC);
  }
}

void bind_text(sqlite3_stmt* st, int i, const std::string& text) {
  sqlite3_bind_text64(st, i, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
}

constexpr char kConfigOnly[] = "Cannot store config items in a non-config keystore";

}  // namespace

std::string sqlite_table_name(const std::string& table) {
  if (table.empty() || table.find('\0') != std::string::npos || table.size() > 255) {
    throw std::runtime_error("SQLite table name must be 1 to 255 bytes without a NUL byte");
  }
  if (sqlite3_strnicmp(table.c_str(), "sqlite_", 7) == 0) {
    throw std::runtime_error("SQLite table name must not begin with sqlite_: " + table);
  }
  std::string quoted = "\"";
  for (char c : table) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

SqliteKeystore::SqliteKeystore(const tavrin::DBConfig& config, std::string index_name,
                               uint64_t base, int32_t role)
    : index_name_(std::move(index_name)),
      hashed_index_name_(base + static_cast<uint64_t>(static_cast<int64_t>(role))),
      role_(role) {
  if (!config.table_name) throw std::runtime_error("The SQLite store needs a table name");
  if (!config.connection_string) {
    throw std::runtime_error("The SQLite store needs a database file path");
  }
  table_ = sqlite_table_name(*config.table_name);
  table_text_ = *config.table_name;
  conn_ = SqliteConnection::Open(*config.connection_string);
  std::lock_guard<std::recursive_mutex> lock(conn_->mutex());
  EnsureTable();
  if (role_ == 1) {
    put_ = SqliteStatement(*conn_, "INSERT OR REPLACE INTO " + table_ +
                                       " (index_name, config) VALUES (?1, ?2);");
    get_ = SqliteStatement(*conn_, "SELECT config FROM " + table_ + " WHERE index_name = ?1;");
    // Exactly this index's two items, never those of an index whose name
    // merely begins with this one's.
    delete_index_ =
        SqliteStatement(*conn_, "DELETE FROM " + table_ + " WHERE index_name IN (?1, ?2);");
    count_ = SqliteStatement(
        *conn_, "SELECT COUNT(*) FROM " + table_ + " WHERE index_name IN (?1, ?2);");
  } else {
    put_ = SqliteStatement(*conn_, "INSERT OR REPLACE INTO " + table_ +
                                       " (key, value, index_name) VALUES (?1, ?2, ?3);");
    get_ = SqliteStatement(
        *conn_, "SELECT value FROM " + table_ + " WHERE index_name = ?1 AND key = ?2;");
    delete_ = SqliteStatement(*conn_,
                              "DELETE FROM " + table_ + " WHERE index_name = ?1 AND key = ?2;");
    delete_index_ = SqliteStatement(*conn_, "DELETE FROM " + table_ + " WHERE index_name = ?1;");
    count_ =
        SqliteStatement(*conn_, "SELECT COUNT(*) FROM " + table_ + " WHERE index_name = ?1;");
  }
}

SqliteKeystore::~SqliteKeystore() {
  // Statements are finalised under the connection's lock: another store may
  // be using the connection from another thread.
  std::lock_guard<std::recursive_mutex> lock(conn_->mutex());
  put_ = SqliteStatement();
  get_ = SqliteStatement();
  delete_ = SqliteStatement();
  count_ = SqliteStatement();
  delete_index_ = SqliteStatement();
}

void SqliteKeystore::EnsureTable() {
  // Looked up first: a reader must not need the write lock that CREATE
  // takes, which another process may hold for a long batch.
  bool exists = false;
  {
    SqliteStatement find(*conn_,
                         "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1;");
    Use q(find);
    bind_text(*q, 1, table_text_);
    const int rc = sqlite3_step(*q);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      throw std::runtime_error("SQLite error looking up table " + table_text_ + ": " +
                               conn_->error());
    }
    exists = rc == SQLITE_ROW;
  }
  if (!exists) {
    const std::string sql =
        role_ == 1 ? "CREATE TABLE IF NOT EXISTS " + table_ +
                         " (index_name TEXT PRIMARY KEY NOT NULL, config BLOB NOT NULL);"
                   // A rowid table: records of hundreds of bytes went in three times
                   // as fast as into a table clustered on the key, and read as fast.
                   : "CREATE TABLE IF NOT EXISTS " + table_ +
                         " (index_name INTEGER NOT NULL, key INTEGER NOT NULL, value BLOB NOT "
                         "NULL, PRIMARY KEY (index_name, key));";
    conn_->Exec(sql.c_str(), "Failed to create SQLite table " + table_text_ + ": ");
  }
  // Checked whoever made the table: a wrong shape would otherwise surface as
  // failures, or wrong rows, much later.
  CheckSchema();
}

void SqliteKeystore::CheckSchema() {
  struct Column {
    const char* name;
    const char* type;
    int pk;  // position in the primary key, 0 when not part of it
  };
  static const Column kConfig[] = {{"index_name", "TEXT", 1}, {"config", "BLOB", 0}};
  static const Column kItems[] = {
      {"key", "INTEGER", 2}, {"value", "BLOB", 0}, {"index_name", "INTEGER", 1}};
  const Column* expected = role_ == 1 ? kConfig : kItems;
  const size_t n_expected = role_ == 1 ? 2 : 3;

  SqliteStatement info(*conn_, "SELECT name, type, pk FROM pragma_table_info(?1);");
  Use q(info);
  bind_text(*q, 1, table_text_);
  size_t found = 0, columns = 0;
  bool ok = true;
  int rc;
  while ((rc = sqlite3_step(*q)) == SQLITE_ROW) {
    ++columns;
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(*q, 0));
    const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(*q, 1));
    const int pk = sqlite3_column_int(*q, 2);
    bool listed = false;
    for (size_t j = 0; j < n_expected; ++j) {
      if (name == nullptr || sqlite3_stricmp(name, expected[j].name) != 0) continue;
      listed = true;
      ok = ok && type != nullptr && sqlite3_stricmp(type, expected[j].type) == 0 &&
           pk == expected[j].pk;
      ++found;
    }
    ok = ok && (listed || pk == 0);  // no other column in the key
  }
  if (rc != SQLITE_DONE) {
    throw std::runtime_error("Failed to verify schema for table " + table_text_ + ": " +
                             conn_->error());
  }
  if (!ok || found != n_expected || columns < n_expected) {
    throw std::runtime_error("Table " + table_text_ +
                             " exists but does not match the expected schema.");
  }
}

void SqliteKeystore::RequireItems(const char* what) const {
  if (role_ == 1) {
    throw std::runtime_error(std::string("The SQLite configuration store keeps no items: ") + what);
  }
}

void SqliteKeystore::PutAll(const std::vector<uint64_t>& keys,
                            const std::vector<const uint8_t*>& values,
                            const std::vector<size_t>& lengths) {
  WriteScope write({this});
  Use q(put_);
  // In key order (duplicates keeping theirs, so the later one still wins).
  for (size_t i : KeyOrder(keys)) {
    sqlite3_bind_int64(*q, 1, as_signed(keys[i]));
    bind_blob(*q, 2, values[i], lengths[i]);
    sqlite3_bind_int64(*q, 3, as_signed(hashed_index_name_));
    if (sqlite3_step(*q) != SQLITE_DONE) {
      throw std::runtime_error("SQLite batch insert failed: " + conn_->error());
    }
    sqlite3_reset(*q);
  }
  write.Commit();
}

void SqliteKeystore::BatchPutRows(const std::vector<uint64_t>& keys, const ByteMatrix& matrix) {
  check_batch_rows(keys, matrix, row_size);
  RequireItems("BatchPutRows");
  if (matrix.cols == 0) return;  // rows of no bytes store nothing, as in every store
  std::vector<const uint8_t*> values(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) values[i] = matrix.row(i);
  // Written in order: a later duplicate replaces the earlier row.
  PutAll(keys, values, std::vector<size_t>(keys.size(), matrix.cols));
}

void SqliteKeystore::BatchPutItems(const std::vector<uint64_t>& keys,
                                   const std::vector<Bytes>& values) {
  if (keys.empty()) throw std::runtime_error(kNoKeysError);
  if (values.size() != keys.size()) throw std::runtime_error(kBatchMismatchError);
  RequireItems("BatchPutItems");
  std::vector<uint64_t> kept;
  std::vector<const uint8_t*> data;
  std::vector<size_t> lengths;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (values[i].empty()) continue;  // an empty value keeps what is stored
    kept.push_back(keys[i]);
    data.push_back(values[i].data());
    lengths.push_back(values[i].size());
  }
  if (!kept.empty()) PutAll(kept, data, lengths);
}

void SqliteKeystore::PutItem(uint64_t key, const Bytes& value) {
  RequireItems("PutItem");
  std::lock_guard<std::recursive_mutex> lock(conn_->mutex());
  Use q(put_);
  sqlite3_bind_int64(*q, 1, as_signed(key));
  bind_blob(*q, 2, value.data(), value.size());
  sqlite3_bind_int64(*q, 3, as_signed(hashed_index_name_));
  if (sqlite3_step(*q) != SQLITE_DONE) {
    throw std::runtime_error("SQLite put_item error: " + conn_->error());
  }
}

void SqliteKeystore::BatchDeleteItems(const std::vector<uint64_t>& keys) {
  if (keys.empty()) return;
  RequireItems("BatchDeleteItems");
  WriteScope write({this});
  Use q(delete_);
  for (uint64_t key : keys) {
    sqlite3_bind_int64(*q, 1, as_signed(hashed_index_name_));
    sqlite3_bind_int64(*q, 2, as_signed(key));
    if (sqlite3_step(*q) != SQLITE_DONE) {
      throw std::runtime_error("Batch delete failed: " + conn_->error());
    }
    sqlite3_reset(*q);
  }
  write.Commit();
}

void SqliteKeystore::DeleteItem(uint64_t key) {
  RequireItems("DeleteItem");
  std::lock_guard<std::recursive_mutex> lock(conn_->mutex());
  Use q(delete_);
  sqlite3_bind_int64(*q, 1, as_signed(hashed_index_name_));
  sqlite3_bind_int64(*q, 2, as_signed(key));
  if (sqlite3_step(*q) != SQLITE_DONE) {
    throw std::runtime_error("Delete Failed: " + conn_->error());
  }
}

bool SqliteKeystore::ReadOne(uint64_t key, Bytes* out) {
  Use q(get_);
  sqlite3_bind_int64(*q, 1, as_signed(hashed_index_name_));
  sqlite3_bind_int64(*q, 2, as_signed(key));
  const int rc = sqlite3_step(*q);
  if (rc == SQLITE_DONE) return false;
  if (rc != SQLITE_ROW) throw std::runtime_error("SQLite get error: " + conn_->error());
  const auto* v = static_cast<const uint8_t*>(sqlite3_column_blob(*q, 0));
  const int n = sqlite3_column_bytes(*q, 0);
  if (v != nullptr) {
    out->assign(v, v + n);
  } else {
    out->clear();
  }
  return true;
}

Bytes SqliteKeystore::GetItem(uint64_t key) {
  RequireItems("GetItem");
  std::lock_guard<std::recursive_mutex> lock(conn_->mutex());
  Bytes out;
  ReadOne(key, &out);
  return out;
}

std::vector<size_t> SqliteKeystore::KeyOrder(const std::vector<uint64_t>& keys) const {
  // The table's own order: neighbouring keys share pages.
  std::vector<size_t> order(keys.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return as_signed(keys[a]) < as_signed(keys[b]); });
  return order;
}

ByteMatrix SqliteKeystore::BatchGetRows(const std::vector<uint64_t>& keys) {
  if (keys.empty()) return ByteMatrix();
  RequireItems("BatchGetRows");
  SqliteReadScope read(*conn_);
  ByteMatrix out = ByteMatrix::zeros(keys.size(), row_size);
  Bytes value;
  for (size_t i : KeyOrder(keys)) {
    if (!ReadOne(keys[i], &value)) continue;
    // A value of another width is not a row of this store: refuse it rather
    // than cut or pad it.
    if (value.size() != row_size) {
      throw std::runtime_error(stored_width_error(keys[i], value.size(), row_size));
    }
    if (!value.empty()) std::memcpy(out.row(i), value.data(), value.size());
  }
  return out;
}

std::vector<Bytes> SqliteKeystore::BatchGetItems(const std::vector<uint64_t>& keys) {
  std::vector<Bytes> out(keys.size());
  if (keys.empty()) return out;
  RequireItems("BatchGetItems");
  SqliteReadScope read(*conn_);
  for (size_t i : KeyOrder(keys)) ReadOne(keys[i], &out[i]);
  return out;
}

void SqliteKeystore::PushConfigItem(const std::string& name, const Bytes& value) {
  if (role_ != 1) throw std::runtime_error(kConfigOnly);
  std::lock_guard<std::recursive_mutex> lock(conn_->mutex());
  Use q(put_);
  bind_text(*q, 1, name);
  bind_blob(*q, 2, value.data(), value.size());
  if (sqlite3_step(*q) != SQLITE_DONE) {
    throw std::runtime_error("SQLite put_item error: " + conn_->error());
  }
}

Bytes SqliteKeystore::LoadConfigItem(const std::string& name) {
  if (role_ != 1) throw std::runtime_error(kConfigOnly);
  std::lock_guard<std::recursive_mutex> lock(conn_->mutex());
  Use q(get_);
  bind_text(*q, 1, name);
  const int rc = sqlite3_step(*q);
  if (rc == SQLITE_DONE) {
    const std::string shown = name.size() < 4 ? name : name.substr(0, name.size() - 4);
    throw std::runtime_error("Index name '" + shown + "' does not exist in SQLite.");
  }
  if (rc != SQLITE_ROW) throw std::runtime_error("SQLite get_item error: " + conn_->error());
  const auto* v = static_cast<const uint8_t*>(sqlite3_column_blob(*q, 0));
  return v == nullptr ? Bytes() : Bytes(v, v + sqlite3_column_bytes(*q, 0));
}

bool SqliteKeystore::ConfigItemExists(const std::string& name) {
  if (role_ != 1) throw std::runtime_error(kConfigOnly);
  std::lock_guard<std::recursive_mutex> lock(conn_->mutex());
  Use q(get_);
  bind_text(*q, 1, name);
  const int rc = sqlite3_step(*q);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    throw std::runtime_error("SQLite query error: " + conn_->error());
  }
  return rc == SQLITE_ROW;
}

// Binds the rows of this index to a statement's first parameters: its two
// configuration items (kept alive here, since SQLite binds them without a
// copy) for the configuration store, its hashed name for the others.
struct SqliteKeystore::IndexScope {
  IndexScope(const SqliteKeystore& store, sqlite3_stmt* q)
      : record(store.index_name_ + ".cvs"), core(store.index_name_ + ".cei") {
    if (store.role_ == 1) {
      bind_text(q, 1, record);
      bind_text(q, 2, core);
    } else {
      sqlite3_bind_int64(q, 1, as_signed(store.hashed_index_name_));
    }
  }
  const std::string record, core;
};

void SqliteKeystore::DeleteIndex() {
  std::lock_guard<std::recursive_mutex> lock(conn_->mutex());
  Use q(delete_index_);
  const IndexScope scope(*this, *q);
  if (sqlite3_step(*q) != SQLITE_DONE) {
    throw std::runtime_error("Failed to delete index: " + conn_->error());
  }
}

uint64_t SqliteKeystore::CountItems() {
  std::lock_guard<std::recursive_mutex> lock(conn_->mutex());
  Use q(count_);
  // The configuration store counts this index's configuration items.
  const IndexScope scope(*this, *q);
  if (sqlite3_step(*q) != SQLITE_ROW) {
    throw std::runtime_error("SQLite count error: " + conn_->error());
  }
  return static_cast<uint64_t>(sqlite3_column_int64(*q, 0));
}

void SqliteKeystore::SetRowSize(uint64_t size) { row_size = size; }

}  // namespace tavrin_encrypted_index::internal::backing_store
