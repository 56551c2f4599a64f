// Index names from a configuration store: every configuration item whose name
// is an index name followed by ".cvs" (the index record) names one index.
// ListIndexNames is the one listing operation; it dispatches on the location
// kind to the store that keeps configuration items there.
#ifndef TAVRIN_BACKING_STORE_INDEX_LISTING_H_
#define TAVRIN_BACKING_STORE_INDEX_LISTING_H_

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/db_config.h"

namespace tavrin_encrypted_index::internal::backing_store {

inline constexpr char kIndexRecordSuffix[] = ".cvs";

// The index name of a configuration item name, if it names an index record:
// longer than the suffix and ending in it.
inline std::optional<std::string> index_name_of_item(const char* item, size_t length) {
  constexpr size_t n = sizeof(kIndexRecordSuffix) - 1;
  if (length <= n || std::memcmp(item + length - n, kIndexRecordSuffix, n) != 0) {
    return std::nullopt;
  }
  return std::string(item, length - n);
}

// Index names in the Redis configuration hash named by the table name of
// `config_location`, sorted. Throws std::runtime_error when the record lacks
// a table or connection string, the connection fails or the read fails.
std::vector<std::string> ListIndexesRedis(const tavrin::DBConfig& config_location);

// Index names in a PostgreSQL configuration table: the index_name values that
// end in ".cvs", without that suffix, in the order the server returns them.
// The table is named as the PostgreSQL store names it (pg_handles.h). Throws
// std::runtime_error when the record lacks a table or connection string, the
// table name is not a plain identifier, the connection fails or the query
// fails.
std::vector<std::string> ListIndexesPostgres(const tavrin::DBConfig& config_location);

// The index names kept at a configuration location, by its kind. Throws
// std::invalid_argument for a location that keeps no configuration items
// (in-process or none), and the listing's own std::runtime_error otherwise.
std::vector<std::string> ListIndexNames(const tavrin::DBConfig& config_location);

// Index names in the SQLite configuration table named by the table name of
// `config_location`, in the file its connection string names, sorted. A file
// or table that does not exist yet holds none. Throws std::runtime_error when
// the record lacks a table or path, or the file cannot be read.
std::vector<std::string> ListIndexesSqlite(const tavrin::DBConfig& config_location);

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_INDEX_LISTING_H_
