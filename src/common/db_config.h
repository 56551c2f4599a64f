// Where one store of an index lives. A plain copyable value; the store that
// reads it decides what table_name and connection_string mean.
#ifndef TAVRIN_COMMON_DB_CONFIG_H_
#define TAVRIN_COMMON_DB_CONFIG_H_

#include <cstdint>
#include <optional>
#include <string>

namespace tavrin {

enum class Location : uint32_t {
  REDIS = 0,
  MEMORY = 1,
  POSTGRES = 2,
  // 3 is unused: the store factory rejects it.
  NONE = 4,
  SQLITE = 5,
};

struct DBConfig {
  Location location = Location::NONE;
  std::optional<std::string> table_name;
  std::optional<std::string> connection_string;

  DBConfig() = default;
  DBConfig(Location loc, std::optional<std::string> table, std::optional<std::string> connection)
      : location(loc), table_name(std::move(table)), connection_string(std::move(connection)) {}
};

// "memory", "postgres", "redis" or "sqlite", compared exactly. Anything else throws
// std::invalid_argument("Unknown DB location: " + text).
Location parse_location(const std::string& text);

}  // namespace tavrin

#endif  // TAVRIN_COMMON_DB_CONFIG_H_
