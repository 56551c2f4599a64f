// The plaintext of an item record, sealed under the data key in the record
// store. Little-endian:
//   0               u32  metadata_length
//   4               u32  id_length
//   8               id bytes
//   8 + id_length   u32  list number
//   12 + id_length  the vector (vector_bytes bytes of float32)
//   ... + vector    metadata_length bytes of metadata JSON text (may be 0)
// Readers verify every length against the record before reading, so a record
// that is cut short or altered is refused, never read past its end.
#ifndef TAVRIN_ENCRYPTED_INDEX_ITEM_RECORD_H_
#define TAVRIN_ENCRYPTED_INDEX_ITEM_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/row_matrix.h"

namespace tavrin {

// Appends the record to out (which is cleared first). Throws
// std::invalid_argument when the id or metadata does not fit 32 bits.
void write_item_record(std::string_view id, uint32_t list, const uint8_t* vector,
                       size_t vector_bytes, std::string_view metadata, Bytes& out);
// The same record written at `at`, which has item_record_size() bytes, for
// callers that frame it inside a larger buffer.
size_t item_record_size(std::string_view id, size_t vector_bytes, std::string_view metadata);
void write_item_record_at(std::string_view id, uint32_t list, const uint8_t* vector,
                          size_t vector_bytes, std::string_view metadata, uint8_t* at);

// A verified view into an opened record; valid while the record lives.
struct ItemRecordView {
  std::string_view id;
  uint32_t list = 0;
  const uint8_t* vector = nullptr;  // vector_bytes bytes
  std::string_view metadata;
};

// False (and no view) unless the record holds exactly the fields its lengths
// announce with a vector of vector_bytes bytes.
bool read_item_record(const uint8_t* record, size_t size, size_t vector_bytes,
                      ItemRecordView* view);
inline bool read_item_record(const Bytes& record, size_t vector_bytes, ItemRecordView* view) {
  return read_item_record(record.data(), record.size(), vector_bytes, view);
}

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_ITEM_RECORD_H_
