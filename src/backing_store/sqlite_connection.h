// One SQLite connection per database file and process, shared by every store
// opened on that file, so that one write transaction spans all of them.
//
// The file is put in WAL mode (readers in other processes never block the
// writer or each other) with synchronous=FULL (a committed write survives a
// crash of the process or the machine), and waits up to kBusyTimeout for a
// lock another process holds. Writes take the lock up front (BEGIN
// IMMEDIATE), so a second writer waits at its start instead of failing
// half-way.
//
// Within the process a recursive mutex serialises users of the connection;
// a write transaction holds it from its begin to its end, so another thread
// waits for the whole transaction.
#ifndef TAVRIN_BACKING_STORE_SQLITE_CONNECTION_H_
#define TAVRIN_BACKING_STORE_SQLITE_CONNECTION_H_

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace tavrin_encrypted_index::internal::backing_store {

class SqliteConnection {
 public:
  static constexpr std::chrono::milliseconds kBusyTimeout{60000};

  // The shared connection of the file at `path`, opened (and the file
  // created) on first use. Throws std::runtime_error "SQLite open error: ..."
  // when the file cannot be opened as a database.
  static std::shared_ptr<SqliteConnection> Open(const std::string& path);

  ~SqliteConnection();
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  sqlite3* db() const { return db_; }
  std::recursive_mutex& mutex() { return mutex_; }
  const std::string& path() const { return path_; }

  // Nested write transaction (see Keystore::BeginWrite). Begin locks the
  // mutex and Commit/Abort unlock it, once per call, on the same thread.
  void BeginWrite();
  void CommitWrite();
  bool AbortWrite() noexcept;
  bool in_transaction() const { return depth_ > 0; }

  // Runs statement text that returns no rows; throws prefix + error.
  void Exec(const char* sql, const std::string& prefix);
  // The connection's last error text.
  std::string error() const;

 private:
  SqliteConnection(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

  sqlite3* db_;
  std::string path_;
  std::recursive_mutex mutex_;
  int depth_ = 0;
  bool doomed_ = false;  // an inner write aborted: the outermost end rolls back
};

// Takes the connection for one read of several statements: one snapshot,
// inside the running write transaction if there is one.
class SqliteReadScope {
 public:
  explicit SqliteReadScope(SqliteConnection& conn);
  ~SqliteReadScope();
  SqliteReadScope(const SqliteReadScope&) = delete;
  SqliteReadScope& operator=(const SqliteReadScope&) = delete;

 private:
  SqliteConnection& conn_;
  std::lock_guard<std::recursive_mutex> lock_;
  bool own_ = false;
};

// A prepared statement kept by a store; reset and unbound after each use.
class SqliteStatement {
 public:
  SqliteStatement() = default;
  SqliteStatement(SqliteConnection& conn, const std::string& sql);
  ~SqliteStatement();
  SqliteStatement(SqliteStatement&& other) noexcept : stmt_(other.stmt_) { other.stmt_ = nullptr; }
  SqliteStatement& operator=(SqliteStatement&& other) noexcept;

  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_SQLITE_CONNECTION_H_
