// Sends commands to a Redis Cluster over plain hiredis connections: hiredis
// knows nothing of clusters, so the slot routing is ours.
//
// The slot map comes from CLUSTER SLOTS (asked of the seed node, or of any
// node seen since). A key's slot is CRC16 (XMODEM) of the key, or of its hash
// tag, modulo 16384. A batch of commands is grouped by the master of each
// command's slot and pipelined per master. Replies are followed as the cluster
// asks: MOVED updates the map (refreshed whole before the next round) and
// sends the command again; ASK sends it once more to the named node, preceded
// by ASKING. CLUSTERDOWN, TRYAGAIN, LOADING, READONLY and a node that does not
// answer are waited out (the map refreshed, with growing pauses) while the
// cluster fails over, up to a deadline (30 s by default); then the batch
// fails with a std::runtime_error that says why. Every command this router is
// given is idempotent (HSET, HDEL, HMGET, DEL, ...), so sending a command
// again after a connection broke mid-batch is safe.
//
// Writes: replication in a cluster is asynchronous, so a batch of writes
// returns only after WAIT on each master written to has seen a replica take
// the writes. Every replica the master's CLUSTER NODES assigns to it counts,
// also one still in its first sync; masters whose replicas are all marked
// failed (or that have none) are not waited on. A WAIT that times out fails
// the batch unless the replica has since been marked failed.
#ifndef TAVRIN_BACKING_STORE_REDIS_CLUSTER_ROUTER_H_
#define TAVRIN_BACKING_STORE_REDIS_CLUSTER_ROUTER_H_

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "backing_store/redis_connection.h"

namespace tavrin_encrypted_index::internal::backing_store {

inline constexpr int kClusterSlots = 16384;

// The slot of a key: of its hash tag (the bytes between the first '{' and
// the next '}', if not empty), else of the whole key.
uint16_t cluster_key_slot(std::string_view key);

// The replicas that a CLUSTER NODES reply (asked of a master) assigns to the
// node marked myself, less those marked failed, suspected or not yet known.
int assigned_replicas(std::string_view cluster_nodes);

// Whether a Redis connection string asks for a cluster ("cluster:yes");
// "cluster:no" or no such pair is a single server. Any other value throws
// std::invalid_argument.
bool is_redis_cluster(const std::string& connection_string);

class RedisClusterRouter {
 public:
  // Connects to the seed (`host`, `port`; `user`, `password` as for one
  // server, used for every node) and reads the slot map. `db` must be 0: a
  // cluster has no other database. Throws std::runtime_error when the seed
  // is no cluster node or the map cannot be read.
  explicit RedisClusterRouter(const std::string& connection_string);

  // Runs each command (args[1] is its key; a script's is its first key) on the master of the key's slot
  // and returns its reply, in the commands' order. Error replies other than
  // redirections and the waited-out ones are returned as they came. With
  // `write`, waits for the replicas as above.
  std::vector<RedisReply> Run(const std::vector<std::vector<std::string_view>>& commands,
                              bool write);
  RedisReply RunOne(const std::vector<std::string_view>& args, bool write);

  // The master addresses ("host:port") of a fresh slot map, each once.
  std::vector<std::string> Masters();
  // The master serving `slot` in the current map; empty when none does.
  const std::string& MasterOfSlot(uint16_t slot) const { return slot_master_[slot]; }
  // A connection of the router's own to a node, made on first use.
  RedisConnection& Node(const std::string& address);

  // How often commands were redirected or sent again, for tests and tuning.
  struct Stats {
    uint64_t moved = 0, asked = 0, retried = 0, refreshes = 0;
  };
  const Stats& stats() const { return stats_; }
  void SetDeadline(std::chrono::milliseconds d) { deadline_ = d; }
  void SetWaitTimeout(std::chrono::milliseconds t) { wait_timeout_ = t; }

 private:
  // Reads CLUSTER SLOTS from the seed or any known node; false when none
  // answered with a map (why in last_error_).
  bool Refresh();
  void DropNode(const std::string& address);
  // The replicas linked or assigned to a master and not marked failed, asked
  // once per slot map (none, at every write); -1 when the master did not answer.
  int ReplicasOf(const std::string& address);

  std::string seed_;
  std::string credentials_;  // ",user:...,password:..." for every node's connection string
  std::array<std::string, kClusterSlots> slot_master_;
  std::map<std::string, int> replicas_;  // master address -> replicas linked to it
  std::map<std::string, std::unique_ptr<RedisConnection>> nodes_;
  std::chrono::milliseconds deadline_{30000};
  std::chrono::milliseconds wait_timeout_{10000};
  std::string last_error_;
  Stats stats_;
};

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_REDIS_CLUSTER_ROUTER_H_
