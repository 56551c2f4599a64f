#include "backing_store/postgres_keystore.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <charconv>
#include <climits>
#include <cstring>
#include <exception>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "common/diagnostics.h"

namespace tavrin_encrypted_index::internal::backing_store {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kText = 0;
constexpr int kBinary = 1;
constexpr uint64_t kClearTopBit = ~(uint64_t{1} << 63);
constexpr char kUnaskedCopyError[] =
    "The PostgreSQL server started a COPY that was not asked for; the connection is closed";

// libpq reads a null parameter pointer as SQL NULL; an empty value must be a
// zero-length string instead.
const char* param_bytes(const uint8_t* p) {
  return p == nullptr ? "" : reinterpret_cast<const char*>(p);
}

// The indexes of `keys` in the order of their decimal texts (equal keys in
// the order given), which is the order of the key column's index for texts
// of digits alone. The server sorts a key array before it probes the index
// with it (and only checks a sorted one: a quarter of a 50,000-key read),
// and inserts in index order touch each leaf page once (a fifth faster).
// Text order is the order of the number scaled to 20 digits, the shorter
// text first on a tie.
std::vector<size_t> text_order(const std::vector<uint64_t>& keys) {
  struct Scaled {
    unsigned __int128 value;
    uint8_t digits;
    size_t at;
  };
  std::vector<Scaled> scaled(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    uint8_t digits = 1;
    unsigned __int128 v = keys[i];
    for (uint64_t k = keys[i]; k >= 10; k /= 10) ++digits;
    for (int d = digits; d < 20; ++d) v *= 10;
    scaled[i] = {v, digits, i};
  }
  std::sort(scaled.begin(), scaled.end(), [](const Scaled& a, const Scaled& b) {
    if (a.value != b.value) return a.value < b.value;
    return a.digits != b.digits ? a.digits < b.digits : a.at < b.at;
  });
  std::vector<size_t> order(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) order[i] = scaled[i].at;
  return order;
}

// The distinct keys, in text order.
std::vector<uint64_t> in_text_order(const std::vector<uint64_t>& keys) {
  std::vector<uint64_t> out;
  out.reserve(keys.size());
  for (size_t i : text_order(keys)) {
    if (out.empty() || out.back() != keys[i]) out.push_back(keys[i]);
  }
  return out;
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

// Type numbers of the server's built-in types, for binary parameters.
constexpr Oid kInt8Oid = 20;
constexpr Oid kByteaOid = 17;
constexpr Oid kVarcharOid = 1043;
constexpr Oid kVarcharArrayOid = 1015;
constexpr Oid kByteaArrayOid = 1001;

void put_be32(std::string& out, uint32_t v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 8), static_cast<char>(v)};
  out.append(b, 4);
}

std::string be64(uint64_t v) {
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(v >> (56 - 8 * i));
  return out;
}

// The bytes body() appends to `out`, after their 4-byte length: the form of
// an array element and of a binary COPY field.
template <typename Body>
void append_sized(std::string& out, Body body) {
  const size_t at = out.size();
  put_be32(out, 0);
  body();
  const auto len = static_cast<uint32_t>(out.size() - at - 4);
  for (int b = 0; b < 4; ++b) out[at + b] = static_cast<char>(len >> (24 - 8 * b));
}

// The server's binary form of a one-dimensional array without nulls:
// element i is the bytes element(i) appends (after its 4-byte length).
template <typename Append>
void binary_array(std::string& out, Oid element_type, size_t n, Append element) {
  out.clear();
  put_be32(out, 1);  // dimensions
  put_be32(out, 0);  // no nulls
  put_be32(out, element_type);
  put_be32(out, static_cast<uint32_t>(n));
  put_be32(out, 1);  // lower bound
  for (size_t i = 0; i < n; ++i) append_sized(out, [&] { element(i, out); });
}

