// The Keystore on a Redis server, through one connection (redis_connection.h)
// opened by the constructor and freed by the destructor.
//
// Items of a store live in one hash whose key is the 8 bytes of the hashed
// index name, little-endian; each field is the 8 bytes of an item key,
// little-endian, and its value the item's bytes. Configuration items live in
// one hash named by the table name, shared by every index that uses it; a
// configuration store removes only its own index's two fields from it.
//
// Batch inserts are HSETs of up to kFieldsPerCommand fields each, all queued
// before the first reply is read; batch reads are HMGETs of as many fields,
// pipelined the same way. Under a lease's fence (redis_fence.h) single writes
// go through the fence script, and a batch write checks the fence key once
// (WATCH, GET) and runs as one MULTI/EXEC transaction, dropped by the server
// and checked again if the key changed in between. Any error reply or
// missing reply throws, reads included: a failed read is never taken for an
// absent value.
#ifndef TAVRIN_BACKING_STORE_REDIS_KEYSTORE_H_
#define TAVRIN_BACKING_STORE_REDIS_KEYSTORE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "backing_store/keystore.h"
#include "backing_store/redis_connection.h"
#include "common/db_config.h"

namespace tavrin_encrypted_index::internal::backing_store {

class RedisKeystore : public Keystore {
 public:
  // Fields per HSET or HMGET of a batch.
  static constexpr size_t kFieldsPerCommand = 1024;
  // Checks of the fence key a fenced batch write makes at most, while the
  // key keeps changing before its transaction.
  static constexpr int kFencedAttempts = 8;

  // Needs the connection string and table name of `config`; connection
  // failures as in RedisConnection.
  RedisKeystore(const tavrin::DBConfig& config, std::string index_name, uint64_t base,
                int32_t role);

  void BatchPutRows(const std::vector<uint64_t>& keys, const ByteMatrix& matrix) override;
  void BatchPutItems(const std::vector<uint64_t>& keys, const std::vector<Bytes>& values) override;
  void PutItem(uint64_t key, const Bytes& value) override;
  void BatchDeleteItems(const std::vector<uint64_t>& keys) override;
  void DeleteItem(uint64_t key) override;
  Bytes GetItem(uint64_t key) override;
  ByteMatrix BatchGetRows(const std::vector<uint64_t>& keys) override;
  std::vector<Bytes> BatchGetItems(const std::vector<uint64_t>& keys) override;
  // Views into the server's replies, kept until the next batch view or write.
  std::vector<ByteView> BatchViewItems(const std::vector<uint64_t>& keys,
                                       std::vector<Bytes>& holder) override;
  void PushConfigItem(const std::string& name, const Bytes& value) override;
  void PushConfigItems(const std::vector<std::pair<std::string, Bytes>>& items) override;
  Bytes LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteIndex() override;
  uint64_t CountItems() override;
  void SetRowSize(uint64_t size) override;

  void SetFence(const WriteFence* fence) override;
  uint64_t RaiseFence() override;

  uint64_t hashed_index_name() const { return hashed_index_name_; }
  void SetCommandTimeout(std::chrono::milliseconds timeout) { conn_.SetCommandTimeout(timeout); }
  // For tests: runs after a fenced batch write has checked the fence key
  // and before it sends its transaction.
  void set_after_fence_check(std::function<void()> hook) { after_fence_check_ = std::move(hook); }

 private:
  // Sends one command; throws `what` (+ the reason) on a missing or error
  // reply.
  RedisReply Checked(const std::vector<std::string_view>& args, const char* what);
  // Queues `verb` commands on the fields of `keys` (with their values, those
  // not empty, when `values` is given) and reads every reply before
  // reporting the first failure as `failed`: the connection stays in step.
  void PipelineFields(const char* verb, const std::vector<uint64_t>& keys,
                      const std::vector<std::string_view>* values, const char* queue_error,
                      const std::string& failed);
  // `commands`, writes of this store's hash, under the fence: one check of
  // the fence key, then all of them in one transaction that the server
  // runs only if the key did not change since (else checked again, up to
  // kFencedAttempts times).
  void FencedPipeline(const std::vector<std::vector<std::string_view>>& commands,
                      const char* queue_error, const std::string& failed);
  // Reads `count` replies (throwing `failed` on a missing one) and returns
  // the text of the first error reply among them, or "".
  std::string FirstErrorOf(size_t count, const std::string& failed);
  // The HSETs of every (key, value) with a non-empty value.
  void PipelineHset(const std::vector<uint64_t>& keys, const std::vector<std::string_view>& values);
  // One reply per kFieldsPerCommand keys, every one checked.
  std::vector<RedisReply> Hmget(const std::vector<uint64_t>& keys);
  static const redisReply* HmgetElement(const std::vector<RedisReply>& replies, size_t i);

  uint64_t row_size = 8;
  RedisConnection conn_;
  std::string index_name_;
  uint64_t hashed_index_name_;
  std::string hash_key_;  // the 8 little-endian bytes of hashed_index_name_
  std::string table_name_;
  int32_t role_;
  std::vector<RedisReply> held_;  // replies BatchViewItems handed out views of
  // A write command ({verb, key, ...}) as it is sent: through the fence
  // script while a fence is set.
  std::vector<std::string_view> Guard(const std::vector<std::string_view>& command) const;
  const WriteFence* fence_ = nullptr;
  std::string fence_number_;
  std::string data_fence_key_, config_fence_key_;  // found with the first fence
  std::function<void()> after_fence_check_;
  void FindFenceKeys();
};

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_REDIS_KEYSTORE_H_
