// Keyed hashing and the fixed derivations of an index: the four subkeys, the
// 64-bit hashed index name and the 64-bit item tokens that stand for item
// identifiers in the stores. HMAC goes through OpenSSL (HMAC over SHA3-256);
// the unkeyed digests use our own SHA3-256. Every 64-bit value taken from a
// digest is its first 8 bytes read big-endian. All functions are pure and
// thread-safe; the HMAC forms throw std::runtime_error("Failed to compute HMAC
// hash") when OpenSSL gives no result.
//
// An item token is SHA3-256(subkey || identifier bytes), a prefix-keyed hash
// and not an HMAC: stored tokens depend on exactly this construction.
#ifndef TAVRIN_CRYPTO_KEYED_HASH_H_
#define TAVRIN_CRYPTO_KEYED_HASH_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/key.h"

namespace tavrin {

Key256 hmac_sha3_256(const Key256& key, const uint8_t* data, size_t len);
Key256 hmac_sha3_256(const Key256& key, const std::string& data);
uint64_t hmac_u64(const Key256& key, const std::string& data);

uint64_t sha3_u64(const uint8_t* data, size_t len);

// One token per identifier, same order; parallel over large lists.
std::vector<uint64_t> item_tokens(const std::vector<std::string>& ids, const Key256& subkey);

struct IndexKeys {
  Key256 name_key;      // HMAC(K, name); its first 8 bytes are the hashed name
  Key256 data_key;      // HMAC(K, name + ".data")
  Key256 content_key;   // HMAC(K, name + ".content")
  Key256 metadata_key;  // HMAC(K, name + ".centroid_metadata")
  uint64_t hashed_index_name;
};

IndexKeys derive_index_keys(const Key256& index_key, const std::string& index_name);

// HKDF-SHA256 (RFC 5869, no salt) of the index key with info
// "tavrindb te1" || u32 len || label || u32 len || index name (lengths
// little-endian), so that no two (label, name) pairs share an info string.
Key256 hkdf_subkey(const Key256& index_key, const std::string& label,
                   const std::string& index_name);

// The subkeys of a tamper-evident index: each use has its own, and the index
// key itself never keys a cipher or a MAC.
struct TamperKeys {
  Key256 name_key;      // its first 8 bytes are the hashed name (store scope)
  Key256 data_key;      // item tokens
  Key256 content_key;   // content tokens
  Key256 metadata_key;  // centroid metadata map fields
  Key256 record_key;    // seals item records
  Key256 contents_seal_key;  // seals contents
  Key256 state_key;     // seals the state row, bucket rows, map and records of the index
  Key256 list_key;      // with name_key, the list seeds
  Key256 config_key;    // seals the configuration items
  uint64_t hashed_index_name = 0;
};

TamperKeys derive_tamper_keys(const Key256& index_key, const std::string& index_name);

}  // namespace tavrin

#endif  // TAVRIN_CRYPTO_KEYED_HASH_H_
