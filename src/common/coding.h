// Fixed-width integer encoding. Integers inside stored records are
// little-endian whatever the machine; 64-bit values taken from a digest are
// its first 8 bytes read big-endian. Every byte-level encoder of the library
// goes through these, so that the byte order is decided in one place.
#ifndef TAVRIN_COMMON_CODING_H_
#define TAVRIN_COMMON_CODING_H_

#include <cstdint>
#include <cstring>

namespace tavrin {

// On a little-endian machine the stored form is the value's own bytes: one
// copy instead of a loop of shifts, which compilers do not always merge.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
inline constexpr bool kLittleEndian = true;
#else
inline constexpr bool kLittleEndian = false;
#endif

inline void EncodeFixed32(uint8_t* dst, uint32_t value) {
  if constexpr (kLittleEndian) {
    std::memcpy(dst, &value, 4);
  } else {
    for (int i = 0; i < 4; ++i) dst[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

inline void EncodeFixed64(uint8_t* dst, uint64_t value) {
  if constexpr (kLittleEndian) {
    std::memcpy(dst, &value, 8);
  } else {
    for (int i = 0; i < 8; ++i) dst[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

inline uint32_t DecodeFixed32(const uint8_t* src) {
  if constexpr (kLittleEndian) {
    uint32_t value;
    std::memcpy(&value, src, 4);
    return value;
  }
  return static_cast<uint32_t>(src[0]) | static_cast<uint32_t>(src[1]) << 8 |
         static_cast<uint32_t>(src[2]) << 16 | static_cast<uint32_t>(src[3]) << 24;
}

inline uint64_t DecodeFixed64(const uint8_t* src) {
  if constexpr (kLittleEndian) {
    uint64_t value;
    std::memcpy(&value, src, 8);
    return value;
  }
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | src[i];
  return value;
}

inline uint64_t DecodeBigEndian64(const uint8_t* src) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | src[i];
  return value;
}

}  // namespace tavrin

#endif  // TAVRIN_COMMON_CODING_H_
