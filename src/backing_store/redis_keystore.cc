#include "backing_store/redis_keystore.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "backing_store/redis_fence.h"
#include "common/coding.h"
#include "common/diagnostics.h"

namespace tavrin_encrypted_index::internal::backing_store {

namespace {

// Both optionals are checked before anything connects.
const std::string& connection_string_of(const tavrin::DBConfig& config) {
  if (!config.connection_string) {
    throw std::runtime_error("The Redis store needs a connection string");
  }
  if (!config.table_name) throw std::runtime_error("The Redis store needs a table name");
  return *config.connection_string;
}

}  // namespace

RedisKeystore::RedisKeystore(const tavrin::DBConfig& config, std::string index_name, uint64_t base,
                             int32_t role)
    : conn_(connection_string_of(config)),
      index_name_(std::move(index_name)),
      hashed_index_name_(base + static_cast<uint64_t>(static_cast<int64_t>(role))),
      hash_key_(le8(hashed_index_name_)),
      table_name_(*config.table_name),
      role_(role) {}

void RedisKeystore::SetFence(const WriteFence* fence) {
  fence_ = fence;
  fence_number_ = fence ? std::to_string(fence->number) : std::string();
  if (fence) FindFenceKeys();
}

void RedisKeystore::FindFenceKeys() {
  if (!data_fence_key_.empty()) return;
  data_fence_key_ = fence_key_for(hash_key_, hash_key_);
  config_fence_key_ = fence_key_for(table_name_, fence_name(table_name_, index_name_));
}

uint64_t RedisKeystore::RaiseFence() {
  if (!fence_) return 0;
  // Both: the configuration store writes its items, the others their hash.
  uint64_t higher = 0;
  for (const std::string* key : {&data_fence_key_, &config_fence_key_}) {
    RedisReply r = Checked(raise_fence_command(*key, fence_number_), "Failed to take the index lease");
    if (r->type == REDIS_REPLY_INTEGER) higher = std::max<uint64_t>(higher, r->integer);
  }
  return higher;
}

std::vector<std::string_view> RedisKeystore::Guard(const std::vector<std::string_view>& command) const {
  if (!fence_) return command;
  return fenced_command(command, command.at(1) == hash_key_ ? data_fence_key_ : config_fence_key_,
                        fence_number_);
}

RedisReply RedisKeystore::Checked(const std::vector<std::string_view>& args, const char* what) {
  RedisReply r = conn_.Command(args);
  if (!r) throw std::runtime_error(std::string(what) + ": " + conn_.error());
  if (r->type == REDIS_REPLY_ERROR) {
    throw std::runtime_error(std::string(what) + ": " + reply_text(r.get()));
  }
  return r;
}

namespace {

// The 8-byte little-endian fields of `keys`, back to back.
std::string fields_of(const std::vector<uint64_t>& keys) {
  std::string out(8 * keys.size(), '\0');
  for (size_t i = 0; i < keys.size(); ++i) {
    tavrin::EncodeFixed64(reinterpret_cast<uint8_t*>(out.data()) + 8 * i, keys[i]);
  }
  return out;
}

}  // namespace

void RedisKeystore::PipelineFields(const char* verb, const std::vector<uint64_t>& keys,
                                   const std::vector<std::string_view>* values,
                                   const char* queue_error, const std::string& failed) {
  held_.clear();
  const std::string fields = fields_of(keys);
  // At most kFieldsPerCommand fields a command, applied in order (so a later
  // duplicate wins), and every command queued before the first reply is
  // read.
  std::vector<std::vector<std::string_view>> commands;
  for (size_t i = 0; i < keys.size();) {
    std::vector<std::string_view> args{verb, hash_key_};
    size_t taken = 0;
    for (; i < keys.size() && taken < kFieldsPerCommand; ++i) {
      if (values != nullptr && (*values)[i].empty()) continue;
      args.emplace_back(fields.data() + 8 * i, 8);
      if (values != nullptr) args.push_back((*values)[i]);
      ++taken;
    }
    if (taken == 0) break;
    commands.push_back(std::move(args));
  }
  if (commands.empty()) return;
  if (fence_) {
    FencedPipeline(commands, queue_error, failed);
    return;
  }
  for (const auto& args : commands) {
    if (!conn_.Append(args)) throw std::runtime_error(queue_error);
  }
  const std::string first_error = FirstErrorOf(commands.size(), failed);
  if (!first_error.empty()) throw std::runtime_error(failed + ": " + first_error);
}

std::string RedisKeystore::FirstErrorOf(size_t count, const std::string& failed) {
  std::string first_error;
  for (size_t c = 0; c < count; ++c) {
    RedisReply r = conn_.NextReply();
    if (!r) throw std::runtime_error(failed + ": " + conn_.error());
    if (r->type == REDIS_REPLY_ERROR && first_error.empty()) first_error = reply_text(r.get());
  }
  return first_error;
}

void RedisKeystore::FencedPipeline(const std::vector<std::vector<std::string_view>>& commands,
                                   const char* queue_error, const std::string& failed) {
  // The fence is checked once for the whole batch, which then runs as one
  // transaction that the server drops if the fence key changes after the
  // check: as atomic as a script per command, without the script's cost of
  // handing every field and value through Lua (two thirds of the server's
  // time on a batch).
  const uint64_t mine = fence_->number;
  auto next = [&]() {
    RedisReply r = conn_.NextReply();
    if (!r) throw std::runtime_error(failed + ": " + conn_.error());
    return r;
  };
  for (int attempt = 0; attempt < kFencedAttempts; ++attempt) {
    if (!conn_.Append({"WATCH", data_fence_key_}) || !conn_.Append({"GET", data_fence_key_})) {
      throw std::runtime_error(queue_error);
    }
    RedisReply watched = next();
    RedisReply seen_reply = next();
    if (watched->type == REDIS_REPLY_ERROR || seen_reply->type == REDIS_REPLY_ERROR) {
      const redisReply* bad = watched->type == REDIS_REPLY_ERROR ? watched.get() : seen_reply.get();
      conn_.Command({"UNWATCH"});
      throw std::runtime_error(failed + ": " + reply_text(bad));
    }
    uint64_t seen = 0;
    if (seen_reply->type == REDIS_REPLY_STRING) {
      const char* end = seen_reply->str + seen_reply->len;
      const auto [at, ec] = std::from_chars(seen_reply->str, end, seen);
      if (ec != std::errc() || at != end) {  // as the script, which would fail to compare
        conn_.Command({"UNWATCH"});
        throw std::runtime_error(failed + ": the fence key holds no number");
      }
    }
    if (seen > mine) {
      conn_.Command({"UNWATCH"});
      throw std::runtime_error(failed + ": FENCED " + kFenceLostError);
    }
    if (after_fence_check_) after_fence_check_();
    const bool raise = seen < mine;
    if (!conn_.Append({"MULTI"})) throw std::runtime_error(queue_error);
    if (raise && !conn_.Append({"SET", data_fence_key_, fence_number_})) {
      throw std::runtime_error(queue_error);
    }
    for (const auto& args : commands) {
      if (!conn_.Append(args)) throw std::runtime_error(queue_error);
    }
    if (!conn_.Append({"EXEC"})) throw std::runtime_error(queue_error);
    // MULTI's and every queued command's acknowledgement, then EXEC's.
    std::string first_error = FirstErrorOf(1 + (raise ? 1 : 0) + commands.size(), failed);
    RedisReply done = next();
    if (done->type == REDIS_REPLY_ERROR) {
      throw std::runtime_error(failed + ": " + (first_error.empty() ? reply_text(done.get())
                                                                    : first_error));
    }
    if (done->type == REDIS_REPLY_ARRAY) {
      for (size_t e = 0; e < done->elements; ++e) {
        if (done->element[e]->type == REDIS_REPLY_ERROR && first_error.empty()) {
          first_error = reply_text(done->element[e]);
        }
      }
      if (!first_error.empty()) throw std::runtime_error(failed + ": " + first_error);
      return;
    }
    // Nil: the fence key changed between the check and the transaction,
    // which then did nothing. Checked again.
  }
  throw std::runtime_error(failed + ": the fence kept changing during the write");
}

void RedisKeystore::PipelineHset(const std::vector<uint64_t>& keys,
                                 const std::vector<std::string_view>& values) {
  PipelineFields("HSET", keys, &values, "Failed to queue HSET command",
                 "HSET command failed in batch execution");
}

void RedisKeystore::BatchPutRows(const std::vector<uint64_t>& keys, const ByteMatrix& matrix) {
  const std::vector<std::string_view> rows = row_views(keys, matrix, row_size);
  if (!rows.empty()) PipelineHset(keys, rows);
}

void RedisKeystore::BatchPutItems(const std::vector<uint64_t>& keys,
                                  const std::vector<Bytes>& values) {
  PipelineHset(keys, item_views(keys, values));  // empty values send nothing
}

void RedisKeystore::PutItem(uint64_t key, const Bytes& value) {
  held_.clear();
  const std::string field = le8(key);
  Checked(Guard({"HSET", hash_key_, field, view(value)}), "HSET command failed");
}

void RedisKeystore::BatchDeleteItems(const std::vector<uint64_t>& keys) {
  held_.clear();
  if (keys.empty()) {
    tavrin::Warn("No keys provided for batch deletion");
    return;
  }
  PipelineFields("HDEL", keys, nullptr, "HDEL command failed: cannot queue", "HDEL command failed");
}

void RedisKeystore::DeleteItem(uint64_t key) {
  held_.clear();
  const std::string field = le8(key);
  Checked(Guard({"HDEL", hash_key_, field}), "HDEL command failed");
}

Bytes RedisKeystore::GetItem(uint64_t key) {
  RedisReply r = Checked({"HGET", hash_key_, le8(key)}, "HGET command failed");
  if (r->type != REDIS_REPLY_STRING) return {};
  return Bytes(r->str, r->str + r->len);
}

std::vector<RedisReply> RedisKeystore::Hmget(const std::vector<uint64_t>& keys) {
  const std::string fields = fields_of(keys);
  // Chunks pipelined: the server answers one while the next is parsed here.
  std::vector<std::string_view> args;
  size_t queued = 0;
  for (size_t start = 0; start < keys.size(); start += kFieldsPerCommand) {
    const size_t end = std::min(keys.size(), start + kFieldsPerCommand);
    args.assign({"HMGET", hash_key_});
    for (size_t i = start; i < end; ++i) args.emplace_back(fields.data() + 8 * i, 8);
    if (!conn_.Append(args)) throw std::runtime_error("HMGET command failed: cannot queue");
    ++queued;
  }
  std::vector<RedisReply> replies;
  replies.reserve(queued);
  std::string first_error;
  for (size_t c = 0; c < queued; ++c) {
    RedisReply r = conn_.NextReply();
    if (!r) throw std::runtime_error("HMGET command failed: " + conn_.error());
    const size_t expected = std::min(kFieldsPerCommand, keys.size() - c * kFieldsPerCommand);
    if (first_error.empty()) {
      if (r->type == REDIS_REPLY_ERROR) {
        first_error = reply_text(r.get());
      } else if (r->type != REDIS_REPLY_ARRAY || r->elements != expected) {
        first_error = "unexpected reply";
      }
    }
    replies.push_back(std::move(r));
  }
  if (!first_error.empty()) throw std::runtime_error("HMGET command failed: " + first_error);
  return replies;
}

// The value of keys[i] in chunked HMGET replies (nil or another type: absent).
const redisReply* RedisKeystore::HmgetElement(const std::vector<RedisReply>& replies, size_t i) {
  const redisReply* e = replies[i / kFieldsPerCommand]->element[i % kFieldsPerCommand];
  return e->type == REDIS_REPLY_STRING ? e : nullptr;
}

ByteMatrix RedisKeystore::BatchGetRows(const std::vector<uint64_t>& keys) {
  if (keys.empty()) return ByteMatrix();
  const std::vector<RedisReply> replies = Hmget(keys);
  ByteMatrix out = ByteMatrix::zeros(keys.size(), row_size);
  for (size_t i = 0; i < keys.size(); ++i) {
    const redisReply* e = HmgetElement(replies, i);
    if (e == nullptr) continue;
    // Another width would shift every later row onto the wrong key.
    if (e->len != row_size) throw std::runtime_error(stored_width_error(keys[i], e->len, row_size));
    if (e->len != 0) std::memcpy(out.row(i), e->str, e->len);
  }
  return out;
}

std::vector<Bytes> RedisKeystore::BatchGetItems(const std::vector<uint64_t>& keys) {
  std::vector<Bytes> out(keys.size());
  if (keys.empty()) return out;
  const std::vector<RedisReply> replies = Hmget(keys);
  for (size_t i = 0; i < keys.size(); ++i) {
    if (const redisReply* e = HmgetElement(replies, i)) out[i].assign(e->str, e->str + e->len);
  }
  return out;
}

std::vector<ByteView> RedisKeystore::BatchViewItems(const std::vector<uint64_t>& keys,
                                                    std::vector<Bytes>& holder) {
  held_.clear();
  holder.clear();
  std::vector<ByteView> out(keys.size());
  if (keys.empty()) return out;
  std::vector<RedisReply> replies = Hmget(keys);
  for (size_t i = 0; i < keys.size(); ++i) {
    if (const redisReply* e = HmgetElement(replies, i)) {
      out[i] = ByteView(reinterpret_cast<const uint8_t*>(e->str), e->len);
    }
  }
  held_ = std::move(replies);
  return out;
}

void RedisKeystore::PushConfigItem(const std::string& name, const Bytes& value) {
  RedisReply r = conn_.Command(Guard({"HSET", table_name_, name, view(value)}));
  if (!r) throw std::runtime_error("Redis set_item error: connection failure.");
  if (r->type == REDIS_REPLY_ERROR)
    throw std::runtime_error("Redis HSET error: " + reply_text(r.get()));
}

void RedisKeystore::PushConfigItems(const std::vector<std::pair<std::string, Bytes>>& items) {
  // One HSET of every field: Redis applies a command whole.
  std::vector<std::string_view> args{"HSET", table_name_};
  for (const auto& [name, value] : items) {
    args.push_back(name);
    args.push_back(view(value));
  }
  RedisReply r = conn_.Command(Guard(args));
  if (!r) throw std::runtime_error("Redis set_item error: connection failure.");
  if (r->type == REDIS_REPLY_ERROR)
    throw std::runtime_error("Redis HSET error: " + reply_text(r.get()));
}

Bytes RedisKeystore::LoadConfigItem(const std::string& name) {
  RedisReply r = conn_.Command({"HGET", table_name_, name});
  if (!r) throw std::runtime_error("Redis get_item error: connection failure.");
  return config_item_of(r.get(), name);
}

bool RedisKeystore::ConfigItemExists(const std::string& name) {
  RedisReply r = conn_.Command({"HEXISTS", table_name_, name});
  if (!r) throw std::runtime_error("Redis HEXISTS error: connection failure.");
  return config_item_exists(r.get());
}

void RedisKeystore::DeleteIndex() {
  held_.clear();
  if (role_ == 1) {
    RedisReply exists = Checked({"EXISTS", table_name_}, "DEL command failed");
    if (exists->type == REDIS_REPLY_INTEGER && exists->integer == 0) {
      tavrin::Warn("Warning: No table found with name " + table_name_ + " to delete.");
      return;
    }
    // Only this index's two fields: the hash is shared by every index that
    // names this table.
    const std::string cvs = index_name_ + ".cvs", cei = index_name_ + ".cei";
    Checked(Guard({"HDEL", table_name_, cvs, cei}), "DEL command failed");
    return;
  }
  RedisReply r = Checked(Guard({"DEL", hash_key_}), "DEL command failed");
  // The fence goes with the values it kept (also one an earlier handle set).
  FindFenceKeys();
  Checked({"DEL", data_fence_key_}, "DEL command failed");
  if (r->type == REDIS_REPLY_INTEGER && r->integer == 0) {
    tavrin::Warn("Warning: No index found with name " + std::to_string(hashed_index_name_) +
                 " to delete.");
  }
}

uint64_t RedisKeystore::CountItems() {
  RedisReply r = Checked({"HLEN", hash_key_}, "HLEN command failed");
  return r->type == REDIS_REPLY_INTEGER ? static_cast<uint64_t>(r->integer) : 0;
}

void RedisKeystore::SetRowSize(uint64_t size) { row_size = size; }

}  // namespace tavrin_encrypted_index::internal::backing_store