// A key's decimal text, as the key column holds it.
void append_key(std::string& out, uint64_t key) {
  char text[20];
  const auto [end, ec] = std::to_chars(text, text + sizeof(text), key);
  out.append(text, end);
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

void PostgresKeystore::TimedOut() {
  // A statement is still in flight: the connection cannot be reused.
  conn_.reset();
  closed_reason_ = "The PostgreSQL connection was closed after a timeout";
  throw std::runtime_error("The PostgreSQL server did not answer within " +
                           std::to_string(command_timeout_.count()) +
                           " ms; the connection is closed");
}

namespace {

// False once the deadline passes without the socket becoming ready.
bool wait_socket(int sock, short events, steady_clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd pfd{sock, events, 0};
    const int r = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (r > 0 || (r < 0 && errno != EINTR)) return true;  // libpq reports socket errors
  }
}

}  // namespace

void PostgresKeystore::Flush(steady_clock::time_point deadline, bool* broken) {
  PGconn* c = conn_.get();
  for (;;) {
    const int flushed = PQflush(c);
    if (flushed == 0) return;
    // Reading while sending: a server answering a long pipeline must not
    // stall on a full socket while this side still sends.
    if (flushed < 0) {
      *broken = true;
      return;
    }
    if (!wait_socket(PQsocket(c), POLLIN | POLLOUT, deadline)) TimedOut();
    if (!PQconsumeInput(c)) {
      *broken = true;
      return;
    }
  }
}

PGresult* PostgresKeystore::NextResult(steady_clock::time_point deadline, bool* broken,
                                       bool copy_in) {
  PGconn* c = conn_.get();
  while (PQisBusy(c)) {
    if (!wait_socket(PQsocket(c), POLLIN, deadline)) TimedOut();
    if (!PQconsumeInput(c)) {
      *broken = true;
      return nullptr;
    }
  }
  PGresult* r = PQgetResult(c);
  const ExecStatusType status = r != nullptr ? PQresultStatus(r) : PGRES_EMPTY_QUERY;
  if (status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH ||
      (status == PGRES_COPY_IN && !copy_in)) {
    // libpq hands a COPY state back on every later call: a server that
    // starts a COPY nobody asked for would keep the caller's loop going.
    PQclear(r);
    conn_.reset();
    closed_reason_ = kUnaskedCopyError;
    throw std::runtime_error(closed_reason_);
  }
  return r;
}

PgResult PostgresKeystore::Run(const std::string& sql, const std::vector<const char*>& values,
                               const std::vector<int>& lengths, const std::vector<int>& formats,
                               int result_format) {
  if (statement_log_ != nullptr) statement_log_->push_back(sql);
  if (!conn_) throw std::runtime_error(closed_reason_);
  PGconn* c = conn_.get();
  const int n = static_cast<int>(values.size());
  if (!PQsendQueryParams(c, sql.c_str(), n, nullptr, n > 0 ? values.data() : nullptr,
                         lengths.empty() ? nullptr : lengths.data(),
                         formats.empty() ? nullptr : formats.data(), result_format)) {
    return nullptr;
  }
  const auto deadline = steady_clock::now() + command_timeout_;
  bool broken = false;
  Flush(deadline, &broken);
  if (broken) return nullptr;
  PgResult kept;
  for (;;) {
    PGresult* r = NextResult(deadline, &broken);
    if (r == nullptr) break;
    if (!kept || PQresultStatus(r) == PGRES_FATAL_ERROR) {
      kept.reset(r);
    } else {
      PQclear(r);
    }
  }
  return kept;
}

void PostgresKeystore::KeepFirstFailure(const PGresult* r, std::string* failure) {
  if (!failure->empty()) return;
  *failure = PQresultErrorMessage(r);
  const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
  failed_state_ = state != nullptr ? state : "";
}

