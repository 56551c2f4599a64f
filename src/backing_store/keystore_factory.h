// Builds the store of one role of one index from its location. MEMORY and
// NONE give a MemoryKeystore, REDIS a RedisKeystore (a RedisClusterKeystore
// when the connection string says "cluster:yes"), POSTGRES a
// PostgresKeystore (both connect at once), SQLITE an SqliteKeystore (opening
// the file at once); any other location value is refused with "Unsupported
// index location".
#ifndef TAVRIN_BACKING_STORE_KEYSTORE_FACTORY_H_
#define TAVRIN_BACKING_STORE_KEYSTORE_FACTORY_H_

#include <cstdint>
#include <memory>
#include <string>

#include "backing_store/keystore.h"
#include "backing_store/store_role.h"
#include "common/db_config.h"

namespace tavrin_encrypted_index::internal::backing_store {

class KeystoreFactory {
 public:
  // `base` is the hashed index name; the store adds the role's number to it.
  static std::unique_ptr<Keystore> Create(const tavrin::DBConfig& config,
                                          const std::string& index_name, uint64_t base,
                                          StoreRole role);
};

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_KEYSTORE_FACTORY_H_
