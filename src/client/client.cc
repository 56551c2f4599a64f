#include "client/client.h"

#include <iostream>
#include <stdexcept>

namespace tavrin {

Client::Client(const DBConfig& index_location, const DBConfig& config_location,
               const DBConfig& items_location, int32_t cpu_threads, bool gpu_accelerate)
    : index_location_(index_location),
      config_location_(config_location),
      items_location_(items_location),
      fourth_location_(index_location),
      cpu_threads_(cpu_threads),
      gpu_accelerate_(gpu_accelerate) {}

std::vector<std::string> Client::ListIndexes() const {
  if (index_location_.location != Location::POSTGRES) {
    throw std::invalid_argument("Listing indexes needs a PostgreSQL index location.");
  }
  try {
    return ListIndexesPostgres(config_location_);
  } catch (const std::exception& e) {
    std::cerr << "Error in ListIndexes for Postgres: " << e.what() << std::endl;
    throw std::invalid_argument(std::string("Could not list indexes: ") + e.what());
  }
}

}  // namespace tavrin
