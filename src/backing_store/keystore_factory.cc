#include "backing_store/keystore_factory.h"

#include <stdexcept>

#include "backing_store/memory_keystore.h"
#include "backing_store/postgres_keystore.h"
#include "backing_store/redis_cluster_keystore.h"
#include "backing_store/redis_keystore.h"
#include "backing_store/sqlite_keystore.h"

namespace tavrin_encrypted_index::internal::backing_store {

std::unique_ptr<Keystore> KeystoreFactory::Create(const tavrin::DBConfig& config,
                                                  const std::string& index_name, uint64_t base,
                                                  StoreRole store_role) {
  const int32_t role = role_number(store_role);
  switch (config.location) {
    case tavrin::Location::MEMORY:
    case tavrin::Location::NONE:
      return std::make_unique<MemoryKeystore>(index_name, base, role);
    case tavrin::Location::REDIS:
      if (config.connection_string && is_redis_cluster(*config.connection_string)) {
        return std::make_unique<RedisClusterKeystore>(config, index_name, base, role);
      }
      return std::make_unique<RedisKeystore>(config, index_name, base, role);
    case tavrin::Location::POSTGRES:
      return std::make_unique<PostgresKeystore>(config, index_name, base, role);
    case tavrin::Location::SQLITE:
      return std::make_unique<SqliteKeystore>(config, index_name, base, role);
  }
  throw std::runtime_error("Unsupported index location");
}

}  // namespace tavrin_encrypted_index::internal::backing_store
