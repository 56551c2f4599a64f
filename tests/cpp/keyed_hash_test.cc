#include "crypto/keyed_hash.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <random>
#include <string>

#include "crypto_reference.h"

namespace tavrin {
namespace {

uint64_t reference_token(const Key256& subkey, const std::string& id) {
  std::vector<uint8_t> buf(subkey.begin(), subkey.end());
  buf.insert(buf.end(), id.begin(), id.end());
  return testref::be64(testref::openssl_sha3(buf).data());
}

// HMAC is RFC 2104 over SHA3-256 for messages around the block size; the
// 64-bit forms are the digest's first eight bytes, big-endian; index keys are
// HMACs of the name and its suffixes.
TEST(KeyedHash, HmacSixtyFourBitFormsAndIndexKeysFollowTheirConstructions) {
  std::mt19937_64 rng(11);
  for (size_t len : {0u, 1u, 31u, 135u, 136u, 137u, 500u}) {
    Key256 key = testref::random_array<32>(rng);
    auto msg = testref::random_bytes(rng, len);
    Key256 mac = hmac_sha3_256(key, msg.data(), msg.size());
    testref::Digest ref = testref::rfc2104_hmac(key.data(), key.size(), msg);
    EXPECT_EQ(testref::hex(mac.data(), 32), testref::hex(ref.data(), 32)) << "length " << len;
    EXPECT_EQ(sha3_u64(msg.data(), msg.size()), testref::be64(testref::openssl_sha3(msg).data()));
  }
  EXPECT_EQ(sha3_u64(nullptr, 0), 0xa7ffc6f8bf1ed766ULL);  // FIPS 202 empty message
  Key256 k = testref::random_array<32>(rng);
  EXPECT_EQ(hmac_u64(k, "products"), testref::be64(hmac_sha3_256(k, "products").data()));
  IndexKeys keys = derive_index_keys(k, "idx");
  auto ref = [&](const std::string& data) {
    testref::Digest d = testref::rfc2104_hmac(k.data(), k.size(), {data.begin(), data.end()});
    return testref::hex(d.data(), 32);
  };
  EXPECT_EQ(testref::hex(keys.name_key.data(), 32), ref("idx"));
  EXPECT_EQ(testref::hex(keys.data_key.data(), 32), ref("idx.data"));
  EXPECT_EQ(testref::hex(keys.content_key.data(), 32), ref("idx.content"));
  EXPECT_EQ(testref::hex(keys.metadata_key.data(), 32), ref("idx.centroid_metadata"));
  EXPECT_EQ(keys.hashed_index_name, hmac_u64(k, "idx"));
}

// Identifiers of every length around the one-block limit (103 bytes after the
// 32-byte subkey), mixed so that groups of four are sometimes all short and
// sometimes not, plus case, trailing-space and embedded-NUL variants; enough
// of them to take the parallel path, with a long one that regrows a thread's
// buffer mid-way.
TEST(KeyedHash, ItemTokensArePrefixKeyedSha3) {
  std::mt19937_64 rng(16);
  Key256 data_key = testref::random_array<32>(rng), content_key = testref::random_array<32>(rng);
  std::vector<std::string> ids = {"a", "A", "a ", "", std::string("nul\0inside", 10)};
  for (int round = 0; round < 4; ++round) {
    for (size_t len = 0; len <= 140; ++len) {
      for (int rep = 0; rep < 4; ++rep) {
        auto bytes = testref::random_bytes(rng, rep == 3 ? 200 - len : len);
        ids.emplace_back(bytes.begin(), bytes.end());
      }
    }
  }
  ids[1000] = std::string(2000, 'q');
  const int saved = omp_get_max_threads();
  omp_set_num_threads(4);
  auto tokens = item_tokens(ids, data_key);
  omp_set_num_threads(saved);
  ASSERT_EQ(tokens.size(), ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    ASSERT_EQ(tokens[i], reference_token(data_key, ids[i]))
        << "id " << i << " of " << ids[i].size() << " bytes";
  }
  EXPECT_NE(tokens[0], tokens[1]);
  EXPECT_NE(tokens[0], tokens[2]);
  EXPECT_NE(item_tokens({"a"}, content_key)[0], tokens[0]);
  EXPECT_TRUE(item_tokens({}, data_key).empty());
}

}  // namespace
}  // namespace tavrin
