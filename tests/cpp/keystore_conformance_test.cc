// One suite for every Keystore: the same cases run on the in-process,
// PostgreSQL, Redis and SQLite stores and compare each with a std::map model
// of the store contract. Then the SQLite store's transactions, seen from a
// connection of its own.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "backing_store/memory_keystore.h"
#include "backing_store/postgres_keystore.h"
#include "backing_store/redis_keystore.h"
#include "backing_store/sqlite_keystore.h"
#include "test_services.h"
#include "test_util.h"

namespace tavrin_encrypted_index::internal::backing_store {
namespace {

using ::tavrin::DBConfig;
using ::tavrin::Location;
using ::tavrin::testing::error_text;
using Model = std::map<uint64_t, Bytes>;

struct StoreKind {
  const char* name;
  bool keeps_config;
  const char* items_mismatch;  // BatchPutItems' count-mismatch message
  const char* missing_item;    // LoadConfigItem's message ends so
};

void PrintTo(const StoreKind& kind, std::ostream* os) { *os << kind.name; }

const StoreKind kKinds[] = {
    {"Memory", false, "Mismatch between number of keys and batch size", ""},
    {"Postgres", true, "Mismatch between number of keys and values",
     "' does not exist in Postgres."},
    {"Redis", true, "Mismatch between number of keys and batch size", "' does not exist in Redis."},
    {"SQLite", true, "Mismatch between number of keys and batch size",
     "' does not exist in SQLite."},
};

// A database file of the test's own; the file and its WAL go with it.
struct TempDatabase {
  std::string path = ::testing::TempDir() + "tavrin_kc_" + std::to_string(getpid()) + "_" +
                     std::to_string(std::random_device()()) + ".sqlite";
  ~TempDatabase() {
    for (const char* end : {"", "-wal", "-shm"}) std::remove((path + end).c_str());
  }
};

class KeystoreConformance : public ::testing::TestWithParam<StoreKind> {
 protected:
  void SetUp() override {
    const std::string kind = GetParam().name;
    static int serial = 0;
    // Tests run in parallel processes against one server: names and bases
    // are unique per process and test.
    table_ = "kc_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
    base_ = std::random_device()() | (uint64_t{std::random_device()()} << 30);
    if (kind == "Postgres") {
      auto conninfo = ::tavrin::testing::postgres_conninfo();
      if (!conninfo) TAVRIN_SKIP_OR_FAIL("no PostgreSQL server: run through scripts/test");
      config_ = DBConfig(Location::POSTGRES, table_, *conninfo);
    } else if (kind == "Redis") {
      auto conn = ::tavrin::testing::redis_connection_string();
      if (!conn) TAVRIN_SKIP_OR_FAIL("no Redis server: run through scripts/test");
      config_ = DBConfig(Location::REDIS, table_, *conn);
    } else if (kind == "SQLite") {
      config_ = DBConfig(Location::SQLITE, table_, file_.path);
    } else {
      config_ = DBConfig(Location::MEMORY, std::nullopt, std::nullopt);
    }
  }

  void TearDown() override {
    for (auto& s : made_) {
      ::testing::internal::CaptureStderr();  // "nothing to delete" warnings
      s->DeleteIndex();
      ::testing::internal::GetCapturedStderr();
    }
    made_.clear();
    configs_.clear();
    if (config_.location == Location::POSTGRES) {
      PGconn* c = PQconnectdb(config_.connection_string->c_str());
      PQclear(PQexec(c, ("DROP TABLE IF EXISTS " + table_ + ", " + table_ + "_cfg;").c_str()));
      PQfinish(c);
    }
  }

