#include "backing_store/pg_handles.h"

#include <stdexcept>

namespace tavrin_encrypted_index::internal::backing_store {

namespace {

// Longest identifier the server keeps whole; longer ones it truncates, so two
// distinct configured names could meet in one table.
constexpr size_t kMaxIdentifierBytes = 63;

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

PgTableName pg_table_name(const std::string& table) {
  bool ok = !table.empty() && table.size() <= kMaxIdentifierBytes && is_letter(table[0]);
  for (size_t i = 1; ok && i < table.size(); ++i) ok = is_letter(table[i]) || is_digit(table[i]);
  if (!ok) {
    throw std::runtime_error("Table name '" + table +
                             "' is not a plain SQL identifier (letters, digits and underscores, "
                             "not starting with a digit, at most 63 bytes)");
  }
  PgTableName name;
  name.folded = table;
  for (char& c : name.folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  name.quoted = "\"" + name.folded + "\"";
  return name;
}

PgConn pg_connect(const std::string& conninfo, const char* prefix, const char* options) {
  // Defaults first: settings in the caller's connection string, expanded from
  // the last keyword, override them.
  const char* keywords[] = {"connect_timeout",     "keepalives",       "keepalives_idle",
                            "keepalives_interval", "keepalives_count", "options",
                            "dbname",              nullptr};
  const char* values[] = {"10", "1", "10", "5", "3", options ? options : "", conninfo.c_str(),
                          nullptr};
  PgConn conn(PQconnectdbParams(keywords, values, /*expand_dbname=*/1));
  if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
    const std::string reason = conn ? pg_error(conn.get()) : std::string("out of memory");
    throw std::runtime_error(prefix + reason);
  }
  return conn;
}

}  // namespace tavrin_encrypted_index::internal::backing_store
