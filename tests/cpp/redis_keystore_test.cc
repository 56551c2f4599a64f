// Cases particular to the Redis store: the connection string, passwords,
// error replies, pipelining, warnings, and a server that goes away.
#include "backing_store/store_role.h"
#include "backing_store/redis_keystore.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>

#include "backing_store/keystore_factory.h"
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

bool starts(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

#define TAVRIN_REQUIRE_SCRATCH(server) \
  if (!(server).started())             \
  TAVRIN_SKIP_OR_FAIL("could not start a redis-server of our own: " + (server).answer())

TEST(RedisConnectionString, PairsAndRequiredKeys) {
  using Pairs = std::map<std::string, std::string>;
  EXPECT_EQ(parse_redis_pairs("host:h,port:1,db:2"),
            (Pairs{{"host", "h"}, {"port", "1"}, {"db", "2"}}));
  // A later duplicate wins, a value may hold a colon, a trailing key without
  // a value is dropped, nothing is trimmed.
  EXPECT_EQ(parse_redis_pairs("a:1,a:2,pw:x:y,tail"), (Pairs{{"a", "2"}, {"pw", "x:y"}}));
  EXPECT_EQ(parse_redis_pairs(" a: 1,"), (Pairs{{" a", " 1"}}));
  EXPECT_TRUE(parse_redis_pairs("").empty());

  auto message = [](const std::string& c) {
    return error_text([&] { RedisKeystore(redis(c), "i", 1, 0); });
  };
  EXPECT_EQ(message("port:1,db:0"), "Redis connection string missing required key: 'host'");
  EXPECT_EQ(message("db:0,host:h"), "Redis connection string missing required key: 'port'");
  EXPECT_EQ(message("host:127.0.0.1,port:1"), "Redis connection string missing required key: 'db'");
  EXPECT_THROW(RedisKeystore(redis("host:h,port:63x,db:0"), "i", 1, 0), std::invalid_argument);
  EXPECT_THROW(RedisKeystore(redis("host:h,port:1,db:zero"), "i", 1, 0), std::invalid_argument);
  EXPECT_TRUE(starts(message("host:127.0.0.1,port:1,db:0,"), "Failed to connect to Redis"));
  EXPECT_EQ(
      error_text([] { RedisKeystore(DBConfig(Location::REDIS, "t", std::nullopt), "i", 1, 0); }),
      "The Redis store needs a connection string");
  EXPECT_EQ(error_text([] {
              RedisKeystore(DBConfig(Location::REDIS, std::nullopt, "host:h"), "i", 1, 0);
            }),
            "The Redis store needs a table name");
}

TEST(RedisStore, AuthenticatesWithPasswordAndUser) {
  ScratchRedis server("--requirepass sesame --user alice on '>wonder' '~*' '&*' '+@all'");
  TAVRIN_REQUIRE_SCRATCH(server);
  auto attempt = [&](const std::string& extra) {
    return error_text([&] {
      RedisKeystore store(redis(server.connection_string(extra)), "i", 1, 0);
      store.PutItem(1, {'x'});
      if (store.GetItem(1) != Bytes{'x'}) throw std::runtime_error("round trip lost the value");
      throw std::runtime_error("ok");
    });
  };
  EXPECT_EQ(attempt(",password:sesame"), "ok");
  EXPECT_EQ(attempt(",user:alice,password:wonder,colour:blue"), "ok");  // unknown keys ignored
  EXPECT_TRUE(starts(attempt(",password:wrong"), "Failed to authenticate to Redis"))
      << attempt(",password:wrong");
  EXPECT_TRUE(starts(attempt(",user:alice,password:sesame"), "Failed to authenticate to Redis"));
  // Without a password the database cannot be selected: refused, not used.
  EXPECT_TRUE(starts(attempt(""), "Failed to select Redis database: NOAUTH")) << attempt("");
}

class RedisShared : public ::testing::Test {
 protected:
  void SetUp() override {
    auto conn = ::tavrin::testing::redis_connection_string();
    if (!conn) TAVRIN_SKIP_OR_FAIL("no Redis server: run through scripts/test");
    conn_ = *conn;
    base_ = (uint64_t{static_cast<uint32_t>(getpid())} << 32) ^ 0x5eed0000u;
  }
  std::string conn_;
  uint64_t base_ = 0;
};

TEST_F(RedisShared, ErrorRepliesAreFailuresNotAbsentValues) {
  RedisKeystore store(redis(conn_), "i", base_, 0);
  RedisConnection raw(conn_);
  std::string hash(8, '\0');
  for (int i = 0; i < 8; ++i)
    hash[i] = static_cast<char>((store.hashed_index_name() >> (8 * i)) & 0xff);
  // The hash holds the value under the key's 8 little-endian bytes.
  store.PutItem(0x0102030405060708, {'v'});
  RedisReply r = raw.Command({"HGET", hash, std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8)});
  ASSERT_TRUE(r && r->type == REDIS_REPLY_STRING);
  EXPECT_EQ(std::string(r->str, r->len), "v");

  // A value of the wrong type under the store's key: every read fails.
  raw.Command({"DEL", hash});
  raw.Command({"SET", hash, "not a hash"});
  EXPECT_TRUE(starts(error_text([&] { store.GetItem(1); }), "HGET command failed: WRONGTYPE"));
  EXPECT_TRUE(
      starts(error_text([&] { store.BatchGetRows({1}); }), "HMGET command failed: WRONGTYPE"));
  EXPECT_TRUE(starts(error_text([&] { store.BatchGetItems({1}); }), "HMGET command failed"));
  EXPECT_TRUE(starts(error_text([&] { store.CountItems(); }), "HLEN command failed"));
  // Every reply of the pipeline is read, so the connection stays in step.
  EXPECT_TRUE(starts(error_text([&] { store.BatchPutItems({1, 2, 3}, {{1}, {2}, {3}}); }),
                     "HSET command failed in batch execution: WRONGTYPE"));
  raw.Command({"DEL", hash});
  store.BatchPutItems({4, 5}, {{4}, {5}});
  EXPECT_EQ(store.BatchGetItems({5, 4}), (std::vector<Bytes>{{5}, {4}}));
  EXPECT_EQ(store.CountItems(), 2u);
  store.DeleteIndex();
}

