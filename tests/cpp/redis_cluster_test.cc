// The Redis Cluster store on the test cluster (three masters, a replica
// each): where its shards land, as the servers themselves compute slots, and
// a shard's slot moved to another master under it, seen first through ASK
// (mid-migration) and then through MOVED, with every value intact. And the
// write fences of both Redis stores.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "backing_store/redis_cluster_keystore.h"
#include "backing_store/redis_fence.h"
#include "backing_store/redis_keystore.h"
#include "common/diagnostics.h"
#include "test_services.h"
#include "test_util.h"

namespace tavrin_encrypted_index::internal::backing_store {
namespace {

using ::tavrin::DBConfig;
using ::tavrin::Location;

std::string text(const RedisReply& r) {
  return r && r->str ? std::string(r->str, r->len) : std::string();
}

// Two holders of one index's stores, the second taking over: every kind of
// write of the first is refused once the second raised its fence, and
// changes nothing; the second writes, and so does a holder after it.
void FencesRefuseAnEarlierHolder(const std::string& conn, bool cluster) {
  const std::string table = "Fence_" + std::to_string(getpid()) + (cluster ? "c" : "s");
  const uint64_t base = std::random_device()() | (uint64_t{std::random_device()()} << 32);
  auto make = [&](int role) -> std::unique_ptr<Keystore> {
    const DBConfig at(Location::REDIS, table, conn);
    if (cluster) return std::make_unique<RedisClusterKeystore>(at, "idx", base, role);
    return std::make_unique<RedisKeystore>(at, "idx", base, role);
  };
  for (int role : {0, 1}) {
    // Numbers rise across the roles too: the index has one configuration fence.
    const WriteFence first{5u + 10 * role}, second{6u + 10 * role}, third{7u + 10 * role};
    auto a = make(role), b = make(role);
    a->SetFence(&first);
    a->RaiseFence();
    a->PutItem(1, Bytes{1});
    a->PushConfigItem("idx.cei", Bytes{1});
    b->SetFence(&second);
    b->RaiseFence();
    const std::vector<std::function<void()>> writes = {
        [&] { a->PutItem(1, Bytes{9}); },
        [&] { a->BatchPutItems({1, 2}, {Bytes{9}, Bytes{9}}); },
        [&] { a->BatchPutRows({3}, ByteMatrix(Bytes(8, 9), 8)); },
        [&] { a->DeleteItem(1); },
        [&] { a->BatchDeleteItems({1}); },
        [&] { a->PushConfigItem("idx.cei", Bytes{9}); },
        [&] { a->DeleteIndex(); }};
    for (size_t w = 0; w < writes.size(); ++w) {
      EXPECT_NE(::tavrin::testing::error_text(writes[w]).find(kFenceLostError), std::string::npos)
          << "write " << w << " of role " << role;
    }
    EXPECT_EQ(a->RaiseFence(), second.number) << "an earlier holder raised a later one's fence";
    EXPECT_EQ(b->BatchGetItems({1, 2, 3}), (std::vector<Bytes>{Bytes{1}, Bytes(), Bytes()}));
    EXPECT_EQ(b->LoadConfigItem("idx.cei"), Bytes{1});
    b->PutItem(2, Bytes{2});
    // Batches larger than one script call takes are written whole.
    std::vector<uint64_t> many(cluster ? 2000 : 20000);
    for (size_t i = 0; i < many.size(); ++i) many[i] = 1000 + i;
    b->BatchPutItems(many, std::vector<Bytes>(many.size(), Bytes{7}));
    EXPECT_EQ(b->BatchGetItems(many), std::vector<Bytes>(many.size(), Bytes{7}));
    b->BatchDeleteItems(many);
    EXPECT_EQ(b->CountItems(), 2u);
    a->SetFence(&third);  // the first again, with a later lease
    a->RaiseFence();
    a->PutItem(3, Bytes{3});
    EXPECT_NE(::tavrin::testing::error_text([&] { b->PutItem(2, Bytes{8}); }).find(kFenceLostError),
              std::string::npos);
    EXPECT_EQ(a->BatchGetItems({1, 2, 3}), (std::vector<Bytes>{Bytes{1}, Bytes{2}, Bytes{3}}));
    a->DeleteIndex();
  }
}

// Writes wait for every replica a master's CLUSTER NODES assigns to it, also
// one whose first sync has not ended; ones marked failed, suspected, still in
// handshake or with no address do not hold writes up. Lines as Redis 7 prints
// them, with a hostname after the bus port on one of them.
TEST(RedisCluster, CountsTheReplicasAssignedToTheMasterAsked) {
  const std::string me = "aaaa0000";
  auto line = [](const std::string& id, const std::string& flags, const std::string& master,
                 const std::string& slots = "") {
    return id + " 127.0.0.1:7000@17000,host" + id + " " + flags + " " + master +
           " 0 1796677216285 2 connected" + slots + "\n";
  };
  const std::string master = line(me, "myself,master", "-", " 0-5460");
  EXPECT_EQ(assigned_replicas(master), 0);
  EXPECT_EQ(assigned_replicas(master + line("bbbb", "slave", me)), 1);
  EXPECT_EQ(assigned_replicas(line("bbbb", "slave", me) + master + line("cccc", "replica", me) +
                              line("dddd", "slave", "eeee") + line("eeee", "master", "-", " 5461-9000")),
            2);
  for (const std::string flags : {"slave,fail", "slave,fail?", "slave,handshake", "noaddr,slave"}) {
    EXPECT_EQ(assigned_replicas(master + line("bbbb", flags, me) + line("cccc", "slave", me)), 1)
        << flags;
  }
  // Another node's view names no myself among these: nothing to count.
  EXPECT_EQ(assigned_replicas(line("bbbb", "slave", me) + line(me, "master", "-")), 0);
  EXPECT_EQ(assigned_replicas(""), 0);
  EXPECT_EQ(assigned_replicas("garbage\n\n" + master + "x y\n" + line("bbbb", "slave", me)), 1);
}

TEST(RedisFence, RefusesAnEarlierHolderOnOneServer) {
  const auto conn = ::tavrin::testing::redis_connection_string();
  if (!conn) TAVRIN_SKIP_OR_FAIL("no Redis server: run through scripts/test");
  FencesRefuseAnEarlierHolder(*conn, false);
}

// A batch checks the fence once and writes in one transaction: when the
// fence key changes between the check and the transaction, the server drops
// the transaction and the batch is checked again, refused if a later holder
// raised the fence, never written in part.
TEST(RedisFence, ABatchIsCheckedAgainWhenTheFenceMovesBeforeItsTransaction) {
  const auto conn = ::tavrin::testing::redis_connection_string();
  if (!conn) TAVRIN_SKIP_OR_FAIL("no Redis server: run through scripts/test");
  const uint64_t base = std::random_device()() | (uint64_t{std::random_device()()} << 32);
  RedisKeystore a(DBConfig(Location::REDIS, "FenceMoves", *conn), "idx", base, 0);
  RedisConnection other(*conn);
  const std::string fence_key = fence_key_for(le8(base), le8(base));
  const WriteFence mine{40};
  a.SetFence(&mine);
  a.RaiseFence();
  std::vector<uint64_t> keys(3000);  // three commands in the transaction
  for (size_t i = 0; i < keys.size(); ++i) keys[i] = 7 * i + 1;
  auto values = [&](uint8_t v) { return std::vector<Bytes>(keys.size(), Bytes{v}); };

  int checks = 0;
  // Touched once with the same number (a holder's own first write does
  // that): written on the second try.
  a.set_after_fence_check([&] {
    if (checks++ == 0) other.Command({"SET", fence_key, "40"});
  });
  a.BatchPutItems(keys, values(1));
  EXPECT_EQ(checks, 2);
  EXPECT_EQ(a.BatchGetItems(keys), values(1));

  // Raised by a later holder in the window: refused, nothing written.
  checks = 0;
  a.set_after_fence_check([&] {
    if (checks++ == 0) other.Command({"SET", fence_key, "41"});
  });
  EXPECT_NE(::tavrin::testing::error_text([&] { a.BatchPutItems(keys, values(2)); })
                .find(kFenceLostError),
            std::string::npos);
  EXPECT_EQ(checks, 1);
  EXPECT_EQ(a.BatchGetItems(keys), values(1));
  other.Command({"SET", fence_key, "40"});

  // Touched on every try: given up, nothing written, the connection usable.
  checks = 0;
  a.set_after_fence_check([&] {
    ++checks;
    other.Command({"SET", fence_key, "40"});
  });
  EXPECT_NE(::tavrin::testing::error_text([&] { a.BatchDeleteItems(keys); })
                .find("the fence kept changing"),
            std::string::npos);
  EXPECT_EQ(checks, RedisKeystore::kFencedAttempts);
  a.set_after_fence_check(nullptr);
  EXPECT_EQ(a.BatchGetItems(keys), values(1));
  // A fence key that holds no number refuses the write, as the script does.
  other.Command({"SET", fence_key, "40x"});
  EXPECT_NE(::tavrin::testing::error_text([&] { a.BatchPutItems(keys, values(4)); })
                .find("holds no number"),
            std::string::npos);
  EXPECT_EQ(a.BatchGetItems(keys), values(1));
  other.Command({"SET", fence_key, "40"});
  a.BatchPutItems(keys, values(3));
  EXPECT_EQ(a.BatchGetItems(keys), values(3));
  EXPECT_EQ(a.CountItems(), keys.size());
  a.DeleteIndex();
  other.Command({"DEL", fence_key});
}

TEST(RedisFence, RefusesAnEarlierHolderOnACluster) {
  const auto conn = ::tavrin::testing::redis_cluster_connection_string();
  if (!conn) TAVRIN_SKIP_OR_FAIL("no Redis Cluster: run through scripts/test");
  FencesRefuseAnEarlierHolder(*conn, true);
}

TEST(RedisCluster, ShardsSpreadOverEveryMasterAndAMovedSlotIsFollowed) {
  const auto conn = ::tavrin::testing::redis_cluster_connection_string();
  if (!conn) TAVRIN_SKIP_OR_FAIL("no Redis Cluster: run through scripts/test");
  std::string db1 = *conn;
  db1.replace(db1.find("db:0"), 4, "db:1");
  EXPECT_EQ(::tavrin::testing::error_text(
                [&] { RedisClusterKeystore(DBConfig(Location::REDIS, "t", db1), "i", 1, 0); }),
            "A Redis Cluster has only database 0, not db 1");

  const uint64_t base = std::random_device()() | (uint64_t{std::random_device()()} << 32);
  RedisClusterKeystore store(DBConfig(Location::REDIS, "Rc_" + std::to_string(getpid()), *conn),
                             "idx", base, 0);
  struct Emptied {
    Keystore& s;
    ~Emptied() {
      try {
        s.DeleteIndex();
      } catch (const std::exception& e) {  // the test has failed already
        ADD_FAILURE() << e.what();
      }
    }
  } emptied{store};
  RedisClusterRouter& router = store.router();
  std::mt19937_64 rng(7);
  std::map<uint64_t, Bytes> model;
  auto write = [&](std::vector<uint64_t> keys) {
    std::vector<Bytes> values;
    for (uint64_t k : keys) values.push_back(model[k] = Bytes(1 + rng() % 30, uint8_t(rng())));
    store.BatchPutItems(keys, values);
  };
  auto matches = [&] {
    std::vector<uint64_t> keys;
    std::vector<Bytes> values;
    for (const auto& [k, v] : model) keys.push_back(k), values.push_back(v);
    return store.BatchGetItems(keys) == values && store.CountItems() == model.size();
  };
  std::vector<uint64_t> keys(6000);
  for (auto& k : keys) k = rng();
  write(keys);

  // Each master's share of the fields, asking each master for every shard
  // key: a key it does not serve is refused with MOVED.
  const std::vector<std::string> masters = router.Masters();
  ASSERT_EQ(masters.size(), 3u);
  std::set<long long> slots;
  uint64_t total = 0;
  for (const std::string& m : masters) {
    uint64_t here = 0;
    for (int s = 0; s < RedisClusterKeystore::kShards; ++s) {
      RedisReply r = router.Node(m).Command({"HLEN", store.ShardKey(s)});
      ASSERT_TRUE(r);
      if (r->type == REDIS_REPLY_INTEGER) here += r->integer;
      if (m == masters[0]) {
        slots.insert(router.Node(m).Command({"CLUSTER", "KEYSLOT", store.ShardKey(s)})->integer);
      }
    }
    EXPECT_GT(here, keys.size() * 18 / 100) << m;
    EXPECT_LT(here, keys.size() * 48 / 100) << m;
    total += here;
  }
  EXPECT_EQ(total, keys.size());
  EXPECT_EQ(slots.size(), size_t(RedisClusterKeystore::kShards));

  // Moves the slot of shard 0 from `from` to `to`; `midway` runs once our
  // shard key has moved but the slot has not yet.
  const std::string shard = store.ShardKey(0);
  auto move_slot = [&](const std::string& from, const std::string& to, auto midway) {
    const std::string slot = std::to_string(cluster_key_slot(shard));
    const std::string from_id = text(router.Node(from).Command({"CLUSTER", "MYID"}));
    const std::string to_id = text(router.Node(to).Command({"CLUSTER", "MYID"}));
    const std::string host = to.substr(0, to.rfind(':')), port = to.substr(to.rfind(':') + 1);
    ASSERT_EQ(text(router.Node(to).Command({"CLUSTER", "SETSLOT", slot, "IMPORTING", from_id})), "OK");
    ASSERT_EQ(text(router.Node(from).Command({"CLUSTER", "SETSLOT", slot, "MIGRATING", to_id})), "OK");
    auto migrate = [&](std::vector<std::string_view> moved) {
      std::vector<std::string_view> args{"MIGRATE", host, port, "", "0", "10000", "KEYS"};
      args.insert(args.end(), moved.begin(), moved.end());
      ASSERT_EQ(text(router.Node(from).Command(args)), "OK");
    };
    migrate({shard});
    midway();
    // Other tests' keys share the slot: move them all before handing it over.
    for (;;) {
      RedisReply left = router.Node(from).Command({"CLUSTER", "GETKEYSINSLOT", slot, "100"});
      ASSERT_TRUE(left && left->type == REDIS_REPLY_ARRAY);
      if (left->elements == 0) break;
      std::vector<std::string_view> moved;
      for (size_t i = 0; i < left->elements; ++i) moved.emplace_back(left->element[i]->str, left->element[i]->len);
      migrate(moved);
    }
    for (const std::string& m : {to, from}) {
      ASSERT_EQ(text(router.Node(m).Command({"CLUSTER", "SETSLOT", slot, "NODE", to_id})), "OK");
    }
  };
  std::vector<uint64_t> in_shard;
  for (uint64_t k : keys) {
    if (RedisClusterKeystore::ShardOf(k) == 0) in_shard.push_back(k);
  }
  ASSERT_FALSE(in_shard.empty());
  const std::string home = router.MasterOfSlot(cluster_key_slot(shard));
  const std::string away = masters[0] == home ? masters[1] : masters[0];
  move_slot(home, away, [&] {
    // Reads and writes of the moved key are asked over to the new master.
    write(in_shard);
    EXPECT_TRUE(matches());
    EXPECT_GT(router.stats().asked, 0u);
    EXPECT_EQ(router.stats().moved, 0u);
  });
  EXPECT_TRUE(matches());  // the old map names the old master: MOVED
  EXPECT_GT(router.stats().moved, 0u);
  EXPECT_EQ(router.MasterOfSlot(cluster_key_slot(shard)), away);
  // And back, with writes on the way.
  const uint64_t asked = router.stats().asked;
  move_slot(away, home, [&] { write(in_shard); });
  write(in_shard);
  EXPECT_TRUE(matches());
  EXPECT_GT(router.stats().asked, asked);
}

}  // namespace
}  // namespace tavrin_encrypted_index::internal::backing_store
