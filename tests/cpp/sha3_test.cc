#include "crypto/sha3.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "crypto_reference.h"

namespace tavrin {
namespace {

std::string sha3_hex(const std::string& msg) {
  Sha3Digest d = sha3_256(reinterpret_cast<const uint8_t*>(msg.data()), msg.size());
  return testref::hex(d.data(), d.size());
}

// Published FIPS 202 values, then every length from 0 to 300: empty,
// partial, exactly-full (136) and multi-block inputs, and the pad byte
// landing on the last byte of a block; both the dispatched and the portable
// kernel.
TEST(Sha3, MatchesOpenSslOnRandomInputsOfEveryLength) {
  EXPECT_EQ(sha3_hex(""), "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a");
  EXPECT_EQ(sha3_hex("abc"), "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532");
  EXPECT_EQ(sha3_hex(std::string(1000000, 'a')),
            "5c8875ae474a3634ba4fd55ec85bffd661f32aca75c6d699d0cdcb6c115891c1");
  std::mt19937_64 rng(0x5a3);
  for (size_t len = 0; len <= 300; ++len) {
    for (int rep = 0; rep < 3; ++rep) {
      auto msg = testref::random_bytes(rng, len);
      const std::string ref = testref::hex(testref::openssl_sha3(msg).data(), 32);
      uint8_t portable[32];
      sha3_internal::digest_portable(msg.data(), msg.size(), portable);
      ASSERT_EQ(testref::hex(sha3_256(msg.data(), msg.size()).data(), 32), ref) << len;
      ASSERT_EQ(testref::hex(portable, 32), ref) << "length " << len;
    }
  }
}

// The 32-byte word forms, single and four-way, and the four-way one-block
// form (a prefix and messages of every length that fits), on every kernel
// this CPU runs.
TEST(Sha3, WordAndBlockFormsMatchOpenSslOnEveryKernel) {
  std::mt19937_64 rng(7);
  using X4 = void (*)(const uint64_t[4][4], uint64_t[4][4]);
  std::vector<X4> kernels = {&sha3_256_words_x4, &sha3_internal::words_x4_portable};
  if (sha3_internal::avx2_available()) kernels.push_back(&sha3_internal::words_x4_avx2);
  if (sha3_internal::avx512_available()) kernels.push_back(&sha3_internal::words_x4_avx512);
  const uint8_t prefix[3] = {'p', 'r', 'e'};
  for (size_t rep = 0; rep <= kSha3MaxOneBlock - 3 - 3; ++rep) {
    uint64_t in[4][4], single[4], out[4][4], blocks[4][17], portable[4][4];
    std::vector<uint8_t> whole[4];
    for (int h = 0; h < 4; ++h) {
      for (auto& w : in[h]) w = rng();
      uint8_t bytes[32];
      for (int w = 0; w < 4; ++w) EncodeFixed64(bytes + 8 * w, in[h][w]);
      const testref::Digest ref = testref::openssl_sha3(bytes, 32);
      sha3_256_words(in[h], single);
      for (int w = 0; w < 4; ++w) ASSERT_EQ(single[w], DecodeFixed64(ref.data() + 8 * w));
      const std::vector<uint8_t> msg =
          testref::random_bytes(rng, (rep + h * 37) % (kSha3MaxOneBlock - 2));
      sha3_pad_block(prefix, 3, msg.data(), msg.size(), blocks[h]);
      whole[h].assign(prefix, prefix + 3);
      whole[h].insert(whole[h].end(), msg.begin(), msg.end());
    }
    for (X4 kernel : kernels) {
      kernel(in, out);
      for (int h = 0; h < 4; ++h) {
        sha3_256_words(in[h], single);
        for (int w = 0; w < 4; ++w) ASSERT_EQ(out[h][w], single[w]);
      }
    }
    sha3_256_blocks_x4(blocks, out);
    sha3_internal::blocks_x4_portable(blocks, portable);
    for (int h = 0; h < 4; ++h) {
      const testref::Digest ref = testref::openssl_sha3(whole[h]);
      for (int w = 0; w < 4; ++w) {
        ASSERT_EQ(out[h][w], DecodeFixed64(ref.data() + 8 * w)) << "length " << whole[h].size();
        ASSERT_EQ(portable[h][w], out[h][w]);
      }
    }
  }
}

}  // namespace
}  // namespace tavrin
