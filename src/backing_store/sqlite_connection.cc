#include "backing_store/sqlite_connection.h"

#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <utility>

namespace tavrin_encrypted_index::internal::backing_store {

namespace {

// Open connections by (process, file). The process id keeps a forked child
// off its parent's connection, which SQLite forbids using across fork.
struct Registry {
  std::mutex mutex;
  std::map<std::pair<pid_t, std::string>, std::weak_ptr<SqliteConnection>> open;
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: stores may outlive static teardown
  return *r;
}

// One name per file however it is written, so that stores opened through
// "db.sqlite" and "./db.sqlite" share their connection.
std::string file_key(const std::string& path) {
  if (path == ":memory:") return path;
  std::error_code ec;
  std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::absolute(path), ec);
  return ec ? path : p.string();
}

}  // namespace

std::shared_ptr<SqliteConnection> SqliteConnection::Open(const std::string& path) {
  if (path.empty()) throw std::runtime_error("The SQLite store needs a database file path");
  const std::string key = file_key(path);
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto& slot = r.open[{getpid(), key}];
  if (auto conn = slot.lock()) return conn;

  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(key.c_str(), &db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
  if (rc != SQLITE_OK) {
    const std::string reason = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    throw std::runtime_error("SQLite open error: " + path + ": " + reason);
  }
  std::shared_ptr<SqliteConnection> conn(new SqliteConnection(db, key));
  sqlite3_busy_timeout(db, static_cast<int>(kBusyTimeout.count()));
  sqlite3_extended_result_codes(db, 1);
  // WAL is a property of the file: the first opener sets it, later ones
  // find it. An in-memory database has no WAL and stays as it is.
  if (key != ":memory:") {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL;", -1, &st, nullptr) != SQLITE_OK) {
      throw std::runtime_error("SQLite open error: " + path + ": " + conn->error());
    }
    const int step = sqlite3_step(st);
    const std::string mode = step == SQLITE_ROW
                                 ? reinterpret_cast<const char*>(sqlite3_column_text(st, 0))
                                 : std::string();
    sqlite3_finalize(st);
    if (mode != "wal") {
      throw std::runtime_error("SQLite open error: " + path + ": cannot use WAL mode (" +
                               (step == SQLITE_ROW ? mode : conn->error()) + ")");
    }
  }
  conn->Exec("PRAGMA synchronous=FULL;", "SQLite open error: " + path + ": ");
  // List reads look up many scattered keys: a larger page cache and a mapped
  // file spare most of the read calls.
  conn->Exec("PRAGMA cache_size=-65536; PRAGMA mmap_size=1073741824;",
             "SQLite open error: " + path + ": ");
  slot = conn;
  return conn;
}

SqliteConnection::~SqliteConnection() {
  // Statements belong to their stores, which hold this connection: none is
  // left here. close_v2 still copes with any that were.
  sqlite3_close_v2(db_);
}

std::string SqliteConnection::error() const {
  const char* msg = sqlite3_errmsg(db_);
  return msg ? msg : "unknown error";
}

void SqliteConnection::Exec(const char* sql, const std::string& prefix) {
  char* msg = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
    std::string reason = msg ? msg : error();
    sqlite3_free(msg);
    throw std::runtime_error(prefix + reason);
  }
}

void SqliteConnection::BeginWrite() {
  mutex_.lock();
  if (depth_ == 0) {
    try {
      Exec("BEGIN IMMEDIATE;", "SQLite BEGIN error: ");
    } catch (...) {
      mutex_.unlock();
      throw;
    }
    doomed_ = false;
  }
  ++depth_;
}

void SqliteConnection::CommitWrite() {
  // The count and the mutex are released whatever COMMIT does, so that a
  // failure leaves the connection usable.
  struct Unlock {
    std::recursive_mutex& m;
    ~Unlock() { m.unlock(); }
  } unlock{mutex_};
  if (--depth_ > 0) return;
  if (doomed_) {
    sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
    throw std::runtime_error("SQLite write rolled back: a part of it failed");
  }
  if (sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK) {
    const std::string reason = error();
    // A failed COMMIT may leave the transaction open; nothing of it stays.
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
    throw std::runtime_error("SQLite COMMIT error: " + reason);
  }
}

bool SqliteConnection::AbortWrite() noexcept {
  doomed_ = true;
  if (--depth_ == 0 && !sqlite3_get_autocommit(db_)) {
    sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
  }
  mutex_.unlock();
  return true;
}

SqliteReadScope::SqliteReadScope(SqliteConnection& conn) : conn_(conn), lock_(conn.mutex()) {
  if (!conn_.in_transaction()) {
    conn_.Exec("BEGIN;", "SQLite read error: ");
    own_ = true;
  }
}

SqliteReadScope::~SqliteReadScope() {
  if (own_) sqlite3_exec(conn_.db(), "COMMIT;", nullptr, nullptr, nullptr);
}

SqliteStatement::SqliteStatement(SqliteConnection& conn, const std::string& sql) {
  if (sqlite3_prepare_v3(conn.db(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt_,
                         nullptr) != SQLITE_OK) {
    throw std::runtime_error("SQLite prepare error: " + conn.error());
  }
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(stmt_);
    stmt_ = other.stmt_;
    other.stmt_ = nullptr;
  }
  return *this;
}

}  // namespace tavrin_encrypted_index::internal::backing_store
