#include <libpq-fe.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/client.h"

namespace tavrin {
namespace {

struct ConnCloser {
  void operator()(PGconn* c) const { PQfinish(c); }
};
struct ResultCloser {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Conn = std::unique_ptr<PGconn, ConnCloser>;
using Result = std::unique_ptr<PGresult, ResultCloser>;

constexpr char kSuffix[] = ".cvs";
constexpr size_t kSuffixLen = sizeof(kSuffix) - 1;

}  // namespace

std::vector<std::string> ListIndexesPostgres(const DBConfig& config_location) {
  if (!config_location.table_name) throw std::runtime_error("table_name is not set in DBConfig.");
  if (!config_location.connection_string) {
    throw std::runtime_error("Database connection string is missing in the configuration.");
  }
  Conn conn(PQconnectdb(config_location.connection_string->c_str()));
  if (!conn) throw std::runtime_error("Failed to connect to PostgreSQL: out of memory");
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error(std::string("Failed to connect to PostgreSQL: ") +
                             PQerrorMessage(conn.get()));
  }
  // The table name is quoted as an identifier, with any embedded quote
  // doubled, so no name can break out of the statement.
  const std::string& table = *config_location.table_name;
  std::unique_ptr<char, decltype(&PQfreemem)> quoted(
      PQescapeIdentifier(conn.get(), table.data(), table.size()), &PQfreemem);
  if (!quoted) {
    throw std::runtime_error(std::string("Failed to execute query: ") + PQerrorMessage(conn.get()));
  }
  const std::string sql = std::string("SELECT index_name FROM ") + quoted.get() + ";";
  Result res(PQexec(conn.get(), sql.c_str()));
  if (PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
    throw std::runtime_error(std::string("Failed to execute query: ") + PQerrorMessage(conn.get()));
  }
  std::vector<std::string> names;
  const int rows = PQntuples(res.get());
  for (int i = 0; i < rows; ++i) {
    const char* value = PQgetvalue(res.get(), i, 0);
    const size_t len = static_cast<size_t>(PQgetlength(res.get(), i, 0));
    if (len > kSuffixLen && std::memcmp(value + len - kSuffixLen, kSuffix, kSuffixLen) == 0) {
      names.emplace_back(value, len - kSuffixLen);
    }
  }
  return names;
}

}  // namespace tavrin
