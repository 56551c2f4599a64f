// One synchronous hiredis connection made from a connection string, shared
// by the Redis store and the listing of index names.
//
// The string holds key:value pairs separated by commas, taken verbatim:
// "host:127.0.0.1,port:6379,db:0" plus optional "user:..." and "password:..."
// (a value runs to the next comma, so it cannot hold one). host, port and db
// are required; other keys are ignored; a later duplicate wins. With a
// password the connection authenticates (AUTH, with the user when given)
// right after connecting.
//
// Bounded waits: connecting gives up after 10 s, every command after the
// command timeout (30 s by default), and TCP keepalives are on. A timed-out
// or broken connection fails every later command at once.
#ifndef TAVRIN_BACKING_STORE_REDIS_CONNECTION_H_
#define TAVRIN_BACKING_STORE_REDIS_CONNECTION_H_

#include <hiredis/hiredis.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/row_matrix.h"

namespace tavrin_encrypted_index::internal::backing_store {

struct RedisReplyFree {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};
using RedisReply = std::unique_ptr<redisReply, RedisReplyFree>;

// The pairs of a connection string; checks nothing.
std::map<std::string, std::string> parse_redis_pairs(const std::string& connection_string);

// What the Redis stores send and read: a number's 8 bytes little-endian
// (hash fields, hashed names), byte strings as binary-safe arguments, a
// reply's text.
std::string le8(uint64_t v);
inline std::string_view view(const Bytes& b) {
  return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
}
inline std::string reply_text(const redisReply* r) {
  return r->str == nullptr ? std::string() : std::string(r->str, r->len);
}
// The answers of both Redis stores to the replies of HGET and HEXISTS on a
// configuration item `name` (an error reply throws; a missing item is
// refused with "Index name '<name>' does not exist in Redis.").
Bytes config_item_of(const redisReply* r, const std::string& name);
bool config_item_exists(const redisReply* r);
// The rows of a batch as arguments, after the checks every store makes.
std::vector<std::string_view> row_views(const std::vector<uint64_t>& keys, const ByteMatrix& rows,
                                        uint64_t row_size);
// The values of a batch as arguments; refuses no keys and a count mismatch.
std::vector<std::string_view> item_views(const std::vector<uint64_t>& keys,
                                         const std::vector<Bytes>& values);

class RedisConnection {
 public:
  // Throws std::runtime_error: "Redis connection string missing required
  // key: 'host'" (then 'port', 'db'), "Failed to connect to Redis",
  // "Failed to authenticate to Redis: ...", "Failed to select Redis
  // database", "PING command failed"; std::invalid_argument for a port or
  // database that is not a decimal number.
  explicit RedisConnection(const std::string& connection_string);

  // One command, its arguments binary-safe. Null when no reply came (the
  // connection broke or timed out).
  RedisReply Command(const std::vector<std::string_view>& args);
  // Queues one command without waiting; false when it could not be queued.
  bool Append(const std::vector<std::string_view>& args);
  // The next reply of the queued commands; null when none came.
  RedisReply NextReply();

  // Why the last command got no reply.
  std::string error() const;
  void SetCommandTimeout(std::chrono::milliseconds timeout);

 private:
  struct ContextFree {
    void operator()(redisContext* c) const { redisFree(c); }
  };
  std::unique_ptr<redisContext, ContextFree> ctx_;
  std::vector<const char*> argv_;  // reused argument buffers
  std::vector<size_t> argl_;
};

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_REDIS_CONNECTION_H_
