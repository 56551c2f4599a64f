#include "client/client.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>

#include "backing_store/index_listing.h"
#include "backing_store/redis_connection.h"
#include "config/index_record.h"
#include "test_services.h"
#include "test_util.h"

namespace tavrin {
namespace {

namespace bs = tavrin_encrypted_index::internal::backing_store;
using ::tavrin::testing::error_text;

TEST(Client, KeepsCopiesAndDerivesTheFourthLocation) {
  DBConfig pg(Location::POSTGRES, std::string("items"), std::string("host=x"));
  DBConfig redis(Location::REDIS, std::string("cfg"), std::nullopt);
  Client c(pg, redis, DBConfig(), 0, true);
  auto fields = [](const DBConfig& d) {
    return std::tuple(d.location, d.table_name, d.connection_string);
  };
  const auto given = fields(pg);
  pg.table_name = "changed";  // the client holds copies
  EXPECT_EQ(fields(c.index_location()), given);
  EXPECT_EQ(fields(c.fourth_location()), given);
  EXPECT_EQ(fields(c.config_location()), fields(redis));
  EXPECT_EQ(c.items_location().location, Location::NONE);
  // The thread count is bounded by a fixed maximum, not the machine's.
  EXPECT_EQ(Client(pg, pg, pg, kMaxCpuThreads, false).GetCpuThreads(), 1024);
  for (int32_t bad : {-1, 1025, std::numeric_limits<int32_t>::min()}) {
    EXPECT_EQ(error_text<std::invalid_argument>([&] { Client(pg, pg, pg, bad, false); }),
              "cpu_threads must be between 0 and 1024.") << bad;
  }
}

// Bytes from elsewhere are held to what creating an index demands, so no
// crafted record can name a handle Python cannot read or size its lists.
TEST(Client, SerializedRecordsAreCheckedAsCreatedIndexes) {
  const DBConfig memory(Location::MEMORY, std::nullopt, std::nullopt);
  const Client client(memory, memory, memory, 1, false);
  Key256 key{};
  key[5] = 1;
  const IndexIVFFlat config(4, 2, "euclidean");
  const IndexIVFFlat too_many(4, kMaxLists + 1, "euclidean");
  const struct {
    std::string name;
    const IndexConfig* config;
    Key256 key;
    std::string message;
  } cases[] = {
      {std::string(1 << 20, 'n'), &config, key, "Index name cannot be longer than 255 characters."},
      {"\xff\xfe", &config, key, "Index name must be valid UTF-8."},
      {"a\xed\xa0\x80", &config, key, "Index name must be valid UTF-8."},  // a surrogate
      {"\xc0\xaf", &config, key, "Index name must be valid UTF-8."},        // overlong
      {"\xe2\x82", &config, key, "Index name must be valid UTF-8."},        // cut short
      {"idx", &config, Key256{}, "Index key cannot be an empty array."},
      {"idx", &too_many, key, "n_lists cannot be larger than 1048576."},
  };
  for (const auto& c : cases) {
    const Bytes record = serialize_index_record(c.name, *c.config, TrainedData(), false);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { client.LoadSerializedIndex(record, c.key); }),
              c.message) << c.name.size();
    EXPECT_EQ(error_text<std::invalid_argument>(
                  [&] { client.CreateIndex(c.name, c.key, *c.config, 0); }),
              c.message) << c.name.size();
  }
  for (const std::string name : {"idx", "\u00e9\u4e2d\U0001F600"}) {
    const Bytes record = serialize_index_record(name, config, TrainedData(), false);
    EXPECT_EQ(client.LoadSerializedIndex(record, key)->index_name(), name);
  }
}

// What the listing finds is the store suite's; here, how the client reports
// a listing that fails. Checked before connecting: through the client every
// failure is an invalid argument.
TEST(Client, ListingFailures) {
  DBConfig pg(Location::POSTGRES, std::nullopt, std::nullopt);
  EXPECT_EQ(error_text([&] { bs::ListIndexesPostgres(pg); }), "table_name is not set in DBConfig.");
  pg.table_name = "t";
  EXPECT_EQ(error_text([&] { bs::ListIndexesPostgres(pg); }),
            "Database connection string is missing in the configuration.");
  EXPECT_THROW(Client(pg, pg, pg, 0, false).ListIndexes(), std::invalid_argument);
  pg.connection_string = "host=127.0.0.1 port=1 connect_timeout=2";
  const std::string unreachable = error_text([&] { bs::ListIndexesPostgres(pg); });
  EXPECT_EQ(unreachable.rfind("Failed to connect to PostgreSQL: ", 0), 0u) << unreachable;

  // A configuration value of the wrong type: logged, and an invalid argument.
  auto redis = ::tavrin::testing::redis_connection_string();
  if (!redis) TAVRIN_SKIP_OR_FAIL("no Redis server: run through scripts/test");
  const DBConfig cfg(Location::REDIS, "list_cfg_" + std::to_string(getpid()), *redis);
  const DBConfig memory(Location::MEMORY, std::nullopt, std::nullopt);
  bs::RedisConnection raw(*redis);
  raw.Command({"SET", *cfg.table_name, "not a hash"});
  ::testing::internal::CaptureStderr();
  const std::string msg =
      error_text<std::invalid_argument>([&] { Client(memory, cfg, memory, 0, false).ListIndexes(); });
  const std::string logged = ::testing::internal::GetCapturedStderr();
  raw.Command({"DEL", *cfg.table_name});
  EXPECT_EQ(logged.rfind("Error in ListIndexes for Redis: ", 0), 0u) << logged;
  EXPECT_NE(msg.find("WRONGTYPE"), std::string::npos) << msg;
}

}  // namespace
}  // namespace tavrin