void PostgresKeystore::Pipeline(size_t count, const std::function<bool(size_t)>& send,
                                const std::function<void(size_t, PgResult)>& take,
                                const std::string& prefix) {
  if (!conn_) throw std::runtime_error(closed_reason_);
  PGconn* c = conn_.get();
  failed_state_.clear();
  if (!PQenterPipelineMode(c)) Fail(prefix);
  // A lost connection fails every later call by itself. A live one left
  // inside a pipeline it cannot finish is of no further use: closed.
  auto close_broken = [&] {
    const std::string reason = pg_error(c);
    if (PQstatus(c) == CONNECTION_OK && !PQexitPipelineMode(c)) {
      conn_.reset();
      closed_reason_ = "The PostgreSQL connection was closed after it failed: " + reason;
    }
    throw std::runtime_error(prefix + reason);
  };
  size_t sent = 0;
  while (sent < count && send(sent)) ++sent;
  if (sent < count) {
    // Nothing was synced, so nothing queued runs: the pipeline is abandoned.
    close_broken();
  }
  if (!PQpipelineSync(c)) close_broken();
  auto deadline = steady_clock::now() + command_timeout_;
  bool broken = false;
  Flush(deadline, &broken);
  if (broken) close_broken();
  std::string failure;
  std::exception_ptr thrown;
  for (size_t i = 0; i <= count; ++i) {  // every statement, then the sync
    bool first = true;
    for (;;) {
      PgResult r(NextResult(deadline, &broken));
      if (!r) {
        if (first) close_broken();  // the connection ended mid-pipeline
        break;
      }
      first = false;
      deadline = steady_clock::now() + command_timeout_;
      const ExecStatusType status = PQresultStatus(r.get());
      if (i == count) {
        if (status != PGRES_PIPELINE_SYNC) close_broken();
        break;  // no null follows the sync
      }
      if (status == PGRES_FATAL_ERROR) {
        KeepFirstFailure(r.get(), &failure);
      } else if (status == PGRES_PIPELINE_ABORTED) {
        if (failure.empty()) failure = "statement skipped after an earlier failure";
      } else if (failure.empty() && !thrown) {
        try {
          take(i, std::move(r));
        } catch (...) {
          thrown = std::current_exception();
        }
      }
    }
  }
  if (!PQexitPipelineMode(c)) close_broken();
  if (!failure.empty()) throw std::runtime_error(prefix + failure);
  if (thrown) std::rethrow_exception(thrown);
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

namespace {

constexpr char kPutStatement[] = "tavrin_batch_put";
constexpr char kUniqueViolation[] = "23505";
constexpr char kGetStatement[] = "tavrin_batch_get";
const Oid kGetTypes[] = {kInt8Oid, kVarcharArrayOid};
const Oid kPutTypes[] = {kVarcharArrayOid, kByteaArrayOid, kInt8Oid};

}  // namespace

void PostgresKeystore::SetFence(const WriteFence* fence) {
  if (fence == nullptr) {
    fence_sql_.clear();
    return;
  }
  // Numbers only, so they go into the text. A bigint advisory lock shows in
  // pg_locks as its high half (classid) and low half (objid), objsubid 1.
  const uint64_t key = static_cast<uint64_t>(fence->lease_key);
  fence_sql_ = "DO $$BEGIN PERFORM pg_advisory_xact_lock_shared(" + std::to_string(fence->drain_key) +
               "); IF NOT EXISTS (SELECT 1 FROM pg_locks WHERE locktype = 'advisory' AND granted"
               " AND pid = " + std::to_string(fence->lease_pid) +
               " AND classid = " + std::to_string(key >> 32) +
               " AND objid = " + std::to_string(key & 0xffffffffu) +
               " AND objsubid = 1) THEN RAISE EXCEPTION 'FENCED " + kFenceLostError +
               "'; END IF; END$$";
}

PgResult PostgresKeystore::RunWrite(const std::string& sql, const std::vector<const char*>& values,
                                    const std::vector<int>& lengths, const std::vector<int>& formats) {
  if (fence_sql_.empty()) return Run(sql, values, lengths, formats);
  const char* statements[] = {"BEGIN", fence_sql_.c_str(), sql.c_str(), "COMMIT"};
  PgResult out;
  auto send = [&](size_t i) -> bool {
    if (statement_log_ != nullptr) statement_log_->push_back(statements[i]);
    const int n = i == 2 ? static_cast<int>(values.size()) : 0;
    return PQsendQueryParams(conn_.get(), statements[i], n, nullptr, n > 0 ? values.data() : nullptr,
                             n > 0 && !lengths.empty() ? lengths.data() : nullptr,
                             n > 0 && !formats.empty() ? formats.data() : nullptr, kText);
  };
  try {
    Pipeline(4, send, [&](size_t i, PgResult r) { if (i == 2) out = std::move(r); },
             "Postgres query execution failed: ");
  } catch (...) {
    RollbackAfterFailure();
    throw;
  }
  return out;
}

void PostgresKeystore::RollbackAfterFailure() noexcept {
  // A statement after BEGIN failed and the transaction is left aborted:
  // end it, so that the connection takes the next statement.
  if (conn_ && PQtransactionStatus(conn_.get()) != PQTRANS_IDLE) {
    try {
      Run("ROLLBACK");
    } catch (...) {
      // The connection is gone; the server drops the transaction itself.
    }
  }
}

void PostgresKeystore::PutLatest(const std::vector<uint64_t>& keys,
                                 const std::vector<const uint8_t*>& values,
                                 const std::vector<size_t>& value_lengths) {
  held_.reset();
  // One row per key, the later duplicate winning (a statement may not
  // update one row twice), in the key column's order.
  std::vector<std::pair<uint64_t, const uint8_t*>> rows;
  std::vector<size_t> lengths;
  rows.reserve(keys.size());
  lengths.reserve(keys.size());
  for (size_t i : text_order(keys)) {
    if (!rows.empty() && rows.back().first == keys[i]) {
      rows.back().second = values[i];
      lengths.back() = value_lengths[i];
    } else {
      rows.emplace_back(keys[i], values[i]);
      lengths.push_back(value_lengths[i]);
    }
  }
  if (rows.empty()) return;  // only empty values, which store nothing
  // Most batches write keys the table does not hold (new items, entries of
  // new positions), and COPY costs the server about half of what an
  // upsert's conflict check does. So a batch is first sent as one COPY: a
  // key that exists fails it whole with a unique violation, the transaction
  // is rolled back, and the batch is sent again as upserts. After such a
  // miss the next batches go straight to upserts, twice as many after each
  // miss and half as many after each plain success, so that rewrites
  // (training, metadata updates), even between batches of new keys on the
  // same store, rarely pay for a failed try.
  if (upserts_ahead_ == 0) {
    if (CopyRows(rows, lengths)) {
      insert_backoff_ = std::max<size_t>(1, insert_backoff_ / 2);
      return;
    }
    upserts_ahead_ = insert_backoff_;
    insert_backoff_ = std::min(insert_backoff_ * 2, kMaxInsertBackoff);
  } else {
    --upserts_ahead_;
  }
  UpsertChunks(rows, lengths);
}

void PostgresKeystore::UpsertChunks(const std::vector<std::pair<uint64_t, const uint8_t*>>& rows,
                                    const std::vector<size_t>& lengths) {
  if (put_sql_.empty()) {
    put_sql_ = "INSERT INTO " + table_.quoted +
               " (key, value, index_name) SELECT k, v, $3 FROM unnest($1::varchar[], "
               "$2::bytea[]) AS u (k, v)" + upsert_tail_;
  }
  const std::string& sql = put_sql_;
  // The statement is prepared in the pipeline of its first use: a prepare
  // that fails is simply tried again next time.
  const size_t prepare = put_prepared_ ? 0 : 1;
  const size_t begin_at = prepare;
  const size_t fence_at = fence_sql_.empty() ? SIZE_MAX : begin_at + 1;
  const size_t first_chunk = begin_at + (fence_sql_.empty() ? 1 : 2);
  // Chunks of at most kChunkRows rows and, past their first row, kChunkBytes
  // value bytes: an array parameter must stay far below the server's 1 GB.
  std::vector<size_t> bounds{0};
  size_t bytes = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    const bool full = i - bounds.back() == kChunkRows;
    if (full || (i > bounds.back() && bytes + lengths[i] > kChunkBytes)) {
      bounds.push_back(i);
      bytes = 0;
    }
    bytes += lengths[i];
  }
  bounds.push_back(rows.size());
  const size_t count = first_chunk + (bounds.size() - 1) + 1;
  const std::string index_name = be64(hashed_index_name_);
  auto send = [&](size_t i) -> bool {
    PGconn* c = conn_.get();
    const char* plain = i == begin_at ? "BEGIN" : i == count - 1 ? "COMMIT" : nullptr;
    if (statement_log_ != nullptr) statement_log_->push_back(plain ? plain : sql);
    if (i < prepare) return PQsendPrepare(c, kPutStatement, sql.c_str(), 3, kPutTypes);
    if (i == fence_at) {
      if (statement_log_ != nullptr) statement_log_->push_back(fence_sql_);
      return PQsendQueryParams(c, fence_sql_.c_str(), 0, nullptr, nullptr, nullptr, nullptr, kText);
    }
    if (plain) return PQsendQueryParams(c, plain, 0, nullptr, nullptr, nullptr, nullptr, kText);
    const size_t start = bounds[i - first_chunk], n = bounds[i - first_chunk + 1] - start;
    binary_array(array_buf_[0], kVarcharOid, n,
                 [&](size_t j, std::string& out) { append_key(out, rows[start + j].first); });
    binary_array(array_buf_[1], kByteaOid, n, [&](size_t j, std::string& out) {
      out.append(reinterpret_cast<const char*>(rows[start + j].second), lengths[start + j]);
    });
    const char* values[] = {array_buf_[0].data(), array_buf_[1].data(), index_name.data()};
    const int lens[] = {static_cast<int>(array_buf_[0].size()),
                        static_cast<int>(array_buf_[1].size()), 8};
    const int formats[] = {kBinary, kBinary, kBinary};
    return PQsendQueryPrepared(c, kPutStatement, 3, values, lens, formats, kText);
  };
  try {
    Pipeline(count, send, [&](size_t i, PgResult) { put_prepared_ |= i < prepare; },
             "Postgres query execution failed: ");
  } catch (...) {
    RollbackAfterFailure();
    throw;
  }
}

