#include <stdexcept>
#include <string>
#include <vector>

#include "backing_store/index_listing.h"
#include "backing_store/pg_handles.h"

namespace tavrin_encrypted_index::internal::backing_store {

std::vector<std::string> ListIndexesPostgres(const tavrin::DBConfig& config_location) {
  if (!config_location.table_name) throw std::runtime_error("table_name is not set in DBConfig.");
  if (!config_location.connection_string) {
    throw std::runtime_error("Database connection string is missing in the configuration.");
  }
  // Refused before connecting; the same name the store's statements use.
  const PgTableName table = pg_table_name(*config_location.table_name);
  // A listing must not hang on a stalled server any more than a store call.
  PgConn conn = pg_connect(*config_location.connection_string, "Failed to connect to PostgreSQL: ",
                           "-c statement_timeout=30000");
  const std::string sql = "SELECT index_name FROM " + table.quoted + ";";
  PgResult res(PQexec(conn.get(), sql.c_str()));
  if (PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
    throw std::runtime_error("Failed to execute query: " + pg_error(conn.get()));
  }
  std::vector<std::string> names;
  const int rows = PQntuples(res.get());
  for (int i = 0; i < rows; ++i) {
    auto name = index_name_of_item(PQgetvalue(res.get(), i, 0),
                                          static_cast<size_t>(PQgetlength(res.get(), i, 0)));
    if (name) names.push_back(std::move(*name));
  }
  return names;
}

}  // namespace tavrin_encrypted_index::internal::backing_store
