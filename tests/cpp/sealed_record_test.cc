#include "crypto/sealed_record.h"

#include <gtest/gtest.h>
#include <omp.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "test_util.h"

namespace tavrin {
namespace {

using ::tavrin::testing::error_text;
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

Key256 key_from(uint64_t seed) {
  std::mt19937_64 rng(seed);
  Key256 k;
  for (auto& b : k) b = static_cast<uint8_t>(rng());
  return k;
}

Bytes seal(const Bytes& plain, const Key256& key) { return seal_record(ByteView(plain), key); }

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
  return error_text<std::runtime_error>([&] { open_record(ByteView(rec), key); });
}

// Every seal of the same plaintext gets its own IV.
TEST(SealedRecord, LayoutIsIvCiphertextTag) {
  for (size_t n : {0u, 1u, 16u, 17u, 600u}) {
    const Key256 key = key_from(n);
    Bytes plain(n);
    for (size_t i = 0; i < n; ++i) plain[i] = static_cast<uint8_t>(i * 31 + 7);
    Bytes rec = seal(plain, key);
    Bytes again = seal(plain, key);
    ASSERT_EQ(rec.size(), n + 28);
    EXPECT_NE(Bytes(rec.begin(), rec.begin() + 12), Bytes(again.begin(), again.begin() + 12));
    Bytes via_openssl;
    ASSERT_TRUE(openssl_open(rec, key, &via_openssl)) << n;
    EXPECT_EQ(via_openssl, plain);
    EXPECT_EQ(open_record(ByteView(rec), key), plain);
    EXPECT_EQ(open_record(ByteView(again), key), plain);
  }
}

TEST(SealedRecord, AnyAlteredByteWrongKeyOrShortRecordFails) {
  const Key256 key = key_from(3);
  const Bytes rec = seal(Bytes(40, 5), key);
  for (size_t pos = 0; pos < rec.size(); ++pos) {  // IV, ciphertext and tag bytes
    Bytes bad = rec;
    bad[pos] ^= 0x01;
    EXPECT_EQ(decrypt_error(bad, key), "Decryption final step failed") << "byte " << pos;
  }
  EXPECT_EQ(decrypt_error(rec, key_from(4)), "Decryption final step failed");
  EXPECT_EQ(decrypt_error(Bytes(rec.begin(), rec.end() - 1), key), "Decryption final step failed");
  EXPECT_EQ(decrypt_error(Bytes(27, 0), key), "Failed to decrypt");
  EXPECT_EQ(decrypt_error(Bytes(), key), "Failed to decrypt");
}

// A plaintext whose record would pass the int limit is refused before its
// bytes are read or memory reserved: such a record could never be opened.
TEST(SealedRecord, RecordPastTheIntLimitIsRefused) {
  const uint8_t byte = 0;
  for (size_t len : {size_t{INT_MAX} - 27, size_t{INT_MAX}}) {
    EXPECT_NE(error_text<std::runtime_error>([&] { seal_record(ByteView(&byte, len), key_from(1)); }),
              "")
        << len;
  }
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

// Row counts below, at and above the team size: every row sealed exactly
// once as a record of its own, with its own IV.
TEST(SealedRows, RoundTripAndShapes) {
  const Key256 key = key_from(7);
  const int saved = omp_get_max_threads();
  omp_set_num_threads(5);
  for (size_t rows : {0u, 1u, 3u, 4u, 1000u}) {
    for (size_t width : {1u, 600u}) {
      ByteMatrix in = numbered_rows(rows, width);
      ByteMatrix sealed = encrypt_rows(in, key);
      EXPECT_EQ(sealed.rows, rows);
      EXPECT_EQ(sealed.cols, width + 28);
      std::set<Bytes> ivs;
      for (size_t r = 0; r < rows; ++r) {
        Bytes row(sealed.row(r), sealed.row(r) + sealed.cols), plain;
        ASSERT_TRUE(openssl_open(row, key, &plain)) << "row " << r;
        ASSERT_EQ(plain, Bytes(in.row(r), in.row(r) + width));
        ivs.insert(Bytes(row.begin(), row.begin() + 12));
      }
      EXPECT_EQ(ivs.size(), rows);
      ByteMatrix opened = decrypt_rows(sealed, key);
      EXPECT_EQ(opened.rows, rows);
      EXPECT_EQ(opened.cols, width);
      EXPECT_EQ(opened.data, in.data);
    }
  }
  omp_set_num_threads(saved);
}

// A failed row does not spoil the context for the rows after it.
TEST(SealedRows, FailuresAreCountedAndNothingReturned) {
  const Key256 key = key_from(9);
  ByteMatrix sealed = encrypt_rows(numbered_rows(3, 10), key);
  sealed.row(1)[20] ^= 0x80;
  EXPECT_EQ(error_text<std::runtime_error>([&] { decrypt_rows(sealed, key); }),
            "Failed to decrypt 1 ciphertexts");
  EXPECT_EQ(error_text<std::runtime_error>([&] { decrypt_rows(sealed, key_from(10)); }),
            "Failed to decrypt 3 ciphertexts");
}

TEST(SealedRows, ShortAndEmptyRows) {
  const Key256 key = key_from(11);
  // Rows too short to be records are refused up front, not read past.
  EXPECT_THROW(decrypt_rows(ByteMatrix(Bytes(3 * 27, 0), 27), key), std::runtime_error);
  // Zero rows: shapes follow the row width.
  ByteMatrix none = decrypt_rows(ByteMatrix(Bytes(), 40), key);
  EXPECT_EQ(none.rows, 0u);
  EXPECT_EQ(none.cols, 12u);
  EXPECT_EQ(encrypt_rows(ByteMatrix(Bytes(), 4), key).cols, 32u);
  // Records of empty plaintexts (28 bytes each) open to empty rows.
  Bytes records = seal(Bytes(), key), second = seal(Bytes(), key);
  records.insert(records.end(), second.begin(), second.end());
  ByteMatrix opened = decrypt_rows(ByteMatrix(records, 28), key);
  EXPECT_EQ(opened.rows, 2u);
  EXPECT_EQ(opened.cols, 0u);
  // A matrix whose buffer disagrees with its shape is refused, not overread.
  ByteMatrix lying = numbered_rows(2, 40);
  lying.rows = 3;
  EXPECT_THROW(encrypt_rows(lying, key), std::invalid_argument);
  EXPECT_THROW(decrypt_rows(lying, key), std::invalid_argument);
  ByteMatrix endless;  // zero-width rows whose records would overflow the output size
  endless.rows = uint64_t{1} << 62;
  EXPECT_THROW(encrypt_rows(endless, key), std::runtime_error);
}

TEST(SealedItems, RoundTripWithOneAndManyThreads) {
  const Key256 key = key_from(12);
  std::vector<Bytes> items(500);
  for (size_t i = 0; i < items.size(); ++i) items[i].assign(i % 97, static_cast<uint8_t>(i));
  const int saved = omp_get_max_threads();
  for (int threads : {1, 4}) {
    omp_set_num_threads(threads);
    auto sealed = encrypt_items(items, key);
    ASSERT_EQ(sealed.size(), items.size());
    std::set<Bytes> ivs;
    for (size_t i = 0; i < items.size(); ++i) {
      Bytes plain;
      ASSERT_TRUE(openssl_open(sealed[i], key, &plain)) << "item " << i;
      ASSERT_EQ(plain, items[i]);
      ivs.insert(Bytes(sealed[i].begin(), sealed[i].begin() + 12));
    }
    EXPECT_EQ(ivs.size(), items.size());
    omp_set_num_threads(5 - threads);
    EXPECT_EQ(decrypt_items(sealed, key), items);
  }
  omp_set_num_threads(saved);
  EXPECT_TRUE(encrypt_items({}, key).empty());
  EXPECT_TRUE(decrypt_items({}, key).empty());
}

// Empty entries (deleted items) pass through silently; each bad record gets
// its own line, in item order, and the batch fails.
TEST(SealedItems, EmptyEntriesPassAndBadRecordsAreReported) {
  const Key256 key = key_from(14);
  std::vector<Bytes> plain(200, Bytes{'p', 'q'});
  auto sealed = encrypt_items(plain, key);
  plain[3].clear();
  sealed[3].clear();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(decrypt_items(sealed, key), plain);
  // The packed form holds the same plaintexts back to back.
  const OpenedItems packed = decrypt_items_packed(sealed, key);
  ASSERT_EQ(packed.offsets.size(), plain.size() + 1);
  for (size_t i = 0; i < plain.size(); ++i) {
    EXPECT_EQ(Bytes(packed.data.begin() + packed.offsets[i],
                    packed.data.begin() + packed.offsets[i + 1]),
              plain[i]);
  }
  EXPECT_EQ(packed.offsets.back(), packed.data.size());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

  sealed[137][5] ^= 1;
  sealed[40].resize(10);  // too short to be a record
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(decrypt_items(sealed, key), std::runtime_error);
  EXPECT_THROW(decrypt_items_packed(sealed, key), std::runtime_error);
  const std::string report =
      "Error for item 40: Failed to decrypt\n"
      "Error for item 137: Decryption final step failed\n";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), report + report);
}

}  // namespace
}  // namespace tavrin