namespace {

// The binary COPY stream's header: signature, flags, no extension.
constexpr char kCopyHeader[] = "PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0";
constexpr size_t kCopyHeaderSize = 19;
// Bytes handed to libpq at a time.
constexpr size_t kCopyPiece = size_t{256} << 10;

void put_be16(std::string& out, uint16_t v) {
  const char b[2] = {static_cast<char>(v >> 8), static_cast<char>(v)};
  out.append(b, 2);
}

}  // namespace

bool PostgresKeystore::CopyRows(const std::vector<std::pair<uint64_t, const uint8_t*>>& rows,
                                const std::vector<size_t>& lengths) {
  if (copy_sql_.empty()) {
    copy_sql_ = "COPY " + table_.quoted + " (key, value, index_name) FROM STDIN (FORMAT binary)";
  }
  // BEGIN, the fence's check and the COPY as one simple query: an explicit
  // BEGIN keeps the transaction open past it, and a failed check skips the
  // COPY.
  std::string sql = "BEGIN;";
  if (statement_log_ != nullptr) statement_log_->push_back("BEGIN");
  if (!fence_sql_.empty()) {
    sql += fence_sql_ + ";";
    if (statement_log_ != nullptr) statement_log_->push_back(fence_sql_);
  }
  sql += copy_sql_;
  if (statement_log_ != nullptr) statement_log_->push_back(copy_sql_);
  const std::string index_name = be64(hashed_index_name_);
  size_t next_row = 0;
  auto next = [&](std::string& out) {
    if (next_row == 0) out.append(kCopyHeader, kCopyHeaderSize);
    for (; next_row < rows.size() && out.size() < kCopyPiece; ++next_row) {
      put_be16(out, 3);  // fields
      append_sized(out, [&] { append_key(out, rows[next_row].first); });
      put_be32(out, static_cast<uint32_t>(lengths[next_row]));
      out.append(reinterpret_cast<const char*>(rows[next_row].second), lengths[next_row]);
      put_be32(out, 8);
      out += index_name;
    }
    if (next_row < rows.size()) return true;
    put_be16(out, 0xffff);  // the end of the rows
    return false;
  };
  try {
    CopyIn(sql, next, "Postgres query execution failed: ");
    PgResult done = Run("COMMIT");
    if (PQresultStatus(done.get()) != PGRES_COMMAND_OK) Fail("Postgres query execution failed: ");
  } catch (...) {
    RollbackAfterFailure();
    if (failed_state_ == kUniqueViolation) return false;
    throw;
  }
  return true;
}

