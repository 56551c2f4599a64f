// Sealed records: IV (12 random bytes) || AES-256-GCM ciphertext || tag (16
// bytes), by default with no additional data, so a record is its plaintext plus 28 bytes and
// its length alone gives the plaintext length. Every record gets a fresh IV.
// Lengths handed to OpenSSL are int: one plaintext, record or row is limited
// to 2^31 - 1 bytes and longer ones are refused, never truncated.
//
// Every failure is a std::runtime_error with a fixed message. The batch forms
// run on the OpenMP team with one cipher context per thread (key schedule set
// once), collect failures inside their parallel region, throw only after it,
// and return no partial output on failure.
#ifndef TAVRIN_CRYPTO_SEALED_RECORD_H_
#define TAVRIN_CRYPTO_SEALED_RECORD_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/row_matrix.h"
#include "common/key.h"

namespace tavrin {

inline constexpr size_t kIvSize = 12;
inline constexpr size_t kTagSize = 16;
inline constexpr size_t kSealOverhead = kIvSize + kTagSize;

// Associated data: authenticated with a record but not stored in it. A record
// sealed with an AD block opens only with the same block, which is how a
// record is bound to the place it was written for. Null means none.
inline constexpr size_t kRecordAdSize = 32;
using RecordAd = std::array<uint8_t, kRecordAdSize>;

// One record, sealed or opened on the calling thread. open_record refuses a
// record shorter than 28 bytes ("Failed to decrypt") and one whose tag does
// not verify (a wrong key or altered bytes).
Bytes seal_record(ByteView plaintext, const Key256& key, const RecordAd* ad = nullptr);
Bytes open_record(ByteView record, const Key256& key, const RecordAd* ad = nullptr);

// Row i of the result is the sealed (opened) row i of the input. Throws
// "Failed to encrypt N plaintexts" / "Failed to decrypt N ciphertexts".
// decrypt_rows refuses rows shorter than 28 bytes with a runtime error
// before opening any.
ByteMatrix encrypt_rows(const ByteMatrix& rows, const Key256& key);
ByteMatrix decrypt_rows(const ByteMatrix& rows, const Key256& key);

// Same length and order as the input. Each failed item is reported as one
// line "Error for item i: message" on standard error, then one runtime error
// is thrown. decrypt_items passes empty entries through as empty.
// `ads`, when given, holds one AD block per item (std::invalid_argument
// otherwise).
std::vector<Bytes> encrypt_items(const std::vector<Bytes>& items, const Key256& key,
                                 const std::vector<RecordAd>* ads = nullptr);
std::vector<Bytes> decrypt_items(const std::vector<Bytes>& records, const Key256& key,
                                 const std::vector<RecordAd>* ads = nullptr);
// encrypt_items of plaintexts built where they are sealed: item i has
// sizes[i] bytes, which build(i, at) writes at `at` (zeroed beforehand), on
// the sealing thread, so that no plaintext needs a buffer of its own. build
// must not throw.
std::vector<Bytes> seal_built_items(const std::vector<size_t>& sizes, const Key256& key,
                                    const std::vector<RecordAd>* ads,
                                    const std::function<void(size_t, uint8_t*)>& build);

// decrypt_items into one buffer, for reads of many records at once: item i
// is data[offsets[i], offsets[i + 1]) (empty for an empty record). One
// allocation instead of one per item; same errors as decrypt_items.
struct OpenedItems {
  Bytes data;
  std::vector<uint64_t> offsets;  // records.size() + 1 entries
};
OpenedItems decrypt_items_packed(const std::vector<Bytes>& records, const Key256& key,
                                 const std::vector<RecordAd>* ads = nullptr);
OpenedItems decrypt_items_packed(const std::vector<ByteView>& records, const Key256& key,
                                 const std::vector<RecordAd>* ads = nullptr);

// decrypt_items without keeping the plaintexts: each non-empty record is
// opened into a buffer of the opening thread and handed to use(i, data, size)
// on that thread, so a large read never holds all its plaintexts at once. use
// must not throw; it runs only for records that opened. Same errors as
// decrypt_items, thrown after every record was tried.
void open_items_each(const std::vector<ByteView>& records, const Key256& key,
                     const std::function<void(size_t, const uint8_t*, size_t)>& use,
                     const std::vector<RecordAd>* ads = nullptr);

}  // namespace tavrin

#endif  // TAVRIN_CRYPTO_SEALED_RECORD_H_
