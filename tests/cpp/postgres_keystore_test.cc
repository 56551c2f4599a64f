// What is the PostgreSQL store's own: its statements and their pipelines, table
// names, schema checks, failures that must throw, and a server that goes away.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "backing_store/index_listing.h"
#include "backing_store/postgres_keystore.h"
#include "test_services.h"
#include "test_util.h"

namespace tavrin_encrypted_index::internal::backing_store {
namespace {

using ::tavrin::DBConfig;
using ::tavrin::Location;
using ::tavrin::testing::error_text;

class PostgresStore : public ::testing::Test {
 protected:
  void SetUp() override {
    auto conninfo = ::tavrin::testing::postgres_conninfo();
    if (!conninfo) TAVRIN_SKIP_OR_FAIL("no PostgreSQL server: run through scripts/test");
    conninfo_ = *conninfo;
    admin_.reset(PQconnectdb(conninfo_.c_str()));
    ASSERT_EQ(PQstatus(admin_.get()), CONNECTION_OK);
    PQsetNoticeProcessor(admin_.get(), [](void*, const char*) {}, nullptr);
    static int serial = 0;  // per test of this process
    table_ = "pg_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
  }
  void TearDown() override { if (admin_) Sql("DROP TABLE IF EXISTS " + table_ + ";"); }
  // Runs SQL on a connection of the test's own: the first value of the
  // first row, if any.
  std::string Sql(const std::string& sql) {
    PgResult r(PQexec(admin_.get(), sql.c_str()));
    const auto status = PQresultStatus(r.get());
    EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        << sql << ": " << PQerrorMessage(admin_.get());
    return status == PGRES_TUPLES_OK && PQntuples(r.get()) > 0 ? PQgetvalue(r.get(), 0, 0) : "";
  }
  DBConfig Config(const std::string& table) const {
    return DBConfig(Location::POSTGRES, table, conninfo_);
  }

  std::string conninfo_, table_;
  PgConn admin_;
};

TEST_F(PostgresStore, BatchWritesArePipelinedInOneTransactionAndReadsAreOneStatement) {
  PostgresKeystore store(Config(table_), "idx", 5, 0);
  // Enough rows for five statements, and for a read planned with its keys.
  const size_t n = PostgresKeystore::kPlannedReadKeys + 500;
  static_assert(PostgresKeystore::kPlannedReadKeys + 500 > 4 * PostgresKeystore::kChunkRows);
  std::vector<uint64_t> keys(n);
  Bytes flat(n * 8), other(n * 8);
  for (size_t i = 0; i < flat.size(); ++i) {
    flat[i] = static_cast<uint8_t>(i * 131 >> 3);
    other[i] = static_cast<uint8_t>(~flat[i]);
  }
  for (size_t i = 0; i < n; ++i) keys[i] = 1000003 * i;
  std::vector<std::string> log;
  store.set_statement_log(&log);
  store.BatchPutRows(keys, ByteMatrix(flat, 8));
  store.set_statement_log(nullptr);
  // New keys: BEGIN and one COPY of every row (several pieces), COMMIT.
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0] + log[2], "BEGINCOMMIT");
  EXPECT_EQ(log[1].rfind("COPY ", 0), 0u);
  EXPECT_EQ(store.BatchGetRows(keys).data, flat);

  // A statement in the middle of the pipeline fails: the batch throws, the
  // chunks before it are rolled back, and the connection goes on.
  const uint64_t bad = keys[2 * PostgresKeystore::kChunkRows + 7];
  Sql("ALTER TABLE " + table_ + " ADD CHECK (key <> '" + std::to_string(bad) + "') NOT VALID;");
  log.clear();
  store.set_statement_log(&log);
  const std::string failed = error_text([&] { store.BatchPutRows(keys, ByteMatrix(other, 8)); });
  store.set_statement_log(nullptr);
  EXPECT_EQ(failed.rfind("Postgres query execution failed: ", 0), 0u) << failed;
  EXPECT_NE(failed.find("check constraint"), std::string::npos) << failed;
  // The COPY met stored keys and was rolled back; the upserts went in
  // chunks (after their prepare) and failed on the check.
  EXPECT_EQ(log[1].rfind("COPY ", 0), 0u);
  EXPECT_EQ(log[2], "ROLLBACK");
  EXPECT_EQ(log[3].rfind("INSERT INTO", 0), 0u);
  EXPECT_EQ(std::count(log.begin(), log.end(), log[3]), 6);
  EXPECT_EQ(log.back(), "ROLLBACK");
  EXPECT_EQ(store.BatchGetRows(keys).data, flat);
  EXPECT_EQ(PQtransactionStatus(admin_.get()), PQTRANS_IDLE);
  Sql("ALTER TABLE " + table_ + " DROP CONSTRAINT " + table_ + "_key_check;");

