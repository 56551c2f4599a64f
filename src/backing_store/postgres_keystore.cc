#include "backing_store/postgres_keystore.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <iterator>
#include <map>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "common/diagnostics.h"

namespace tavrin_encrypted_index::internal::backing_store {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kText = 0;
constexpr int kBinary = 1;
constexpr uint64_t kClearTopBit = ~(uint64_t{1} << 63);

// libpq reads a null parameter pointer as SQL NULL; an empty value must be a
// zero-length string instead.
const char* param_bytes(const uint8_t* p) {
  return p == nullptr ? "" : reinterpret_cast<const char*>(p);
}

// "{1,2,3}": the keys as a text array literal, so that one parameter carries
// any number of keys.
std::string key_array(const std::vector<uint64_t>& keys) {
  std::string out = "{";
  for (size_t i = 0; i < keys.size(); ++i) {
    if (i > 0) out += ',';
    out += std::to_string(keys[i]);
  }
  out += '}';
  return out;
}

struct Column {
  const char* name;
  const char* type;
};
constexpr Column kConfigColumns[] = {{"index_name", "character varying"}, {"config", "bytea"}};
constexpr Column kItemColumns[] = {
    {"key", "character varying"}, {"value", "bytea"}, {"index_name", "bigint"}};

}  // namespace

PostgresKeystore::PostgresKeystore(const tavrin::DBConfig& config, std::string index_name,
                                   uint64_t base, int32_t role)
    : index_name_(std::move(index_name)),
      hashed_index_name_((base + static_cast<uint64_t>(static_cast<int64_t>(role))) & kClearTopBit),
      hashed_text_(std::to_string(hashed_index_name_)),
      role_(role) {
  if (!config.connection_string) {
    throw std::runtime_error("The PostgreSQL store needs a connection string");
  }
  if (!config.table_name) throw std::runtime_error("The PostgreSQL store needs a table name");
  table_ = pg_table_name(*config.table_name);

  conn_ = pg_connect(*config.connection_string, "Postgres connection error: ");
  // Non-blocking sends, so that a large statement to a stalled server is
  // bounded by the command timeout too.
  if (PQsetnonblocking(conn_.get(), 1) != 0) Fail("Postgres connection error: ");
  EnsureTable();
  if (role_ != 1) DetectConflictTarget();
}

void PostgresKeystore::Fail(const std::string& prefix) const {
  throw std::runtime_error(prefix + pg_error(conn_.get()));
}

PgResult PostgresKeystore::Run(const std::string& sql, const std::vector<const char*>& values,
                               const std::vector<int>& lengths, const std::vector<int>& formats,
                               int result_format) {
  if (statement_log_ != nullptr) statement_log_->push_back(sql);
  if (!conn_) {
    throw std::runtime_error("The PostgreSQL connection was closed after a timeout");
  }
  PGconn* c = conn_.get();
  const int n = static_cast<int>(values.size());
  if (!PQsendQueryParams(c, sql.c_str(), n, nullptr, n > 0 ? values.data() : nullptr,
                         lengths.empty() ? nullptr : lengths.data(),
                         formats.empty() ? nullptr : formats.data(), result_format)) {
    return nullptr;
  }
  const auto deadline = steady_clock::now() + command_timeout_;
  const int sock = PQsocket(c);
  // False once the deadline passes without the socket becoming ready.
  auto wait = [&](short events) {
    for (;;) {
      const auto left =
          std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
      if (left <= 0) return false;
      pollfd pfd{sock, events, 0};
      const int r = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
      if (r > 0 || (r < 0 && errno != EINTR)) return true;  // libpq reports socket errors
    }
  };
  auto timed_out = [&] {
    // A statement is still in flight: the connection cannot be reused.
    conn_.reset();
    throw std::runtime_error("The PostgreSQL server did not answer within " +
                             std::to_string(command_timeout_.count()) +
                             " ms; the connection is closed");
  };
  for (;;) {
    const int flushed = PQflush(c);
    if (flushed == 0) break;
    if (flushed < 0) return nullptr;
    if (!wait(POLLIN | POLLOUT)) timed_out();
    if (!PQconsumeInput(c)) return nullptr;
  }
  PgResult kept;
  for (;;) {
    while (PQisBusy(c)) {
      if (!wait(POLLIN)) timed_out();
      if (!PQconsumeInput(c)) return kept;
    }
    PGresult* r = PQgetResult(c);
    if (r == nullptr) break;
    if (!kept || PQresultStatus(r) == PGRES_FATAL_ERROR) {
      kept.reset(r);
    } else {
      PQclear(r);
    }
  }
  return kept;
}

