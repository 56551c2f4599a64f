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
  EXPECT_EQ(sha3_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "41c0dba2a9d6240849100376a8235e2c82e1b9998a999e21db32dd97496d3376");
  EXPECT_EQ(sha3_hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                     "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
            "916f6061fe879741ca6469b43971dfdb28b1a32dc36cb3254e812be27aad1d18");
  EXPECT_EQ(sha3_hex(std::string(1000000, 'a')),
            "5c8875ae474a3634ba4fd55ec85bffd661f32aca75c6d699d0cdcb6c115891c1");
}

// Every length from 0 to 300 covers empty, partial, exactly-full (136) and
// multi-block inputs, and the pad byte landing on the last byte of a block.
TEST(Sha3, MatchesOpenSslOnRandomInputsOfEveryLength) {
  std::mt19937_64 rng(0x5a3);
  for (size_t len = 0; len <= 300; ++len) {
    for (int rep = 0; rep < 12; ++rep) {
      auto msg = testref::random_bytes(rng, len);
      Sha3Digest ours = sha3_256(msg.data(), msg.size());
      testref::Digest ref = testref::openssl_sha3(msg);
      ASSERT_EQ(testref::hex(ours.data(), 32), testref::hex(ref.data(), 32)) << "length " << len;
      uint8_t portable[32];
      sha3_internal::digest_portable(msg.data(), msg.size(), portable);
      ASSERT_EQ(testref::hex(portable, 32), testref::hex(ref.data(), 32)) << "length " << len;
    }
  }
}

TEST(Sha3, WordFormsMatchTheByteForm) {
  std::mt19937_64 rng(7);
  for (int rep = 0; rep < 200; ++rep) {
    uint64_t in[4][4], out_x4[4][4], out_portable[4][4];
    for (auto& h : in)
      for (auto& w : h) w = rng();
    sha3_256_words_x4(in, out_x4);
    sha3_internal::words_x4_portable(in, out_portable);
    for (int h = 0; h < 4; ++h) {
      uint8_t bytes[32];
      for (int w = 0; w < 4; ++w) store_le64(bytes + 8 * w, in[h][w]);
      testref::Digest ref = testref::openssl_sha3(bytes, 32);
      uint64_t single[4];
      sha3_256_words(in[h], single);
      for (int w = 0; w < 4; ++w) {
        ASSERT_EQ(single[w], load_le64(ref.data() + 8 * w));
        ASSERT_EQ(out_x4[h][w], single[w]);
        ASSERT_EQ(out_portable[h][w], single[w]);
      }
    }
    // Every kernel this CPU can run, whichever the dispatcher picked.
    if (sha3_internal::avx2_available()) {
      uint64_t out_avx2[4][4];
      sha3_internal::words_x4_avx2(in, out_avx2);
      for (int h = 0; h < 4; ++h)
        for (int w = 0; w < 4; ++w) ASSERT_EQ(out_avx2[h][w], out_portable[h][w]);
    }
    if (sha3_internal::avx512_available()) {
      uint64_t out_avx512[4][4];
      sha3_internal::words_x4_avx512(in, out_avx512);
      for (int h = 0; h < 4; ++h)
        for (int w = 0; w < 4; ++w) ASSERT_EQ(out_avx512[h][w], out_portable[h][w]);
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
        ASSERT_EQ(out[h][w], load_le64(ref.data() + 8 * w)) << "length " << whole.size();
        ASSERT_EQ(portable[h][w], out[h][w]);
      }
    }
  }
}

TEST(Sha3, WordFormMayHashInPlace) {
  uint64_t s[4] = {1, 2, 3, 4}, copy[4] = {1, 2, 3, 4}, expect[4];
  sha3_256_words(copy, expect);
  sha3_256_words(s, s);
  for (int w = 0; w < 4; ++w) EXPECT_EQ(s[w], expect[w]);
}

}  // namespace
}  // namespace tavrin
