#include "client/client.h"

#include <iostream>
#include <stdexcept>

#include "backing_store/config_listing.h"

namespace tavrin {

namespace internal_store = tavrin_encrypted_index::internal::backing_store;

Client::Client(const DBConfig& index_location, const DBConfig& config_location,
               const DBConfig& items_location, int32_t cpu_threads, bool gpu_accelerate)
    : index_location_(index_location),
      config_location_(config_location),
      items_location_(items_location),
      fourth_location_(index_location),
      cpu_threads_(cpu_threads),
      gpu_accelerate_(gpu_accelerate) {}

std::vector<std::string> Client::ListIndexes() const {
  // The configuration location is where the names live, so it decides.
  const char* store = nullptr;
  std::vector<std::string> (*list)(const DBConfig&) = nullptr;
  switch (config_location_.location) {
    case Location::POSTGRES:
      store = "Postgres";
      list = &ListIndexesPostgres;
      break;
    case Location::REDIS:
      store = "Redis";
      list = &internal_store::ListIndexesRedis;
      break;
    default:
      throw std::invalid_argument(
          "Indexes cannot be listed from an in-process configuration location: it keeps no "
          "configuration items.");
  }
  try {
    return list(config_location_);
  } catch (const std::exception& e) {
    std::cerr << "Error in ListIndexes for " << store << ": " << e.what() << std::endl;
    throw std::invalid_argument(std::string("Could not list indexes: ") + e.what());
  }
}

}  // namespace tavrin
