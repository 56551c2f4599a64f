#include "backing_store/redis_cluster_keystore.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "backing_store/redis_fence.h"
#include "common/coding.h"
#include "common/diagnostics.h"

namespace tavrin_encrypted_index::internal::backing_store {

namespace {

constexpr int kShards = RedisClusterKeystore::kShards;

void put_le8(char* out, uint64_t v) { tavrin::EncodeFixed64(reinterpret_cast<uint8_t*>(out), v); }


// The shards' hash tags: for each 64-slot stretch of the slot range, the
// first decimal number whose slot falls into it. Stored keys are named by
// these: the rule never changes.
const std::vector<std::string>& shard_tags() {
  static const std::vector<std::string> tags = [] {
    std::vector<std::string> t(kShards);
    int filled = 0;
    for (uint64_t n = 0; filled < kShards; ++n) {
      std::string s = std::to_string(n);
      std::string& tag = t[cluster_key_slot(s) / (kClusterSlots / kShards)];
      if (tag.empty()) tag = std::move(s), ++filled;
    }
    return t;
  }();
  return tags;
}

// Both optionals are checked before anything connects.
const std::string& connection_string_of(const tavrin::DBConfig& config) {
  if (!config.connection_string) {
    throw std::runtime_error("The Redis store needs a connection string");
  }
  if (!config.table_name) throw std::runtime_error("The Redis store needs a table name");
  return *config.connection_string;
}

}  // namespace

RedisClusterKeystore::RedisClusterKeystore(const tavrin::DBConfig& config, std::string index_name,
                                           uint64_t base, int32_t role)
    : router_(connection_string_of(config)),
      index_name_(std::move(index_name)),
      hashed_index_name_(base + static_cast<uint64_t>(static_cast<int64_t>(role))),
      table_name_(*config.table_name),
      role_(role) {
  const std::string prefix = le8(hashed_index_name_);
  for (const std::string& tag : shard_tags()) shard_keys_.push_back(prefix + "{" + tag + "}");
}

void RedisClusterKeystore::SetFence(const WriteFence* fence) {
  fence_ = fence;
  fence_number_ = fence ? std::to_string(fence->number) : std::string();
  if (fence) FindFenceKeys();
}

void RedisClusterKeystore::FindFenceKeys() {
  if (!fence_keys_.empty()) return;
  for (const std::string& key : shard_keys_) fence_keys_[key] = fence_key_for(key, key);
  fence_keys_[table_name_] = fence_key_for(table_name_, fence_name(table_name_, index_name_));
}

uint64_t RedisClusterKeystore::RaiseFence() {
  if (!fence_) return 0;
  std::vector<std::vector<std::string_view>> commands;
  for (const auto& [key, fence_key] : fence_keys_) {
    commands.push_back(raise_fence_command(fence_key, fence_number_));
  }
  uint64_t higher = 0;
  for (const RedisReply& r : Checked(commands, true, "Failed to take the index lease", false)) {
    if (r->type == REDIS_REPLY_INTEGER) higher = std::max<uint64_t>(higher, r->integer);
  }
  return higher;
}

std::vector<RedisReply> RedisClusterKeystore::Checked(
    const std::vector<std::vector<std::string_view>>& commands, bool write, const char* what,
    bool fenced) {
  std::vector<std::vector<std::string_view>> guarded;
  if (write && fenced && fence_) {
    for (const auto& c : commands) guarded.push_back(fenced_command(c, fence_keys_.at(std::string(c.at(1))), fence_number_));
  }
  std::vector<RedisReply> replies = router_.Run(guarded.empty() ? commands : guarded, write);
  for (const RedisReply& r : replies) {
    if (r->type == REDIS_REPLY_ERROR) {
      throw std::runtime_error(std::string(what) + ": " + reply_text(r.get()));
    }
  }
  return replies;
}

std::vector<std::vector<std::string_view>> RedisClusterKeystore::PerShard(
    const char* verb, const std::vector<uint64_t>& keys, std::string& fields,
    const std::vector<std::string_view>* values, std::vector<std::vector<size_t>>* order) const {
  fields.assign(8 * keys.size(), '\0');
  std::vector<std::vector<size_t>> by_shard(kShards);
  for (size_t i = 0; i < keys.size(); ++i) {
    if (values != nullptr && (*values)[i].empty()) continue;  // an empty value is not written
    put_le8(&fields[8 * i], keys[i]);
    by_shard[ShardOf(keys[i])].push_back(i);
  }
  // At most kFieldsPerCommand fields a command: a fenced write hands its
  // arguments to a script, which takes some 8,000 at most.
  std::vector<std::vector<std::string_view>> commands;
  for (int s = 0; s < kShards; ++s) {
    for (size_t from = 0; from < by_shard[s].size(); from += kFieldsPerCommand) {
      const size_t to = std::min(by_shard[s].size(), from + kFieldsPerCommand);
      std::vector<std::string_view> args{verb, shard_keys_[s]};
      args.reserve(2 + (to - from) * (values ? 2 : 1));
      for (size_t k = from; k < to; ++k) {
        const size_t i = by_shard[s][k];
        args.emplace_back(&fields[8 * i], 8);
        if (values != nullptr) args.push_back((*values)[i]);
      }
      commands.push_back(std::move(args));
      if (order != nullptr) {
        order->emplace_back(by_shard[s].begin() + from, by_shard[s].begin() + to);
      }
    }
  }
  return commands;
}

void RedisClusterKeystore::Hset(const std::vector<uint64_t>& keys,
                                const std::vector<std::string_view>& values) {
  std::string fields;
  // One HSET per shard: its later duplicate fields win, as they come later.
  const auto commands = PerShard("HSET", keys, fields, &values, nullptr);
  if (!commands.empty()) Checked(commands, true, "HSET command failed in batch execution");
}

void RedisClusterKeystore::BatchPutRows(const std::vector<uint64_t>& keys,
                                        const ByteMatrix& matrix) {
  const std::vector<std::string_view> rows = row_views(keys, matrix, row_size);
  if (!rows.empty()) Hset(keys, rows);
}

void RedisClusterKeystore::BatchPutItems(const std::vector<uint64_t>& keys,
                                         const std::vector<Bytes>& values) {
  Hset(keys, item_views(keys, values));
}

void RedisClusterKeystore::PutItem(uint64_t key, const Bytes& value) {
  Checked({{"HSET", shard_keys_[ShardOf(key)], le8(key), view(value)}}, true,
          "HSET command failed");
}

void RedisClusterKeystore::BatchDeleteItems(const std::vector<uint64_t>& keys) {
  if (keys.empty()) {
    tavrin::Warn("No keys provided for batch deletion");
    return;
  }
  std::string fields;
  Checked(PerShard("HDEL", keys, fields, nullptr, nullptr), true, "HDEL command failed");
}

void RedisClusterKeystore::DeleteItem(uint64_t key) {
  Checked({{"HDEL", shard_keys_[ShardOf(key)], le8(key)}}, true, "HDEL command failed");
}

Bytes RedisClusterKeystore::GetItem(uint64_t key) {
  auto r = Checked({{"HGET", shard_keys_[ShardOf(key)], le8(key)}}, false, "HGET command failed");
  if (r[0]->type != REDIS_REPLY_STRING) return {};
  return Bytes(r[0]->str, r[0]->str + r[0]->len);
}

std::vector<RedisReply> RedisClusterKeystore::Hmget(const std::vector<uint64_t>& keys,
                                                    std::vector<std::vector<size_t>>& order) {
  std::string fields;
  auto replies = Checked(PerShard("HMGET", keys, fields, nullptr, &order), false,
                         "HMGET command failed");
  for (size_t c = 0; c < replies.size(); ++c) {
    if (replies[c]->type != REDIS_REPLY_ARRAY || replies[c]->elements != order[c].size()) {
      throw std::runtime_error("HMGET command failed: unexpected reply");
    }
  }
  return replies;
}

ByteMatrix RedisClusterKeystore::BatchGetRows(const std::vector<uint64_t>& keys) {
  if (keys.empty()) return ByteMatrix();
  std::vector<std::vector<size_t>> order;
  const auto replies = Hmget(keys, order);
  ByteMatrix out = ByteMatrix::zeros(keys.size(), row_size);
  for (size_t c = 0; c < replies.size(); ++c) {
    for (size_t j = 0; j < order[c].size(); ++j) {
      const redisReply* e = replies[c]->element[j];
      const size_t i = order[c][j];
      if (e->type != REDIS_REPLY_STRING) continue;
      // Another width would shift every later row onto the wrong key.
      if (e->len != row_size) throw std::runtime_error(stored_width_error(keys[i], e->len, row_size));
      if (e->len != 0) std::memcpy(out.row(i), e->str, e->len);
    }
  }
  return out;
}

std::vector<Bytes> RedisClusterKeystore::BatchGetItems(const std::vector<uint64_t>& keys) {
  std::vector<Bytes> out(keys.size());
  if (keys.empty()) return out;
  std::vector<std::vector<size_t>> order;
  const auto replies = Hmget(keys, order);
  for (size_t c = 0; c < replies.size(); ++c) {
    for (size_t j = 0; j < order[c].size(); ++j) {
      const redisReply* e = replies[c]->element[j];
      if (e->type == REDIS_REPLY_STRING) out[order[c][j]].assign(e->str, e->str + e->len);
    }
  }
  return out;
}

void RedisClusterKeystore::PushConfigItem(const std::string& name, const Bytes& value) {
  PushConfigItems({{name, value}});
}

void RedisClusterKeystore::PushConfigItems(
    const std::vector<std::pair<std::string, Bytes>>& items) {
  // One HSET of every field on one key: Redis applies a command whole.
  std::vector<std::string_view> args{"HSET", table_name_};
  for (const auto& [name, value] : items) {
    args.push_back(name);
    args.push_back(view(value));
  }
  Checked({args}, true, "Redis HSET error");
}

Bytes RedisClusterKeystore::LoadConfigItem(const std::string& name) {
  return config_item_of(router_.RunOne({"HGET", table_name_, name}, false).get(), name);
}

bool RedisClusterKeystore::ConfigItemExists(const std::string& name) {
  return config_item_exists(router_.RunOne({"HEXISTS", table_name_, name}, false).get());
}

std::vector<RedisReply> RedisClusterKeystore::OnEveryShard(const char* verb, bool write,
                                                           const char* what) {
  std::vector<std::vector<std::string_view>> commands;
  for (const std::string& key : shard_keys_) commands.push_back({verb, key});
  return Checked(commands, write, what);
}

void RedisClusterKeystore::DeleteIndex() {
  if (role_ == 1) {
    auto exists = Checked({{"EXISTS", table_name_}}, false, "DEL command failed");
    if (exists[0]->type == REDIS_REPLY_INTEGER && exists[0]->integer == 0) {
      tavrin::Warn("Warning: No table found with name " + table_name_ + " to delete.");
      return;
    }
    // Only this index's two fields: the hash is shared by every index that
    // names this table.
    Checked({{"HDEL", table_name_, index_name_ + ".cvs", index_name_ + ".cei"}}, true,
            "DEL command failed");
    return;
  }
  long long deleted = 0;
  for (const RedisReply& r : OnEveryShard("DEL", true, "DEL command failed")) {
    if (r->type == REDIS_REPLY_INTEGER) deleted += r->integer;
  }
  // The fences go with the values they kept (also ones an earlier handle set).
  FindFenceKeys();
  std::vector<std::vector<std::string_view>> commands;
  for (const std::string& key : shard_keys_) commands.push_back({"DEL", fence_keys_.at(key)});
  Checked(commands, true, "DEL command failed", false);
  if (deleted == 0) {
    tavrin::Warn("Warning: No index found with name " + std::to_string(hashed_index_name_) +
                 " to delete.");
  }
}

uint64_t RedisClusterKeystore::CountItems() {
  uint64_t n = 0;
  for (const RedisReply& r : OnEveryShard("HLEN", false, "HLEN command failed")) {
    if (r->type == REDIS_REPLY_INTEGER) n += static_cast<uint64_t>(r->integer);
  }
  return n;
}

void RedisClusterKeystore::SetRowSize(uint64_t size) { row_size = size; }

}  // namespace tavrin_encrypted_index::internal::backing_store
