// One configuration item or count row sealed or opened as a one-row batch,
// so that its failures carry the batch messages ("Failed to decrypt 1
// ciphertexts"), which callers see when a wrong key opens an index.
#ifndef TAVRIN_ENCRYPTED_INDEX_SEALED_ROW_H_
#define TAVRIN_ENCRYPTED_INDEX_SEALED_ROW_H_

#include <utility>

#include "common/key.h"
#include "common/row_matrix.h"
#include "crypto/sealed_record.h"

namespace tavrin {

inline Bytes seal_row(const Bytes& plaintext, const Key256& key) {
  ByteMatrix sealed = encrypt_rows(ByteMatrix(Bytes(plaintext), plaintext.size()), key);
  return std::move(sealed.data);
}

inline Bytes open_row(Bytes record, const Key256& key) {
  const uint64_t width = record.size();
  ByteMatrix opened = decrypt_rows(ByteMatrix(std::move(record), width), key);
  return std::move(opened.data);
}

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_SEALED_ROW_H_
