#include "backing_store/redis_connection.h"

#include <sys/time.h>

#include <charconv>
#include <sstream>
#include <stdexcept>

#include "backing_store/keystore.h"
#include "common/coding.h"

namespace tavrin_encrypted_index::internal::backing_store {

namespace {

constexpr std::chrono::milliseconds kConnectTimeout{10000};
constexpr std::chrono::milliseconds kDefaultCommandTimeout{30000};

timeval to_timeval(std::chrono::milliseconds t) {
  timeval tv;
  tv.tv_sec = static_cast<time_t>(t.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((t.count() % 1000) * 1000);
  return tv;
}

const std::string& required(const std::map<std::string, std::string>& pairs, const char* key) {
  auto it = pairs.find(key);
  if (it == pairs.end()) {
    throw std::runtime_error(std::string("Redis connection string missing required key: '") + key +
                             "'");
  }
  return it->second;
}

// The whole value as a decimal int; "6379x" is refused rather than read as
// 6379.
int decimal(const std::string& value, const char* key) {
  int out = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), out);
  if (ec != std::errc() || end != value.data() + value.size() || value.empty()) {
    throw std::invalid_argument(std::string("Redis connection string has a ") + key +
                                " that is not a decimal number: '" + value + "'");
  }
  return out;
}

}  // namespace

std::map<std::string, std::string> parse_redis_pairs(const std::string& connection_string) {
  std::map<std::string, std::string> pairs;
  std::istringstream in(connection_string);
  std::string key;
  std::string value;
  while (std::getline(in, key, ':') && std::getline(in, value, ',')) pairs[key] = value;
  return pairs;
}

RedisConnection::RedisConnection(const std::string& connection_string) {
  const auto pairs = parse_redis_pairs(connection_string);
  const std::string& host = required(pairs, "host");
  const int port = decimal(required(pairs, "port"), "port");
  const int db = decimal(required(pairs, "db"), "db");

  ctx_.reset(redisConnectWithTimeout(host.c_str(), port, to_timeval(kConnectTimeout)));
  if (!ctx_ || ctx_->err != 0) {
    throw std::runtime_error(ctx_ ? "Failed to connect to Redis: " + std::string(ctx_->errstr)
                                  : std::string("Failed to connect to Redis"));
  }
  SetCommandTimeout(kDefaultCommandTimeout);
  redisEnableKeepAlive(ctx_.get());

  auto password = pairs.find("password");
  if (password != pairs.end()) {
    auto user = pairs.find("user");
    RedisReply r = user == pairs.end() ? Command({"AUTH", password->second})
                                       : Command({"AUTH", user->second, password->second});
    if (!r || r->type == REDIS_REPLY_ERROR) {
      throw std::runtime_error("Failed to authenticate to Redis: " +
                               (r ? reply_text(r.get()) : error()));
    }
  }
  // An error reply here (a database out of range, authentication required)
  // would otherwise leave every later command on database 0.
  const std::string db_text = std::to_string(db);
  RedisReply selected = Command({"SELECT", db_text});
  if (!selected || selected->type == REDIS_REPLY_ERROR) {
    throw std::runtime_error("Failed to select Redis database: " +
                             (selected ? reply_text(selected.get()) : error()));
  }
  RedisReply pong = Command({"PING"});
  if (!pong || pong->type == REDIS_REPLY_ERROR) {
    throw std::runtime_error("PING command failed: " + (pong ? reply_text(pong.get()) : error()));
  }
}

RedisReply RedisConnection::Command(const std::vector<std::string_view>& args) {
  if (!Append(args)) return nullptr;
  return NextReply();
}

bool RedisConnection::Append(const std::vector<std::string_view>& args) {
  argv_.clear();
  argl_.clear();
  for (std::string_view a : args) {
    argv_.push_back(a.data() == nullptr ? "" : a.data());
    argl_.push_back(a.size());
  }
  return redisAppendCommandArgv(ctx_.get(), static_cast<int>(args.size()), argv_.data(),
                                argl_.data()) == REDIS_OK;
}

RedisReply RedisConnection::NextReply() {
  void* reply = nullptr;
  if (redisGetReply(ctx_.get(), &reply) != REDIS_OK) {
    freeReplyObject(reply);
    return nullptr;
  }
  return RedisReply(static_cast<redisReply*>(reply));
}

std::string RedisConnection::error() const {
  if (ctx_->err == 0) return "no reply";
  return ctx_->errstr;
}

void RedisConnection::SetCommandTimeout(std::chrono::milliseconds timeout) {
  redisSetTimeout(ctx_.get(), to_timeval(timeout));
}

Bytes config_item_of(const redisReply* r, const std::string& name) {
  if (r->type == REDIS_REPLY_ERROR) {
    throw std::runtime_error("Redis get_item error: " + reply_text(r));
  }
  if (r->type == REDIS_REPLY_NIL) {
    const std::string shown = name.size() < 4 ? name : name.substr(0, name.size() - 4);
    throw std::runtime_error("Index name '" + shown + "' does not exist in Redis.");
  }
  if (r->type != REDIS_REPLY_STRING) return {};
  return Bytes(r->str, r->str + r->len);
}

bool config_item_exists(const redisReply* r) {
  if (r->type == REDIS_REPLY_ERROR) {
    throw std::runtime_error("Redis HEXISTS error: " + reply_text(r));
  }
  return r->type == REDIS_REPLY_INTEGER && r->integer == 1;
}

std::string le8(uint64_t v) {
  std::string out(8, '\0');
  tavrin::EncodeFixed64(reinterpret_cast<uint8_t*>(out.data()), v);
  return out;
}

std::vector<std::string_view> row_views(const std::vector<uint64_t>& keys, const ByteMatrix& rows,
                                        uint64_t row_size) {
  check_batch_rows(keys, rows, row_size);
  std::vector<std::string_view> out;
  if (rows.cols == 0) return out;  // rows of no bytes store nothing, as in every store
  out.reserve(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    out.emplace_back(reinterpret_cast<const char*>(rows.row(i)), rows.cols);
  }
  return out;
}

std::vector<std::string_view> item_views(const std::vector<uint64_t>& keys,
                                         const std::vector<Bytes>& values) {
  if (keys.empty()) throw std::runtime_error(kNoKeysError);
  if (values.size() != keys.size()) throw std::runtime_error(kBatchMismatchError);
  std::vector<std::string_view> out;
  out.reserve(values.size());
  for (const Bytes& v : values) out.push_back(view(v));
  return out;
}

}  // namespace tavrin_encrypted_index::internal::backing_store
