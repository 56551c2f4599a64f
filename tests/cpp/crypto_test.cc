// SHA3-256, keyed hashing, list-entry labels and sealed records, each against
// an independent reference: OpenSSL's SHA3-256 and AES-256-GCM, with HMAC
// (RFC 2104) and the seed-tree walk written out byte by byte from their
// published constructions, not from our code.
#include <gtest/gtest.h>
#include <omp.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>

#include "crypto/keyed_hash.h"
#include "crypto/list_entry_labels.h"
#include "crypto/sealed_record.h"
#include "crypto/sha3.h"
#include "test_util.h"

namespace tavrin {
namespace {

using ::tavrin::testing::error_text;
using Digest = std::array<uint8_t, 32>;

// ------------------------------------------------------------ reference --

template <typename T>  // any contiguous bytes
Digest openssl_sha3(const T& v) {
  Digest d;
  EXPECT_EQ(EVP_Digest(v.data(), v.size(), d.data(), nullptr, EVP_sha3_256(), nullptr), 1);
  return d;
}

uint64_t be64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

// RFC 2104 over SHA3-256 (block size 136) with a 32-byte key.
Digest rfc2104_hmac(const Key256& key, const Bytes& msg) {
  Bytes inner(136, 0x36), outer(136, 0x5c);
  for (size_t i = 0; i < key.size(); ++i) {
    inner[i] ^= key[i];
    outer[i] ^= key[i];
  }
  inner.insert(inner.end(), msg.begin(), msg.end());
  const Digest ih = openssl_sha3(inner);
  outer.insert(outer.end(), ih.begin(), ih.end());
  return openssl_sha3(outer);
}

// The seed-tree walk, one OpenSSL hash per level: the state starts as the
// seed's last 32 bytes and takes path bit b (0 beyond the leaf's 32 bits)
// into its first byte before level b is hashed; label and mask hash seed
// bytes 0..15 and 16..31 with the state's halves.
void tree_walk(const CentroidSeed& seed, uint32_t leaf, uint32_t rounds, uint64_t* label,
               uint64_t* mask) {
  Bytes s(seed.begin() + 32, seed.end());
  for (int64_t b = static_cast<int64_t>(rounds) - 1; b >= 0; --b) {
    if (b < 32) s[0] ^= (leaf >> b) & 1u;
    const Digest d = openssl_sha3(s);
    s.assign(d.begin(), d.end());
  }
  Bytes l(seed.begin(), seed.begin() + 16), m(seed.begin() + 16, seed.begin() + 32);
  l.insert(l.end(), s.begin(), s.begin() + 16);
  m.insert(m.end(), s.begin() + 16, s.end());
  *label = be64(openssl_sha3(l).data());
  *mask = be64(openssl_sha3(m).data());
}

// Random bytes in any byte container: a message, a key, a seed.
template <typename T>
T random_fill(std::mt19937_64& rng, T v) {
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// ----------------------------------------------------------------- SHA3 --

// Published FIPS 202 values, then every length from 0 to 300 (empty,
// partial, exactly-full and multi-block inputs, the pad byte on the last byte
// of a block) on the dispatched and the portable kernel; the 64-bit form is
// the digest's first eight bytes, big-endian, and HMAC is RFC 2104 over it.
TEST(Sha3, ByteFormsAndHmacMatchTheReferenceOnEveryLength) {
  const std::string million(1000000, 'a');
  const std::pair<std::string, std::string> published[] = {
      {"", "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a"},
      {"abc", "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532"},
      {million, "5c8875ae474a3634ba4fd55ec85bffd661f32aca75c6d699d0cdcb6c115891c1"}};
  for (const auto& [msg, want] : published) {
    const Sha3Digest d = sha3_256(reinterpret_cast<const uint8_t*>(msg.data()), msg.size());
    char text[65];
    for (int i = 0; i < 32; ++i) std::snprintf(text + 2 * i, 3, "%02x", d[i]);
    EXPECT_EQ(std::string(text), want) << msg.size() << " bytes";
  }
  std::mt19937_64 rng(0x5a3);
  const Key256 key = random_fill(rng, Key256{});
  EXPECT_EQ(sha3_u64(nullptr, 0), 0xa7ffc6f8bf1ed766ULL);
  EXPECT_EQ(hmac_sha3_256(key, nullptr, 0), rfc2104_hmac(key, {}));
  for (size_t len = 0; len <= 300; ++len) {
    for (int rep = 0; rep < 3; ++rep) {
      const Bytes msg = random_fill(rng, Bytes(len));
      const Digest ref = openssl_sha3(msg);
      Digest portable;
      sha3_internal::digest_portable(msg.data(), len, portable.data());
      ASSERT_EQ(sha3_256(msg.data(), len), ref) << "length " << len;
      ASSERT_EQ(portable, ref) << "length " << len;
      ASSERT_EQ(sha3_u64(msg.data(), len), be64(ref.data())) << "length " << len;
      ASSERT_EQ(hmac_sha3_256(key, msg.data(), len), rfc2104_hmac(key, msg)) << "length " << len;
    }
  }
}

// The 32-byte word form is SHA3 of its bytes, and every four-way kernel this
// CPU runs gives the single form's digests; the four-way one-block form
// hashes a prefix and a message of every length that fits, dispatched and
// portable.
TEST(Sha3, WordAndBlockFormsMatchTheReferenceOnEveryKernel) {
  std::mt19937_64 rng(7);
  using X4 = void (*)(const uint64_t[4][4], uint64_t[4][4]);
  std::vector<X4> kernels = {&sha3_256_words_x4, &sha3_internal::words_x4_portable};
  if (sha3_internal::avx2_available()) kernels.push_back(&sha3_internal::words_x4_avx2);
  if (sha3_internal::avx512_available()) kernels.push_back(&sha3_internal::words_x4_avx512);
  for (size_t rep = 0; rep + 6 <= kSha3MaxOneBlock; ++rep) {
    uint64_t in[4][4], single[4][4], out[4][4], blocks[4][17], portable[4][4];
    Bytes whole[4];  // prefix (3 bytes) || message
    for (int h = 0; h < 4; ++h) {
      Bytes bytes(32);  // word w holds bytes 8w .. 8w+7, little-endian
      for (int w = 0; w < 4; ++w) EncodeFixed64(bytes.data() + 8 * w, in[h][w] = rng());
      const Digest ref = openssl_sha3(bytes);
      sha3_256_words(in[h], single[h]);
      for (int w = 0; w < 4; ++w) ASSERT_EQ(single[h][w], DecodeFixed64(ref.data() + 8 * w));
      whole[h] = random_fill(rng, Bytes(3 + (rep + h * 37) % (kSha3MaxOneBlock - 2)));
      sha3_pad_block(whole[h].data(), 3, whole[h].data() + 3, whole[h].size() - 3, blocks[h]);
    }
    for (X4 kernel : kernels) {
      kernel(in, out);
      for (int h = 0; h < 4; ++h) ASSERT_TRUE(std::equal(out[h], out[h] + 4, single[h]));
    }
    sha3_256_blocks_x4(blocks, out);
    sha3_internal::blocks_x4_portable(blocks, portable);
    for (int h = 0; h < 4; ++h) {
      const Digest ref = openssl_sha3(whole[h]);
      for (int w = 0; w < 4; ++w) ASSERT_EQ(out[h][w], DecodeFixed64(ref.data() + 8 * w));
      ASSERT_TRUE(std::equal(portable[h], portable[h] + 4, out[h])) << whole[h].size();
    }
  }
}

// ---------------------------------------------------------- keyed hashes --

// Index keys are HMACs of the name and its suffixes. Item tokens are the
// first eight bytes of SHA3(subkey || id), for identifiers of every length
// around the one-block limit (103 bytes after the subkey), mixed so that
// groups of four are sometimes all short and sometimes not, plus case,
// trailing-space and embedded-NUL variants; enough of them to take the
// parallel path, with a long one that regrows a thread's buffer mid-way.
TEST(KeyedHash, IndexKeysAndItemTokensFollowTheirConstructions) {
  std::mt19937_64 rng(16);
  const Key256 k = random_fill(rng, Key256{});
  const IndexKeys keys = derive_index_keys(k, "idx");
  auto ref = [&](const std::string& s) { return rfc2104_hmac(k, Bytes(s.begin(), s.end())); };
  EXPECT_EQ(keys.name_key, ref("idx"));
  EXPECT_EQ(keys.data_key, ref("idx.data"));
  EXPECT_EQ(keys.content_key, ref("idx.content"));
  EXPECT_EQ(keys.metadata_key, ref("idx.centroid_metadata"));
  EXPECT_EQ(keys.hashed_index_name, be64(ref("idx").data()));
  EXPECT_EQ(hmac_u64(k, "idx"), keys.hashed_index_name);

  std::vector<std::string> ids = {"a", "A", "a ", "", std::string("nul\0inside", 10)};
  for (int round = 0; round < 4; ++round) {
    for (size_t len = 0; len <= 140; ++len) {
      for (int rep = 0; rep < 4; ++rep) {
        const Bytes b = random_fill(rng, Bytes(rep == 3 ? 200 - len : len));
        ids.emplace_back(b.begin(), b.end());
      }
    }
  }
  ids[1000] = std::string(2000, 'q');
  const int saved = omp_get_max_threads();
  omp_set_num_threads(4);
  const std::vector<uint64_t> tokens = item_tokens(ids, keys.data_key);
  omp_set_num_threads(saved);
  ASSERT_EQ(tokens.size(), ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    Bytes buf(keys.data_key.begin(), keys.data_key.end());
    buf.insert(buf.end(), ids[i].begin(), ids[i].end());
    ASSERT_EQ(tokens[i], be64(openssl_sha3(buf).data())) << "id " << i << ", " << ids[i].size();
  }
  EXPECT_TRUE(item_tokens({}, k).empty());
}

// --------------------------------------------------- list-entry labels --

// Seeds are two HMACs of the little-endian centroid number (name key, then
// index key); the plain walk of a leaf follows the byte-level reference.
TEST(ListEntries, SeedsAndPlainWalkMatchTheByteLevelReference) {
  std::mt19937_64 rng(21);
  const Key256 k = random_fill(rng, Key256{}), name_key = random_fill(rng, Key256{});
  const std::vector<CentroidSeed> seeds = make_centroid_seeds(300, k, name_key);
  ASSERT_EQ(seeds.size(), 300u);
  for (uint32_t c : {0u, 1u, 255u, 256u, 299u}) {
    const Bytes le = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), 0, 0};
    const Digest hi = rfc2104_hmac(name_key, le), lo = rfc2104_hmac(k, le);
    EXPECT_EQ(Bytes(seeds[c].begin(), seeds[c].begin() + 32), Bytes(hi.begin(), hi.end())) << c;
    EXPECT_EQ(Bytes(seeds[c].begin() + 32, seeds[c].end()), Bytes(lo.begin(), lo.end())) << c;
  }
  for (uint32_t rounds : {1u, 2u, 9u, 10u, 32u, 40u}) {
    for (uint32_t leaf : {0u, 1u, 2u, 1023u, 1024u, 0x7fffffffu, 0xffffffffu}) {
      uint64_t label, mask, ref_label, ref_mask;
      walk_leaf(seeds[leaf % 300], leaf, rounds, &label, &mask);
      tree_walk(seeds[leaf % 300], leaf, rounds, &ref_label, &ref_mask);
      ASSERT_EQ(label, ref_label) << "rounds " << rounds << " leaf " << leaf;
      ASSERT_EQ(mask, ref_mask) << "rounds " << rounds << " leaf " << leaf;
    }
  }
}

// Items appended to lists in a shuffled order, as an upsert assigns them:
// lists of 0, 1, 5, 1023, 1024 and over 1024 entries (starting, ending and
// crossing 1024-leaf blocks) and one item at the last possible leaf, at
// depths below, at and above the block size and the 32 leaf bits, on several
// threads. The upsert side and the query side's shared-state walk both give
// the plain walk's labels and masks.
TEST(ListEntries, UpsertAndQuerySidesEqualThePlainWalk) {
  std::mt19937_64 rng(23);
  std::vector<CentroidSeed> seeds(7);
  for (auto& s : seeds) s = random_fill(rng, s);
  const std::vector<uint32_t> counts = {0,    1,    5,
                                        1023, 1024, 1025 + static_cast<uint32_t>(rng() % 2000)};
  std::vector<std::pair<uint32_t, uint32_t>> items = {{6, 0xffffffffu}};  // (centroid, leaf)
  for (uint32_t c = 0; c < counts.size(); ++c) {
    for (uint32_t j = 0; j < counts[c]; ++j) items.emplace_back(c, j);
  }
  std::shuffle(items.begin(), items.end(), rng);
  std::vector<uint32_t> centroids, leaves;
  std::vector<uint64_t> tokens;
  for (const auto& [c, leaf] : items) {
    centroids.push_back(c);
    leaves.push_back(leaf);
    tokens.push_back(rng());
  }
  const std::vector<uint32_t> probes = {5, 0, 3, 1, 4, 2};
  const int saved = omp_get_max_threads();
  omp_set_num_threads(4);
  for (uint32_t rounds : {1u, 9u, 10u, 11u, 32u, 35u}) {
    auto check = [&](uint32_t c, uint32_t leaf, uint64_t label, uint64_t mask) {
      uint64_t want[2];
      walk_leaf(seeds[c], leaf, rounds, &want[0], &want[1]);
      ASSERT_EQ(label, want[0]) << "rounds " << rounds << " centroid " << c << " leaf " << leaf;
      ASSERT_EQ(mask, want[1]) << "rounds " << rounds << " centroid " << c << " leaf " << leaf;
    };
    const ListEntries stored = encrypt_list_entries(centroids, tokens, seeds, rounds, leaves);
    ASSERT_EQ(stored.labels.size(), items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      check(centroids[i], leaves[i], stored.labels[i], stored.masked_tokens[i] ^ tokens[i]);
    }
    if (rounds >= 32) {
      EXPECT_EQ(std::set<uint64_t>(stored.labels.begin(), stored.labels.end()).size(),
                items.size()) << "labels collide";
    }
    const ListMasks query = list_entry_masks(probes, seeds, counts, rounds);
    ASSERT_EQ(query.offsets.size(), probes.size() + 1);
    for (size_t k = 0; k < probes.size(); ++k) {
      const uint64_t at = query.offsets[k];
      ASSERT_EQ(query.offsets[k + 1] - at, counts[probes[k]]);
      for (uint32_t j = 0; j < counts[probes[k]]; ++j) {
        check(probes[k], j, query.labels[at + j], query.masks[at + j]);
      }
    }
  }
  omp_set_num_threads(saved);
}

// Exact messages; numbers past the seeds, counts or leaves are refused
// instead of read. Stored entries are the masked token, little-endian.
TEST(ListEntries, RefusalsAndTheStoredEntryForm) {
  std::mt19937_64 rng(28);
  const std::vector<CentroidSeed> seeds = {random_fill(rng, CentroidSeed{}),
                                           random_fill(rng, CentroidSeed{})};
  auto error = [](auto&& fn) { return error_text<std::runtime_error>(fn); };
  EXPECT_EQ(error([&] { encrypt_list_entries({0}, {1, 2}, seeds, 32, {0}); }),
            "The number of centroid Ids does not match the number item Ids.");
  EXPECT_EQ(error([&] { encrypt_list_entries({0}, {1}, seeds, 0, {0}); }),
            "The number of round should be at least 1.");
  EXPECT_EQ(error([&] { list_entry_masks({0, 1, 0}, seeds, {1, 1}, 32); }),
            "Number of centroid not matching the number of seeds.");
  EXPECT_EQ(error([&] { list_entry_masks({0}, seeds, {1, 1}, 0); }),
            "The number of round should be at lest 1.");
  EXPECT_THROW(encrypt_list_entries({2}, {1}, seeds, 32, {0}), std::runtime_error);
  EXPECT_THROW(encrypt_list_entries({0, 1}, {1, 2}, seeds, 32, {0}), std::runtime_error);
  EXPECT_THROW(list_entry_masks({1}, seeds, {4}, 32), std::runtime_error);
  EXPECT_THROW(list_entry_masks({5}, seeds, {4, 4, 4, 4, 4, 4}, 32), std::runtime_error);
  ::testing::internal::CaptureStdout();
  const ListMasks empty = list_entry_masks({}, seeds, {3, 7}, 32);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "empty input\n");
  EXPECT_TRUE(empty.labels.empty() && empty.masks.empty() && empty.offsets.empty());