void PostgresKeystore::Command(const std::string& sql, const char* prefix) {
  PgResult r = Run(sql);
  if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) Fail(prefix);
}

void PostgresKeystore::EnsureTable() {
  const char* folded[] = {table_.folded.c_str()};
  PgResult exists =
      Run("SELECT EXISTS (SELECT FROM information_schema.tables WHERE table_schema = "
          "current_schema() AND table_name = $1);",
          {folded[0]});
  if (PQresultStatus(exists.get()) != PGRES_TUPLES_OK || PQntuples(exists.get()) != 1) Fail("");
  if (PQgetvalue(exists.get(), 0, 0)[0] != 't') {
    const std::string sql =
        role_ == 1 ? "CREATE TABLE " + table_.quoted +
                         " (index_name VARCHAR(255) PRIMARY KEY, config BYTEA NOT NULL);"
                   : "CREATE TABLE " + table_.quoted +
                         " (key VARCHAR(255) NOT NULL, value BYTEA NOT NULL, index_name BIGINT "
                         "NOT NULL, PRIMARY KEY (index_name, key));";
    PgResult created = Run(sql);
    if (PQresultStatus(created.get()) != PGRES_COMMAND_OK) {
      const char* state = PQresultErrorField(created.get(), PG_DIAG_SQLSTATE);
      // Another client created it first: duplicate table, or the unique
      // violation on the catalogue that the same race can raise.
      const bool raced = state != nullptr &&
                         (std::strcmp(state, "42P07") == 0 || std::strcmp(state, "23505") == 0);
      if (!raced) Fail("Failed to create postgres table: ");
      tavrin::Warn("Table " + table_.folded + " already exists.");
    }
  }
  // Checked whoever made the table: a wrong shape would otherwise surface as
  // failures, or wrong rows, much later.
  CheckSchema();
}

void PostgresKeystore::CheckSchema() {
  PgResult cols =
      Run("SELECT column_name, data_type FROM information_schema.columns WHERE table_schema = "
          "current_schema() AND table_name = $1;",
          {table_.folded.c_str()});
  if (PQresultStatus(cols.get()) != PGRES_TUPLES_OK) {
    Fail("Failed to verify schema for table " + table_.folded + ": ");
  }
  const Column* expected = role_ == 1 ? kConfigColumns : kItemColumns;
  const size_t n_expected = role_ == 1 ? std::size(kConfigColumns) : std::size(kItemColumns);
  size_t found = 0;
  bool ok = true;
  for (int i = 0; ok && i < PQntuples(cols.get()); ++i) {
    const char* name = PQgetvalue(cols.get(), i, 0);
    for (size_t j = 0; j < n_expected; ++j) {
      if (std::strcmp(name, expected[j].name) != 0) continue;
      ok = std::strcmp(PQgetvalue(cols.get(), i, 1), expected[j].type) == 0;
      ++found;
    }
  }
  if (!ok || found != n_expected) {
    throw std::runtime_error("Table " + table_.folded +
                             " exists but does not match the expected schema.");
  }
}

void PostgresKeystore::DetectConflictTarget() {
  // The column sets of the table's plain unique indexes.
  PgResult r = Run(
      "SELECT string_agg(a.attname::text, ',' ORDER BY a.attname) FROM pg_index i JOIN "
      "pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = ANY (i.indkey) WHERE i.indrelid "
      "= to_regclass(quote_ident(current_schema()) || '.' || $1) AND i.indisunique AND "
      "i.indpred IS NULL AND i.indexprs IS NULL GROUP BY i.indexrelid;",
      {table_.quoted.c_str()});
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
    Fail("Failed to verify schema for table " + table_.folded + ": ");
  }
  bool on_key = false;
  bool on_pair = false;
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    const std::string cols = PQgetvalue(r.get(), i, 0);
    on_key |= cols == "key";
    on_pair |= cols == "index_name,key";
  }
  if (!on_key && !on_pair) {
    throw std::runtime_error("Table " + table_.folded +
                             " exists but does not match the expected schema.");
  }
  // A unique key alone forbids two indexes the same key whatever else exists.
  pair_key_ = !on_key;
  upsert_tail_ = pair_key_ ? " ON CONFLICT (key, index_name) DO UPDATE SET value = EXCLUDED.value;"
                           : " ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value, index_name "
                             "= EXCLUDED.index_name;";
}

