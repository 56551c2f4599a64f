#include "crypto/sealed_record.h"

#include <gtest/gtest.h>
#include <omp.h>
#include <openssl/evp.h>

#include <memory>
#include <random>
#include <set>
#include <string>

#include "crypto_reference.h"

namespace tavrin {
namespace {

using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

Key256 key_from(uint64_t seed) {
  std::mt19937_64 rng(seed);
  Key256 k;
  for (auto& b : k) b = static_cast<uint8_t>(rng());
  return k;
}

Bytes seal(const Bytes& plain, const Key256& key) {
  CtxPtr ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  std::string error;
  Bytes rec = encrypt_record(plain, key, ctx.get(), error);
  EXPECT_EQ(error, "");
  return rec;
}

// Opens a record straight through OpenSSL, to pin the byte layout.
bool openssl_open(const Bytes& rec, const Key256& key, Bytes* plain) {
  CtxPtr ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  const int n = static_cast<int>(rec.size() - 28);
  plain->assign(n, 0);
  int len = 0;
  Bytes tag(rec.end() - 16, rec.end());
  return EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), rec.data()) == 1 &&
         EVP_DecryptUpdate(ctx.get(), plain->data(), &len, rec.data() + 12, n) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), plain->data() + len, &len) == 1;
}

std::string decrypt_error(const Bytes& rec, const Key256& key) {
  std::string slot;
  try {
    decrypt_record(rec, key, slot);
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(slot, e.what());
    return e.what();
  }
  return "";
}

TEST(SealedRecord, LayoutIsIvCiphertextTag) {
  const Key256 key = key_from(1);
  for (size_t n : {0u, 1u, 15u, 16u, 17u, 600u}) {
    Bytes plain(n);
    for (size_t i = 0; i < n; ++i) plain[i] = static_cast<uint8_t>(i * 31 + 7);
    Bytes rec = seal(plain, key);
    ASSERT_EQ(rec.size(), n + 28);
    Bytes via_openssl;
    ASSERT_TRUE(openssl_open(rec, key, &via_openssl)) << n;
    EXPECT_EQ(via_openssl, plain);
    std::string slot;
    EXPECT_EQ(decrypt_record(rec, key, slot), plain);
    EXPECT_EQ(slot, "");
  }
}

TEST(SealedRecord, FreshIvEverySeal) {
  const Key256 key = key_from(2);
  Bytes plain = {'s', 'a', 'm', 'e'};
  Bytes a = seal(plain, key), b = seal(plain, key);
  EXPECT_NE(a, b);
  EXPECT_NE(Bytes(a.begin(), a.begin() + 12), Bytes(b.begin(), b.begin() + 12));
  std::string slot;
  EXPECT_EQ(decrypt_record(a, key, slot), plain);
  EXPECT_EQ(decrypt_record(b, key, slot), plain);
}

TEST(SealedRecord, AnyAlteredByteOrWrongKeyFails) {
  const Key256 key = key_from(3);
  Bytes plain(40);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i);
  const Bytes rec = seal(plain, key);
  for (size_t pos = 0; pos < rec.size(); ++pos) {  // IV, ciphertext and tag bytes
    Bytes bad = rec;
    bad[pos] ^= 0x01;
    EXPECT_EQ(decrypt_error(bad, key), "Decryption final step failed") << "byte " << pos;
  }
  EXPECT_EQ(decrypt_error(rec, key_from(4)), "Decryption final step failed");
  // A truncated record fails too: the tag is read from the wrong place.
  EXPECT_EQ(decrypt_error(Bytes(rec.begin(), rec.end() - 1), key), "Decryption final step failed");
  EXPECT_EQ(decrypt_error(Bytes(27, 0), key), "Failed to decrypt");
  EXPECT_EQ(decrypt_error(Bytes(), key), "Failed to decrypt");
}

TEST(SealedRecord, CallerContextIsReusable) {
  const Key256 k1 = key_from(5), k2 = key_from(6);
  CtxPtr ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  std::string error;
  Bytes p1 = {1, 2, 3}, p2 = {4, 5, 6, 7};
  Bytes r1 = encrypt_record(p1, k1, ctx.get(), error);
  Bytes r2 = encrypt_record(p2, k2, ctx.get(), error);
  EXPECT_EQ(error, "");
  std::string slot;
  EXPECT_EQ(decrypt_record(r1, k1, slot), p1);
  EXPECT_EQ(decrypt_record(r2, k2, slot), p2);
}

ByteMatrix numbered_rows(size_t rows, size_t width) {
  Bytes data(rows * width);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + i / width);
  ByteMatrix m;
  m.rows = rows;
  m.cols = width;
  m.data = std::move(data);
  return m;
}

TEST(SealedRows, RoundTripAndShapes) {
  const Key256 key = key_from(7);
  for (size_t rows : {0u, 1u, 3u, 1000u}) {
    for (size_t width : {1u, 32u, 600u}) {
      ByteMatrix in = numbered_rows(rows, width);
      ByteMatrix sealed = encrypt_rows(in, key);
      EXPECT_EQ(sealed.rows, rows);
      EXPECT_EQ(sealed.cols, width + 28);
      for (size_t r = 0; r < rows; ++r) {  // each row is a record on its own
        Bytes row(sealed.row(r), sealed.row(r) + sealed.cols), plain;
        ASSERT_TRUE(openssl_open(row, key, &plain)) << "row " << r;
        ASSERT_EQ(plain, Bytes(in.row(r), in.row(r) + width));
      }
      ByteMatrix opened = decrypt_rows(sealed, key);
      EXPECT_EQ(opened.rows, rows);
      EXPECT_EQ(opened.cols, width);
      EXPECT_EQ(opened.data, in.data);
    }
  }
}

