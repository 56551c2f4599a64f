#include "crypto/keyed_hash.h"

#include <omp.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>

#include <algorithm>
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
  return DecodeBigEndian64(hmac_sha3_256(key, data).data());
}

uint64_t sha3_u64(const uint8_t* data, size_t len) { return DecodeBigEndian64(sha3_256(data, len).data()); }

std::vector<uint64_t> item_tokens(const std::vector<std::string>& ids, const Key256& subkey) {
  const size_t n = ids.size();
  std::vector<uint64_t> tokens(n);
  // Identifiers short enough that subkey || id fits one block go through the
  // four-way kernel in groups of four consecutive items; the rest are hashed
  // one at a time from a per-thread buffer.
  constexpr size_t kMaxShortId = kSha3MaxOneBlock - kKeySize;
  const size_t groups = (n + 3) / 4;
  bool failed = false;
#pragma omp parallel if (n >= kParallelTokens)
  {
    std::vector<uint8_t> buf;  // only for identifiers longer than a block
    uint64_t blocks[4][17], digests[4][4];
#pragma omp for schedule(static)
    for (size_t g = 0; g < groups; ++g) {
      const size_t first = 4 * g, count = std::min<size_t>(4, n - first);
      bool all_short = count == 4;
      for (size_t k = 0; k < count; ++k)
        all_short = all_short && ids[first + k].size() <= kMaxShortId;
      if (all_short) {
        for (size_t k = 0; k < 4; ++k) {
          const std::string& id = ids[first + k];
          sha3_pad_block(subkey.data(), kKeySize, reinterpret_cast<const uint8_t*>(id.data()),
                         id.size(), blocks[k]);
        }
        sha3_256_blocks_x4(blocks, digests);
        for (size_t k = 0; k < 4; ++k) tokens[first + k] = digest_word0_be(digests[k][0]);
        continue;
      }
      for (size_t k = 0; k < count; ++k) {
        const std::string& id = ids[first + k];
        // A failed allocation is recorded and thrown after the region.
        try {
          buf.resize(kKeySize + id.size());
        } catch (const std::bad_alloc&) {
#pragma omp atomic write
          failed = true;
          continue;
        }
        std::memcpy(buf.data(), subkey.data(), kKeySize);
        if (!id.empty()) std::memcpy(buf.data() + kKeySize, id.data(), id.size());
        tokens[first + k] = sha3_u64(buf.data(), buf.size());
      }
    }
  }
  if (failed) throw std::bad_alloc();
  return tokens;
}

IndexKeys derive_index_keys(const Key256& index_key, const std::string& index_name) {
  IndexKeys keys;
  keys.name_key = hmac_sha3_256(index_key, index_name);
  keys.hashed_index_name = DecodeBigEndian64(keys.name_key.data());
  keys.data_key = hmac_sha3_256(index_key, index_name + ".data");
  keys.content_key = hmac_sha3_256(index_key, index_name + ".content");
  keys.metadata_key = hmac_sha3_256(index_key, index_name + ".centroid_metadata");
  return keys;
}

Key256 hkdf_subkey(const Key256& index_key, const std::string& label,
                   const std::string& index_name) {
  std::string info = "tavrindb te1";
  for (const std::string* part : {&label, &index_name}) {
    const uint32_t n = static_cast<uint32_t>(part->size());
    for (int b = 0; b < 4; ++b) info.push_back(static_cast<char>((n >> (8 * b)) & 0xFF));
    info += *part;
  }
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  EVP_KDF_CTX* ctx = kdf ? EVP_KDF_CTX_new(kdf) : nullptr;
  EVP_KDF_free(kdf);
  if (ctx == nullptr) throw std::runtime_error("Failed to derive a subkey");
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<uint8_t*>(index_key.data()),
                                        index_key.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info.data(), info.size()),
      OSSL_PARAM_construct_end()};
  Key256 out;
  const int ok = EVP_KDF_derive(ctx, out.data(), out.size(), params);
  EVP_KDF_CTX_free(ctx);
  if (ok != 1) throw std::runtime_error("Failed to derive a subkey");
  return out;
}

TamperKeys derive_tamper_keys(const Key256& index_key, const std::string& index_name) {
  TamperKeys keys;
  keys.name_key = hkdf_subkey(index_key, "name", index_name);
  keys.hashed_index_name = DecodeBigEndian64(keys.name_key.data());
  keys.data_key = hkdf_subkey(index_key, "data", index_name);
  keys.content_key = hkdf_subkey(index_key, "content", index_name);
  keys.metadata_key = hkdf_subkey(index_key, "centroid metadata", index_name);
  keys.record_key = hkdf_subkey(index_key, "item records", index_name);
  keys.contents_seal_key = hkdf_subkey(index_key, "item contents", index_name);
  keys.state_key = hkdf_subkey(index_key, "index state", index_name);
  keys.list_key = hkdf_subkey(index_key, "list seeds", index_name);
  keys.config_key = hkdf_subkey(index_key, "configuration", index_name);
  return keys;
}

}  // namespace tavrin