TEST_F(RedisShared, WarningsAndConfigurationHash) {
  auto made = KeystoreFactory::Create(redis(conn_), "idx", base_ + 100, StoreRole::kIndex);
  ASSERT_NE(dynamic_cast<RedisKeystore*>(made.get()), nullptr);
  ::testing::internal::CaptureStderr();
  made->DeleteIndex();
  made->BatchDeleteItems({});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: No index found with name " + std::to_string(base_ + 100) +
                " to delete.\nNo keys provided for batch deletion\n");

  const std::string table = "cfg_" + std::to_string(getpid());
  RedisKeystore config(redis(conn_, table), "idx", base_, 1);
  ::testing::internal::CaptureStderr();
  config.DeleteIndex();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: No table found with name " + table + " to delete.\n");
  config.PushConfigItem("idx.cvs", {1});
  EXPECT_EQ(error_text([&] { config.LoadConfigItem("abc"); }),
            "Index name 'abc' does not exist in Redis.");
  config.DeleteIndex();
  EXPECT_FALSE(config.ConfigItemExists("idx.cvs"));
}

TEST(RedisStore, BatchesArePipelinedAndReadsAreOneCommand) {
  ScratchRedis server;
  TAVRIN_REQUIRE_SCRATCH(server);
  RedisKeystore store(redis(server.connection_string()), "i", 9, 0);
  RedisConnection raw(server.connection_string());
  auto calls = [&](const std::string& command) {
    RedisReply r = raw.Command({"INFO", "commandstats"});
    const std::string info(r->str, r->len);
    const size_t at = info.find("cmdstat_" + command + ":calls=");
    return at == std::string::npos ? 0 : std::stoi(info.substr(at + 15 + command.size()));
  };
  raw.Command({"CONFIG", "RESETSTAT"});
  store.BatchPutItems({1, 2, 3}, {{1}, {}, {3}});
  store.BatchGetItems({1, 2, 3, 4});
  store.BatchGetRows({7, 8});
  EXPECT_EQ(calls("hset"), 2);
  EXPECT_EQ(calls("hmget"), 2);
  EXPECT_EQ(store.BatchGetItems({1, 2, 3}), (std::vector<Bytes>{{1}, {}, {3}}));
}

TEST(RedisStore, ServerGoingAwayFailsWithinBoundedTime) {
  using Clock = std::chrono::steady_clock;
  ScratchRedis server;
  TAVRIN_REQUIRE_SCRATCH(server);
  RedisKeystore frozen(redis(server.connection_string()), "i", 1, 0);
  frozen.PutItem(1, {1});
  frozen.SetCommandTimeout(std::chrono::milliseconds(300));
  server.Pause();
  auto start = Clock::now();
  EXPECT_TRUE(starts(error_text([&] { frozen.GetItem(1); }), "HGET command failed"));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
  server.Resume();
  EXPECT_THROW(frozen.CountItems(), std::runtime_error);  // no reconnect

  RedisKeystore orphan(redis(server.connection_string()), "i", 1, 0);
  server.Kill();
  start = Clock::now();
  EXPECT_THROW(orphan.GetItem(1), std::runtime_error);
  EXPECT_THROW(orphan.BatchPutItems({2}, {{2}}), std::runtime_error);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
  EXPECT_TRUE(
      starts(error_text([&] { RedisKeystore(redis(server.connection_string()), "i", 1, 0); }),
             "Failed to connect to Redis"));
}

}  // namespace
}  // namespace tavrin_encrypted_index::internal::backing_store