  EXPECT_EQ(error([] { unmask_item_ids(ByteMatrix(Bytes(32, 0), 16), {1, 2}); }),
            "Invalid encrypted item ID size");
  const ByteMatrix two(Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}, 8);
  EXPECT_EQ(unmask_item_ids(two, {3, 1}), (std::vector<uint64_t>{2, 0x8000000000000001ULL}));
  EXPECT_THROW(unmask_item_ids(two, {3}), std::runtime_error);
  EXPECT_TRUE(unmask_item_ids(ByteMatrix(), {}).empty());  // every probed list empty
}

// ------------------------------------------------------- sealed records --

// Opens a record straight through OpenSSL, to pin the byte layout
// IV (12) | ciphertext | tag (16).
bool openssl_open(const Bytes& rec, const Key256& key, Bytes* plain) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                     EVP_CIPHER_CTX_free);
  const int n = static_cast<int>(rec.size() - 28);
  plain->assign(n, 0);
  int len = 0;
  Bytes tag(rec.end() - 16, rec.end());
  return EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), rec.data()) == 1 &&
         EVP_DecryptUpdate(ctx.get(), plain->data(), &len, rec.data() + 12, n) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), plain->data() + len, &len) == 1;
}

Key256 key_from(uint64_t seed) {
  std::mt19937_64 rng(seed);
  return random_fill(rng, Key256{});
}

