#include "common/db_config.h"

#include <stdexcept>

namespace tavrin {

Location parse_location(const std::string& text) {
  if (text == "memory") return Location::MEMORY;
  if (text == "postgres") return Location::POSTGRES;
  if (text == "redis") return Location::REDIS;
  if (text == "sqlite") return Location::SQLITE;
  throw std::invalid_argument("Unknown DB location: " + text);
}

}  // namespace tavrin
