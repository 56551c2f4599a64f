#include "crypto/keyed_hash.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <random>
#include <set>
#include <string>

#include "crypto_reference.h"

namespace tavrin {
namespace {

Key256 random_key(std::mt19937_64& rng) {
  Key256 k;
  for (auto& b : k) b = static_cast<uint8_t>(rng());
  return k;
}

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

TEST(KeyedHash, HmacIsRfc2104OverSha3) {
  std::mt19937_64 rng(11);
  for (size_t len : {0u, 1u, 31u, 135u, 136u, 137u, 500u}) {
    Key256 key = random_key(rng);
    auto msg = testref::random_bytes(rng, len);
    Key256 mac = hmac_sha3_256(key, msg.data(), msg.size());
    testref::Digest ref = testref::rfc2104_hmac(key.data(), key.size(), msg);
    EXPECT_EQ(testref::hex(mac.data(), 32), testref::hex(ref.data(), 32)) << "length " << len;
  }
}

TEST(KeyedHash, SixtyFourBitFormsAreTheDigestPrefixBigEndian) {
  std::mt19937_64 rng(12);
  Key256 key = random_key(rng);
  const std::string name = "products";
  Key256 mac = hmac_sha3_256(key, name);
  EXPECT_EQ(hmac_u64(key, name), testref::be64(mac.data()));

  auto msg = testref::random_bytes(rng, 32);
  EXPECT_EQ(sha3_u64(msg.data(), msg.size()), testref::be64(testref::openssl_sha3(msg).data()));
  // The empty-message digest begins a7ffc6f8bf1ed766.
  EXPECT_EQ(sha3_u64(nullptr, 0), 0xa7ffc6f8bf1ed766ULL);
}

TEST(KeyedHash, DeriveIndexKeysUsesNameAndSuffixes) {
  std::mt19937_64 rng(13);
  Key256 k = random_key(rng);
  const std::string name = "idx";
  IndexKeys keys = derive_index_keys(k, name);
  auto ref = [&](const std::string& data) {
    testref::Digest d = testref::rfc2104_hmac(k.data(), k.size(), bytes_of(data));
    return testref::hex(d.data(), 32);
  };
  EXPECT_EQ(testref::hex(keys.name_key.data(), 32), ref("idx"));
  EXPECT_EQ(testref::hex(keys.data_key.data(), 32), ref("idx.data"));
  EXPECT_EQ(testref::hex(keys.content_key.data(), 32), ref("idx.content"));
  EXPECT_EQ(testref::hex(keys.metadata_key.data(), 32), ref("idx.centroid_metadata"));
  EXPECT_EQ(keys.hashed_index_name, hmac_u64(k, name));

  // Reopening gives the same keys; another name gives unrelated ones.
  IndexKeys again = derive_index_keys(k, name);
  EXPECT_EQ(again.data_key, keys.data_key);
  IndexKeys other = derive_index_keys(k, "idx2");
  EXPECT_NE(other.name_key, keys.name_key);
  EXPECT_NE(other.data_key, keys.data_key);
  EXPECT_NE(other.hashed_index_name, keys.hashed_index_name);
}

TEST(KeyedHash, ItemTokensArePrefixKeyedSha3) {
  std::mt19937_64 rng(14);
  Key256 data_key = random_key(rng), content_key = random_key(rng);
  const std::vector<std::string> ids = {
      "a", "A", "a ", "", std::string(300, 'x'), std::string("nul\0inside", 10)};
  auto tokens = item_tokens(ids, data_key);
  ASSERT_EQ(tokens.size(), ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    std::vector<uint8_t> buf(data_key.begin(), data_key.end());
    buf.insert(buf.end(), ids[i].begin(), ids[i].end());
    EXPECT_EQ(tokens[i], testref::be64(testref::openssl_sha3(buf).data())) << "id " << i;
  }
  EXPECT_EQ(std::set<uint64_t>(tokens.begin(), tokens.end()).size(), ids.size());
  auto content = item_tokens(ids, content_key);
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_NE(content[i], tokens[i]);
  EXPECT_TRUE(item_tokens({}, data_key).empty());
}

// Lengths around the one-block limit (103 bytes of identifier after the
// 32-byte subkey), mixed so that groups of four are sometimes all short and
// sometimes not.
TEST(KeyedHash, ItemTokensOfEveryLengthMatchOpenSsl) {
  std::mt19937_64 rng(16);
  Key256 key = random_key(rng);
  std::vector<std::string> ids;
  for (size_t len = 0; len <= 140; ++len) {
    for (int rep = 0; rep < 4; ++rep) {
      auto bytes = testref::random_bytes(rng, rep == 3 ? 200 - len : len);
      ids.emplace_back(bytes.begin(), bytes.end());
    }
  }
  auto tokens = item_tokens(ids, key);
  for (size_t i = 0; i < ids.size(); ++i) {
    std::vector<uint8_t> buf(key.begin(), key.end());
    buf.insert(buf.end(), ids[i].begin(), ids[i].end());
    ASSERT_EQ(tokens[i], testref::be64(testref::openssl_sha3(buf).data()))
        << "id " << i << " of " << ids[i].size() << " bytes";
  }
}

TEST(KeyedHash, ItemTokensSameWithOneAndManyThreads) {
  std::mt19937_64 rng(15);
  Key256 key = random_key(rng);
  std::vector<std::string> ids;
  for (int i = 0; i < 10000; ++i) ids.push_back("item-" + std::to_string(i * 7919));
  ids[500] = std::string(2000, 'q');  // a long one mid-way regrows a thread's buffer
  const int saved = omp_get_max_threads();
  omp_set_num_threads(1);
  auto one = item_tokens(ids, key);
  omp_set_num_threads(4);
  auto many = item_tokens(ids, key);
  omp_set_num_threads(saved);
  EXPECT_EQ(one, many);
  std::vector<uint8_t> buf(key.begin(), key.end());
  buf.insert(buf.end(), ids[500].begin(), ids[500].end());
  EXPECT_EQ(many[500], testref::be64(testref::openssl_sha3(buf).data()));
}

}  // namespace
}  // namespace tavrin
