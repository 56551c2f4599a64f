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

TEST(Sha3, Fips202TestValues) {
  EXPECT_EQ(sha3_hex(""), "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a");
  EXPECT_EQ(sha3_hex("abc"), "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532");
  EXPECT_EQ(sha3_hex(std::string(1000000, 'a')),
            "5c8875ae474a3634ba4fd55ec85bffd661f32aca75c6d699d0cdcb6c115891c1");
}

// Every length from 0 to 300 covers empty, partial, exactly-full (136) and
// multi-block inputs, and the pad byte landing on the last byte of a block;
// both the dispatched and the portable kernel.
TEST(Sha3, MatchesOpenSslOnRandomInputsOfEveryLength) {
  std::mt19937_64 rng(0x5a3);
  for (size_t len = 0; len <= 300; ++len) {
    for (int rep = 0; rep < 3; ++rep) {
      auto msg = testref::random_bytes(rng, len);
      const std::string ref = testref::hex(testref::openssl_sha3(msg).data(), 32);
      Sha3Digest ours = sha3_256(msg.data(), msg.size());
      uint8_t portable[32];
      sha3_internal::digest_portable(msg.data(), msg.size(), portable);
      ASSERT_EQ(testref::hex(ours.data(), 32), ref) << "length " << len;
      ASSERT_EQ(testref::hex(portable, 32), ref) << "length " << len;
    }
  }
}

// The 32-byte word forms, single and four-way, on every kernel this CPU runs.
TEST(Sha3, WordFormsMatchOpenSsl) {
  std::mt19937_64 rng(7);
  using X4 = void (*)(const uint64_t[4][4], uint64_t[4][4]);
  std::vector<X4> kernels = {&sha3_256_words_x4, &sha3_internal::words_x4_portable};
  if (sha3_internal::avx2_available()) kernels.push_back(&sha3_internal::words_x4_avx2);
  if (sha3_internal::avx512_available()) kernels.push_back(&sha3_internal::words_x4_avx512);
  for (int rep = 0; rep < 100; ++rep) {
    uint64_t in[4][4], single[4], out[4][4];
    for (auto& h : in)
      for (auto& w : h) w = rng();
    for (int h = 0; h < 4; ++h) {
      uint8_t bytes[32];
      for (int w = 0; w < 4; ++w) EncodeFixed64(bytes + 8 * w, in[h][w]);
      testref::Digest ref = testref::openssl_sha3(bytes, 32);
      sha3_256_words(in[h], single);
      for (int w = 0; w < 4; ++w) ASSERT_EQ(single[w], DecodeFixed64(ref.data() + 8 * w));
    }
    for (X4 kernel : kernels) {
      kernel(in, out);
      for (int h = 0; h < 4; ++h) {
        sha3_256_words(in[h], single);
        for (int w = 0; w < 4; ++w) ASSERT_EQ(out[h][w], single[w]);
      }
    }
  }
}

TEST(Sha3, BlockFormMatchesOpenSsl) {
  std::mt19937_64 rng(8);
  const uint8_t prefix[3] = {'p', 'r', 'e'};
  for (size_t base = 0; base <= kSha3MaxOneBlock - 3 - 3; base += 11) {
    uint64_t blocks[4][17], out[4][4], portable[4][4];
    std::vector<std::vector<uint8_t>> msgs;
    for (int h = 0; h < 4; ++h) {
      msgs.push_back(testref::random_bytes(rng, base + h));
      sha3_pad_block(prefix, 3, msgs[h].data(), msgs[h].size(), blocks[h]);
    }
    sha3_256_blocks_x4(blocks, out);
    sha3_internal::blocks_x4_portable(blocks, portable);
    for (int h = 0; h < 4; ++h) {
      std::vector<uint8_t> whole(prefix, prefix + 3);
      whole.insert(whole.end(), msgs[h].begin(), msgs[h].end());
      testref::Digest ref = testref::openssl_sha3(whole);
      for (int w = 0; w < 4; ++w) {
        ASSERT_EQ(out[h][w], DecodeFixed64(ref.data() + 8 * w)) << "length " << whole.size();
        ASSERT_EQ(portable[h][w], out[h][w]);
      }
    }
  }
}

}  // namespace
}  // namespace tavrin
