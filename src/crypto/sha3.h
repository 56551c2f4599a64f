// Our own SHA3-256 (FIPS 202: Keccak-f[1600], rate 136 bytes, padding 0x06 ..
// 0x80). Pure, reentrant functions with their state on the stack; safe to call
// from many threads at once. OpenSSL is used only as a reference in tests.
//
// The word forms hash a 32-byte message given as four little-endian 64-bit
// words (word w holds bytes 8w .. 8w+7) and return the digest the same way;
// they are what the list-entry seed tree runs on, one block and no byte
// shuffling. The x4 form computes four independent such hashes at once, with
// AVX-512VL or AVX2 when the CPU has them (chosen at run time).
#ifndef TAVRIN_CRYPTO_SHA3_H_
#define TAVRIN_CRYPTO_SHA3_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/coding.h"

namespace tavrin {

inline constexpr size_t kSha3DigestSize = 32;
inline constexpr size_t kSha3Rate = 136;
// Longest message that fits one padded block.
inline constexpr size_t kSha3MaxOneBlock = kSha3Rate - 1;
using Sha3Digest = std::array<uint8_t, kSha3DigestSize>;

void sha3_256(const uint8_t* data, size_t len, uint8_t out[kSha3DigestSize]);
Sha3Digest sha3_256(const uint8_t* data, size_t len);

void sha3_256_words(const uint64_t in[4], uint64_t out[4]);
void sha3_256_words_x4(const uint64_t in[4][4], uint64_t out[4][4]);

// Four independent one-block messages at once: each is prefix || data padded
// into the 17 rate lanes by sha3_pad_block (prefix_len + len at most
// kSha3MaxOneBlock); the digests come back as four little-endian words.
void sha3_pad_block(const uint8_t* prefix, size_t prefix_len, const uint8_t* data, size_t len,
                    uint64_t lanes[17]);
void sha3_256_blocks_x4(const uint64_t blocks[4][17], uint64_t out[4][4]);

// First 8 digest bytes, big-endian, from digest word 0.
inline uint64_t digest_word0_be(uint64_t word0) { return __builtin_bswap64(word0); }

namespace sha3_internal {
// Both x4 kernels, for tests and benchmarks; the public x4 picks one.
void words_x4_portable(const uint64_t in[4][4], uint64_t out[4][4]);
void blocks_x4_portable(const uint64_t in[4][17], uint64_t out[4][4]);
// The byte form without any instruction-set extension.
void digest_portable(const uint8_t* data, size_t len, uint8_t out[kSha3DigestSize]);
bool avx2_available();
void words_x4_avx2(const uint64_t in[4][4], uint64_t out[4][4]);    // only if available
bool avx512_available();                                            // AVX-512F with VL
void words_x4_avx512(const uint64_t in[4][4], uint64_t out[4][4]);  // only if available
// Name of the x4 kernel the public function uses.
const char* x4_kernel_name();
}  // namespace sha3_internal

}  // namespace tavrin

#endif  // TAVRIN_CRYPTO_SHA3_H_
