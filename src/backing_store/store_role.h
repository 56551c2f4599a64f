// The four stores of an index. A store scopes its rows to the hashed index
// name plus the role's number, so the numbers are part of every stored name
// and must never change.
#ifndef TAVRIN_BACKING_STORE_STORE_ROLE_H_
#define TAVRIN_BACKING_STORE_STORE_ROLE_H_

#include <cstdint>

namespace tavrin_encrypted_index::internal::backing_store {

enum class StoreRole : int32_t {
  kIndex = 0,    // list entries, the list-count map, the centroid metadata map
  kConfig = 1,   // sealed configuration items (".cvs", ".cei")
  kItems = 2,    // sealed contents
  kRecords = 3,  // sealed item records
};

inline constexpr int32_t role_number(StoreRole role) { return static_cast<int32_t>(role); }

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_STORE_ROLE_H_
