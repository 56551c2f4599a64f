// SHA3-256, keyed hashing, list-entry labels and sealed records, each against
// an independent reference: OpenSSL's SHA3-256 and AES-256-GCM, with HMAC
// (RFC 2104) and the seed-tree walk written out byte by byte from their
// published constructions, not from our code.
#include <gtest/gtest.h>
#include <omp.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
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

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// RFC 2104 over SHA3-256 (block size 136) with a 32-byte key.
Digest rfc2104_hmac(const Key256& key, const Bytes& msg) {
  Bytes inner(136, 0x36), outer(136, 0x5c);
  for (size_t i = 0; i < key.size(); ++i) inner[i] ^= key[i], outer[i] ^= key[i];
  const Digest ih = openssl_sha3(cat(inner, msg));
  return openssl_sha3(cat(outer, Bytes(ih.begin(), ih.end())));
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
  *label = be64(openssl_sha3(cat(Bytes(seed.begin(), seed.begin() + 16),
                                 Bytes(s.begin(), s.begin() + 16))).data());
  *mask = be64(openssl_sha3(cat(Bytes(seed.begin() + 16, seed.begin() + 32),
                                Bytes(s.begin() + 16, s.end()))).data());
}

// Random bytes in any byte container: a message, a key, a seed.
template <typename T> T random_fill(std::mt19937_64& rng, T v) {
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Sets the OpenMP team size for a scope, and restores it however the scope ends.
struct Threads {
  const int saved = omp_get_max_threads();
  explicit Threads(int n) { omp_set_num_threads(n); }
  ~Threads() { omp_set_num_threads(saved); }
};

// Whether four words are the digest, read little-endian.
bool le_words_are(const uint64_t* w, const Digest& d) {
  for (int i = 0; i < 4; ++i) if (w[i] != DecodeFixed64(d.data() + 8 * i)) return false;
  return true;
}

// ----------------------------------------------------------------- SHA3 --

// Every length from 0 to 300 (empty, partial, exactly-full and multi-block
// inputs, the pad byte on the last byte of a block) on the dispatched and the
// portable kernel; the 64-bit form is the digest's first eight bytes,
// big-endian, and HMAC is RFC 2104 over it. The 32-byte word form is SHA3 of
// its little-endian words on every four-way kernel this CPU runs; the
// four-way one-block form hashes a prefix and a message of every length that
// fits, dispatched and portable.
TEST(Sha3, EveryFormMatchesTheReferenceOnEveryLengthAndKernel) {
  std::mt19937_64 rng(0x5a3);
  const Key256 key = random_fill(rng, Key256{});
  for (size_t len = 0; len <= 300; ++len) {
    for (int rep = 0; rep < 3; ++rep) {
      const Bytes msg = random_fill(rng, Bytes(len));
      const Digest ref = openssl_sha3(msg);
      Digest portable;
      sha3_internal::digest_portable(msg.data(), len, portable.data());
      ASSERT_TRUE(sha3_256(msg.data(), len) == ref && portable == ref) << "length " << len;
      ASSERT_EQ(sha3_u64(msg.data(), len), be64(ref.data())) << "length " << len;
      ASSERT_EQ(hmac_sha3_256(key, msg.data(), len), rfc2104_hmac(key, msg)) << "length " << len;
    }
  }
  using X4 = void (*)(const uint64_t[4][4], uint64_t[4][4]);
  std::vector<X4> kernels = {&sha3_256_words_x4, &sha3_internal::words_x4_portable};
  if (sha3_internal::avx2_available()) kernels.push_back(&sha3_internal::words_x4_avx2);
  if (sha3_internal::avx512_available()) kernels.push_back(&sha3_internal::words_x4_avx512);
  for (size_t rep = 0; rep + 6 <= kSha3MaxOneBlock; ++rep) {
    uint64_t in[4][4], out[4][4], blocks[4][17], portable[4][4];
    Bytes whole[4];  // prefix (3 bytes) || message
    for (int h = 0; h < 4; ++h) {
      Bytes bytes(32);  // word w holds bytes 8w .. 8w+7, little-endian
      for (int w = 0; w < 4; ++w) EncodeFixed64(bytes.data() + 8 * w, in[h][w] = rng());
      sha3_256_words(in[h], out[h]);
      ASSERT_TRUE(le_words_are(out[h], openssl_sha3(bytes)));
      whole[h] = random_fill(rng, Bytes(3 + (rep + h * 37) % (kSha3MaxOneBlock - 2)));
      sha3_pad_block(whole[h].data(), 3, whole[h].data() + 3, whole[h].size() - 3, blocks[h]);
    }
    for (X4 kernel : kernels) {
      uint64_t four[4][4];
      kernel(in, four);
      ASSERT_TRUE(std::equal(&four[0][0], &four[0][0] + 16, &out[0][0]));
    }
    sha3_256_blocks_x4(blocks, out);
    sha3_internal::blocks_x4_portable(blocks, portable);
    for (int h = 0; h < 4; ++h) {
      ASSERT_TRUE(le_words_are(out[h], openssl_sha3(whole[h])));
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
  using Keys = std::vector<Digest>;
  EXPECT_EQ((Keys{keys.name_key, keys.data_key, keys.content_key, keys.metadata_key}),
            (Keys{ref("idx"), ref("idx.data"), ref("idx.content"), ref("idx.centroid_metadata")}));
  EXPECT_EQ(keys.hashed_index_name, be64(ref("idx").data()));
  EXPECT_EQ(hmac_u64(k, "idx"), keys.hashed_index_name);

  std::vector<std::string> ids = {"a", "A", "a ", "", std::string("nul\0inside", 10)};
  for (int i = 0; i < 4 * 141 * 4; ++i) {  // four rounds of lengths 0..140, the fourth long
    const size_t len = i / 4 % 141;
    const Bytes b = random_fill(rng, Bytes(i % 4 == 3 ? 200 - len : len));
    ids.emplace_back(b.begin(), b.end());
  }
  ids[1000] = std::string(2000, 'q');
  Threads team(4);
  const std::vector<uint64_t> tokens = item_tokens(ids, keys.data_key);
  ASSERT_EQ(tokens.size(), ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    const Bytes buf = cat(Bytes(keys.data_key.begin(), keys.data_key.end()),
                          Bytes(ids[i].begin(), ids[i].end()));
    ASSERT_EQ(tokens[i], be64(openssl_sha3(buf).data())) << "id " << i << ", " << ids[i].size();
  }
  EXPECT_TRUE(item_tokens({}, k).empty());
}

// --------------------------------------------------- list-entry labels --

// Seeds are two HMACs of the little-endian centroid number (name key, then
// index key). Items appended to lists in a shuffled order, as an upsert assigns
// them: lists of 0, 1, 5, 1023, 1024 and over 1024 entries (starting, ending
// and crossing 1024-leaf blocks) and one item at the last possible leaf, at
// depths below, at and above the block size and the 32 leaf bits, on several
// threads (a lone item takes the plain walk, runs the shared-state one). The
// upsert side and the query side both give the byte-level walk's labels and
// masks.
TEST(ListEntries, SeedsAndBothSidesMatchTheByteLevelWalk) {
  std::mt19937_64 rng(21);
  const Key256 k = random_fill(rng, Key256{}), name_key = random_fill(rng, Key256{});
  const std::vector<CentroidSeed> seeds = make_centroid_seeds(300, k, name_key);
  ASSERT_EQ(seeds.size(), 300u);
  for (uint32_t c : {0u, 1u, 255u, 256u, 299u}) {
    const Bytes le = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), 0, 0};
    const Digest hi = rfc2104_hmac(name_key, le), lo = rfc2104_hmac(k, le);
    EXPECT_EQ(Bytes(seeds[c].begin(), seeds[c].end()),
              cat(Bytes(hi.begin(), hi.end()), Bytes(lo.begin(), lo.end()))) << c;
  }
  const std::vector<uint32_t> counts = {0, 1, 5, 1023, 1024, 1025 + uint32_t(rng() % 2000)};
  std::vector<uint32_t> centroids = {6}, leaves = {0xffffffffu};
  for (uint32_t c = 0; c < counts.size(); ++c)
    for (uint32_t j = 0; j < counts[c]; ++j) centroids.push_back(c), leaves.push_back(j);
  std::mt19937_64 same = rng;  // equal engines shuffle equal lengths alike
  std::shuffle(centroids.begin(), centroids.end(), rng);
  std::shuffle(leaves.begin(), leaves.end(), same);
  std::vector<uint64_t> tokens(centroids.size());
  for (uint64_t& t : tokens) t = rng();
  const std::vector<uint32_t> probes = {5, 0, 3, 1, 4, 2};
  Threads team(4);
  for (uint32_t rounds : {1u, 9u, 10u, 11u, 32u, 35u}) {
    auto check = [&](uint32_t c, uint32_t leaf, uint64_t label, uint64_t mask) {
      uint64_t want[2];
      tree_walk(seeds[c], leaf, rounds, &want[0], &want[1]);
      ASSERT_TRUE(label == want[0] && mask == want[1])
          << "rounds " << rounds << " centroid " << c << " leaf " << leaf;
    };
    const ListEntries stored = encrypt_list_entries(centroids, tokens, seeds, rounds, leaves);
    ASSERT_EQ(stored.labels.size(), tokens.size());
    for (size_t i = 0; i < tokens.size(); ++i)
      check(centroids[i], leaves[i], stored.labels[i], stored.masked_tokens[i] ^ tokens[i]);
    if (rounds >= 32) {
      EXPECT_EQ(std::set<uint64_t>(stored.labels.begin(), stored.labels.end()).size(),
                tokens.size()) << "labels collide";
    }
    const ListMasks query = list_entry_masks(probes, seeds, counts, rounds);
    ASSERT_EQ(query.offsets.size(), probes.size() + 1);
    for (size_t p = 0; p < probes.size(); ++p) {
      const uint64_t at = query.offsets[p];
      ASSERT_EQ(query.offsets[p + 1] - at, counts[probes[p]]);
      for (uint32_t j = 0; j < counts[probes[p]]; ++j)
        check(probes[p], j, query.labels[at + j], query.masks[at + j]);
    }
  }
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
// and shapes follow the row width. Empty entries (deleted items) pass through
// silently, also in the packed form.
TEST(SealedRecord, EveryFormOpensThroughOpenSslWithItsOwnIv) {
  const Key256 key = key_from(7);
  for (int threads : {1, 5}) {
    for (size_t rows : {0u, 1u, 3u, 4u, 1000u}) {
      for (size_t width : {0u, 1u, 17u, 600u}) {  // 0: records of empty plaintexts
        SCOPED_TRACE(std::to_string(threads) + " threads, " + std::to_string(rows) + " x " +
                     std::to_string(width));
        Threads team(threads);
        ByteMatrix in = ByteMatrix::zeros(rows, width);
        for (size_t i = 0; i < in.data.size(); ++i) in.data[i] = uint8_t(i * 131 + i / 7);
        std::vector<Bytes> items;  // every length from 0 to the width
        for (size_t r = 0; r < rows; ++r)
          items.emplace_back(in.row(r), in.row(r) + r * 7 % (width + 1));
        const ByteMatrix sealed = encrypt_rows(in, key);
        std::vector<Bytes> sealed_items = encrypt_items(items, key);
        // The same plaintexts built where they are sealed, each bound to
        // an associated data block of its own.
        std::vector<size_t> sizes;
        std::vector<RecordAd> ads(rows);
        for (size_t r = 0; r < rows; ++r) {
          sizes.push_back(items[r].size());
          ads[r][r % 32] = static_cast<uint8_t>(1 + r % 200);
        }
        const std::vector<Bytes> built =
            seal_built_items(sizes, key, &ads, [&](size_t r, uint8_t* at) {
              std::copy(items[r].begin(), items[r].end(), at);
            });
        ASSERT_TRUE(sealed.rows == rows && sealed.cols == width + 28);
        std::set<Bytes> ivs;
        auto check = [&](const Bytes& rec, const Bytes& want) {
          Bytes plain;
          ASSERT_TRUE(rec.size() == want.size() + 28 && openssl_open(rec, key, &plain));
          ASSERT_TRUE(plain == want && open_record(ByteView(rec), key) == want);
          ivs.insert(Bytes(rec.begin(), rec.begin() + 12));
        };
        for (size_t r = 0; r < rows; ++r) {
          check(Bytes(sealed.row(r), sealed.row(r) + sealed.cols),
                Bytes(in.row(r), in.row(r) + width));
          check(sealed_items[r], items[r]);
          if (rows < 10) check(seal_record(ByteView(items[r]), key), items[r]);
          ASSERT_EQ(open_record(ByteView(built[r]), key, &ads[r]), items[r]);
          EXPECT_THROW(open_record(ByteView(built[r]), key), std::runtime_error);
          ivs.insert(Bytes(built[r].begin(), built[r].begin() + 12));
        }
        EXPECT_EQ(ivs.size(), rows < 10 ? 4 * rows : 3 * rows);
        if (rows > 2) items[2].clear(), sealed_items[2].clear();  // a deleted item
        Threads other(6 - threads);
        ::testing::internal::CaptureStderr();
        const ByteMatrix opened = decrypt_rows(sealed, key);
        EXPECT_TRUE(opened.rows == rows && opened.cols == width && opened.data == in.data);
        EXPECT_EQ(decrypt_items(sealed_items, key), items);
        const OpenedItems packed = decrypt_items_packed(sealed_items, key);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        Bytes all;  // the items end to end, and where each ends
        std::vector<uint64_t> ends = {0};
        for (const Bytes& it : items)
          all.insert(all.end(), it.begin(), it.end()), ends.push_back(all.size());
        EXPECT_TRUE(packed.data == all && packed.offsets == ends);
      }
    }
  }
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
  for (size_t len : {size_t{INT_MAX} - 27, size_t{INT_MAX}})
    EXPECT_THROW(seal_record(ByteView(&byte, len), key), std::runtime_error) << len;

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

// Each bad record gets its own line, in item order, and the batch fails.
TEST(SealedRecord, ItemsReportEachBadRecord) {
  const Key256 key = key_from(14);
  std::vector<Bytes> sealed = encrypt_items(std::vector<Bytes>(200, Bytes{'p', 'q'}), key);
  sealed[137][5] ^= 1;
  sealed[40].resize(10);  // too short to be a record
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(decrypt_items(sealed, key), std::runtime_error);
  EXPECT_THROW(decrypt_items_packed(sealed, key), std::runtime_error);
  const std::string report = "Error for item 40: Failed to decrypt\n"
                             "Error for item 137: Decryption final step failed\n";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), report + report);
}

}  // namespace
}  // namespace tavrin
