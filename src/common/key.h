// Secrets as fixed-size types: Key256, the caller's index key or one of the
// subkeys derived from it (a key of the wrong length cannot reach the cipher
// or the HMAC), and SecretBytes<N> for other secrets such as the list seeds.
// Every copy, temporaries included, overwrites its bytes when it is released,
// so that a key does not outlive its use in freed memory.
#ifndef TAVRIN_COMMON_KEY_H_
#define TAVRIN_COMMON_KEY_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace tavrin {

inline constexpr size_t kKeySize = 32;

// Overwrites size bytes at data with zeros in a way the compiler may not drop
// as a dead store (OPENSSL_cleanse).
void WipeSecret(void* data, size_t size);

// N secret bytes that overwrite themselves when released.
template <size_t N>
struct SecretBytes : std::array<uint8_t, N> {
  SecretBytes() : std::array<uint8_t, N>{} {}
  SecretBytes(const std::array<uint8_t, N>& bytes)  // NOLINT: a secret is its bytes
      : std::array<uint8_t, N>(bytes) {}
  SecretBytes(const SecretBytes&) = default;
  SecretBytes& operator=(const SecretBytes&) = default;
  ~SecretBytes() { WipeSecret(this->data(), N); }
};

using Key256 = SecretBytes<kKeySize>;

}  // namespace tavrin

#endif  // TAVRIN_COMMON_KEY_H_
