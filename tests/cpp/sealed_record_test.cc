#include "crypto/sealed_record.h"

#include <gtest/gtest.h>
#include <omp.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "crypto_reference.h"
#include "test_util.h"

namespace tavrin {
namespace {

using ::tavrin::testing::error_text;
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

Key256 key_from(uint64_t seed) {
  std::mt19937_64 rng(seed);
  return testref::random_array<32>(rng);
}

// Opens a record straight through OpenSSL, to pin the byte layout
// IV (12) | ciphertext | tag (16).
bool openssl_open(const uint8_t* rec, size_t size, const Key256& key, Bytes* plain) {
  CtxPtr ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  const int n = static_cast<int>(size - 28);
  plain->assign(n, 0);
  int len = 0;
  Bytes tag(rec + size - 16, rec + size);
  return EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), rec) == 1 &&
         EVP_DecryptUpdate(ctx.get(), plain->data(), &len, rec + 12, n) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), plain->data() + len, &len) == 1;
}

std::string decrypt_error(const Bytes& rec, const Key256& key) {
  return error_text<std::runtime_error>([&] { open_record(ByteView(rec), key); });
}

// Rows, items and single records of several sizes (zero rows, rows of zero
// width), on one thread and on a team larger than some batches: each opens
// through OpenSSL (IV | ciphertext | tag) and through our reader, every
// record has an IV of its own, and shapes follow the row width.
TEST(SealedRecord, EveryFormOpensThroughOpenSslWithItsOwnIv) {
  const Key256 key = key_from(7);
  const int saved = omp_get_max_threads();
  for (int threads : {1, 5}) {
    omp_set_num_threads(threads);
    for (size_t rows : {0u, 1u, 3u, 4u, 1000u}) {
      for (size_t width : {0u, 1u, 17u, 600u}) {  // 0: records of empty plaintexts
        SCOPED_TRACE(std::to_string(threads) + " threads, " + std::to_string(rows) + " x " +
                     std::to_string(width));
        ByteMatrix in = ByteMatrix::zeros(rows, width);
        for (size_t i = 0; i < in.data.size(); ++i) in.data[i] = uint8_t(i * 131 + i / 7);
        std::vector<Bytes> items;  // every length from 0 to the width
        for (size_t r = 0; r < rows; ++r)
          items.emplace_back(in.row(r), in.row(r) + r * 7 % (width + 1));
        const ByteMatrix sealed = encrypt_rows(in, key);
        const std::vector<Bytes> sealed_items = encrypt_items(items, key);
        ASSERT_EQ(sealed.rows, rows);
        ASSERT_EQ(sealed.cols, width + 28);
        std::vector<std::pair<Bytes, Bytes>> records;  // (record, plaintext)
        for (size_t r = 0; r < rows; ++r) {
          records.emplace_back(Bytes(sealed.row(r), sealed.row(r) + sealed.cols),
                               Bytes(in.row(r), in.row(r) + width));
          records.emplace_back(sealed_items[r], items[r]);
          if (rows < 10) records.emplace_back(seal_record(ByteView(items[r]), key), items[r]);
        }
        std::set<Bytes> ivs;
        for (const auto& [rec, want] : records) {
          Bytes plain;
          ASSERT_EQ(rec.size(), want.size() + 28);
          ASSERT_TRUE(openssl_open(rec.data(), rec.size(), key, &plain));
          ASSERT_EQ(plain, want);
          ASSERT_EQ(open_record(ByteView(rec), key), want);
          ivs.insert(Bytes(rec.begin(), rec.begin() + 12));
        }
        EXPECT_EQ(ivs.size(), records.size());
        omp_set_num_threads(6 - threads);
        const ByteMatrix opened = decrypt_rows(sealed, key);
        EXPECT_EQ(opened.rows, rows);
        EXPECT_EQ(opened.cols, width);
        EXPECT_EQ(opened.data, in.data);
        EXPECT_EQ(decrypt_items(sealed_items, key), items);
        omp_set_num_threads(threads);
      }
    }
  }
  omp_set_num_threads(saved);
  EXPECT_TRUE(encrypt_items({}, key).empty());
  EXPECT_TRUE(decrypt_items({}, key).empty());
}

TEST(SealedRecord, AnyAlteredByteWrongKeyOrShortRecordFails) {
  const Key256 key = key_from(3);
  const Bytes rec = seal_record(ByteView(Bytes(40, 5)), key);
  for (size_t pos = 0; pos < rec.size(); ++pos) {  // IV, ciphertext and tag bytes
    Bytes bad = rec;
    bad[pos] ^= 0x01;
    EXPECT_EQ(decrypt_error(bad, key), "Decryption final step failed") << "byte " << pos;
  }
  EXPECT_EQ(decrypt_error(rec, key_from(4)), "Decryption final step failed");
  EXPECT_EQ(decrypt_error(Bytes(rec.begin(), rec.end() - 1), key), "Decryption final step failed");
  EXPECT_EQ(decrypt_error(Bytes(27, 0), key), "Failed to decrypt");
  EXPECT_EQ(decrypt_error(Bytes(), key), "Failed to decrypt");
  // A plaintext whose record would pass the int limit is refused before its
  // bytes are read or memory reserved: such a record could never be opened.
  const uint8_t byte = 0;
  for (size_t len : {size_t{INT_MAX} - 27, size_t{INT_MAX}}) {
    EXPECT_NE(error_text<std::runtime_error>([&] { seal_record(ByteView(&byte, len), key); }), "")
        << len;
  }
}

// A failed row does not spoil the context for the rows after it.
TEST(SealedRows, FailuresAreCountedAndOddShapesRefused) {
  const Key256 key = key_from(9);
  ByteMatrix sealed = encrypt_rows(ByteMatrix(Bytes(30, 1), 10), key);
  sealed.row(1)[20] ^= 0x80;
  EXPECT_EQ(error_text<std::runtime_error>([&] { decrypt_rows(sealed, key); }),
            "Failed to decrypt 1 ciphertexts");
  EXPECT_EQ(error_text<std::runtime_error>([&] { decrypt_rows(sealed, key_from(10)); }),
            "Failed to decrypt 3 ciphertexts");
  // Rows too short to be records are refused up front, not read past.
  EXPECT_THROW(decrypt_rows(ByteMatrix(Bytes(3 * 27, 0), 27), key), std::runtime_error);
  // A matrix whose buffer disagrees with its shape is refused, not overread.
  ByteMatrix lying(Bytes(80, 0), 40);
  lying.rows = 3;
  EXPECT_THROW(encrypt_rows(lying, key), std::invalid_argument);
  EXPECT_THROW(decrypt_rows(lying, key), std::invalid_argument);
  ByteMatrix endless;  // zero-width rows whose records would overflow the output size
  endless.rows = uint64_t{1} << 62;
  EXPECT_THROW(encrypt_rows(endless, key), std::runtime_error);
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
    EXPECT_EQ(
        Bytes(packed.data.begin() + packed.offsets[i], packed.data.begin() + packed.offsets[i + 1]),
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