  // Batches go as plain inserts until one meets a stored key: that one is
  // rolled back and sent again as upserts, and so are the next ones, twice
  // as many after each miss and half as many after each plain success.
  PostgresKeystore fresh(Config(table_), "idx", 6, 0);
  auto batch_of = [&](std::vector<uint64_t> ks, uint8_t fill) {
    log.clear();
    fresh.set_statement_log(&log);
    fresh.BatchPutItems(ks, std::vector<Bytes>(ks.size(), Bytes(3, fill)));
    fresh.set_statement_log(nullptr);
    std::string kinds;  // p: COPY, u: upsert, R: rollback, ?: a plain INSERT
    for (const std::string& s : log) {
      if (s == "ROLLBACK") kinds += 'R';
      if (s.rfind("COPY ", 0) == 0) kinds += 'p';
      if (s.rfind("INSERT INTO", 0) == 0) kinds += s.find("ON CONFLICT") == s.npos ? '?' : 'u';
    }
    EXPECT_EQ(fresh.BatchGetItems(ks), std::vector<Bytes>(ks.size(), Bytes(3, fill)));
    return kinds;
  };
  EXPECT_EQ(batch_of({1, 2, 3}, 1), "p");
  EXPECT_EQ(batch_of({4, 3, 5}, 2), "pRuu");  // prepared in the pipeline of its first use
  EXPECT_EQ(batch_of({6, 7}, 3), "u");
  EXPECT_EQ(batch_of({8, 9}, 4), "p");
  EXPECT_EQ(batch_of({9}, 5), "pR" "u");
  EXPECT_EQ(batch_of({10}, 6), "u");
  EXPECT_EQ(batch_of({10}, 7), "pR" "u");  // misses in a row: two upserts ahead
  EXPECT_EQ(batch_of({11}, 8), "u");
  EXPECT_EQ(batch_of({11}, 9), "u");
  EXPECT_EQ(batch_of({12}, 10), "p");
  EXPECT_EQ(batch_of({12}, 11), "pR" "u");  // one success halved the upserts ahead
  EXPECT_EQ(batch_of({13}, 12), "u");
  EXPECT_EQ(batch_of({14}, 13), "u");
  EXPECT_EQ(batch_of({15}, 14), "p");
  // Keys of every width and values of any length, one longer than the
  // pieces the COPY is sent in, as one COPY.
  const std::vector<uint64_t> wide = {0, UINT64_MAX, 123456789012, 16};
  const std::vector<Bytes> values = {{1}, Bytes(300000, 2), Bytes(70000, 3), {4, 0, 4}};
  log.clear();
  fresh.set_statement_log(&log);
  fresh.BatchPutItems(wide, values);
  fresh.set_statement_log(nullptr);
  EXPECT_EQ(log.size(), 3u);
  EXPECT_EQ(fresh.BatchGetItems(wide), values);
  EXPECT_EQ(fresh.GetItem(UINT64_MAX), values[1]);
  EXPECT_EQ(PQtransactionStatus(admin_.get()), PQTRANS_IDLE);
  EXPECT_EQ(fresh.CountItems(), 19u);
  fresh.DeleteIndex();

  // Small reads take the prepared statement: absent and repeated keys too.
  EXPECT_EQ(store.BatchGetItems({keys[3], 2, keys[3]}),
            (std::vector<Bytes>{Bytes(&flat[24], &flat[32]), {}, Bytes(&flat[24], &flat[32])}));
  store.PutItem(keys[0], {9});
  EXPECT_EQ(store.GetItem(keys[0]), Bytes{9});
  EXPECT_EQ(store.CountItems(), n);
}