void PostgresKeystore::CopyIn(const std::string& sql,
                              const std::function<bool(std::string&)>& next,
                              const std::string& prefix) {
  if (!conn_) throw std::runtime_error(closed_reason_);
  PGconn* c = conn_.get();
  failed_state_.clear();
  auto close_broken = [&] {
    const std::string reason = pg_error(c);
    conn_.reset();
    closed_reason_ = "The PostgreSQL connection was closed after it failed: " + reason;
    throw std::runtime_error(prefix + reason);
  };
  if (!PQsendQuery(c, sql.c_str())) Fail(prefix);
  auto deadline = steady_clock::now() + command_timeout_;
  bool broken = false;
  Flush(deadline, &broken);
  if (broken) close_broken();
  // Queues a COPY message in the non-blocking connection: 0 means libpq's
  // buffer is full, so it is sent first. False once the server has ended
  // the COPY itself (an error, read with the results).
  auto queue = [&](const std::function<int()>& put) {
    for (;;) {
      const int r = put();
      if (r == 1) return true;
      if (r < 0) {
        if (PQstatus(c) != CONNECTION_OK) close_broken();
        return false;
      }
      Flush(deadline, &broken);
      if (broken) close_broken();
    }
  };
  std::string failure;
  std::string piece;
  bool copied = false;  // a second COPY is not ours either
  for (;;) {
    PgResult r(NextResult(deadline, &broken, /*copy_in=*/!copied));
    if (!r) {
      if (broken) close_broken();
      break;
    }
    deadline = steady_clock::now() + command_timeout_;
    const ExecStatusType status = PQresultStatus(r.get());
    if (status == PGRES_COPY_IN) {
      copied = true;
      bool more = true, open = true;
      while (more && open) {
        piece.clear();
        more = next(piece);
        open = queue([&] { return PQputCopyData(c, piece.data(), static_cast<int>(piece.size())); });
        deadline = steady_clock::now() + command_timeout_;
      }
      if (open) queue([&] { return PQputCopyEnd(c, nullptr); });
      Flush(deadline, &broken);
      if (broken) close_broken();
    } else if (status == PGRES_FATAL_ERROR) {
      KeepFirstFailure(r.get(), &failure);
    } else if (status != PGRES_COMMAND_OK && failure.empty()) {
      failure = std::string("unexpected result ") + PQresStatus(status);
    }
  }
  if (!failure.empty()) throw std::runtime_error(prefix + failure);
}