// Rows, items and single records of several sizes (zero rows, rows of zero
// width), on one thread and on a team larger than some batches: each opens
// through OpenSSL and through our reader, every record has an IV of its own,
// and shapes follow the row width.
TEST(SealedRecord, EveryFormOpensThroughOpenSslWithItsOwnIv) {
  const Key256 key = key_from(7);
  const int saved = omp_get_max_threads();
  for (int threads : {1, 5}) {
    for (size_t rows : {0u, 1u, 3u, 4u, 1000u}) {
      for (size_t width : {0u, 1u, 17u, 600u}) {  // 0: records of empty plaintexts
        SCOPED_TRACE(std::to_string(threads) + " threads, " + std::to_string(rows) + " x " +
                     std::to_string(width));
        omp_set_num_threads(threads);
        ByteMatrix in = ByteMatrix::zeros(rows, width);
        for (size_t i = 0; i < in.data.size(); ++i) in.data[i] = uint8_t(i * 131 + i / 7);
        std::vector<Bytes> items;  // every length from 0 to the width
        for (size_t r = 0; r < rows; ++r)
          items.emplace_back(in.row(r), in.row(r) + r * 7 % (width + 1));
        const ByteMatrix sealed = encrypt_rows(in, key);
        const std::vector<Bytes> sealed_items = encrypt_items(items, key);
        ASSERT_EQ(sealed.rows, rows);
        ASSERT_EQ(sealed.cols, width + 28);
        std::set<Bytes> ivs;
        auto check = [&](const Bytes& rec, const Bytes& want) {
          Bytes plain;
          ASSERT_EQ(rec.size(), want.size() + 28);
          ASSERT_TRUE(openssl_open(rec, key, &plain));
          ASSERT_EQ(plain, want);
          ASSERT_EQ(open_record(ByteView(rec), key), want);
          ivs.insert(Bytes(rec.begin(), rec.begin() + 12));
        };
        for (size_t r = 0; r < rows; ++r) {
          check(Bytes(sealed.row(r), sealed.row(r) + sealed.cols),
                Bytes(in.row(r), in.row(r) + width));
          check(sealed_items[r], items[r]);
          if (rows < 10) check(seal_record(ByteView(items[r]), key), items[r]);
        }
        EXPECT_EQ(ivs.size(), rows < 10 ? 3 * rows : 2 * rows);
        omp_set_num_threads(6 - threads);
        const ByteMatrix opened = decrypt_rows(sealed, key);
        EXPECT_EQ(opened.rows, rows);
        EXPECT_EQ(opened.cols, width);
        EXPECT_EQ(opened.data, in.data);
        EXPECT_EQ(decrypt_items(sealed_items, key), items);
      }
    }
  }
  omp_set_num_threads(saved);
}

