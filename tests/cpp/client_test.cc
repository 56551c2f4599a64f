#include "client/client.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <unistd.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "backing_store/index_listing.h"
#include "backing_store/redis_keystore.h"
#include "config/index_record.h"

#include "test_services.h"
#include "test_util.h"

namespace tavrin {
namespace {

using ::tavrin::testing::error_text;

TEST(Client, KeepsCopiesAndDerivesTheFourthLocation) {
  DBConfig pg(Location::POSTGRES, std::string("items"), std::string("host=x"));
  DBConfig redis(Location::REDIS, std::string("cfg"), std::nullopt);
  DBConfig none;
  Client c(pg, redis, none, 0, true);
  pg.table_name = "changed";  // the client holds copies
  EXPECT_EQ(c.index_location().table_name, std::optional<std::string>("items"));
  EXPECT_EQ(c.fourth_location().location, Location::POSTGRES);
  EXPECT_EQ(c.fourth_location().table_name, std::optional<std::string>("items"));
  EXPECT_EQ(c.fourth_location().connection_string, std::optional<std::string>("host=x"));
  EXPECT_EQ(c.config_location().location, Location::REDIS);
  EXPECT_EQ(c.items_location().location, Location::NONE);
  EXPECT_EQ(c.GetCpuThreads(), 0);
  EXPECT_TRUE(c.IsGpuEnabled());
  // The thread count is bounded by a fixed maximum, not the machine's.
  EXPECT_EQ(Client(pg, pg, pg, kMaxCpuThreads, false).GetCpuThreads(), 1024);
  for (int32_t bad : {-3, -1, 1025, std::numeric_limits<int32_t>::max(),
                      std::numeric_limits<int32_t>::min()}) {
    EXPECT_EQ(error_text<std::invalid_argument>([&] { Client(pg, pg, pg, bad, false); }),
              "cpu_threads must be between 0 and 1024.")
        << bad;
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
  auto load_error = [&](const std::string& name, const IndexConfig& c, const Key256& k) {
    const Bytes record = serialize_index_record(name, c, TrainedData(), false);
    return error_text<std::invalid_argument>([&] { client.LoadSerializedIndex(record, k); });
  };
  auto create_error = [&](const std::string& name, const IndexConfig& c, const Key256& k) {
    return error_text<std::invalid_argument>([&] { client.CreateIndex(name, k, c, 0); });
  };
  const IndexIVFFlat too_many(4, kMaxLists + 1, "euclidean");
  const struct {
    std::string name;
    const IndexConfig* config;
    Key256 key;
    std::string message;
  } cases[] = {
      {std::string(1 << 20, 'n'), &config, key,
       "Index name cannot be longer than 255 characters."},
      {"\xff\xfe", &config, key, "Index name must be valid UTF-8."},
      {"a\xed\xa0\x80", &config, key, "Index name must be valid UTF-8."},  // a surrogate
      {"\xc0\xaf", &config, key, "Index name must be valid UTF-8."},        // overlong
      {"\xe2\x82", &config, key, "Index name must be valid UTF-8."},        // cut short
      {"idx", &config, Key256{}, "Index key cannot be an empty array."},
      {"idx", &too_many, key, "n_lists cannot be larger than 1048576."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(load_error(c.name, *c.config, c.key), c.message) << c.name.size();
    EXPECT_EQ(create_error(c.name, *c.config, c.key), c.message) << c.name.size();
  }
  for (const std::string name : {"idx", "\u00e9\u4e2d\U0001F600"}) {
    const Bytes record = serialize_index_record(name, config, TrainedData(), false);
    EXPECT_EQ(client.LoadSerializedIndex(record, key)->index_name(), name);
  }
}

TEST(Client, PostgresListingChecksTheRecordFirst) {
  EXPECT_EQ(error_text<std::runtime_error>([] {
              tavrin_encrypted_index::internal::backing_store::ListIndexesPostgres(DBConfig(Location::POSTGRES, std::nullopt, std::nullopt));
            }),
            "table_name is not set in DBConfig.");
  EXPECT_EQ(error_text<std::runtime_error>([] {
              tavrin_encrypted_index::internal::backing_store::ListIndexesPostgres(DBConfig(Location::POSTGRES, std::string("t"), std::nullopt));
            }),
            "Database connection string is missing in the configuration.");
  const std::string unreachable = error_text<std::runtime_error>([] {
    tavrin_encrypted_index::internal::backing_store::ListIndexesPostgres(DBConfig(Location::POSTGRES, std::string("t"),
                                 std::string("host=127.0.0.1 port=1 connect_timeout=2")));
  });
  EXPECT_EQ(unreachable.rfind("Failed to connect to PostgreSQL: ", 0), 0u) << unreachable;

  // Through the client every failure is an invalid argument.
  DBConfig pg(Location::POSTGRES, std::nullopt, std::nullopt);
  EXPECT_THROW(Client(pg, pg, pg, 0, false).ListIndexes(), std::invalid_argument);
  DBConfig memory(Location::MEMORY, std::nullopt, std::nullopt);
  EXPECT_EQ(error_text<std::invalid_argument>([&] {
              Client(pg, memory, memory, 0, false).ListIndexes();
            }),
            "Indexes cannot be listed from an in-process configuration location: it keeps no "
            "configuration items.");
}

TEST(Client, RedisListingReadsTheConfigurationHash) {
  TAVRIN_REQUIRE_REDIS(connection);
  namespace store = tavrin_encrypted_index::internal::backing_store;
  const std::string table = "list_cfg_" + std::to_string(getpid());
  DBConfig cfg(Location::REDIS, table, connection);
  DBConfig memory(Location::MEMORY, std::nullopt, std::nullopt);
  Client client(memory, cfg, memory, 0, false);
  EXPECT_TRUE(client.ListIndexes().empty());  // no hash yet
  store::RedisKeystore writer(cfg, "b", 1, 1);
  for (const char* item : {"b.cvs", "b.cei", ".cvs", "a.b.cvs", "cvs", "c.cvs.cei"}) {
    writer.PushConfigItem(item, {1});
  }
  EXPECT_EQ(client.ListIndexes(), (std::vector<std::string>{"a.b", "b"}));
  writer.DeleteIndex();
  EXPECT_EQ(client.ListIndexes(), (std::vector<std::string>{"a.b"}));

  store::RedisConnection raw(connection);
  raw.Command({"DEL", table});
  raw.Command({"SET", table, "not a hash"});
  ::testing::internal::CaptureStderr();
  const std::string msg = error_text<std::invalid_argument>([&] { client.ListIndexes(); });
  const std::string logged = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(logged.rfind("Error in ListIndexes for Redis: ", 0), 0u) << logged;
  EXPECT_NE(msg.find("WRONGTYPE"), std::string::npos) << msg;
  raw.Command({"DEL", table});
}

void exec_ok(PGconn* conn, const std::string& sql) {
  PGresult* r = PQexec(conn, sql.c_str());
  const auto status = PQresultStatus(r);
  PQclear(r);
  ASSERT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) << PQerrorMessage(conn);
}

TEST(Client, PostgresListingKeepsOnlyConfigurationRecordNames) {
  TAVRIN_REQUIRE_POSTGRES(conninfo);
  PGconn* conn = PQconnectdb(conninfo.c_str());
  ASSERT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
  exec_ok(conn, "DROP TABLE IF EXISTS list_cfg_test;");
  exec_ok(
      conn,
      "CREATE TABLE list_cfg_test (index_name VARCHAR(255) PRIMARY KEY, config BYTEA NOT NULL);");
  exec_ok(conn,
          "INSERT INTO list_cfg_test VALUES ('a.cvs', ''), ('b.cei', ''), ('.cvs', ''), "
          "('long.name.cvs', ''), ('cvs', '');");

  DBConfig cfg(Location::POSTGRES, std::string("list_cfg_test"), conninfo);
  std::vector<std::string> names = Client(cfg, cfg, cfg, 0, false).ListIndexes();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "long.name"}));

  exec_ok(conn, "DELETE FROM list_cfg_test;");
  EXPECT_TRUE(tavrin_encrypted_index::internal::backing_store::ListIndexesPostgres(cfg).empty());

  // A name that is not a plain identifier never reaches the server.
  DBConfig evil(Location::POSTGRES, std::string("list_cfg_test\"; DROP TABLE list_cfg_test; --"),
                conninfo);
  const std::string msg = error_text<std::runtime_error>([&] { tavrin_encrypted_index::internal::backing_store::ListIndexesPostgres(evil); });
  EXPECT_EQ(msg.rfind("Table name 'list_cfg_test\"", 0), 0u) << msg;
  EXPECT_TRUE(tavrin_encrypted_index::internal::backing_store::ListIndexesPostgres(cfg).empty());  // the table is still there
  // Names fold to lower case, as the store's statements fold them.
  EXPECT_TRUE(tavrin_encrypted_index::internal::backing_store::ListIndexesPostgres(DBConfig(Location::POSTGRES, "List_CFG_test", conninfo)).empty());
  exec_ok(conn, "DROP TABLE list_cfg_test;");
  PQfinish(conn);
}

}  // namespace
}  // namespace tavrin
