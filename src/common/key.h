// A 32-byte secret: the caller's index key or one of the subkeys derived from
// it. A fixed-size type so that a key of the wrong length cannot reach the
// cipher or the HMAC.
#ifndef TAVRIN_COMMON_KEY_H_
#define TAVRIN_COMMON_KEY_H_

#include <array>
#include <cstdint>

namespace tavrin {

inline constexpr size_t kKeySize = 32;
using Key256 = std::array<uint8_t, kKeySize>;

}  // namespace tavrin

#endif  // TAVRIN_COMMON_KEY_H_
