// What a Client hands to the EncryptedIndex constructors for one index: its
// name and key, copies of the client's four locations and options, and the
// shape values the index needs before it has read its own records. The
// constructors copy what they keep; the record is discarded after them.
#ifndef TAVRIN_CLIENT_INDEX_PARAMS_H_
#define TAVRIN_CLIENT_INDEX_PARAMS_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "common/db_config.h"
#include "common/key.h"

namespace tavrin {

using IndexKey = Key256;

struct IndexParams {
  std::string index_name;
  IndexKey index_key{};
  DBConfig index_location;
  DBConfig config_location;
  DBConfig items_location;
  // Where the item records live: the client passes its index location.
  DBConfig fourth_location;
  std::optional<int32_t> cpu_threads;
  std::optional<bool> gpu_accelerate;
  // The result cache's capacity; empty when the caller gave None.
  std::optional<uint64_t> max_cache_size;
  // Depth of the centroid seed tree.
  uint32_t key_size = 32;
  // Filled from the configuration on create and load-from-bytes; a stored
  // index reads them from its own records instead.
  uint32_t n_lists = 0;
  uint64_t vector_bytes = 0;
  // Create in the tamper-evident format; a stored index reads its format
  // from its own records.
  bool tamper_evident = false;
  // Create, tamper-evident: log2 of the bucket count, 0 for the default
  // (kBucketBits); tests make indexes of the earlier 1,024-bucket layout.
  uint32_t tamper_bucket_bits = 0;
  // Load: refuse a tamper-evident index whose stored epoch is older.
  std::optional<uint64_t> min_epoch;
  // Items per pair of store batches when an operation writes or reads in
  // chunks; 0 for the default. Tests make it small so that every operation
  // crosses chunk boundaries.
  uint64_t write_chunk = 0;
};

}  // namespace tavrin

#endif  // TAVRIN_CLIENT_INDEX_PARAMS_H_
