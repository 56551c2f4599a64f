// The core record of an index: the depth of the centroid seed tree, the
// number of lists, the bytes of one vector, the width of an index-store row
// a free text note and the storage format. A FlatBuffers table with no file identifier and no
// size prefix; zero scalars are omitted and read back as 0.
#ifndef TAVRIN_ENCRYPTED_INDEX_CORE_RECORD_H_
#define TAVRIN_ENCRYPTED_INDEX_CORE_RECORD_H_

#include <cstdint>
#include <string>

#include "common/row_matrix.h"

namespace tavrin {

struct CoreRecord {
  uint64_t rounds = 0;
  uint64_t n_lists = 0;
  uint64_t vector_bytes = 0;
  uint64_t row_size = 0;
  std::string note;
  uint32_t format = 0;  // kTamperEvidentFormat or 0
};

inline constexpr uint32_t kTamperEvidentFormat = 1;

Bytes serialize_core_record(const CoreRecord& record);

// Verifies, then reads; never reads outside the buffer. Throws
// std::runtime_error "Could not deserialize index config: buffer is empty"
// for no bytes and "Could not deserialize index config: buffer is invalid"
// for bytes that fail verification.
CoreRecord deserialize_core_record(const Bytes& buffer);

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_CORE_RECORD_H_