void PostgresKeystore::PutSorted(const std::vector<std::pair<uint64_t, const uint8_t*>>& rows,
                                 const std::vector<size_t>& lengths) {
  Command("BEGIN", "Postgres BEGIN transaction error: ");
  try {
    std::vector<std::string> key_text;
    std::vector<const char*> values;
    std::vector<int> lens;
    std::vector<int> formats;
    for (size_t start = 0; start < rows.size(); start += kChunkRows) {
      const size_t n = std::min(kChunkRows, rows.size() - start);
      key_text.clear();
      values.clear();
      lens.clear();
      formats.clear();
      for (size_t j = 0; j < n; ++j) key_text.push_back(std::to_string(rows[start + j].first));
      std::string sql = "INSERT INTO " + table_.quoted + " (key, value, index_name) VALUES ";
      for (size_t j = 0; j < n; ++j) {
        if (j > 0) sql += ", ";
        sql += "($" + std::to_string(3 * j + 1) + ", $" + std::to_string(3 * j + 2) + ", $" +
               std::to_string(3 * j + 3) + ")";
        values.insert(values.end(), {key_text[j].c_str(), param_bytes(rows[start + j].second),
                                     hashed_text_.c_str()});
        lens.insert(lens.end(), {0, static_cast<int>(lengths[start + j]), 0});
        formats.insert(formats.end(), {kText, kBinary, kText});
      }
      sql += upsert_tail_;
      PgResult r = Run(sql, values, lens, formats);
      if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) Fail("Postgres query execution failed: ");
    }
    Command("COMMIT", "Postgres COMMIT transaction error: ");
  } catch (...) {
    try {
      Run("ROLLBACK");
    } catch (...) {
      // The connection is gone; the server drops the transaction itself.
    }
    throw;
  }
}

void PostgresKeystore::BatchPutRows(const std::vector<uint64_t>& keys, const ByteMatrix& matrix) {
  check_batch_rows(keys, matrix, row_size);
  if (matrix.cols == 0) return;  // rows of no bytes store nothing, as in every store
  // One row per key, the later duplicate winning: a statement may not
  // update one row twice.
  std::map<uint64_t, const uint8_t*> latest;
  for (size_t i = 0; i < keys.size(); ++i) latest[keys[i]] = matrix.row(i);
  std::vector<std::pair<uint64_t, const uint8_t*>> rows(latest.begin(), latest.end());
  PutSorted(rows, std::vector<size_t>(rows.size(), matrix.cols));
}

void PostgresKeystore::BatchPutItems(const std::vector<uint64_t>& keys,
                                     const std::vector<Bytes>& values) {
  if (keys.empty()) throw std::runtime_error(kNoKeysError);
  if (values.size() != keys.size()) {
    throw std::runtime_error("Mismatch between number of keys and values");
  }
  std::map<uint64_t, const Bytes*> latest;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (!values[i].empty()) latest[keys[i]] = &values[i];
  }
  std::vector<std::pair<uint64_t, const uint8_t*>> rows;
  std::vector<size_t> lengths;
  rows.reserve(latest.size());
  lengths.reserve(latest.size());
  for (const auto& [key, value] : latest) {
    rows.emplace_back(key, value->data());
    lengths.push_back(value->size());
  }
  PutSorted(rows, lengths);
}