TEST_F(PostgresStore, TableNamesAndSchemas) {
  for (const std::string& bad : std::vector<std::string>{
           "", "1abc", "bad name", "x\"; DROP TABLE y; --", "caf\xc3\xa9", std::string(64, 'a')}) {
    // The unreachable server shows the name is refused before connecting.
    DBConfig cfg(Location::POSTGRES, bad, std::string("host=127.0.0.1 port=1"));
    EXPECT_NE(error_text([&] { PostgresKeystore(cfg, "i", 1, 0); }).find("not a plain SQL"),
              std::string::npos) << bad;
    EXPECT_NE(error_text([&] { ListIndexesPostgres(cfg); }).find("not a plain SQL"),
              std::string::npos) << bad;
  }
  EXPECT_EQ(pg_table_name(std::string(63, 'Z')).folded, std::string(63, 'z'));
  // A reserved word is a plain identifier too (capitals: the store suite).
  PostgresKeystore user(Config("user"), "Vectors", 9, 1);
  user.PushConfigItem("Vectors.cvs", {'r'});
  EXPECT_EQ(ListIndexesPostgres(Config("user")), std::vector<std::string>{"Vectors"});
  Sql("DROP TABLE \"user\";");

  // Tables of another shape, or with nothing to upsert on, are refused.
  const std::string mismatch =
      "Table " + table_ + " exists but does not match the expected schema.";
  for (const char* columns :
       {"key VARCHAR(255) PRIMARY KEY, value TEXT NOT NULL, index_name BIGINT NOT NULL",
        "key VARCHAR(255), value BYTEA",
        "key VARCHAR(255), value BYTEA NOT NULL, index_name BIGINT NOT NULL"}) {
    Sql("DROP TABLE IF EXISTS " + table_ + "; CREATE TABLE " + table_ + " (" + columns + ");");
    EXPECT_EQ(error_text([&] { PostgresKeystore(Config(table_), "i", 1, 0); }), mismatch);
  }
  EXPECT_EQ(error_text([&] { PostgresKeystore(Config(table_), "i", 1, 1); }), mismatch);

  // The earlier shape, primary key on key alone: still read and written.
  Sql("DROP TABLE " + table_ + "; CREATE TABLE " + table_ +
      " (key VARCHAR(255) PRIMARY KEY, value BYTEA NOT NULL, index_name BIGINT NOT NULL);");
  PostgresKeystore legacy(Config(table_), "i", 41, 0);
  EXPECT_FALSE(legacy.keeps_indexes_apart());
  Sql("INSERT INTO " + table_ + " VALUES ('12', '\\x0102', 41);");
  EXPECT_EQ(legacy.GetItem(12), (Bytes{1, 2}));
  legacy.BatchPutItems({12, 13}, {{3}, {4}});
  legacy.PutItem(13, {5});
  EXPECT_EQ(legacy.BatchGetItems({12, 13}), (std::vector<Bytes>{{3}, {5}}));

  // Tables this store makes keep indexes apart, bit 63 of the name cleared.
  Sql("DROP TABLE " + table_ + ";");
  PostgresKeystore a(Config(table_), "a", ~uint64_t{0} - 5, 0);
  EXPECT_TRUE(a.keeps_indexes_apart());
  a.PutItem(1, {'a'});
  EXPECT_EQ(Sql("SELECT index_name FROM " + table_ + ";"), std::to_string((~uint64_t{0} >> 1) - 5));
}

