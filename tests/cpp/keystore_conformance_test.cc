// One suite for every Keystore: random operation sequences on the in-process,
// PostgreSQL, Redis, Redis Cluster and SQLite stores, each store compared with a std::map
// model of the store contract, the index listing included. Then what is one
// store's own: the in-process store's warnings, and the SQLite store's
// transactions, seen from a connection of its own.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "backing_store/index_listing.h"
#include "backing_store/keystore_factory.h"
#include "backing_store/memory_keystore.h"
#include "backing_store/sqlite_keystore.h"
#include "common/diagnostics.h"
#include "test_services.h"
#include "test_util.h"

namespace tavrin_encrypted_index::internal::backing_store {
namespace {

using ::tavrin::DBConfig;
using ::tavrin::Location;
using ::tavrin::testing::error_text;
using ::tavrin::testing::TempDatabase;
using Model = std::map<uint64_t, Bytes>;

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Every observable of `store` against `model`, over the model's keys and a
// few absent ones.
void ExpectMatches(Keystore& store, const Model& model, const std::string& where) {
  SCOPED_TRACE(where);
  std::vector<uint64_t> keys = {0, 424242, ~uint64_t{0}};
  for (const auto& [k, v] : model) keys.push_back(k);
  std::vector<Bytes> expected;
  for (uint64_t k : keys) expected.push_back(model.count(k) ? model.at(k) : Bytes{});
  EXPECT_EQ(store.BatchGetItems(keys), expected);
  std::vector<Bytes> holder;
  const std::vector<ByteView> views = store.BatchViewItems(keys, holder);
  ASSERT_EQ(views.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(store.GetItem(keys[i]), expected[i]);
    EXPECT_EQ(Bytes(views[i].data(), views[i].data() + views[i].size()), expected[i]);
  }
  EXPECT_EQ(store.CountItems(), model.size());
}

std::string name_of(Location l) {
  return l == Location::MEMORY ? "Memory" : l == Location::POSTGRES ? "Postgres"
         : l == Location::REDIS  ? "Redis"  : "SQLite";
}

// A store's location, and for Redis whether it is the cluster.
using Store = std::pair<Location, bool>;
class KeystoreConformance : public ::testing::TestWithParam<Store> {};

// Two item stores share a table, and two configuration stores ("a" and "ab",
// one name a prefix of the other) share theirs.
TEST_P(KeystoreConformance, RandomSequencesMatchTheModel) {
  const Location location = GetParam().first;
  const bool cluster = GetParam().second;
  TempDatabase file;
  std::optional<std::string> conn = file.path;
  if (location == Location::POSTGRES) conn = ::tavrin::testing::postgres_conninfo();
  if (location == Location::REDIS) {
    conn = cluster ? ::tavrin::testing::redis_cluster_connection_string()
                   : ::tavrin::testing::redis_connection_string();
  }
  if (!conn) TAVRIN_SKIP_OR_FAIL("no " + name_of(location) + " server: run through scripts/test");
  // Tests run in parallel processes against one server: names and bases are
  // unique per process. Capitals: PostgreSQL folds them, and must find the table again.
  const std::string table = "Kc_" + std::to_string(getpid());
  const uint64_t base = std::random_device()() | (uint64_t{std::random_device()()} << 30);
  struct Made {  // emptied, and PostgreSQL's tables dropped, however the test ends
    std::vector<std::unique_ptr<Keystore>> stores;
    std::string postgres, table;
    ~Made() {
      for (auto& s : stores) s->DeleteIndex();
      ::tavrin::SetDiagnosticSink(nullptr);
      if (postgres.empty()) return;
      PGconn* c = PQconnectdb(postgres.c_str());
      PQclear(PQexec(c, ("DROP TABLE IF EXISTS " + table + ", " + table + "_cfg").c_str()));
      PQfinish(c);
    }
  } made{{}, location == Location::POSTGRES ? *conn : "", table};
  // Deletes of what is not there warn; those warnings are not under test here.
  ::tavrin::SetDiagnosticSink([](::tavrin::DiagnosticStream, std::string_view) {});
  auto make = [&](uint64_t offset, StoreRole role, const std::string& name) {
    // No location at all is the in-process store too.
    const DBConfig c(location == Location::MEMORY ? Location::NONE : location,
                     role == StoreRole::kConfig ? table + "_cfg" : table, *conn);
    made.stores.push_back(KeystoreFactory::Create(c, name, base + offset, role));
    return made.stores.back().get();
  };
  const bool keeps_config = location != Location::MEMORY;
  const std::string missing = "' does not exist in " + name_of(location) + ".";
  Keystore* stores[2] = {make(0, StoreRole::kIndex, "idx"), make(7, StoreRole::kIndex, "idx")};
  Keystore* configs[2] = {make(0, StoreRole::kConfig, "a"), make(50, StoreRole::kConfig, "ab")};
  Model models[2];
  uint64_t widths[2] = {8, 8};
  std::map<std::string, Bytes> config_model;
  // The last name is never written; the rest test the listing's suffix rule.
  const std::string names[] = {"a.cvs", "a.cei", "ab.cvs", "ab.cei",   "b.cvs",
                               "Z.cvs", ".cvs",  "cvs",    "a.b.cvs", "abcdefgh"};

  // Refusals come before any write, with these words.
  Keystore& s0 = *stores[0];
  const std::string no_keys = "No keys provided for batch insertion",
                    mismatch = "Mismatch between number of keys and ";
  EXPECT_EQ(error_text([&] { s0.BatchPutRows({}, ByteMatrix()); }), no_keys);
  EXPECT_EQ(error_text([&] { s0.BatchPutItems({}, {}); }), no_keys);
  EXPECT_EQ(error_text([&] { s0.BatchPutRows({1}, ByteMatrix(Bytes(16, 1), 8)); }),
            mismatch + "batch size");
  EXPECT_EQ(error_text([&] { s0.BatchPutItems({1, 2}, {bytes("a")}); }),
            mismatch + (location == Location::POSTGRES ? "values" : "batch size"));
  EXPECT_EQ(error_text([&] { s0.BatchPutRows({1, 2}, ByteMatrix(Bytes(32, 1), 16)); }),
            "Amount of data must be divisible by the size of each value");
  EXPECT_EQ(s0.BatchGetRows({}).rows + s0.BatchGetItems({}).size(), 0u);
  ExpectMatches(s0, {}, "after refusals");

  std::mt19937_64 rng(20240611);
  const uint64_t special[] = {~uint64_t{0}, uint64_t{1} << 63, 0};
  auto key = [&] { return rng() % 8 == 0 ? special[rng() % 3] : rng() % 24; };
  auto value = [&](size_t width) {  // width 0: any length, often empty
    Bytes v(width ? width : rng() % 4 == 0 ? 0 : 1 + rng() % 40);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  };
  for (int step = 0; step < 600 && !HasFailure(); ++step) {
    const int which = static_cast<int>(rng() % 2);
    Keystore& s = *stores[which];
    Model& m = models[which];
    std::vector<uint64_t> keys(1 + rng() % 6);
    for (auto& k : keys) k = key();
    std::vector<Bytes> values;
    const std::string where = "step " + std::to_string(step);
    switch (rng() % 11) {
      case 0:  // an empty value is stored, and counted
        s.PutItem(keys[0], m[keys[0]] = value(0));
        break;
      case 1:
      case 2: {  // the later duplicate wins; an empty value keeps what is stored
        for (uint64_t k : keys) {
          values.push_back(value(0));
          if (!values.back().empty()) m[k] = values.back();
        }
        rng() % 2 ? s.BatchPutItems(keys, values) : s.BatchMoveItems(keys, std::move(values));
        break;
      }
      case 3: {
        Bytes flat;
        for (uint64_t k : keys) {
          m[k] = value(widths[which]);
          flat.insert(flat.end(), m[k].begin(), m[k].end());
        }
        s.BatchPutRows(keys, ByteMatrix(flat, widths[which]));
        break;
      }
      case 4:
        s.DeleteItem(keys[0]);
        m.erase(keys[0]);
        break;
      case 5:
        s.BatchDeleteItems(keys);
        for (uint64_t k : keys) m.erase(k);
        break;
      case 6: {  // rows of another width are refused, not cut, padded or shifted
        bool refused = false;
        Bytes expected;
        for (uint64_t k : keys) {
          const Bytes v = m.count(k) ? m[k] : Bytes(widths[which], 0);
          refused |= v.size() != widths[which];
          expected.insert(expected.end(), v.begin(), v.end());
        }
        ByteMatrix back;
        const std::string text = error_text([&] { back = s.BatchGetRows(keys); });
        EXPECT_TRUE(refused ? text.find(" bytes long, not the row size " +
                                        std::to_string(widths[which])) != std::string::npos
                            : back.cols == widths[which] && back.data == expected)
            << text << " at " << where;
        break;
      }
      case 7:
        widths[which] = widths[which] == 8 ? 16 : 8;
        s.SetRowSize(widths[which]);
        break;
      case 8:  // now and then; the other index keeps its rows
        if (rng() % 4 == 0) {
          s.DeleteIndex(), m.clear();
        } else {  // a hint of keys to come changes nothing stored, whatever its count
          const uint64_t counts[] = {0, rng() % 5000, ~uint64_t{0}};
          s.ExpectNewKeys(counts[rng() % 3]);
        }
        break;
      default: {  // configuration items, in one table for both indexes
        const int index = static_cast<int>(rng() % 2);
        Keystore& c = *configs[index];
        const std::string& name = names[rng() % 10];
        const int op = static_cast<int>(rng() % 8);  // deletes are rarer: they empty much
        auto it = config_model.find(name);
        if (op < 3) {
          const Bytes v = value(0);
          if (name != names[9]) c.PushConfigItem(name, v);
          if (keeps_config && name != names[9]) config_model[name] = v;
        } else if (op < 7) {
          EXPECT_EQ(c.ConfigItemExists(name), it != config_model.end()) << name << " at " << where;
          if (it != config_model.end()) {
            EXPECT_EQ(c.LoadConfigItem(name), it->second) << name << " at " << where;
          } else {
            EXPECT_EQ(error_text([&] { c.LoadConfigItem(name); }),
                      keeps_config ? "Index name '" + name.substr(0, name.size() - 4) + missing
                                   : "MemoryKeystore does not support PushConfigItem and "
                                     "LoadConfigItem yet") << where;
          }
        } else {  // exactly this index's two items go
          c.DeleteIndex();
          config_model.erase(names[2 * index]);
          config_model.erase(names[2 * index + 1]);
        }
        break;
      }
    }
    if (step % 10 == 9 || HasFailure()) {
      ExpectMatches(*stores[0], models[0], "store 0 at " + where);
      ExpectMatches(*stores[1], models[1], "store 1 at " + where);
      // The listing: names of ".cvs" items, sorted (PostgreSQL keeps its own order).
      std::vector<std::string> listed, expected;
      for (const auto& [name, v] : config_model)
        if (name.size() > 4 && name.rfind(".cvs") == name.size() - 4) expected.push_back(name.substr(0, name.size() - 4));
      const DBConfig cfg(location, table + "_cfg", *conn);
      const std::string refusal = error_text([&] { listed = ListIndexNames(cfg); });
      std::sort(expected.begin(), expected.end());
      if (location == Location::POSTGRES) std::sort(listed.begin(), listed.end());
      EXPECT_EQ(keeps_config ? listed : expected, expected) << where;
      EXPECT_EQ(refusal.find("in-process configuration location") != std::string::npos, !keeps_config)
          << refusal;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllStores, KeystoreConformance,
                         ::testing::Values(Store{Location::MEMORY, false},
                                           Store{Location::POSTGRES, false},
                                           Store{Location::REDIS, false},
                                           Store{Location::REDIS, true},
                                           Store{Location::SQLITE, false}),
                         [](const auto& info) {
                           return name_of(info.param.first) + (info.param.second ? "Cluster" : "");
                         });

// The in-process store's own: its warnings, a table that goes with its last
// value; and the factory's refusal of an unknown location.
TEST(MemoryKeystore, WarningsTablesAndTheFactory) {
  MemoryKeystore store("idx", 40, 2);
  auto warns = [&](auto&& fn, const std::string& text) {
    ::testing::internal::CaptureStderr();
    fn();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), text);
  };
  const std::string no_table = "Warning: Index with hashed_index_name_ 42 does not exist.\n";
  warns([&] { store.BatchDeleteItems({1}); },
        "Warning: Index name for hashed_index_name_ does not exist.\n");
  store.BatchPutItems({1}, {{}});  // writes nothing, so makes no table either
  warns([&] { store.DeleteIndex(); }, no_table);
  store.BatchPutItems({1, 2}, {{'a'}, {'b'}});
  store.BatchDeleteItems({1, 2, 3});  // the last key goes, and with it the table
  warns([&] { store.DeleteIndex(); }, no_table);
  store.PutItem(5, {'x'});
  warns([&] { store.DeleteIndex(); }, "");

  // The role is added to the base, wrapping.
  EXPECT_EQ(MemoryKeystore("i", ~uint64_t{0}, 3).hashed_index_name(), 2u);
  EXPECT_EQ(error_text([&] {
              KeystoreFactory::Create(DBConfig(Location(3), {}, {}), "idx", 1, StoreRole::kIndex);
            }), "Unsupported index location");
}

// Stores of several roles on one file write one transaction: another
// connection sees none of it until the outermost commit, none of it after an
// abort, and cannot start a write of its own meanwhile.
TEST(SqliteKeystore, RolesOnOneFileShareOneTransaction) {
  TempDatabase file;
  SqliteKeystore items(DBConfig(Location::SQLITE, "items", file.path), "idx", 100, 0);
  SqliteKeystore records(DBConfig(Location::SQLITE, "items", file.path), "idx", 100, 3);
  // Another spelling of the same file shares the connection too.
  const std::string dir = ::testing::TempDir();
  SqliteKeystore config(
      DBConfig(Location::SQLITE, "configs", dir + "./" + file.path.substr(dir.size())), "idx",
      100, 1);
  ASSERT_EQ(&items.connection(), &config.connection());

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(file.path.c_str(), &other), SQLITE_OK);
  // What another connection sees: the rows of both tables, and whether it
  // could start a write of its own.
  auto seen = [&] {
    int n = -1;
    sqlite3_exec(other, "SELECT (SELECT COUNT(*) FROM items) + (SELECT COUNT(*) FROM configs)",
                 [](void* n, int, char** v, char**) { return *static_cast<int*>(n) = atoi(v[0]), 0; },
                 &n, nullptr);
    const bool can_write = sqlite3_exec(other, "BEGIN IMMEDIATE; ROLLBACK", 0, 0, 0) == SQLITE_OK;
    return std::pair{n, can_write};
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
    EXPECT_EQ(seen(), std::pair(0, false));
    EXPECT_TRUE(write.Abort());
  }
  EXPECT_EQ(seen(), std::pair(0, true));
  EXPECT_EQ(items.CountItems() + records.CountItems() + config.CountItems(), 0u);
  {
    WriteScope write({&items, &records, &config});
    write_all("second");
    {
      WriteScope inner({&records});  // nested: commits nothing by itself
      records.PutItem(4, bytes("inner"));
      inner.Commit();
    }
    EXPECT_EQ(seen().first, 0);
    write.Commit();
  }
  EXPECT_EQ(seen(), std::pair(5, true));  // items 1, 2; records 3, 4; one configuration item
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
  EXPECT_EQ(seen(), std::pair(5, true));
  sqlite3_close(other);

  // Tables of another shape are refused, not written into.
  for (const auto& [table, role] : {std::pair{"configs", 0}, std::pair{"items", 1}}) {
    EXPECT_EQ(error_text([&] {
                SqliteKeystore(DBConfig(Location::SQLITE, table, file.path), "i", 1, role);
              }),
              std::string("Table ") + table + " exists but does not match the expected schema.");
  }
}

}  // namespace
}  // namespace tavrin_encrypted_index::internal::backing_store
