// What is the Redis store's own: the connection string, passwords, the stored
// field names, error replies, pipelining, warnings, and a server that goes
// away.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>

#include "backing_store/redis_keystore.h"
#include "scratch_servers.h"
#include "test_services.h"
#include "test_util.h"

namespace tavrin_encrypted_index::internal::backing_store {
namespace {

using ::tavrin::DBConfig;
using ::tavrin::Location;
using ::tavrin::testing::error_text;
using ::tavrin::testing::ScratchRedis;

DBConfig redis(const std::string& connection, const std::string& table = "cfg") {
  return DBConfig(Location::REDIS, table, connection);
}
// The message of a store made from `connection`, then used once.
std::string attempt(const std::string& connection) {
  return error_text([&] {
    RedisKeystore store(redis(connection), "i", 1, 0);
    store.PutItem(1, {'x'});
    throw std::runtime_error(store.GetItem(1) == Bytes{'x'} ? "ok" : "lost");
  });
}
bool starts(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

#define TAVRIN_REQUIRE_SCRATCH(server) \
  if (!(server).started())             \
  TAVRIN_SKIP_OR_FAIL("could not start a redis-server of our own: " + (server).answer())

TEST(RedisStore, ConnectionStringsAndPasswords) {
  using Pairs = std::map<std::string, std::string>;
  // A later duplicate wins, a value may hold a colon, a trailing key without
  // a value is dropped, nothing is trimmed.
  EXPECT_EQ(parse_redis_pairs("a:1,a:2,pw:x:y,tail"), (Pairs{{"a", "2"}, {"pw", "x:y"}}));
  EXPECT_EQ(parse_redis_pairs(" a: 1,"), (Pairs{{" a", " 1"}}));
  const std::string missing = "Redis connection string missing required key: ";
  EXPECT_EQ(attempt("port:1,db:0"), missing + "'host'");
  EXPECT_EQ(attempt("db:0,host:h"), missing + "'port'");
  EXPECT_EQ(attempt("host:127.0.0.1,port:1"), missing + "'db'");
  for (const char* bad : {"host:h,port:63x,db:0", "host:h,port:1,db:zero"})
    EXPECT_THROW(RedisKeystore(redis(bad), "i", 1, 0), std::invalid_argument) << bad;
  EXPECT_TRUE(starts(attempt("host:127.0.0.1,port:1,db:0,"), "Failed to connect to Redis"));
  EXPECT_EQ(error_text([] { RedisKeystore(DBConfig(Location::REDIS, "t", {}), "i", 1, 0); }) + "|" +
                error_text([] { RedisKeystore(DBConfig(Location::REDIS, {}, "h"), "i", 1, 0); }),
            "The Redis store needs a connection string|The Redis store needs a table name");

  ScratchRedis server("--requirepass sesame --user alice on '>wonder' '~*' '&*' '+@all'");
  TAVRIN_REQUIRE_SCRATCH(server);
  EXPECT_EQ(attempt(server.connection_string(",password:sesame")), "ok");
  // Unknown keys are ignored.
  EXPECT_EQ(attempt(server.connection_string(",user:alice,password:wonder,colour:blue")), "ok");
  EXPECT_TRUE(starts(attempt(server.connection_string(",password:wrong")),
                     "Failed to authenticate to Redis"));
  EXPECT_TRUE(starts(attempt(server.connection_string(",user:alice,password:sesame")),
                     "Failed to authenticate to Redis"));
  // Without a password the database cannot be selected: refused, not used.
  EXPECT_TRUE(
      starts(attempt(server.connection_string()), "Failed to select Redis database: NOAUTH"));
}

TEST(RedisStore, FieldNamesErrorRepliesPipelinesWarningsAndAServerThatGoesAway) {
  ScratchRedis server;
  TAVRIN_REQUIRE_SCRATCH(server);
  RedisKeystore store(redis(server.connection_string()), "i", 0x1122334455667788, 0);
  RedisConnection raw(server.connection_string());
  // The hash is named by the 8 little-endian bytes of the hashed name and
  // holds each value under the key's 8 little-endian bytes.
  const std::string hash("\x88\x77\x66\x55\x44\x33\x22\x11", 8);
  store.PutItem(0x0102030405060708, {'v'});
  RedisReply r = raw.Command({"HGET", hash, std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8)});
  ASSERT_TRUE(r && r->type == REDIS_REPLY_STRING);
  EXPECT_EQ(std::string(r->str, r->len), "v");

  // Batches are HSETs and HMGETs of kFieldsPerCommand fields, pipelined; a
  // later duplicate wins across commands, and empty values send nothing.
  auto calls = [&](const std::string& command) {
    RedisReply info = raw.Command({"INFO", "commandstats"});
    const std::string text(info->str, info->len);
    const size_t at = text.find("cmdstat_" + command + ":calls=");
    return at == std::string::npos ? 0 : std::stoi(text.substr(at + 15 + command.size()));
  };
  raw.Command({"CONFIG", "RESETSTAT"});
  const size_t per = RedisKeystore::kFieldsPerCommand, n = 2 * per + 3;
  std::vector<uint64_t> keys(n);
  std::vector<Bytes> values(n), expected(n + 1);
  for (size_t i = 0; i < n; ++i) {
    keys[i] = i % (per + 1) == 0 ? 77 : 1000 + i;  // key 77 three times, the last one wins
    values[i] = i == 5 ? Bytes{} : Bytes{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
  }
  for (size_t i = 0; i < n; ++i) expected[i] = keys[i] == 77 ? values[2 * per + 2] : values[i];
  keys.push_back(5);  // absent
  store.BatchPutItems(std::vector<uint64_t>(keys.begin(), keys.end() - 1), values);
  EXPECT_EQ(store.BatchGetItems(keys), expected);
  store.BatchGetRows({7, 8});
  EXPECT_EQ(std::pair(calls("hset"), calls("hmget")), std::pair(3, 4));

  // A value of the wrong type under the store's key: every call fails.
  raw.Command({"DEL", hash});
  raw.Command({"SET", hash, "not a hash"});
  // Every reply of the pipeline is read, so the connection stays in step.
  const std::pair<std::string, std::string> failures[] = {
      {error_text([&] { store.GetItem(1); }), "HGET command failed: WRONGTYPE"},
      {error_text([&] { store.BatchGetRows({1}); }), "HMGET command failed: WRONGTYPE"},
      {error_text([&] { store.BatchGetItems({1}); }), "HMGET command failed"},
      {error_text([&] { store.CountItems(); }), "HLEN command failed"},
      {error_text([&] { store.BatchPutItems({1, 2, 3}, {{1}, {2}, {3}}); }),
       "HSET command failed in batch execution: WRONGTYPE"}};
  for (const auto& [text, prefix] : failures) EXPECT_TRUE(starts(text, prefix)) << text;
  raw.Command({"DEL", hash});
  store.BatchPutItems({4, 5}, {{4}, {5}});
  EXPECT_EQ(store.BatchGetItems({5, 4}), (std::vector<Bytes>{{5}, {4}}));

  ::testing::internal::CaptureStderr();
  store.DeleteIndex();
  store.DeleteIndex();
  store.BatchDeleteItems({});
  RedisKeystore config(redis(server.connection_string(), "cfg"), "idx", 5, 1);
  config.DeleteIndex();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: No index found with name " + std::to_string(0x1122334455667788) +
                " to delete.\nNo keys provided for batch deletion\n"
                "Warning: No table found with name cfg to delete.\n");

  // A server that stops answering, or ends, makes calls fail instead of hang.
  RedisKeystore frozen(redis(server.connection_string()), "i", 1, 0);
  frozen.PutItem(1, {1});
  frozen.SetCommandTimeout(std::chrono::milliseconds(300));
  server.Signal(SIGSTOP);
  EXPECT_TRUE(starts(error_text([&] { frozen.GetItem(1); }), "HGET command failed"));
  server.Signal(SIGCONT);
  EXPECT_THROW(frozen.CountItems(), std::runtime_error);  // no reconnect

  RedisKeystore orphan(redis(server.connection_string()), "i", 1, 0);
  server.Kill();
  EXPECT_THROW(orphan.GetItem(1), std::runtime_error);
  EXPECT_THROW(orphan.BatchPutItems({2}, {{2}}), std::runtime_error);
}

}  // namespace
}  // namespace tavrin_encrypted_index::internal::backing_store
