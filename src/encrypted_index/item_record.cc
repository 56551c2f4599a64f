#include "encrypted_index/item_record.h"

#include <cstring>
#include <limits>
#include <stdexcept>

#include "common/coding.h"

namespace tavrin {
size_t item_record_size(std::string_view id, size_t vector_bytes, std::string_view metadata) {
  constexpr size_t kMax = std::numeric_limits<uint32_t>::max();
  if (id.size() > kMax || metadata.size() > kMax) {
    throw std::invalid_argument("Item id or metadata is too long for an item record");
  }
  return 12 + id.size() + vector_bytes + metadata.size();
}

void write_item_record_at(std::string_view id, uint32_t list, const uint8_t* vector,
                          size_t vector_bytes, std::string_view metadata, uint8_t* p) {
  EncodeFixed32(p, static_cast<uint32_t>(metadata.size()));
  EncodeFixed32(p + 4, static_cast<uint32_t>(id.size()));
  std::memcpy(p + 8, id.data(), id.size());
  p += 8 + id.size();
  EncodeFixed32(p, list);
  if (vector_bytes != 0) std::memcpy(p + 4, vector, vector_bytes);
  p += 4 + vector_bytes;
  if (!metadata.empty()) std::memcpy(p, metadata.data(), metadata.size());
}

void write_item_record(std::string_view id, uint32_t list, const uint8_t* vector,
                       size_t vector_bytes, std::string_view metadata, Bytes& out) {
  out.resize(item_record_size(id, vector_bytes, metadata));
  write_item_record_at(id, list, vector, vector_bytes, metadata, out.data());
}

bool read_item_record(const uint8_t* record, size_t size, size_t vector_bytes,
                      ItemRecordView* view) {
  const size_t n = size;
  if (n < 12) return false;
  const uint8_t* p = record;
  const uint64_t meta_len = DecodeFixed32(p);
  const uint64_t id_len = DecodeFixed32(p + 4);
  // 64-bit sums of 32-bit lengths cannot wrap.
  if (uint64_t{12} + id_len + vector_bytes + meta_len != n) return false;
  view->id = std::string_view(reinterpret_cast<const char*>(p + 8), id_len);
  view->list = DecodeFixed32(p + 8 + id_len);
  view->vector = p + 12 + id_len;
  view->metadata =
      std::string_view(reinterpret_cast<const char*>(p + 12 + id_len + vector_bytes), meta_len);
  return true;
}

}  // namespace tavrin