void PostgresKeystore::PutItem(uint64_t key, const Bytes& value) {
  const std::string k = std::to_string(key);
  PgResult r = Run("INSERT INTO " + table_.quoted +
                       " (key, value, index_name) VALUES ($1, $2, $3)" + upsert_tail_,
                   {k.c_str(), param_bytes(value.data()), hashed_text_.c_str()},
                   {0, static_cast<int>(value.size()), 0}, {kText, kBinary, kText});
  if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) Fail("Postgres put_item error: ");
}

void PostgresKeystore::BatchDeleteItems(const std::vector<uint64_t>& keys) {
  if (keys.empty()) return;
  const std::string list = key_array(keys);
  PgResult r =
      Run("DELETE FROM " + table_.quoted + " WHERE index_name = $1 AND key = ANY ($2::varchar[]);",
          {hashed_text_.c_str(), list.c_str()});
  if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) Fail("Batch delete failed: ");
}

void PostgresKeystore::DeleteItem(uint64_t key) {
  const std::string k = std::to_string(key);
  PgResult r = Run("DELETE FROM " + table_.quoted + " WHERE index_name = $1 AND key = $2;",
                   {hashed_text_.c_str(), k.c_str()});
  if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) Fail("Delete Failed: ");
}

Bytes PostgresKeystore::GetItem(uint64_t key) {
  const std::string k = std::to_string(key);
  PgResult r = Run("SELECT value FROM " + table_.quoted + " WHERE key = $1 AND index_name = $2;",
                   {k.c_str(), hashed_text_.c_str()}, {}, {}, kBinary);
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) Fail("Postgres get_item error: ");
  if (PQntuples(r.get()) == 0) return {};
  const auto* v = reinterpret_cast<const uint8_t*>(PQgetvalue(r.get(), 0, 0));
  return Bytes(v, v + PQgetlength(r.get(), 0, 0));
}

PgResult PostgresKeystore::SelectMany(const std::vector<uint64_t>& keys) {
  const std::string list = key_array(keys);
  PgResult r = Run("SELECT key, value FROM " + table_.quoted +
                       " WHERE index_name = $1 AND key = ANY ($2::varchar[]);",
                   {hashed_text_.c_str(), list.c_str()}, {}, {}, kBinary);
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) Fail("Batch get failed: ");
  return r;
}

namespace {

// Row i of a key/value result as (key, value bytes, length).
uint64_t row_key(const PGresult* r, int i) {
  const char* text = PQgetvalue(r, i, 0);
  uint64_t key = 0;
  const auto [end, ec] = std::from_chars(text, text + PQgetlength(r, i, 0), key);
  if (ec != std::errc() || end != text + PQgetlength(r, i, 0)) {
    throw std::runtime_error("Batch get failed: unreadable key in the result");
  }
  return key;
}

}  // namespace

ByteMatrix PostgresKeystore::BatchGetRows(const std::vector<uint64_t>& keys) {
  if (keys.empty()) return ByteMatrix();
  PgResult r = SelectMany(keys);
  std::unordered_map<uint64_t, int> found;
  for (int i = 0; i < PQntuples(r.get()); ++i) found[row_key(r.get(), i)] = i;
  ByteMatrix out = ByteMatrix::zeros(keys.size(), row_size);
  for (size_t i = 0; i < keys.size(); ++i) {
    auto it = found.find(keys[i]);
    if (it == found.end()) continue;
    const auto len = static_cast<uint64_t>(PQgetlength(r.get(), it->second, 1));
    // A value of another width is not a row of this store: refuse it rather
    // than cut or pad it.
    if (len != row_size) throw std::runtime_error(stored_width_error(keys[i], len, row_size));
    if (len != 0) std::memcpy(out.row(i), PQgetvalue(r.get(), it->second, 1), len);
  }
  return out;
}

std::vector<Bytes> PostgresKeystore::BatchGetItems(const std::vector<uint64_t>& keys) {
  std::vector<Bytes> out(keys.size());
  if (keys.empty()) return out;
  PgResult r = SelectMany(keys);
  std::unordered_map<uint64_t, int> found;
  for (int i = 0; i < PQntuples(r.get()); ++i) found[row_key(r.get(), i)] = i;
  for (size_t i = 0; i < keys.size(); ++i) {
    auto it = found.find(keys[i]);
    if (it == found.end()) continue;
    const auto* v = reinterpret_cast<const uint8_t*>(PQgetvalue(r.get(), it->second, 1));
    out[i].assign(v, v + PQgetlength(r.get(), it->second, 1));
  }
  return out;
}

