// Owning handles for libpq connections and results, and the one rule by which
// a configured table name becomes statement text. Shared by the PostgreSQL
// store and the client's listing of index names, so both name the same table.
//
// Table names: a plain SQL identifier (ASCII letters, digits and underscores,
// not starting with a digit, 1 to 63 bytes) is accepted and folded to lower
// case, exactly as the server folds an unquoted name; statements then use it
// double-quoted (so reserved words work too) and catalogue look-ups compare
// with the folded text. Anything else is refused before a statement is sent.
#ifndef TAVRIN_BACKING_STORE_PG_HANDLES_H_
#define TAVRIN_BACKING_STORE_PG_HANDLES_H_

#include <libpq-fe.h>

#include <memory>
#include <string>

namespace tavrin_encrypted_index::internal::backing_store {

struct PgConnCloser {
  void operator()(PGconn* c) const { PQfinish(c); }
};
struct PgResultCloser {
  void operator()(PGresult* r) const { PQclear(r); }
};
using PgConn = std::unique_ptr<PGconn, PgConnCloser>;
using PgResult = std::unique_ptr<PGresult, PgResultCloser>;

// A table name ready for statements and catalogue queries.
struct PgTableName {
  std::string folded;  // the name as the server stores it, e.g. vectors
  std::string quoted;  // the folded name double-quoted, e.g. "vectors"
};

// Throws std::runtime_error naming the rule when `table` is not a plain
// identifier.
PgTableName pg_table_name(const std::string& table);

// A connection with the library's defaults (a 10 s connect timeout and TCP
// keepalives), which settings in `conninfo` override; `options`, when given,
// is passed as the server options (for example a statement timeout). Throws
// std::runtime_error(prefix + reason) when it cannot connect.
PgConn pg_connect(const std::string& conninfo, const char* prefix, const char* options = nullptr);

// The connection's current error text, never null.
inline std::string pg_error(const PGconn* conn) {
  const char* msg = conn == nullptr ? nullptr : PQerrorMessage(conn);
  return msg == nullptr ? std::string("no connection") : std::string(msg);
}

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_PG_HANDLES_H_
