#include "backing_store/keystore_factory.h"

#include <stdexcept>

#include "backing_store/memory_keystore.h"

namespace tavrin_encrypted_index::internal::backing_store {

std::unique_ptr<Keystore> KeystoreFactory::Create(const tavrin::DBConfig& config,
                                                  const std::string& index_name, uint64_t base,
                                                  int32_t role) {
  switch (config.location) {
    case tavrin::Location::MEMORY:
    case tavrin::Location::NONE:
      return std::make_unique<MemoryKeystore>(index_name, base, role);
    case tavrin::Location::REDIS:
      // TODO: build RedisKeystore(config, index_name, base, role) once it lands.
      throw std::runtime_error("The Redis store is not available in this build yet");
    case tavrin::Location::POSTGRES:
      // TODO: build PostgresKeystore(config, index_name, base, role) once it lands.
      throw std::runtime_error("The PostgreSQL store is not available in this build yet");
  }
  throw std::runtime_error("Unsupported index location");
}

}  // namespace tavrin_encrypted_index::internal::backing_store
