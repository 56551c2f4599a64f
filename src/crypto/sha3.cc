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

constexpr size_t kRate = 136;

// One Keccak round from state A into state E, written once over the lane
// operations K_XOR, K_ANDN (~a & b), K_ROL and K_RC so that the scalar and
// the four-way kernel share it. Lanes are named by column (a e i o u) and
// row (b g k m s); B, C and D are the round's temporaries.
#define KECCAK_ROUND(A, E, round)                                                 \
  do {                                                                            \
    Ca = K_XOR(K_XOR(K_XOR(A##ba, A##ga), K_XOR(A##ka, A##ma)), A##sa);          \
    Ce = K_XOR(K_XOR(K_XOR(A##be, A##ge), K_XOR(A##ke, A##me)), A##se);          \
    Ci = K_XOR(K_XOR(K_XOR(A##bi, A##gi), K_XOR(A##ki, A##mi)), A##si);          \
    Co = K_XOR(K_XOR(K_XOR(A##bo, A##go), K_XOR(A##ko, A##mo)), A##so);          \
    Cu = K_XOR(K_XOR(K_XOR(A##bu, A##gu), K_XOR(A##ku, A##mu)), A##su);          \
    Da = K_XOR(Cu, K_ROL(Ce, 1));                                                 \
    De = K_XOR(Ca, K_ROL(Ci, 1));                                                 \
    Di = K_XOR(Ce, K_ROL(Co, 1));                                                 \
    Do = K_XOR(Ci, K_ROL(Cu, 1));                                                 \
    Du = K_XOR(Co, K_ROL(Ca, 1));                                                 \
    B0 = K_XOR(A##ba, Da);                                                        \
    B1 = K_ROL(K_XOR(A##ge, De), 44);                                             \
    B2 = K_ROL(K_XOR(A##ki, Di), 43);                                             \
    B3 = K_ROL(K_XOR(A##mo, Do), 21);                                             \
    B4 = K_ROL(K_XOR(A##su, Du), 14);                                             \
    E##ba = K_XOR(K_XOR(B0, K_ANDN(B1, B2)), K_RC(round));                        \
    E##be = K_XOR(B1, K_ANDN(B2, B3));                                            \
    E##bi = K_XOR(B2, K_ANDN(B3, B4));                                            \
    E##bo = K_XOR(B3, K_ANDN(B4, B0));                                            \
    E##bu = K_XOR(B4, K_ANDN(B0, B1));                                            \
    B0 = K_ROL(K_XOR(A##bo, Do), 28);                                             \
    B1 = K_ROL(K_XOR(A##gu, Du), 20);                                             \
    B2 = K_ROL(K_XOR(A##ka, Da), 3);                                              \
    B3 = K_ROL(K_XOR(A##me, De), 45);                                             \
    B4 = K_ROL(K_XOR(A##si, Di), 61);                                             \
    E##ga = K_XOR(B0, K_ANDN(B1, B2));                                            \
    E##ge = K_XOR(B1, K_ANDN(B2, B3));                                            \
    E##gi = K_XOR(B2, K_ANDN(B3, B4));                                            \
    E##go = K_XOR(B3, K_ANDN(B4, B0));                                            \
    E##gu = K_XOR(B4, K_ANDN(B0, B1));                                            \
    B0 = K_ROL(K_XOR(A##be, De), 1);                                              \
    B1 = K_ROL(K_XOR(A##gi, Di), 6);                                              \
    B2 = K_ROL(K_XOR(A##ko, Do), 25);                                             \
    B3 = K_ROL(K_XOR(A##mu, Du), 8);                                              \
    B4 = K_ROL(K_XOR(A##sa, Da), 18);                                             \
    E##ka = K_XOR(B0, K_ANDN(B1, B2));                                            \
    E##ke = K_XOR(B1, K_ANDN(B2, B3));                                            \
    E##ki = K_XOR(B2, K_ANDN(B3, B4));                                            \
    E##ko = K_XOR(B3, K_ANDN(B4, B0));                                            \
    E##ku = K_XOR(B4, K_ANDN(B0, B1));                                            \
    B0 = K_ROL(K_XOR(A##bu, Du), 27);                                             \
    B1 = K_ROL(K_XOR(A##ga, Da), 36);                                             \
    B2 = K_ROL(K_XOR(A##ke, De), 10);                                             \
    B3 = K_ROL(K_XOR(A##mi, Di), 15);                                             \
    B4 = K_ROL(K_XOR(A##so, Do), 56);                                             \
    E##ma = K_XOR(B0, K_ANDN(B1, B2));                                            \
    E##me = K_XOR(B1, K_ANDN(B2, B3));                                            \
    E##mi = K_XOR(B2, K_ANDN(B3, B4));                                            \
    E##mo = K_XOR(B3, K_ANDN(B4, B0));                                            \
    E##mu = K_XOR(B4, K_ANDN(B0, B1));                                            \
    B0 = K_ROL(K_XOR(A##bi, Di), 62);                                             \
    B1 = K_ROL(K_XOR(A##go, Do), 55);                                             \
    B2 = K_ROL(K_XOR(A##ku, Du), 39);                                             \
    B3 = K_ROL(K_XOR(A##ma, Da), 41);                                             \
    B4 = K_ROL(K_XOR(A##se, De), 2);                                              \
    E##sa = K_XOR(B0, K_ANDN(B1, B2));                                            \
    E##se = K_XOR(B1, K_ANDN(B2, B3));                                            \
    E##si = K_XOR(B2, K_ANDN(B3, B4));                                            \
    E##so = K_XOR(B3, K_ANDN(B4, B0));                                            \
    E##su = K_XOR(B4, K_ANDN(B0, B1));                                            \
  } while (0)

#define KECCAK_DECLARE(T, P)                                                      \
  T P##ba, P##be, P##bi, P##bo, P##bu, P##ga, P##ge, P##gi, P##go, P##gu, P##ka, \
      P##ke, P##ki, P##ko, P##ku, P##ma, P##me, P##mi, P##mo, P##mu, P##sa, P##se, \
      P##si, P##so, P##su

#define KECCAK_ALL_ROUNDS()                                                       \
  for (int round = 0; round < 24; round += 2) {                                   \
    KECCAK_ROUND(A, E, round);                                                    \
    KECCAK_ROUND(E, A, round + 1);                                                \
  }

// ---- scalar kernel ----
#define K_XOR(a, b) ((a) ^ (b))
#define K_ANDN(a, b) (~(a) & (b))
#define K_ROL(a, n) (((a) << (n)) | ((a) >> (64 - (n))))
#define K_RC(i) kRoundConstants[i]

inline void keccak_f1600(uint64_t st[25]) {
  KECCAK_DECLARE(uint64_t, A);
  KECCAK_DECLARE(uint64_t, E);
  uint64_t B0, B1, B2, B3, B4, Ca, Ce, Ci, Co, Cu, Da, De, Di, Do, Du;
  Aba = st[0]; Abe = st[1]; Abi = st[2]; Abo = st[3]; Abu = st[4];
  Aga = st[5]; Age = st[6]; Agi = st[7]; Ago = st[8]; Agu = st[9];
  Aka = st[10]; Ake = st[11]; Aki = st[12]; Ako = st[13]; Aku = st[14];
  Ama = st[15]; Ame = st[16]; Ami = st[17]; Amo = st[18]; Amu = st[19];
  Asa = st[20]; Ase = st[21]; Asi = st[22]; Aso = st[23]; Asu = st[24];
  KECCAK_ALL_ROUNDS();
  st[0] = Aba; st[1] = Abe; st[2] = Abi; st[3] = Abo; st[4] = Abu;
  st[5] = Aga; st[6] = Age; st[7] = Agi; st[8] = Ago; st[9] = Agu;
  st[10] = Aka; st[11] = Ake; st[12] = Aki; st[13] = Ako; st[14] = Aku;
  st[15] = Ama; st[16] = Ame; st[17] = Ami; st[18] = Amo; st[19] = Amu;
  st[20] = Asa; st[21] = Ase; st[22] = Asi; st[23] = Aso; st[24] = Asu;
}

// One block holding a 32-byte message: lanes 0..3 the message, byte 32 the
// domain bits, byte 135 the final pad bit, everything else zero.
inline void keccak_words(const uint64_t in[4], uint64_t out[4]) {
  KECCAK_DECLARE(uint64_t, A);
  KECCAK_DECLARE(uint64_t, E);
  uint64_t B0, B1, B2, B3, B4, Ca, Ce, Ci, Co, Cu, Da, De, Di, Do, Du;
  Aba = in[0]; Abe = in[1]; Abi = in[2]; Abo = in[3]; Abu = 0x06;
  Aga = Age = Agi = Ago = Agu = 0;
  Aka = Ake = Aki = Ako = Aku = 0;
  Ama = 0; Ame = 0x8000000000000000ULL; Ami = Amo = Amu = 0;
  Asa = Ase = Asi = Aso = Asu = 0;
  KECCAK_ALL_ROUNDS();
  out[0] = Aba; out[1] = Abe; out[2] = Abi; out[3] = Abo;
}

#undef K_XOR
#undef K_ANDN
#undef K_ROL
#undef K_RC

// ---- four-way AVX2 kernel: lane h of every vector belongs to hash h ----
#define K_XOR(a, b) _mm256_xor_si256((a), (b))
#define K_ANDN(a, b) _mm256_andnot_si256((a), (b))
#define K_ROL(a, n) _mm256_or_si256(_mm256_slli_epi64((a), (n)), _mm256_srli_epi64((a), 64 - (n)))
#define K_RC(i) _mm256_set1_epi64x(static_cast<long long>(kRoundConstants[i]))

__attribute__((target("avx2"))) void keccak_words_x4_avx2(const uint64_t in[4][4],
                                                          uint64_t out[4][4]) {
  KECCAK_DECLARE(__m256i, A);
  KECCAK_DECLARE(__m256i, E);
  __m256i B0, B1, B2, B3, B4, Ca, Ce, Ci, Co, Cu, Da, De, Di, Do, Du;
#define GATHER(w)                                                                      \
  _mm256_set_epi64x(static_cast<long long>(in[3][w]), static_cast<long long>(in[2][w]), \
                    static_cast<long long>(in[1][w]), static_cast<long long>(in[0][w]))
  const __m256i zero = _mm256_setzero_si256();
  Aba = GATHER(0); Abe = GATHER(1); Abi = GATHER(2); Abo = GATHER(3);
#undef GATHER
  Abu = _mm256_set1_epi64x(0x06);
  Aga = Age = Agi = Ago = Agu = zero;
  Aka = Ake = Aki = Ako = Aku = zero;
  Ama = zero; Ame = _mm256_set1_epi64x(static_cast<long long>(0x8000000000000000ULL));
  Ami = Amo = Amu = zero;
  Asa = Ase = Asi = Aso = Asu = zero;
  KECCAK_ALL_ROUNDS();
  alignas(32) uint64_t w[4][4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(w[0]), Aba);
  _mm256_store_si256(reinterpret_cast<__m256i*>(w[1]), Abe);
  _mm256_store_si256(reinterpret_cast<__m256i*>(w[2]), Abi);
  _mm256_store_si256(reinterpret_cast<__m256i*>(w[3]), Abo);
  for (int h = 0; h < 4; ++h) {
    for (int k = 0; k < 4; ++k) out[h][k] = w[k][h];
  }
}

#undef K_XOR
#undef K_ANDN
#undef K_ROL
#undef K_RC

using X4Kernel = void (*)(const uint64_t[4][4], uint64_t[4][4]);

X4Kernel pick_x4_kernel() {
  return sha3_internal::avx2_available() ? &keccak_words_x4_avx2
                                         : &sha3_internal::words_x4_portable;
}

}  // namespace

void sha3_256(const uint8_t* data, size_t len, uint8_t out[kSha3DigestSize]) {
  uint64_t st[25] = {0};
  while (len >= kRate) {
    for (size_t i = 0; i < kRate / 8; ++i) st[i] ^= load_le64(data + 8 * i);
    keccak_f1600(st);
    data += kRate;
    len -= kRate;
  }
  uint8_t last[kRate] = {0};
  if (len != 0) std::memcpy(last, data, len);
  last[len] ^= 0x06;
  last[kRate - 1] ^= 0x80;
  for (size_t i = 0; i < kRate / 8; ++i) st[i] ^= load_le64(last + 8 * i);
  keccak_f1600(st);
  for (size_t i = 0; i < 4; ++i) store_le64(out + 8 * i, st[i]);
}

Sha3Digest sha3_256(const uint8_t* data, size_t len) {
  Sha3Digest d;
  sha3_256(data, len, d.data());
  return d;
}

void sha3_256_words(const uint64_t in[4], uint64_t out[4]) { keccak_words(in, out); }

void sha3_256_words_x4(const uint64_t in[4][4], uint64_t out[4][4]) {
  static const X4Kernel kernel = pick_x4_kernel();
  kernel(in, out);
}

namespace sha3_internal {

void words_x4_portable(const uint64_t in[4][4], uint64_t out[4][4]) {
  for (int h = 0; h < 4; ++h) keccak_words(in[h], out[h]);
}

bool avx2_available() { return __builtin_cpu_supports("avx2"); }

void words_x4_avx2(const uint64_t in[4][4], uint64_t out[4][4]) {
  keccak_words_x4_avx2(in, out);
}

}  // namespace sha3_internal
}  // namespace tavrin
