// The Keystore on a Redis Cluster ("cluster:yes" in the connection string),
// through a RedisClusterRouter.
//
// One hash per store would be one key, one slot, one node: an index could
// never outgrow a server. So a store's items are split into 256 shards, each
// one hash. An item's shard comes from its 64-bit key (Fibonacci hashing of
// the key, top 8 bits); keys are pseudorandom tokens or labels already, so
// the split reveals nothing that the key itself does not. A shard's key is
// the 8 little-endian bytes of the hashed index name, then the shard's hash
// tag in braces; the 256 tags are fixed so that the shards fall into 256
// distinct slots, one in each 64-slot stretch of the slot range, and so
// spread over every master. Fields and values are as in the single-server
// store: the item key's 8 little-endian bytes, and the item's bytes.
//
// Configuration items live in one hash named by the table name, as on one
// server (one key: small, and written whole by one HSET).
//
// A batch becomes one command per shard it touches (HSET, HMGET, HDEL), sent
// per master in one pipeline; writes return once a replica has them.
#ifndef TAVRIN_BACKING_STORE_REDIS_CLUSTER_KEYSTORE_H_
#define TAVRIN_BACKING_STORE_REDIS_CLUSTER_KEYSTORE_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "backing_store/keystore.h"
#include "backing_store/redis_cluster_router.h"
#include "common/db_config.h"

namespace tavrin_encrypted_index::internal::backing_store {

class RedisClusterKeystore : public Keystore {
 public:
  static constexpr int kShards = 256;
  static constexpr size_t kFieldsPerCommand = 1024;

  // Needs the connection string and table name of `config`; connection
  // failures as in RedisClusterRouter.
  RedisClusterKeystore(const tavrin::DBConfig& config, std::string index_name, uint64_t base,
                       int32_t role);

  void BatchPutRows(const std::vector<uint64_t>& keys, const ByteMatrix& matrix) override;
  void BatchPutItems(const std::vector<uint64_t>& keys, const std::vector<Bytes>& values) override;
  void PutItem(uint64_t key, const Bytes& value) override;
  void BatchDeleteItems(const std::vector<uint64_t>& keys) override;
  void DeleteItem(uint64_t key) override;
  Bytes GetItem(uint64_t key) override;
  ByteMatrix BatchGetRows(const std::vector<uint64_t>& keys) override;
  std::vector<Bytes> BatchGetItems(const std::vector<uint64_t>& keys) override;
  void PushConfigItem(const std::string& name, const Bytes& value) override;
  void PushConfigItems(const std::vector<std::pair<std::string, Bytes>>& items) override;
  Bytes LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteIndex() override;
  uint64_t CountItems() override;
  void SetRowSize(uint64_t size) override;
  void SetFence(const WriteFence* fence) override;
  uint64_t RaiseFence() override;

  static int ShardOf(uint64_t key) {
    return static_cast<int>((key * 0x9E3779B97F4A7C15ull) >> 56);
  }
  const std::string& ShardKey(int shard) const { return shard_keys_[shard]; }
  RedisClusterRouter& router() { return router_; }

 private:
  // Runs the commands, through the fence script when `write` and a fence is
  // set; throws `what` (+ the reason) on any error reply.
  std::vector<RedisReply> Checked(const std::vector<std::vector<std::string_view>>& commands,
                                  bool write, const char* what, bool fenced = true);
  // One command per shard that `keys` touch: `verb`, the shard's key, then
  // for each key of the shard its field (and its value, when `values` is
  // given and the value is not empty). `order` gets the key positions of
  // each command, in its field order.
  std::vector<std::vector<std::string_view>> PerShard(
      const char* verb, const std::vector<uint64_t>& keys, std::string& fields,
      const std::vector<std::string_view>* values, std::vector<std::vector<size_t>>* order) const;
  std::vector<RedisReply> Hmget(const std::vector<uint64_t>& keys,
                                std::vector<std::vector<size_t>>& order);
  void Hset(const std::vector<uint64_t>& keys, const std::vector<std::string_view>& values);
  // One command on every shard key.
  std::vector<RedisReply> OnEveryShard(const char* verb, bool write, const char* what);

  uint64_t row_size = 8;
  RedisClusterRouter router_;
  std::string index_name_;
  uint64_t hashed_index_name_;
  std::vector<std::string> shard_keys_;
  std::string table_name_;
  int32_t role_;
  const WriteFence* fence_ = nullptr;
  std::string fence_number_;
  std::unordered_map<std::string, std::string> fence_keys_;  // of each key written, with the first fence
  void FindFenceKeys();
};

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_REDIS_CLUSTER_KEYSTORE_H_
