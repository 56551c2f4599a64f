#include "crypto/sha3.h"

#include <immintrin.h>

#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the word forms copy lanes straight from memory");

namespace tavrin {
namespace {

constexpr uint64_t kRoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL, 0x8000000080008000ULL,
    0x000000000000808bULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008aULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800aULL, 0x800000008000000aULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL};

// One Keccak round from state A into state E, written once over the lane
// operations K_XOR, K_XOR5, K_CHI (a ^ (~b & c)), K_ROL and K_RC so that the
// scalar and the four-way kernels share it. Lanes are named by column (a e i o u) and
// row (b g k m s); B, C and D are the round's temporaries.
#define KECCAK_ROUND(A, E, round)                   \
  do {                                              \
    Ca = K_XOR5(A##ba, A##ga, A##ka, A##ma, A##sa); \
    Ce = K_XOR5(A##be, A##ge, A##ke, A##me, A##se); \
    Ci = K_XOR5(A##bi, A##gi, A##ki, A##mi, A##si); \
    Co = K_XOR5(A##bo, A##go, A##ko, A##mo, A##so); \
    Cu = K_XOR5(A##bu, A##gu, A##ku, A##mu, A##su); \
    Da = K_XOR(Cu, K_ROL(Ce, 1));                   \
    De = K_XOR(Ca, K_ROL(Ci, 1));                   \
    Di = K_XOR(Ce, K_ROL(Co, 1));                   \
    Do = K_XOR(Ci, K_ROL(Cu, 1));                   \
    Du = K_XOR(Co, K_ROL(Ca, 1));                   \
    B0 = K_XOR(A##ba, Da);                          \
    B1 = K_ROL(K_XOR(A##ge, De), 44);               \
    B2 = K_ROL(K_XOR(A##ki, Di), 43);               \
    B3 = K_ROL(K_XOR(A##mo, Do), 21);               \
    B4 = K_ROL(K_XOR(A##su, Du), 14);               \
    E##ba = K_XOR(K_CHI(B0, B1, B2), K_RC(round));  \
    E##be = K_CHI(B1, B2, B3);                      \
    E##bi = K_CHI(B2, B3, B4);                      \
    E##bo = K_CHI(B3, B4, B0);                      \
    E##bu = K_CHI(B4, B0, B1);                      \
    B0 = K_ROL(K_XOR(A##bo, Do), 28);               \
    B1 = K_ROL(K_XOR(A##gu, Du), 20);               \
    B2 = K_ROL(K_XOR(A##ka, Da), 3);                \
    B3 = K_ROL(K_XOR(A##me, De), 45);               \
    B4 = K_ROL(K_XOR(A##si, Di), 61);               \
    E##ga = K_CHI(B0, B1, B2);                      \
    E##ge = K_CHI(B1, B2, B3);                      \
    E##gi = K_CHI(B2, B3, B4);                      \
    E##go = K_CHI(B3, B4, B0);                      \
    E##gu = K_CHI(B4, B0, B1);                      \
    B0 = K_ROL(K_XOR(A##be, De), 1);                \
    B1 = K_ROL(K_XOR(A##gi, Di), 6);                \
    B2 = K_ROL(K_XOR(A##ko, Do), 25);               \
    B3 = K_ROL(K_XOR(A##mu, Du), 8);                \
    B4 = K_ROL(K_XOR(A##sa, Da), 18);               \
    E##ka = K_CHI(B0, B1, B2);                      \
    E##ke = K_CHI(B1, B2, B3);                      \
    E##ki = K_CHI(B2, B3, B4);                      \
    E##ko = K_CHI(B3, B4, B0);                      \
    E##ku = K_CHI(B4, B0, B1);                      \
    B0 = K_ROL(K_XOR(A##bu, Du), 27);               \
    B1 = K_ROL(K_XOR(A##ga, Da), 36);               \
    B2 = K_ROL(K_XOR(A##ke, De), 10);               \
    B3 = K_ROL(K_XOR(A##mi, Di), 15);               \
    B4 = K_ROL(K_XOR(A##so, Do), 56);               \
    E##ma = K_CHI(B0, B1, B2);                      \
    E##me = K_CHI(B1, B2, B3);                      \
    E##mi = K_CHI(B2, B3, B4);                      \
    E##mo = K_CHI(B3, B4, B0);                      \
    E##mu = K_CHI(B4, B0, B1);                      \
    B0 = K_ROL(K_XOR(A##bi, Di), 62);               \
    B1 = K_ROL(K_XOR(A##go, Do), 55);               \
    B2 = K_ROL(K_XOR(A##ku, Du), 39);               \
    B3 = K_ROL(K_XOR(A##ma, Da), 41);               \
    B4 = K_ROL(K_XOR(A##se, De), 2);                \
    E##sa = K_CHI(B0, B1, B2);                      \
    E##se = K_CHI(B1, B2, B3);                      \
    E##si = K_CHI(B2, B3, B4);                      \
    E##so = K_CHI(B3, B4, B0);                      \
    E##su = K_CHI(B4, B0, B1);                      \
  } while (0)

#define KECCAK_DECLARE(T, P)                                                                   \
  T P##ba, P##be, P##bi, P##bo, P##bu, P##ga, P##ge, P##gi, P##go, P##gu, P##ka, P##ke, P##ki, \
      P##ko, P##ku, P##ma, P##me, P##mi, P##mo, P##mu, P##sa, P##se, P##si, P##so, P##su

#define KECCAK_ALL_ROUNDS()                     \
  for (int round = 0; round < 24; round += 2) { \
    KECCAK_ROUND(A, E, round);                  \
    KECCAK_ROUND(E, A, round + 1);              \
  }

// ---- scalar kernels: portable, and with BMI1/BMI2 (andn, rorx) ----
#define K_XOR(a, b) ((a) ^ (b))
#define K_XOR5(a, b, c, d, e) ((a) ^ (b) ^ (c) ^ (d) ^ (e))
#define K_CHI(a, b, c) ((a) ^ (~(b) & (c)))
#define K_ROL(a, n) (((a) << (n)) | ((a) >> (64 - (n))))
#define K_RC(i) kRoundConstants[i]

namespace portable {
#define KECCAK_TARGET
#include "crypto/sha3_scalar.inc"
#undef KECCAK_TARGET
}  // namespace portable

namespace bmi {
#define KECCAK_TARGET __attribute__((target("bmi,bmi2")))
#include "crypto/sha3_scalar.inc"
#undef KECCAK_TARGET
}  // namespace bmi

#undef K_XOR
#undef K_XOR5
#undef K_CHI
#undef K_ROL
#undef K_RC

// ---- four-way AVX2 kernel: lane h of every vector belongs to hash h ----
#define K_XOR(a, b) _mm256_xor_si256((a), (b))
#define K_XOR5(a, b, c, d, e) K_XOR(K_XOR(K_XOR(a, b), K_XOR(c, d)), e)
#define K_CHI(a, b, c) _mm256_xor_si256((a), _mm256_andnot_si256((b), (c)))
#define K_ROL(a, n) _mm256_or_si256(_mm256_slli_epi64((a), (n)), _mm256_srli_epi64((a), 64 - (n)))
#define K_RC(i) _mm256_set1_epi64x(static_cast<long long>(kRoundConstants[i]))

namespace avx2 {
#define KECCAK_TARGET __attribute__((target("avx2")))
#include "crypto/sha3_x4.inc"
#undef KECCAK_TARGET
}  // namespace avx2

#undef K_XOR
#undef K_XOR5
#undef K_CHI
#undef K_ROL
#undef K_RC

// ---- the same with AVX-512VL on 256-bit vectors: native rotates, and
// three-input logic for theta's column sums and chi ----
#define K_XOR(a, b) _mm256_xor_si256((a), (b))
#define K_XOR5(a, b, c, d, e) \
  _mm256_ternarylogic_epi64(_mm256_ternarylogic_epi64((a), (b), (c), 0x96), (d), (e), 0x96)
#define K_CHI(a, b, c) _mm256_ternarylogic_epi64((a), (b), (c), 0xD2)
#define K_ROL(a, n) _mm256_rol_epi64((a), (n))
#define K_RC(i) _mm256_set1_epi64x(static_cast<long long>(kRoundConstants[i]))

namespace avx512 {
#define KECCAK_TARGET __attribute__((target("avx2,avx512f,avx512vl")))
#include "crypto/sha3_x4.inc"
#undef KECCAK_TARGET
}  // namespace avx512

#undef K_XOR
#undef K_XOR5
#undef K_CHI
#undef K_ROL
#undef K_RC

struct Kernels {
  void (*digest)(const uint8_t*, size_t, uint8_t*);
  void (*words)(const uint64_t*, uint64_t*);
  void (*words_x4)(const uint64_t[4][4], uint64_t[4][4]);
  void (*blocks_x4)(const uint64_t[4][17], uint64_t[4][4]);
};

// Chosen once from the CPU we run on.
const Kernels& kernels() {
  static const Kernels k = [] {
    const bool bmi = __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    Kernels chosen;
    chosen.digest = bmi ? &bmi::digest : &portable::digest;
    chosen.words = bmi ? &bmi::keccak_words : &portable::keccak_words;
    if (sha3_internal::avx512_available()) {
      chosen.words_x4 = &avx512::words_x4;
      chosen.blocks_x4 = &avx512::blocks_x4;
    } else if (sha3_internal::avx2_available()) {
      chosen.words_x4 = &avx2::words_x4;
      chosen.blocks_x4 = &avx2::blocks_x4;
    } else {
      chosen.words_x4 = bmi ? &bmi::words_x4 : &portable::words_x4;
      chosen.blocks_x4 = bmi ? &bmi::blocks_x4 : &portable::blocks_x4;
    }
    return chosen;
  }();
  return k;
}

}  // namespace

void sha3_256(const uint8_t* data, size_t len, uint8_t out[kSha3DigestSize]) {
  kernels().digest(data, len, out);
}

Sha3Digest sha3_256(const uint8_t* data, size_t len) {
  Sha3Digest d;
  kernels().digest(data, len, d.data());
  return d;
}

void sha3_256_words(const uint64_t in[4], uint64_t out[4]) { kernels().words(in, out); }

void sha3_256_words_x4(const uint64_t in[4][4], uint64_t out[4][4]) { kernels().words_x4(in, out); }

void sha3_256_blocks_x4(const uint64_t blocks[4][17], uint64_t out[4][4]) {
  kernels().blocks_x4(blocks, out);
}

void sha3_pad_block(const uint8_t* prefix, size_t prefix_len, const uint8_t* data, size_t len,
                    uint64_t lanes[17]) {
  uint8_t block[kSha3Rate] = {0};
  if (prefix_len != 0) std::memcpy(block, prefix, prefix_len);
  if (len != 0) std::memcpy(block + prefix_len, data, len);
  block[prefix_len + len] ^= 0x06;
  block[kSha3Rate - 1] ^= 0x80;
  for (size_t w = 0; w < 17; ++w) lanes[w] = DecodeFixed64(block + 8 * w);
}

namespace sha3_internal {

void blocks_x4_portable(const uint64_t in[4][17], uint64_t out[4][4]) {
  portable::blocks_x4(in, out);
}

void words_x4_portable(const uint64_t in[4][4], uint64_t out[4][4]) { portable::words_x4(in, out); }

void digest_portable(const uint8_t* data, size_t len, uint8_t out[kSha3DigestSize]) {
  portable::digest(data, len, out);
}

bool avx2_available() { return __builtin_cpu_supports("avx2"); }

void words_x4_avx2(const uint64_t in[4][4], uint64_t out[4][4]) { avx2::words_x4(in, out); }

bool avx512_available() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}

void words_x4_avx512(const uint64_t in[4][4], uint64_t out[4][4]) { avx512::words_x4(in, out); }

const char* x4_kernel_name() {
  return avx512_available() ? "avx512vl" : avx2_available() ? "avx2" : "scalar";
}

}  // namespace sha3_internal
}  // namespace tavrin