// Every altered byte, a wrong key and a cut record fail with their messages;
// a plaintext whose record would pass the int limit is refused before its
// bytes are read or memory reserved: such a record could never be opened. A
// failed row does not spoil the context for the rows after it; shapes a
// record cannot have are refused up front, not read past.
TEST(SealedRecord, AlteredWrongKeyShortAndOddShapesFail) {
  const Key256 key = key_from(3);
  const Bytes rec = seal_record(ByteView(Bytes(40, 5)), key);
  auto error = [&](const Bytes& r, const Key256& k) {
    return error_text<std::runtime_error>([&] { open_record(ByteView(r), k); });
  };
  for (size_t pos = 0; pos < rec.size(); ++pos) {  // IV, ciphertext and tag bytes
    Bytes bad = rec;
    bad[pos] ^= 0x01;
    EXPECT_EQ(error(bad, key), "Decryption final step failed") << "byte " << pos;
  }
  EXPECT_EQ(error(rec, key_from(4)), "Decryption final step failed");
  EXPECT_EQ(error(Bytes(rec.begin(), rec.end() - 1), key), "Decryption final step failed");
  EXPECT_EQ(error(Bytes(27, 0), key), "Failed to decrypt");
  EXPECT_EQ(error(Bytes(), key), "Failed to decrypt");
  const uint8_t byte = 0;
  for (size_t len : {size_t{INT_MAX} - 27, size_t{INT_MAX}}) {
    EXPECT_THROW(seal_record(ByteView(&byte, len), key), std::runtime_error) << len;
  }

  ByteMatrix sealed = encrypt_rows(ByteMatrix(Bytes(30, 1), 10), key);
  sealed.row(1)[20] ^= 0x80;
  EXPECT_EQ(error_text<std::runtime_error>([&] { decrypt_rows(sealed, key); }),
            "Failed to decrypt 1 ciphertexts");
  EXPECT_EQ(error_text<std::runtime_error>([&] { decrypt_rows(sealed, key_from(10)); }),
            "Failed to decrypt 3 ciphertexts");
  EXPECT_THROW(decrypt_rows(ByteMatrix(Bytes(3 * 27, 0), 27), key), std::runtime_error);
  ByteMatrix lying(Bytes(80, 0), 40);  // a buffer that disagrees with its shape
  lying.rows = 3;
  EXPECT_THROW(encrypt_rows(lying, key), std::invalid_argument);
  EXPECT_THROW(decrypt_rows(lying, key), std::invalid_argument);
  ByteMatrix endless;  // zero-width rows whose records would overflow the output size
  endless.rows = uint64_t{1} << 62;
  EXPECT_THROW(encrypt_rows(endless, key), std::runtime_error);
}

// Empty entries (deleted items) pass through silently, also in the packed
// form; each bad record gets its own line, in item order, and the batch fails.
TEST(SealedRecord, ItemsPassEmptyEntriesAndReportEachBadRecord) {
  const Key256 key = key_from(14);
  std::vector<Bytes> plain(200, Bytes{'p', 'q'});
  std::vector<Bytes> sealed = encrypt_items(plain, key);
  plain[3].clear();
  sealed[3].clear();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(decrypt_items(sealed, key), plain);
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