void PostgresKeystore::PushConfigItem(const std::string& name, const Bytes& value) {
  if (role_ != 1) throw std::runtime_error("Cannot store config items in a non-config keystore");
  PgResult r = Run("INSERT INTO " + table_.quoted +
                       " (index_name, config) VALUES ($1, $2) ON CONFLICT (index_name) DO UPDATE "
                       "SET config = EXCLUDED.config;",
                   {name.c_str(), param_bytes(value.data())}, {0, static_cast<int>(value.size())},
                   {kText, kBinary});
  if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) Fail("Postgres put_item error: ");
}

void PostgresKeystore::PushConfigItems(
    const std::vector<std::pair<std::string, Bytes>>& items) {
  if (role_ != 1) throw std::runtime_error("Cannot store config items in a non-config keystore");
  if (items.empty()) return;
  // One statement: its rows are stored together or not at all.
  std::string sql = "INSERT INTO " + table_.quoted + " (index_name, config) VALUES ";
  std::vector<const char*> values;
  std::vector<int> lens, formats;
  for (size_t j = 0; j < items.size(); ++j) {
    sql += (j ? ", ($" : "($") + std::to_string(2 * j + 1) + ", $" + std::to_string(2 * j + 2) + ")";
    values.insert(values.end(), {items[j].first.c_str(), param_bytes(items[j].second.data())});
    lens.insert(lens.end(), {0, static_cast<int>(items[j].second.size())});
    formats.insert(formats.end(), {kText, kBinary});
  }
  sql += " ON CONFLICT (index_name) DO UPDATE SET config = EXCLUDED.config;";
  PgResult r = Run(sql, values, lens, formats);
  if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) Fail("Postgres put_item error: ");
}

Bytes PostgresKeystore::LoadConfigItem(const std::string& name) {
  PgResult r = Run("SELECT config FROM " + table_.quoted + " WHERE index_name = $1;",
                   {name.c_str()}, {}, {}, kBinary);
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) Fail("Postgres get_item error: ");
  if (PQntuples(r.get()) != 1) {
    const std::string shown = name.size() < 4 ? name : name.substr(0, name.size() - 4);
    throw std::runtime_error("Index name '" + shown + "' does not exist in Postgres.");
  }
  const auto* v = reinterpret_cast<const uint8_t*>(PQgetvalue(r.get(), 0, 0));
  return Bytes(v, v + PQgetlength(r.get(), 0, 0));
}

bool PostgresKeystore::ConfigItemExists(const std::string& name) {
  PgResult r = Run("SELECT EXISTS(SELECT 1 FROM " + table_.quoted + " WHERE index_name = $1)",
                   {name.c_str()});
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1) {
    Fail("PostgreSQL query error: ");
  }
  return std::strcmp(PQgetvalue(r.get(), 0, 0), "t") == 0;
}

void PostgresKeystore::DeleteIndex() {
  PgResult r;
  if (role_ == 1) {
    // Exactly this index's two items: never those of an index whose name
    // merely begins with this one's.
    const std::string record = index_name_ + ".cvs";
    const std::string core = index_name_ + ".cei";
    r = Run("DELETE FROM " + table_.quoted + " WHERE index_name IN ($1, $2);",
            {record.c_str(), core.c_str()});
  } else {
    r = Run("DELETE FROM " + table_.quoted + " WHERE index_name = $1;", {hashed_text_.c_str()});
  }
  if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) Fail("Failed to delete index: ");
}

uint64_t PostgresKeystore::CountItems() {
  PgResult r = Run("SELECT COUNT(*) FROM " + table_.quoted + " WHERE index_name = $1;",
                   {hashed_text_.c_str()});
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1) {
    Fail("Postgres count error: ");
  }
  return std::strtoull(PQgetvalue(r.get(), 0, 0), nullptr, 10);
}

void PostgresKeystore::SetRowSize(uint64_t size) { row_size = size; }

}  // namespace tavrin_encrypted_index::internal::backing_store