void PostgresKeystore::BatchPutRows(const std::vector<uint64_t>& keys, const ByteMatrix& matrix) {
  check_batch_rows(keys, matrix, row_size);
  if (matrix.cols == 0) return;  // rows of no bytes store nothing, as in every store
  std::vector<const uint8_t*> rows(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) rows[i] = matrix.row(i);
  PutLatest(keys, rows, std::vector<size_t>(keys.size(), matrix.cols));
}

void PostgresKeystore::BatchPutItems(const std::vector<uint64_t>& keys,
                                     const std::vector<Bytes>& values) {
  if (keys.empty()) throw std::runtime_error(kNoKeysError);
  if (values.size() != keys.size()) {
    throw std::runtime_error("Mismatch between number of keys and values");
  }
  // An empty value stores nothing and leaves what its key holds.
  std::vector<uint64_t> kept;
  std::vector<const uint8_t*> data;
  std::vector<size_t> lengths;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (values[i].empty()) continue;
    kept.push_back(keys[i]);
    data.push_back(values[i].data());
    lengths.push_back(values[i].size());
  }
  PutLatest(kept, data, lengths);
}

void PostgresKeystore::PutItem(uint64_t key, const Bytes& value) {
  held_.reset();
  const std::string k = std::to_string(key);
  PgResult r = RunWrite("INSERT INTO " + table_.quoted +
                       " (key, value, index_name) VALUES ($1, $2, $3)" + upsert_tail_,
                   {k.c_str(), param_bytes(value.data()), hashed_text_.c_str()},
                   {0, static_cast<int>(value.size()), 0}, {kText, kBinary, kText});
  if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) Fail("Postgres put_item error: ");
}

