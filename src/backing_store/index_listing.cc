#include "backing_store/index_listing.h"

#include <stdexcept>

namespace tavrin_encrypted_index::internal::backing_store {

std::vector<std::string> ListIndexNames(const tavrin::DBConfig& config_location) {
  switch (config_location.location) {
    case tavrin::Location::POSTGRES:
      return ListIndexesPostgres(config_location);
    case tavrin::Location::REDIS:
      return ListIndexesRedis(config_location);
    case tavrin::Location::SQLITE:
      return ListIndexesSqlite(config_location);
    default:
      throw std::invalid_argument(
          "Indexes cannot be listed from an in-process configuration location: it keeps no "
          "configuration items.");
  }
}

}  // namespace tavrin_encrypted_index::internal::backing_store
