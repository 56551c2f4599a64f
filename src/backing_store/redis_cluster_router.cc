#include "backing_store/redis_cluster_router.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <thread>

namespace tavrin_encrypted_index::internal::backing_store {

namespace {

// Short enough that a frozen node leaves time for retries within the deadline.
constexpr std::chrono::milliseconds kNodeCommandTimeout{10000};

std::string text_of(const redisReply* r) {
  return r->str == nullptr ? std::string() : std::string(r->str, r->len);
}

bool starts_with(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Replies that say the cluster is changing under us: wait and ask again.
bool is_transient(const std::string& error) {
  for (std::string_view p : {"CLUSTERDOWN", "TRYAGAIN", "LOADING", "READONLY", "MASTERDOWN"}) {
    if (starts_with(error, p)) return true;
  }
  return false;
}

}  // namespace

uint16_t cluster_key_slot(std::string_view key) {
  const size_t open = key.find('{');
  if (open != std::string_view::npos) {
    const size_t close = key.find('}', open + 1);
    if (close != std::string_view::npos && close > open + 1) {
      key = key.substr(open + 1, close - open - 1);
    }
  }
  uint16_t crc = 0;  // CRC16-CCITT (XMODEM): polynomial 0x1021, initial 0
  for (unsigned char c : key) {
    crc ^= static_cast<uint16_t>(c << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc % kClusterSlots;
}

int assigned_replicas(std::string_view text) {
  struct Line {
    std::string id, flags, master;
  };
  std::vector<Line> lines;
  std::string myself;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::vector<std::string> fields;
    for (size_t f = at; f < end;) {
      size_t space = text.find(' ', f);
      if (space == std::string::npos || space > end) space = end;
      fields.emplace_back(text.substr(f, space - f));
      f = space + 1;
    }
    at = end + 1;
    if (fields.size() < 4) continue;
    Line line{fields[0], "," + fields[2] + ",", fields[3]};
    if (line.flags.find(",myself,") != std::string::npos) myself = line.id;
    lines.push_back(std::move(line));
  }
  int n = 0;
  for (const Line& line : lines) {
    if (myself.empty() || line.master != myself) continue;
    if (line.flags.find(",slave,") == std::string::npos &&
        line.flags.find(",replica,") == std::string::npos) {
      continue;
    }
    // A replica the cluster holds failed, or does not yet know, is not waited for.
    bool away = false;
    for (std::string_view flag : {",fail,", ",fail?,", ",handshake,", ",noaddr,"}) {
      away = away || line.flags.find(flag) != std::string::npos;
    }
    n += away ? 0 : 1;
  }
  return n;
}

bool is_redis_cluster(const std::string& connection_string) {
  const auto pairs = parse_redis_pairs(connection_string);
  auto it = pairs.find("cluster");
  if (it == pairs.end() || it->second == "no") return false;
  if (it->second == "yes") return true;
  throw std::invalid_argument("Redis connection string has a cluster value that is not 'yes' "
                              "or 'no': '" + it->second + "'");
}

RedisClusterRouter::RedisClusterRouter(const std::string& connection_string) {
  auto pairs = parse_redis_pairs(connection_string);
  for (const char* key : {"host", "port", "db"}) {
    if (!pairs.count(key)) {
      throw std::runtime_error(std::string("Redis connection string missing required key: '") +
                               key + "'");
    }
  }
  if (pairs["db"] != "0") {
    throw std::runtime_error("A Redis Cluster has only database 0, not db " + pairs["db"]);
  }
  for (const char* key : {"user", "password"}) {
    if (pairs.count(key)) credentials_ += std::string(",") + key + ":" + pairs[key];
  }
  seed_ = pairs["host"] + ":" + pairs["port"];
  Node(seed_);  // the seed's own connection errors, as for one server
  if (!Refresh()) {
    throw std::runtime_error("Failed to read the Redis Cluster slot map from " + seed_ + ": " +
                             last_error_);
  }
}

RedisConnection& RedisClusterRouter::Node(const std::string& address) {
  auto it = nodes_.find(address);
  if (it != nodes_.end()) return *it->second;
  const size_t colon = address.rfind(':');
  auto conn = std::make_unique<RedisConnection>("host:" + address.substr(0, colon) + ",port:" +
                                                address.substr(colon + 1) + ",db:0" +
                                                credentials_);
  conn->SetCommandTimeout(kNodeCommandTimeout);
  return *nodes_.emplace(address, std::move(conn)).first->second;
}

void RedisClusterRouter::DropNode(const std::string& address) { nodes_.erase(address); }

bool RedisClusterRouter::Refresh() {
  ++stats_.refreshes;
  // The seed first, then every node seen: any of them may be the one away.
  std::vector<std::string> candidates{seed_};
  for (const auto& [address, conn] : nodes_) candidates.push_back(address);
  for (const std::string& address : std::set<std::string>(slot_master_.begin(), slot_master_.end())) {
    if (!address.empty()) candidates.push_back(address);
  }
  std::set<std::string> tried;
  for (const std::string& address : candidates) {
    if (!tried.insert(address).second) continue;
    RedisReply r;
    try {
      r = Node(address).Command({"CLUSTER", "SLOTS"});
    } catch (const std::exception& e) {
      last_error_ = address + ": " + e.what();
      continue;
    }
    if (!r) {
      last_error_ = address + ": " + Node(address).error();
      DropNode(address);
      continue;
    }
    if (r->type != REDIS_REPLY_ARRAY) {
      last_error_ = address + ": " + (r->type == REDIS_REPLY_ERROR ? text_of(r.get())
                                                                   : "no slot map in the reply");
      continue;
    }
    std::array<std::string, kClusterSlots> masters;
    const std::string asked_host = address.substr(0, address.rfind(':'));
    auto node_address = [&](const redisReply* n) {
      if (n->type != REDIS_REPLY_ARRAY || n->elements < 2) return std::string();
      std::string host = text_of(n->element[0]);
      if (host.empty() || host == "?") host = asked_host;  // the node does not know its own
      return host + ":" + std::to_string(n->element[1]->integer);
    };
    for (size_t i = 0; i < r->elements; ++i) {
      const redisReply* range = r->element[i];
      if (range->type != REDIS_REPLY_ARRAY || range->elements < 3) continue;
      const long long first = range->element[0]->integer, last = range->element[1]->integer;
      const std::string master = node_address(range->element[2]);
      if (master.empty() || first < 0 || last >= kClusterSlots) continue;
      for (long long s = first; s <= last; ++s) masters[s] = master;
    }
    slot_master_ = std::move(masters);
    replicas_.clear();  // asked again of each master when it is next written to
    return true;
  }
  return false;
}

std::vector<std::string> RedisClusterRouter::Masters() {
  if (!Refresh()) throw std::runtime_error("Failed to read the Redis Cluster slot map: " + last_error_);
  std::set<std::string> masters(slot_master_.begin(), slot_master_.end());
  masters.erase("");
  return std::vector<std::string>(masters.begin(), masters.end());
}

int RedisClusterRouter::ReplicasOf(const std::string& address) {
  auto it = replicas_.find(address);
  if (it != replicas_.end()) return it->second;
  // A new replica shows first in one view, then in the other: ROLE lists it
  // once its first sync is done, the master's CLUSTER NODES once gossip has
  // told the master of it (CLUSTER SLOTS, later still, once its offset is
  // seen). Either counts: not waiting for a replica that is still syncing
  // would acknowledge writes that a failover to it then loses.
  RedisReply role = Node(address).Command({"ROLE"});
  if (!role) return -1;
  int linked = 0;
  if (role->type == REDIS_REPLY_ARRAY && role->elements >= 3 &&
      text_of(role->element[0]) == "master" && role->element[2]->type == REDIS_REPLY_ARRAY) {
    linked = static_cast<int>(role->element[2]->elements);
  }
  RedisReply r = Node(address).Command({"CLUSTER", "NODES"});
  if (!r) return -1;
  const int n = std::max(linked, r->type == REDIS_REPLY_STRING ? assigned_replicas(text_of(r.get())) : 0);
  // None yet may mean one not yet seen: asked again at the next write.
  if (n > 0) replicas_[address] = n;
  return n;
}

namespace {
// A script names its first key after the script and the key count.
std::string_view routing_key(const std::vector<std::string_view>& command) {
  return command.at(0) == "EVAL" || command.at(0) == "EVALSHA" ? command.at(3) : command.at(1);
}
}  // namespace

RedisReply RedisClusterRouter::RunOne(const std::vector<std::string_view>& args, bool write) {
  return std::move(Run({args}, write)[0]);
}

std::vector<RedisReply> RedisClusterRouter::Run(
    const std::vector<std::vector<std::string_view>>& commands, bool write) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  std::vector<RedisReply> out(commands.size());
  std::vector<std::string> ask(commands.size());  // a node named by ASK, for the next round
  std::vector<size_t> pending(commands.size());
  for (size_t i = 0; i < pending.size(); ++i) pending[i] = i;
  std::chrono::milliseconds pause{20};
  bool refresh = false;
  const std::string wait_ms = std::to_string(wait_timeout_.count());
  for (int round = 0; !pending.empty(); ++round) {
    if (refresh) Refresh();
    refresh = false;
    bool transient = false;
    std::vector<size_t> again;
    auto retry_later = [&](size_t i, const std::string& why) {
      again.push_back(i);
      ask[i].clear();  // by the slot map again: a node that failed may have ended a migration
      transient = true;
      last_error_ = why;
    };
    std::map<std::string, std::vector<size_t>> groups;
    for (size_t i : pending) {
      const uint16_t slot = cluster_key_slot(routing_key(commands[i]));
      const std::string& node = ask[i].empty() ? slot_master_[slot] : ask[i];
      if (node.empty()) {
        retry_later(i, "no master serves slot " + std::to_string(slot));
        refresh = true;
      } else {
        groups[node].push_back(i);
      }
    }
    // Every node's pipeline is queued before any reply is read.
    struct Sent {
      const std::string* node;
      RedisConnection* conn;
      int replicas;  // waited for after the group's replies
    };
    std::vector<Sent> sent;
    std::vector<std::string> unacknowledged;
    for (auto& [node, group] : groups) {
      RedisConnection* conn = nullptr;
      int replicas = 0;
      try {
        conn = &Node(node);
        // A node that stopped answering holds the batch no longer than the
        // deadline allows.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline_ - (Clock::now() - start));
        conn->SetCommandTimeout(std::clamp(left, std::chrono::milliseconds(1000), kNodeCommandTimeout));
        replicas = write ? ReplicasOf(node) : 0;
      } catch (const std::exception& e) {
        for (size_t i : group) retry_later(i, node + ": " + e.what());
        refresh = true;
        continue;
      }
      bool queued = true;
      for (size_t i : group) {
        if (!ask[i].empty()) queued = queued && conn->Append({"ASKING"});
        queued = queued && conn->Append(commands[i]);
      }
      if (replicas > 0) queued = queued && conn->Append({"WAIT", "1", wait_ms});
      if (replicas < 0 || !queued) {
        for (size_t i : group) retry_later(i, node + ": " + conn->error());
        DropNode(node);
        refresh = true;
        continue;
      }
      sent.push_back({&node, conn, replicas});
    }
    for (auto& [node, conn, replicas] : sent) {
      const std::vector<size_t>& group = groups[*node];
      bool broken = false;
      for (size_t i : group) {
        RedisReply r;
        if (!broken && !ask[i].empty()) broken = !conn->NextReply();
        if (!broken) broken = !(r = conn->NextReply());
        if (broken) {
          retry_later(i, *node + ": " + conn->error());
          continue;
        }
        const std::string error = r->type == REDIS_REPLY_ERROR ? text_of(r.get()) : "";
        if (starts_with(error, "MOVED ") || starts_with(error, "ASK ")) {
          // "MOVED <slot> <host:port>"
          const size_t space = error.rfind(' ');
          const std::string target = error.substr(space + 1);
          if (error[0] == 'M') {
            ++stats_.moved;
            slot_master_[cluster_key_slot(routing_key(commands[i]))] = target;
            ask[i].clear();
            refresh = true;
          } else {
            ++stats_.asked;
            ask[i] = target;
          }
          again.push_back(i);
          last_error_ = *node + ": " + error;
        } else if (is_transient(error)) {
          retry_later(i, *node + ": " + error);
          refresh = true;
        } else {
          out[i] = std::move(r);
          ask[i].clear();
        }
      }
      if (broken) {
        DropNode(*node);  // after conn's last use: this frees it
        refresh = true;
        continue;
      }
      if (!write || replicas <= 0) continue;
      RedisReply waited = conn->NextReply();
      if (!waited || waited->type != REDIS_REPLY_INTEGER) {
        // The writes may be lost with this master: write them again.
        const std::string why = waited ? text_of(waited.get()) : conn->error();
        for (size_t i : group) {
          if (!out[i]) continue;
          out[i].reset();
          retry_later(i, *node + ": WAIT failed: " + why);
        }
        if (!waited) DropNode(*node);
        refresh = true;
      } else if (waited->integer < 1) {
        unacknowledged.push_back(*node);
      }
    }
    // A replica that went away since is no longer waited for; the masters
    // are asked only now, with no reply left unread on any node.
    if (!unacknowledged.empty()) {
      replicas_.clear();
      for (const std::string& node : unacknowledged) {
        if (ReplicasOf(node) != 0) {
          throw std::runtime_error("Redis Cluster write not acknowledged by a replica of " +
                                   node + " within " + wait_ms + " ms");
        }
      }
    }
    std::sort(again.begin(), again.end());
    pending = std::move(again);
    if (pending.empty()) break;
    if (Clock::now() - start > deadline_) {
      throw std::runtime_error("Redis Cluster did not serve the request within " +
                               std::to_string(deadline_.count() / 1000) + " s: " + last_error_);
    }
    stats_.retried += pending.size();
    // Redirects are followed at once; a cluster that is failing over, or
    // that keeps redirecting, is given time.
    if (transient || round >= 3) {
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(1000));
    }
  }
  return out;
}

}  // namespace tavrin_encrypted_index::internal::backing_store
