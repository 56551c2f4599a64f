// The entry object of the library: the storage locations an index uses and
// the processing options. Holds copies of its records and nothing else; it
// opens no store itself. Every field is written only by the constructor, so
// concurrent calls on one Client are safe.
#ifndef TAVRIN_CLIENT_CLIENT_H_
#define TAVRIN_CLIENT_CLIENT_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/index_config.h"
#include "config/index_params.h"
#include "common/db_config.h"
#include "common/key.h"
#include "common/row_matrix.h"
#include "encrypted_index/encrypted_index.h"

namespace tavrin {

// The largest thread count a client takes. Fixed, not the machine's core
// count: a program written for a larger machine must still run.
inline constexpr int32_t kMaxCpuThreads = 1024;

class Client {
 public:
  // Throws std::invalid_argument "cpu_threads must be between 0 and 1024."
  // for a count outside that range. Locations are not checked here: bad ones
  // surface when an index opens them.
  Client(const DBConfig& index_location, const DBConfig& config_location,
         const DBConfig& items_location, int32_t cpu_threads, bool gpu_accelerate);

  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Validates in this order and throws std::invalid_argument: a name over
  // 255 bytes, an empty name, a name that is not UTF-8, an all-zero key,
  // n_lists 0, dimension 0, an unknown metric, n_lists above kMaxLists
  // ("n_lists cannot be larger than 1048576."), a dimension too large. Then
  // opens a new index; its failures are written as "Error in CreateIndex: "
  // + message on standard error and rethrown.
  // tamper_evident chooses the tamper-evident storage format.
  std::unique_ptr<EncryptedIndex> CreateIndex(const std::string& index_name, const Key256& index_key,
                                              const IndexConfig& index_config,
                                              std::optional<uint64_t> max_cache_size,
                                              bool tamper_evident = false) const;
  // Opens a stored index. Refuses any MEMORY location (std::runtime_error,
  // checked first) and an empty name (std::invalid_argument). With
  // min_epoch, a tamper-evident index whose stores are at an older epoch is
  // refused (IntegrityError), and an index in the original format too
  // (std::invalid_argument: it keeps no epoch).
  std::unique_ptr<EncryptedIndex> LoadIndex(const std::string& index_name, const Key256& index_key,
                                            std::optional<uint64_t> max_cache_size,
                                            std::optional<uint64_t> min_epoch = std::nullopt) const;
  // Rebuilds an empty, trained index from index-record bytes; all four
  // locations must be MEMORY (checked after the bytes parse). The record's
  // name and configuration, and the key, are then checked as CreateIndex
  // checks them.
  std::unique_ptr<EncryptedIndex> LoadSerializedIndex(const Bytes& buffer,
                                                      const Key256& index_key) const;

  // Names of the indexes kept by the configuration location: a PostgreSQL
  // table or a Redis hash named by its table name. An in-process location
  // keeps no configuration items and is refused. Every failure is reported on
  // standard error and thrown as std::invalid_argument.
  std::vector<std::string> ListIndexes() const;

  int32_t GetCpuThreads() const { return cpu_threads_; }
  bool IsGpuEnabled() const { return gpu_accelerate_; }

  const DBConfig& index_location() const { return index_location_; }
  const DBConfig& config_location() const { return config_location_; }
  const DBConfig& items_location() const { return items_location_; }
  const DBConfig& fourth_location() const { return fourth_location_; }

 private:
  IndexParams params_for(const std::string& index_name, const Key256& index_key,
                         std::optional<uint64_t> max_cache_size) const;

  DBConfig index_location_;
  DBConfig config_location_;
  DBConfig items_location_;
  DBConfig fourth_location_;  // the index location again
  int32_t cpu_threads_;
  bool gpu_accelerate_;
};

}  // namespace tavrin

#endif  // TAVRIN_CLIENT_CLIENT_H_