  // A store of `role` under base_ + offset; the configuration role gets its
  // own table. Items stores made here are emptied after the test.
  Keystore& Make(uint64_t offset = 0, int32_t role = 0, const std::string& index_name = "idx") {
    DBConfig c = config_;
    if (role == 1 && c.table_name) c.table_name = *c.table_name + "_cfg";
    std::unique_ptr<Keystore> s;
    if (c.location == Location::POSTGRES) {
      s = std::make_unique<PostgresKeystore>(c, index_name, base_ + offset, role);
    } else if (c.location == Location::REDIS) {
      s = std::make_unique<RedisKeystore>(c, index_name, base_ + offset, role);
    } else if (c.location == Location::SQLITE) {
      s = std::make_unique<SqliteKeystore>(c, index_name, base_ + offset, role);
    } else {
      s = std::make_unique<MemoryKeystore>(index_name, base_ + offset, role);
    }
    if (role != 1)
      made_.push_back(std::move(s));
    else
      configs_.push_back(std::move(s));
    return role == 1 ? *configs_.back() : *made_.back();
  }

  // Every observable of `store` against `model`, over the model's keys and a
  // few absent ones.
  static void ExpectMatches(Keystore& store, const Model& model, const std::string& where) {
    SCOPED_TRACE(where);
    std::vector<uint64_t> keys = {0, 424242, ~uint64_t{0}};
    for (const auto& [k, v] : model) keys.push_back(k);
    std::vector<Bytes> expected;
    for (uint64_t k : keys) {
      auto it = model.find(k);
      expected.push_back(it == model.end() ? Bytes{} : it->second);
    }
    EXPECT_EQ(store.BatchGetItems(keys), expected);
    for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(store.GetItem(keys[i]), expected[i]);
    EXPECT_EQ(store.CountItems(), model.size());
  }

