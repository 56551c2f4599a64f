#include <stdexcept>
#include <string>
#include <vector>

#include "backing_store/config_listing.h"
#include "backing_store/pg_handles.h"
#include "client/client.h"

namespace tavrin {

namespace store = tavrin_encrypted_index::internal::backing_store;

std::vector<std::string> ListIndexesPostgres(const DBConfig& config_location) {
  if (!config_location.table_name) throw std::runtime_error("table_name is not set in DBConfig.");
  if (!config_location.connection_string) {
    throw std::runtime_error("Database connection string is missing in the configuration.");
  }
  // Refused before connecting; the same name the store's statements use.
  const store::PgTableName table = store::pg_table_name(*config_location.table_name);
  const char* keywords[] = {"connect_timeout", "dbname", nullptr};
  const char* values[] = {"10", config_location.connection_string->c_str(), nullptr};
  store::PgConn conn(PQconnectdbParams(keywords, values, /*expand_dbname=*/1));
  if (!conn) throw std::runtime_error("Failed to connect to PostgreSQL: out of memory");
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error("Failed to connect to PostgreSQL: " + store::pg_error(conn.get()));
  }
  const std::string sql = "SELECT index_name FROM " + table.quoted + ";";
  store::PgResult res(PQexec(conn.get(), sql.c_str()));
  if (PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
    throw std::runtime_error("Failed to execute query: " + store::pg_error(conn.get()));
  }
  std::vector<std::string> names;
  const int rows = PQntuples(res.get());
  for (int i = 0; i < rows; ++i) {
    auto name = store::index_name_of_item(PQgetvalue(res.get(), i, 0),
                                          static_cast<size_t>(PQgetlength(res.get(), i, 0)));
    if (name) names.push_back(std::move(*name));
  }
  return names;
}

}  // namespace tavrin
