#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "backing_store/index_listing.h"
#include "backing_store/sqlite_connection.h"
#include "backing_store/sqlite_keystore.h"

namespace tavrin_encrypted_index::internal::backing_store {

std::vector<std::string> ListIndexesSqlite(const tavrin::DBConfig& config_location) {
  if (!config_location.table_name) throw std::runtime_error("table_name is not set in DBConfig.");
  if (!config_location.connection_string) {
    throw std::runtime_error("The SQLite database file path is missing in the configuration.");
  }
  const std::string& path = *config_location.connection_string;
  const std::string table = sqlite_table_name(*config_location.table_name);
  // Listing must not leave an empty database behind where none was.
  std::error_code ec;
  if (path != ":memory:" && !std::filesystem::exists(path, ec)) {
    if (ec) throw std::runtime_error("Cannot read " + path + ": " + ec.message());
    return {};
  }
  std::shared_ptr<SqliteConnection> conn = SqliteConnection::Open(path);
  std::lock_guard<std::recursive_mutex> lock(conn->mutex());
  std::vector<std::string> names;
  {
    SqliteStatement find(*conn, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1;");
    sqlite3_bind_text(find.get(), 1, config_location.table_name->c_str(), -1, SQLITE_STATIC);
    const int rc = sqlite3_step(find.get());
    if (rc == SQLITE_DONE) return names;
    if (rc != SQLITE_ROW) throw std::runtime_error("Failed to execute query: " + conn->error());
  }
  SqliteStatement select(*conn, "SELECT index_name FROM " + table + ";");
  int rc;
  while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 0));
    const int length = sqlite3_column_bytes(select.get(), 0);
    if (text == nullptr) continue;
    if (auto name = index_name_of_item(text, static_cast<size_t>(length))) {
      names.push_back(std::move(*name));
    }
  }
  if (rc != SQLITE_DONE) throw std::runtime_error("Failed to execute query: " + conn->error());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tavrin_encrypted_index::internal::backing_store