  TempDatabase file_;  // outlives the stores below
  std::string table_;
  uint64_t base_ = 0;
  DBConfig config_;
  std::vector<std::unique_ptr<Keystore>> made_;
  std::vector<std::unique_ptr<Keystore>> configs_;
};

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST_P(KeystoreConformance, SingleItemsAndRefusedBatches) {
  Keystore& s = Make();
  Model m;
  ExpectMatches(s, m, "fresh");
  s.PutItem(7, bytes("seven"));
  s.PutItem(~uint64_t{0}, bytes("max"));
  s.PutItem(7, bytes("SEVEN"));  // overwrites
  s.PutItem(9, {});              // an empty value is stored, and counted
  m = {{7, bytes("SEVEN")}, {~uint64_t{0}, bytes("max")}, {9, {}}};
  ExpectMatches(s, m, "after puts");

  // Refusals come before any write.
  EXPECT_EQ(error_text([&] { s.BatchPutRows({}, ByteMatrix()); }),
            "No keys provided for batch insertion");
  EXPECT_EQ(error_text([&] { s.BatchPutItems({}, {}); }), "No keys provided for batch insertion");
  EXPECT_EQ(error_text([&] { s.BatchPutRows({1}, ByteMatrix(Bytes(16, 1), 8)); }),
            "Mismatch between number of keys and batch size");
  EXPECT_EQ(error_text([&] { s.BatchPutItems({1, 2}, {bytes("a")}); }), GetParam().items_mismatch);
  EXPECT_EQ(error_text([&] { s.BatchPutRows({1, 2}, ByteMatrix(Bytes(32, 1), 16)); }),
            "Amount of data must be divisible by the size of each value");
  ExpectMatches(s, m, "after refusals");
}

TEST_P(KeystoreConformance, BatchesWithDuplicatesEmptiesAndAbsentKeys) {
  Keystore& s = Make();
  s.BatchPutItems({3, 4, 3, 5, 6}, {bytes("a"), bytes("b"), bytes("c"), {}, bytes("d")});
  Model m = {{3, bytes("c")}, {4, bytes("b")}, {6, bytes("d")}};
  ExpectMatches(s, m, "items");
  s.BatchPutItems({4, 6}, {{}, bytes("e")});  // the empty value keeps b
  m[6] = bytes("e");
  ExpectMatches(s, m, "empty keeps");
  // The moving form keeps the same contract.
  s.BatchMoveItems({7, 4, 7}, {bytes("f"), {}, bytes("g")});
  m[7] = bytes("g");
  ExpectMatches(s, m, "moved");
  EXPECT_EQ(s.BatchGetItems({4, 4, 99}), (std::vector<Bytes>{bytes("b"), bytes("b"), {}}));
  std::vector<Bytes> holder;
  const std::vector<ByteView> views = s.BatchViewItems({4, 99, 7}, holder);
  ASSERT_EQ(views.size(), 3u);
  EXPECT_EQ(Bytes(views[0].data(), views[0].data() + views[0].size()), bytes("b"));
  EXPECT_TRUE(views[1].empty());
  EXPECT_EQ(Bytes(views[2].data(), views[2].data() + views[2].size()), bytes("g"));
  EXPECT_TRUE(s.BatchGetItems({}).empty());

  Bytes rows = {1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3};
  s.BatchPutRows({10, 11, 10}, ByteMatrix(rows, 8));
  ByteMatrix back = s.BatchGetRows({10, 12, 11});
  EXPECT_EQ(back.rows, 3u);
  EXPECT_EQ(back.cols, 8u);
  Bytes expected(8, 3);
  expected.resize(16, 0);  // key 12 is absent: a zero row
  expected.resize(24, 2);
  EXPECT_EQ(back.data, expected);
  EXPECT_EQ(s.BatchGetRows({}).rows, 0u);
  // A stored value of another width is refused, not cut, padded or shifted.
  EXPECT_NE(error_text([&] { s.BatchGetRows({11, 3}); }).find("not the row size 8"),
            std::string::npos);

  s.SetRowSize(16);
  s.BatchPutRows({20, 21}, ByteMatrix(Bytes(32, 9), 16));
  back = s.BatchGetRows({21, 22});
  EXPECT_EQ(back.cols, 16u);
  expected.assign(16, 9);
  expected.resize(32, 0);
  EXPECT_EQ(back.data, expected);
  EXPECT_EQ(s.CountItems(), m.size() + 4);  // the items, rows 10, 11, 20 and 21
}

TEST_P(KeystoreConformance, DeletesKeepOtherIndexesApart) {
  // Two indexes in one table (or database), each with its own value under
  // the same key.
  Keystore& a = Make(0);
  Keystore& b = Make(1000);
  a.BatchPutItems({1, 2, 3}, {bytes("a1"), bytes("a2"), bytes("a3")});
  b.BatchPutItems({1, 2}, {bytes("b1"), bytes("b2")});
  b.PutItem(3, bytes("b3"));
  Model ma = {{1, bytes("a1")}, {2, bytes("a2")}, {3, bytes("a3")}};
  Model mb = {{1, bytes("b1")}, {2, bytes("b2")}, {3, bytes("b3")}};
  ExpectMatches(a, ma, "a beside b");
  ExpectMatches(b, mb, "b beside a");

  a.DeleteItem(1);
  a.DeleteItem(77);  // absent: ignored
  a.BatchDeleteItems({2, 78});
  ma = {{3, bytes("a3")}};
  ExpectMatches(a, ma, "a after deletes");
  ExpectMatches(b, mb, "b after a's deletes");

  a.DeleteIndex();
  ExpectMatches(a, {}, "a deleted");
  ExpectMatches(b, mb, "b after a's DeleteIndex");
}

TEST_P(KeystoreConformance, ConfigurationItemsOfOneIndexBesideAnother) {
  Keystore& a = Make(0, 1, "a");
  Keystore& ab = Make(50, 1, "ab");
  const std::string end = GetParam().missing_item;
  if (!GetParam().keeps_config) {
    a.PushConfigItem("a.cvs", bytes("r"));
    EXPECT_FALSE(a.ConfigItemExists("a.cvs"));
    EXPECT_EQ(error_text<std::runtime_error>([&] { a.LoadConfigItem("a.cvs"); }),
              "MemoryKeystore does not support PushConfigItem and LoadConfigItem yet");
    return;
  }
  a.PushConfigItem("a.cvs", bytes("record a"));
  a.PushConfigItem("a.cei", bytes("core a"));
  a.PushConfigItem("a.cei", bytes("core a2"));  // overwrites
  ab.PushConfigItem("ab.cvs", bytes("record ab"));
  ab.PushConfigItem("ab.cei", {});
  EXPECT_EQ(a.LoadConfigItem("a.cei"), bytes("core a2"));
  EXPECT_EQ(a.LoadConfigItem("ab.cvs"), bytes("record ab"));  // one shared table
  EXPECT_EQ(a.LoadConfigItem("ab.cei"), Bytes{});
  EXPECT_TRUE(a.ConfigItemExists("ab.cei"));
  EXPECT_FALSE(a.ConfigItemExists("b.cvs"));
  EXPECT_EQ(error_text([&] { a.LoadConfigItem("abcdefgh"); }), "Index name 'abcd" + end);

  a.DeleteIndex();
  EXPECT_FALSE(ab.ConfigItemExists("a.cvs"));
  EXPECT_FALSE(ab.ConfigItemExists("a.cei"));
  EXPECT_EQ(ab.LoadConfigItem("ab.cvs"), bytes("record ab"));
  EXPECT_TRUE(ab.ConfigItemExists("ab.cei"));
  EXPECT_EQ(error_text([&] { ab.LoadConfigItem("a.cvs"); }), "Index name 'a" + end);
  ab.DeleteIndex();
}

// Random operation sequences on two indexes sharing a table, each checked
// against its model after every step.
TEST_P(KeystoreConformance, RandomSequencesMatchTheModel) {
  std::mt19937_64 rng(20240611);
  Keystore* stores[2] = {&Make(0), &Make(7)};
  Model models[2];
  const uint64_t special[] = {~uint64_t{0}, uint64_t{1} << 63, 0};
  auto key = [&] { return rng() % 8 == 0 ? special[rng() % 3] : rng() % 24; };
  auto value = [&](bool row) {
    if (row) return Bytes(8, static_cast<uint8_t>(rng()));
    Bytes v(rng() % 4 == 0 ? 0 : 1 + rng() % 40);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  };
  for (int step = 0; step < 150; ++step) {
    const int which = static_cast<int>(rng() % 2);
    Keystore& s = *stores[which];
    Model& m = models[which];
    std::vector<uint64_t> keys(1 + rng() % 6);
    for (auto& k : keys) k = key();
    switch (rng() % 7) {
      case 0: {
        const uint64_t k = key();
        Bytes v = value(false);
        s.PutItem(k, v);
        m[k] = v;
        break;
      }
      case 1: {
        std::vector<Bytes> values;
        for (uint64_t k : keys) {
          values.push_back(value(false));
          if (!values.back().empty()) m[k] = values.back();
        }
        s.BatchPutItems(keys, values);
        break;
      }
      case 2: {
        Bytes flat;
        for (uint64_t k : keys) {
          Bytes v = value(true);
          flat.insert(flat.end(), v.begin(), v.end());
          m[k] = v;
        }
        s.BatchPutRows(keys, ByteMatrix(flat, 8));
        break;
      }
      case 3:
        s.DeleteItem(keys[0]);
        m.erase(keys[0]);
        break;
      case 4:
        ::testing::internal::CaptureStderr();  // the memory store warns on a missing table
        s.BatchDeleteItems(keys);
        ::testing::internal::GetCapturedStderr();
        for (uint64_t k : keys) m.erase(k);
        break;
      default: {
        // Rows: refused when any asked-for value is not 8 bytes long.
        bool refuse = false;
        Bytes expected;
        for (uint64_t k : keys) {
          auto it = m.find(k);
          const Bytes v = it == m.end() ? Bytes(8, 0) : it->second;
          refuse |= v.size() != 8;
          expected.insert(expected.end(), v.begin(), v.end());
        }
        if (refuse) {
          EXPECT_THROW(s.BatchGetRows(keys), std::runtime_error) << "step " << step;
        } else {
          EXPECT_EQ(s.BatchGetRows(keys).data, expected) << "step " << step;
        }
        break;
      }
    }
    if (step % 10 == 9 || HasFailure()) {
      ExpectMatches(*stores[0], models[0], "store 0 at step " + std::to_string(step));
      ExpectMatches(*stores[1], models[1], "store 1 at step " + std::to_string(step));
    }
    if (HasFailure()) break;
  }
}

INSTANTIATE_TEST_SUITE_P(AllStores, KeystoreConformance, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

// Stores of several roles on one file write one transaction: another
// connection sees none of it until the outermost commit, none of it after an
// abort, and cannot start a write of its own meanwhile.
TEST(SqliteKeystore, RolesOnOneFileShareOneTransaction) {
  TempDatabase file;
  SqliteKeystore items(DBConfig(Location::SQLITE, "items", file.path), "idx", 100, 0);
  SqliteKeystore records(DBConfig(Location::SQLITE, "items", file.path), "idx", 100, 3);
  // Another spelling of the same file shares the connection too.
  SqliteKeystore config(DBConfig(Location::SQLITE, "configs",
                                 ::testing::TempDir() + "./" +
                                     file.path.substr(::testing::TempDir().size())), "idx", 100, 1);
  ASSERT_EQ(&items.connection(), &config.connection());

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(file.path.c_str(), &other), SQLITE_OK);
  auto rows = [&] {
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(other,
                                 "SELECT (SELECT COUNT(*) FROM items) + (SELECT COUNT(*) FROM configs)",
                                 -1, &st, nullptr),
              SQLITE_OK);
    EXPECT_EQ(sqlite3_step(st), SQLITE_ROW);
    const int n = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    return n;
  };
  auto can_write = [&] {
    const int rc = sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    return rc == SQLITE_OK;
  };
  auto write_all = [&](const char* tag) {
    items.BatchPutItems({1, 2}, {bytes(tag), bytes(tag)});
    records.PutItem(1, bytes(tag));
    config.PushConfigItem("idx.cvs", bytes(tag));
    records.BatchDeleteItems({1});
    records.PutItem(3, bytes(tag));
  };

