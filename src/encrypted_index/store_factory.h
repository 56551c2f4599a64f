// How an index builds the store of each role. The default is the keystore
// factory (in-process, PostgreSQL or Redis by location); tests pass their
// own to count or fail store calls.
#ifndef TAVRIN_ENCRYPTED_INDEX_STORE_FACTORY_H_
#define TAVRIN_ENCRYPTED_INDEX_STORE_FACTORY_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "backing_store/keystore.h"
#include "backing_store/store_role.h"
#include "common/db_config.h"

namespace tavrin {

using StoreFactory =
    std::function<std::unique_ptr<tavrin_encrypted_index::internal::backing_store::Keystore>(
        const DBConfig& location, const std::string& index_name, uint64_t base,
        tavrin_encrypted_index::internal::backing_store::StoreRole role)>;

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_STORE_FACTORY_H_