void PostgresKeystore::BatchDeleteItems(const std::vector<uint64_t>& keys) {
  held_.reset();
  if (keys.empty()) return;
  const std::string list = key_array(in_text_order(keys));
  PgResult r =
      RunWrite("DELETE FROM " + table_.quoted + " WHERE index_name = $1 AND key = ANY ($2::varchar[]);",
          {hashed_text_.c_str(), list.c_str()});
  if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) Fail("Batch delete failed: ");
}

void PostgresKeystore::DeleteItem(uint64_t key) {
  held_.reset();
  const std::string k = std::to_string(key);
  PgResult r = RunWrite("DELETE FROM " + table_.quoted + " WHERE index_name = $1 AND key = $2;",
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
  const std::string sql = "SELECT key, value FROM " + table_.quoted +
                          " WHERE index_name = $1 AND key = ANY ($2::varchar[]);";
  const std::string index_name = be64(hashed_index_name_);
  // A read planned with its keys scans with them hashed: no order helps it.
  const bool planned = keys.size() >= kPlannedReadKeys;
  const std::vector<uint64_t> sorted = planned ? keys : in_text_order(keys);
  binary_array(array_buf_[0], kVarcharOid, sorted.size(),
               [&](size_t j, std::string& out) { append_key(out, sorted[j]); });
  const char* values[] = {index_name.data(), array_buf_[0].data()};
  const int lens[] = {8, static_cast<int>(array_buf_[0].size())};
  const int formats[] = {kBinary, kBinary};
  PgResult found;
  if (planned) {
    // Planned with the actual array, the server may scan the table once with
    // the keys hashed, far cheaper than as many index probes when the keys
    // are a good part of the table.
    found = Run(sql, {values[0], values[1]}, {lens[0], lens[1]}, {kBinary, kBinary}, kBinary);
    if (PQresultStatus(found.get()) != PGRES_TUPLES_OK) Fail("Batch get failed: ");
  } else {
    // Prepared once: the many small reads (those of every write among them)
    // are not planned anew, and their plan probes the index per key.
    const size_t prepare = get_prepared_ ? 0 : 1;
    Pipeline(
        prepare + 1,
        [&](size_t i) -> bool {
          PGconn* c = conn_.get();
          if (statement_log_ != nullptr) statement_log_->push_back(sql);
          if (i < prepare) return PQsendPrepare(c, kGetStatement, sql.c_str(), 2, kGetTypes);
          return PQsendQueryPrepared(c, kGetStatement, 2, values, lens, formats, kBinary);
        },
        [&](size_t i, PgResult r) {
          if (i < prepare) {
            get_prepared_ = true;
          } else {
            found = std::move(r);
          }
        },
        "Batch get failed: ");
    if (PQresultStatus(found.get()) != PGRES_TUPLES_OK) {
      throw std::runtime_error("Batch get failed: unexpected result");
    }
  }
  if (PQnfields(found.get()) != 2) throw std::runtime_error("Batch get failed: unexpected result");
  return found;
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

// Calls found(i, row) for each keys[i] that has a row in the result `r`.
template <typename Found>
void match_rows(const PGresult* r, const std::vector<uint64_t>& keys, Found found) {
  std::vector<std::pair<uint64_t, int>> rows(static_cast<size_t>(PQntuples(r)));
  for (size_t i = 0; i < rows.size(); ++i) {
    rows[i] = {row_key(r, static_cast<int>(i)), static_cast<int>(i)};
  }
  std::sort(rows.begin(), rows.end());
  for (size_t i = 0; i < keys.size(); ++i) {
    auto it = std::lower_bound(rows.begin(), rows.end(), std::pair<uint64_t, int>(keys[i], 0));
    if (it != rows.end() && it->first == keys[i]) found(i, it->second);
  }
}

}  // namespace

ByteMatrix PostgresKeystore::BatchGetRows(const std::vector<uint64_t>& keys) {
  if (keys.empty()) return ByteMatrix();
  ByteMatrix out = ByteMatrix::zeros(keys.size(), row_size);
  const PgResult r = SelectMany(keys);
  match_rows(r.get(), keys, [&](size_t i, int row) {
    const auto len = static_cast<uint64_t>(PQgetlength(r.get(), row, 1));
    // A value of another width is not a row of this store: refuse it rather
    // than cut or pad it.
    if (len != row_size) throw std::runtime_error(stored_width_error(keys[i], len, row_size));
    if (len != 0) std::memcpy(out.row(i), PQgetvalue(r.get(), row, 1), len);
  });
  return out;
}

std::vector<Bytes> PostgresKeystore::BatchGetItems(const std::vector<uint64_t>& keys) {
  std::vector<Bytes> out(keys.size());
  if (keys.empty()) return out;
  const PgResult r = SelectMany(keys);
  match_rows(r.get(), keys, [&](size_t i, int row) {
    const auto* v = reinterpret_cast<const uint8_t*>(PQgetvalue(r.get(), row, 1));
    out[i].assign(v, v + PQgetlength(r.get(), row, 1));
  });
  return out;
}

std::vector<ByteView> PostgresKeystore::BatchViewItems(const std::vector<uint64_t>& keys,
                                                       std::vector<Bytes>& holder) {
  held_.reset();
  holder.clear();
  std::vector<ByteView> out(keys.size());
  if (keys.empty()) return out;
  PgResult r = SelectMany(keys);
  match_rows(r.get(), keys, [&](size_t i, int row) {
    out[i] = ByteView(reinterpret_cast<const uint8_t*>(PQgetvalue(r.get(), row, 1)),
                      static_cast<size_t>(PQgetlength(r.get(), row, 1)));
  });
  held_ = std::move(r);
  return out;
}

void PostgresKeystore::PushConfigItem(const std::string& name, const Bytes& value) {
  if (role_ != 1) throw std::runtime_error("Cannot store config items in a non-config keystore");
  PgResult r = RunWrite("INSERT INTO " + table_.quoted +
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
  PgResult r = RunWrite(sql, values, lens, formats);
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
  held_.reset();
  PgResult r;
  if (role_ == 1) {
    // Exactly this index's two items: never those of an index whose name
    // merely begins with this one's.
    const std::string record = index_name_ + ".cvs";
    const std::string core = index_name_ + ".cei";
    r = RunWrite("DELETE FROM " + table_.quoted + " WHERE index_name IN ($1, $2);",
            {record.c_str(), core.c_str()});
  } else {
    r = RunWrite("DELETE FROM " + table_.quoted + " WHERE index_name = $1;", {hashed_text_.c_str()});
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
