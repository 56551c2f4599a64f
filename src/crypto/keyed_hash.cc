#include "crypto/keyed_hash.h"

#include <omp.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <new>
#include <stdexcept>

#include "crypto/sha3.h"

namespace tavrin {
namespace {

// Below this many identifiers a parallel region costs more than it saves.
constexpr size_t kParallelTokens = 2048;

}  // namespace

Key256 hmac_sha3_256(const Key256& key, const uint8_t* data, size_t len) {
  Key256 out;
  unsigned int out_len = 0;
  static const uint8_t kEmpty = 0;
  if (HMAC(EVP_sha3_256(), key.data(), static_cast<int>(key.size()), len ? data : &kEmpty, len,
           out.data(), &out_len) == nullptr ||
      out_len != out.size()) {
    throw std::runtime_error("Failed to compute HMAC hash");
  }
  return out;
}

Key256 hmac_sha3_256(const Key256& key, const std::string& data) {
  return hmac_sha3_256(key, reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

uint64_t hmac_u64(const Key256& key, const std::string& data) {
  return load_be64(hmac_sha3_256(key, data).data());
}

uint64_t sha3_u64(const uint8_t* data, size_t len) { return load_be64(sha3_256(data, len).data()); }

std::vector<uint64_t> item_tokens(const std::vector<std::string>& ids, const Key256& subkey) {
  const size_t n = ids.size();
  std::vector<uint64_t> tokens(n);
  bool failed = false;
#pragma omp parallel if (n >= kParallelTokens)
  {
    // One buffer per thread, grown to the longest identifier it meets. A
    // failed allocation is recorded here and thrown after the region.
    std::vector<uint8_t> buf;
    try {
      buf.assign(subkey.begin(), subkey.end());
    } catch (const std::bad_alloc&) {
#pragma omp atomic write
      failed = true;
    }
#pragma omp for schedule(static)
    for (size_t i = 0; i < n; ++i) {
      if (buf.size() < kKeySize) continue;
      const std::string& id = ids[i];
      try {
        buf.resize(kKeySize + id.size());
      } catch (const std::bad_alloc&) {
#pragma omp atomic write
        failed = true;
        continue;
      }
      if (!id.empty()) std::memcpy(buf.data() + kKeySize, id.data(), id.size());
      tokens[i] = sha3_u64(buf.data(), buf.size());
    }
  }
  if (failed) throw std::bad_alloc();
  return tokens;
}

IndexKeys derive_index_keys(const Key256& index_key, const std::string& index_name) {
  IndexKeys keys;
  keys.name_key = hmac_sha3_256(index_key, index_name);
  keys.hashed_index_name = load_be64(keys.name_key.data());
  keys.data_key = hmac_sha3_256(index_key, index_name + ".data");
  keys.content_key = hmac_sha3_256(index_key, index_name + ".content");
  keys.metadata_key = hmac_sha3_256(index_key, index_name + ".centroid_metadata");
  return keys;
}

}  // namespace tavrin