  {
    WriteScope write({&items, &records, &config});
    write_all("first");
    EXPECT_EQ(rows(), 0);
    EXPECT_FALSE(can_write());
    EXPECT_TRUE(write.Abort());
  }
  EXPECT_EQ(rows(), 0);
  EXPECT_EQ(items.CountItems() + records.CountItems() + config.CountItems(), 0u);
  EXPECT_TRUE(can_write());

  {
    WriteScope write({&items, &records, &config});
    write_all("second");
    {
      WriteScope inner({&records});  // nested: commits nothing by itself
      records.PutItem(4, bytes("inner"));
      inner.Commit();
    }
    EXPECT_EQ(rows(), 0);
    write.Commit();
  }
  EXPECT_EQ(rows(), 5);  // items 1, 2; records 3, 4; one configuration item
  EXPECT_EQ(records.BatchGetItems({1, 3, 4}),
            (std::vector<Bytes>{{}, bytes("second"), bytes("inner")}));

  // An inner abort dooms the whole write, even if the outer scope commits.
  {
    WriteScope write({&items, &config});
    items.PutItem(9, bytes("lost"));
    { WriteScope inner({&records}); }
    EXPECT_NE(error_text([&] { write.Commit(); }).find("rolled back"), std::string::npos);
  }
  EXPECT_EQ(items.GetItem(9), Bytes{});
  EXPECT_EQ(rows(), 5);
  EXPECT_TRUE(can_write());
  sqlite3_close(other);

  // Tables of another shape are refused, not written into.
  EXPECT_EQ(error_text([&] { SqliteKeystore(DBConfig(Location::SQLITE, "configs", file.path), "i", 1, 0); }),
            "Table configs exists but does not match the expected schema.");
  EXPECT_EQ(error_text([&] { SqliteKeystore(DBConfig(Location::SQLITE, "items", file.path), "i", 1, 1); }),
            "Table items exists but does not match the expected schema.");
}

}  // namespace
}  // namespace tavrin_encrypted_index::internal::backing_store
