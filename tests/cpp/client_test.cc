#include "client/client.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "backing_store/index_listing.h"
#include "backing_store/keystore_factory.h"
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
  pg.table_name = "changed";  // the client holds copies
  EXPECT_EQ(c.index_location().table_name, std::optional<std::string>("items"));
  EXPECT_EQ(c.fourth_location().location, Location::POSTGRES);
  EXPECT_EQ(c.fourth_location().table_name, std::optional<std::string>("items"));
  EXPECT_EQ(c.fourth_location().connection_string, std::optional<std::string>("host=x"));
  EXPECT_EQ(c.config_location().location, Location::REDIS);
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

// The names listed are those of the configuration records (".cvs") in the
// configuration table, whichever server keeps it, sorted.
TEST(Client, ListsTheIndexesOfEveryServer) {
  const std::string table = "list_cfg_" + std::to_string(getpid());
  const std::string file = ::testing::TempDir() + table + ".sqlite";
  std::vector<DBConfig> where = {DBConfig(Location::SQLITE, table, file)};
  auto postgres = ::tavrin::testing::postgres_conninfo();
  auto redis = ::tavrin::testing::redis_connection_string();
  if (!postgres || !redis) TAVRIN_SKIP_OR_FAIL("no PostgreSQL or Redis server: run scripts/test");
  where.emplace_back(Location::POSTGRES, table, *postgres);
  where.emplace_back(Location::REDIS, table, *redis);
  const DBConfig memory(Location::MEMORY, std::nullopt, std::nullopt);
  for (const DBConfig& cfg : where) {
    SCOPED_TRACE(static_cast<int>(cfg.location));
    const Client client(memory, cfg, memory, 0, false);
    auto listed = [&] {  // PostgreSQL lists in its own order
      std::vector<std::string> names = client.ListIndexes();
      if (cfg.location == Location::POSTGRES) std::sort(names.begin(), names.end());
      return names;
    };
    auto writer = bs::KeystoreFactory::Create(cfg, "b", 1, bs::StoreRole::kConfig);
    EXPECT_TRUE(listed().empty());  // nothing there yet
    for (const char* item : {"b.cvs", "b.cei", ".cvs", "a.b.cvs", "cvs", "c.cvs.cei", "Z.cvs"}) {
      writer->PushConfigItem(item, {1});
    }
    EXPECT_EQ(listed(), (std::vector<std::string>{"Z", "a.b", "b"}));
    writer->DeleteIndex();
    EXPECT_EQ(listed(), (std::vector<std::string>{"Z", "a.b"}));
    writer.reset();
    if (cfg.location == Location::POSTGRES) {
      PGconn* conn = PQconnectdb(cfg.connection_string->c_str());
      PQclear(PQexec(conn, ("DROP TABLE " + table).c_str()));
      PQfinish(conn);
    }
  }
  std::remove(file.c_str());
  for (const char* end : {"-wal", "-shm"}) std::remove((file + end).c_str());

  // A configuration value of the wrong type: logged, and an invalid argument.
  bs::RedisConnection raw(*where[2].connection_string);
  raw.Command({"SET", table, "not a hash"});
  ::testing::internal::CaptureStderr();
  const std::string msg = error_text<std::invalid_argument>([&] {
    Client(memory, where[2], memory, 0, false).ListIndexes();
  });
  const std::string logged = ::testing::internal::GetCapturedStderr();
  raw.Command({"DEL", table});
  EXPECT_EQ(logged.rfind("Error in ListIndexes for Redis: ", 0), 0u) << logged;
  EXPECT_NE(msg.find("WRONGTYPE"), std::string::npos) << msg;

  // Checked before connecting: through the client every failure is an
  // invalid argument.
  DBConfig pg(Location::POSTGRES, std::nullopt, std::nullopt);
  EXPECT_EQ(error_text([&] { bs::ListIndexesPostgres(pg); }), "table_name is not set in DBConfig.");
  pg.table_name = "t";
  EXPECT_EQ(error_text([&] { bs::ListIndexesPostgres(pg); }),
            "Database connection string is missing in the configuration.");
  EXPECT_THROW(Client(pg, pg, pg, 0, false).ListIndexes(), std::invalid_argument);
  pg.connection_string = "host=127.0.0.1 port=1 connect_timeout=2";
  const std::string unreachable = error_text([&] { bs::ListIndexesPostgres(pg); });
  EXPECT_EQ(unreachable.rfind("Failed to connect to PostgreSQL: ", 0), 0u) << unreachable;
  EXPECT_EQ(error_text<std::invalid_argument>(
                [&] { Client(pg, memory, memory, 0, false).ListIndexes(); }),
            "Indexes cannot be listed from an in-process configuration location: it keeps no "
            "configuration items.");
}

}  // namespace
}  // namespace tavrin
