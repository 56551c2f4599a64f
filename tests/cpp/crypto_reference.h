// Independent reference computations for the crypto tests: everything here
// goes through OpenSSL's own SHA3-256 and is written from the published
// constructions (FIPS 202, RFC 2104, the seed-tree walk), not from our code.
#ifndef TAVRIN_TESTS_CPP_CRYPTO_REFERENCE_H_
#define TAVRIN_TESTS_CPP_CRYPTO_REFERENCE_H_

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrin::testref {

using Digest = std::array<uint8_t, 32>;

inline Digest openssl_sha3(const uint8_t* data, size_t len) {
  Digest d;
  unsigned int n = 0;
  if (EVP_Digest(data, len, d.data(), &n, EVP_sha3_256(), nullptr) != 1 || n != 32) {
    throw std::runtime_error("EVP_Digest failed");
  }
  return d;
}

inline Digest openssl_sha3(const std::vector<uint8_t>& v) {
  return openssl_sha3(v.data(), v.size());
}

inline uint64_t be64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

inline std::string hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

// RFC 2104 over SHA3-256 (block size 136), keys no longer than a block.
inline Digest rfc2104_hmac(const uint8_t* key, size_t key_len, const std::vector<uint8_t>& msg) {
  std::vector<uint8_t> inner(136, 0x36), outer(136, 0x5c);
  for (size_t i = 0; i < key_len; ++i) {
    inner[i] ^= key[i];
    outer[i] ^= key[i];
  }
  inner.insert(inner.end(), msg.begin(), msg.end());
  Digest ih = openssl_sha3(inner);
  outer.insert(outer.end(), ih.begin(), ih.end());
  return openssl_sha3(outer);
}

// The seed-tree walk, byte by byte, one OpenSSL hash per level.
inline void tree_walk(const uint8_t seed[64], uint32_t leaf, uint32_t rounds, uint64_t* label,
                      uint64_t* mask) {
  std::vector<uint8_t> s(seed + 32, seed + 64);
  for (int64_t b = static_cast<int64_t>(rounds) - 1; b >= 0; --b) {
    if (b < 32) s[0] ^= (leaf >> b) & 1u;
    Digest d = openssl_sha3(s);
    s.assign(d.begin(), d.end());
  }
  std::vector<uint8_t> l(seed, seed + 16), m(seed + 16, seed + 32);
  l.insert(l.end(), s.begin(), s.begin() + 16);
  m.insert(m.end(), s.begin() + 16, s.end());
  *label = be64(openssl_sha3(l).data());
  *mask = be64(openssl_sha3(m).data());
}

inline std::vector<uint8_t> random_bytes(std::mt19937_64& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// N random bytes in a fixed-size array: a key or a seed.
template <size_t N>
std::array<uint8_t, N> random_array(std::mt19937_64& rng) {
  std::array<uint8_t, N> a;
  for (auto& b : a) b = static_cast<uint8_t>(rng());
  return a;
}

}  // namespace tavrin::testref

#endif  // TAVRIN_TESTS_CPP_CRYPTO_REFERENCE_H_