TEST_F(PostgresStore, FailuresThrowWithTheirReasonAndNeverHang) {
  EXPECT_EQ(error_text([&] {
              PostgresKeystore(DBConfig(Location::POSTGRES, table_, std::nullopt), "i", 1, 0);
            }), "The PostgreSQL store needs a connection string");
  // The server's reason follows the prefix.
  const std::string refused = error_text([&] {
    PostgresKeystore(DBConfig(Location::POSTGRES, table_, conninfo_ + " user=nobody_here"), "i",
                     1, 0);
  });
  EXPECT_TRUE(std::regex_match(refused, std::regex("Postgres connection error: [\\s\\S]*nobody_here[\\s\\S]*")))
      << refused;

  PostgresKeystore store(Config(table_), "idx", 3, 0);
  EXPECT_EQ(error_text([&] { store.PushConfigItem("idx.cvs", {1}); }),
            "Cannot store config items in a non-config keystore");
  store.PutItem(1, {1});
  Sql("DROP TABLE " + table_ + ";");
  const std::string texts = error_text([&] { store.GetItem(1); }) + "|" +
                            error_text([&] { store.CountItems(); }) + "|" +
                            error_text([&] { store.BatchGetItems({1}); }) + "|" +
                            error_text([&] { store.BatchPutItems({1}, {{2}}); });
  EXPECT_TRUE(std::regex_match(texts, std::regex("Postgres get_item error: [^|]*\\|Postgres count"
                                                 " error: [^|]*\\|Batch get failed: [^|]*\\|"
                                                 "Postgres query execution failed: [^|]*")))
      << texts;
  // The failed batch was rolled back: the connection takes the next statement.
  Sql("CREATE TABLE " + table_ + " (key VARCHAR(255), value BYTEA NOT NULL, index_name BIGINT "
      "NOT NULL, PRIMARY KEY (index_name, key));");
  store.PutItem(2, {2});
  EXPECT_EQ(store.GetItem(2), Bytes{2});

  // A session that stops answering (its server process frozen) times out,
  // instead of hanging.
  const int pid = store.backend_pid();
  ASSERT_GT(pid, 0);
  if (kill(pid, SIGSTOP) != 0) TAVRIN_SKIP_OR_FAIL("cannot signal the server session");
  store.SetCommandTimeout(std::chrono::milliseconds(300));
  EXPECT_EQ(error_text([&] { store.GetItem(1); }),
            "The PostgreSQL server did not answer within 300 ms; the connection is closed");
  kill(pid, SIGCONT);
  EXPECT_EQ(error_text([&] { store.CountItems(); }),  // at once, no reconnect
            "The PostgreSQL connection was closed after a timeout");

  // A session the server ends makes the next statement fail, not hang.
  PostgresKeystore other(Config(table_), "idx", 3, 0);
  Sql("SELECT pg_terminate_backend(" + std::to_string(other.backend_pid()) + ");");
  EXPECT_THROW(other.GetItem(1), std::runtime_error);
  EXPECT_THROW(other.BatchPutItems({2}, {{2}}), std::runtime_error);
  Sql("SELECT pg_terminate_backend(" + std::to_string(pid) + ");");
}

// A server that answers the first statement by starting a COPY to the client:
// libpq would then report that COPY on every later call, so the store must
// give up at once instead of waiting for a result that never comes.
TEST(PostgresProtocol, AServerStartingACopyNobodyAskedForClosesTheConnection) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  std::thread server([listener] {
    const int c = accept(listener, nullptr, nullptr);
    if (c < 0) return;
    char buf[4096];
    auto reply = [&](const std::string& bytes) { (void)!write(c, bytes.data(), bytes.size()); };
    if (read(c, buf, sizeof buf) > 0) {  // the startup message
      // AuthenticationOk, then ReadyForQuery (idle).
      reply(std::string("R\0\0\0\x08\0\0\0\0Z\0\0\0\x05I", 15));
      if (read(c, buf, sizeof buf) > 0) {  // the first statement
        reply(std::string("H\0\0\0\x07\0\0\0", 8));  // CopyOutResponse, no columns
      }
      while (read(c, buf, sizeof buf) > 0) {
      }  // until the client closes
    }
    close(c);
  });
  const std::string conninfo = "host=127.0.0.1 port=" + std::to_string(ntohs(addr.sin_port)) +
                               " user=u dbname=d sslmode=disable gssencmode=disable";
  const std::string error = error_text([&] {
    PostgresKeystore(DBConfig(Location::POSTGRES, "t", conninfo), "i", 1, 0);
  });
  server.join();
  close(listener);
  EXPECT_EQ(error,
            "The PostgreSQL server started a COPY that was not asked for; the connection is closed");
}

}  // namespace
}  // namespace tavrin_encrypted_index::internal::backing_store