TEST(SealedRows, FewerRowsThanThreadsSealsEachRowOnce) {
  const Key256 key = key_from(8);
  const int saved = omp_get_max_threads();
  for (int threads : {1, 2, 5, 8}) {
    omp_set_num_threads(threads);
    for (size_t rows = 1; rows <= 9; ++rows) {
      ByteMatrix in = numbered_rows(rows, 5);
      ByteMatrix sealed = encrypt_rows(in, key);
      std::set<Bytes> ivs;
      for (size_t r = 0; r < rows; ++r) {
        ivs.insert(Bytes(sealed.row(r), sealed.row(r) + 12));
        std::string slot;
        Bytes row(sealed.row(r), sealed.row(r) + sealed.cols);
        ASSERT_EQ(decrypt_record(row, key, slot), Bytes(in.row(r), in.row(r) + 5))
            << threads << " threads, row " << r << " of " << rows;
      }
      EXPECT_EQ(ivs.size(), rows);
      EXPECT_EQ(decrypt_rows(sealed, key).data, in.data);
    }
  }
  omp_set_num_threads(saved);
}

TEST(SealedRows, FailuresAreCountedAndNothingReturned) {
  const Key256 key = key_from(9);
  ByteMatrix sealed = encrypt_rows(numbered_rows(3, 10), key);
  sealed.row(1)[20] ^= 0x80;
  try {
    decrypt_rows(sealed, key);
    FAIL() << "altered row accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to decrypt 1 ciphertexts");
  }
  try {
    decrypt_rows(sealed, key_from(10));
    FAIL() << "wrong key accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to decrypt 3 ciphertexts");
  }
}

TEST(SealedRows, ShortAndEmptyRows) {
  const Key256 key = key_from(11);
  // Rows too short to be records are refused up front, not read past.
  ByteMatrix short_rows(Bytes(3 * 27, 0), 27);
  try {
    decrypt_rows(short_rows, key);
    FAIL() << "27-byte rows accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("at least 28 bytes"), std::string::npos) << e.what();
  }
  // Zero rows: shapes follow the row width.
  ByteMatrix none = decrypt_rows(ByteMatrix(Bytes(), 40), key);
  EXPECT_EQ(none.rows, 0u);
  EXPECT_EQ(none.cols, 12u);
  EXPECT_EQ(encrypt_rows(ByteMatrix(Bytes(), 4), key).cols, 32u);
  // Records of empty plaintexts (28 bytes each) open to empty rows.
  ByteMatrix empties;
  empties.rows = 2;
  empties.cols = 28;
  for (int i = 0; i < 2; ++i) {
    Bytes rec = seal(Bytes(), key);
    empties.data.insert(empties.data.end(), rec.begin(), rec.end());
  }
  ByteMatrix opened = decrypt_rows(empties, key);
  EXPECT_EQ(opened.rows, 2u);
  EXPECT_EQ(opened.cols, 0u);
  // A matrix whose buffer disagrees with its shape is refused, not overread.
  ByteMatrix lying = numbered_rows(2, 40);
  lying.rows = 3;
  EXPECT_THROW(encrypt_rows(lying, key), std::invalid_argument);
  EXPECT_THROW(decrypt_rows(lying, key), std::invalid_argument);
}

std::vector<Bytes> sample_items(size_t n) {
  std::vector<Bytes> items(n);
  for (size_t i = 0; i < n; ++i) items[i].assign(i % 97, static_cast<uint8_t>(i));
  return items;
}

TEST(SealedItems, RoundTripWithOneAndManyThreads) {
  const Key256 key = key_from(12);
  const auto items = sample_items(500);
  const int saved = omp_get_max_threads();
  for (int threads : {1, 4}) {
    omp_set_num_threads(threads);
    auto sealed = encrypt_items(items, key);
    ASSERT_EQ(sealed.size(), items.size());
    std::set<Bytes> ivs;
    for (size_t i = 0; i < items.size(); ++i) {
      ASSERT_EQ(sealed[i].size(), items[i].size() + 28);
      ivs.insert(Bytes(sealed[i].begin(), sealed[i].begin() + 12));
      Bytes plain;
      ASSERT_TRUE(openssl_open(sealed[i], key, &plain)) << "item " << i;
      ASSERT_EQ(plain, items[i]);
    }
    EXPECT_EQ(ivs.size(), items.size());
    for (int open_threads : {1, 3}) {
      omp_set_num_threads(open_threads);
      EXPECT_EQ(decrypt_items(sealed, key), items);
    }
  }
  omp_set_num_threads(saved);
  EXPECT_TRUE(encrypt_items({}, key).empty());
  EXPECT_TRUE(decrypt_items({}, key).empty());
}

TEST(SealedItems, EmptyEntriesPassThrough) {
  const Key256 key = key_from(13);
  auto sealed = encrypt_items({{'a'}, {'b', 'c'}, {'d'}}, key);
  sealed[1].clear();
  testing::internal::CaptureStderr();
  auto opened = decrypt_items(sealed, key);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(opened, (std::vector<Bytes>{{'a'}, {}, {'d'}}));
}

TEST(SealedItems, OneCorruptItemReportsItsLineAndThrows) {
  const Key256 key = key_from(14);
  auto sealed = encrypt_items(sample_items(200), key);
  sealed[137][5] ^= 1;
  sealed[40].resize(10);  // too short to be a record
  testing::internal::CaptureStderr();
  EXPECT_THROW(decrypt_items(sealed, key), std::runtime_error);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error for item 40: Failed to decrypt\n"
            "Error for item 137: Decryption final step failed\n");
}

}  // namespace
}  // namespace tavrin
