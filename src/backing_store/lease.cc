#include "backing_store/lease.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "backing_store/pg_handles.h"
#include "backing_store/redis_cluster_keystore.h"
#include "backing_store/redis_cluster_router.h"
#include "backing_store/redis_connection.h"
#include "backing_store/redis_fence.h"

namespace tavrin_encrypted_index::internal::backing_store {
namespace {

// FNV-1a: the same number in every process, for the advisory lock key.
int64_t stable_hash(const std::string& text) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return static_cast<int64_t>(h);
}

class FreeLease : public Lease {
 public:
  bool TryAcquire(uint64_t) override { return true; }
  void Release(uint64_t) noexcept override {}
  bool Holds(uint64_t) override { return true; }
};

class PostgresLease : public Lease {
 public:
  PostgresLease(const std::string& conninfo, const std::string& name)
      : conn_(pg_connect(conninfo, "Failed to connect to Postgres for the index lease: ")),
        key_(std::to_string(stable_hash("tavrindb lease\n" + name))),
        drain_(std::to_string(stable_hash("tavrindb lease drain\n" + name))) {
    fence_.lease_key = stable_hash("tavrindb lease\n" + name);
    fence_.drain_key = stable_hash("tavrindb lease drain\n" + name);
    fence_.lease_pid = PQbackendPID(conn_.get());
  }

  bool TryAcquire(uint64_t) override {
    std::lock_guard<std::mutex> hold(mu_);
    if (Ask("SELECT pg_try_advisory_lock($1)", key_) != "t") return false;
    try {
      // An earlier holder's write transaction that passed its check before
      // this lease was taken shares the drain lock: wait for it to end, so
      // that what is read next includes it. Later ones fail their check.
      Ask("SELECT pg_advisory_lock($1)", drain_);
      Ask("SELECT pg_advisory_unlock($1)", drain_);
    } catch (...) {
      Ask("SELECT pg_advisory_unlock($1)", key_);
      throw;
    }
    return true;
  }
  const WriteFence* fence() const override { return &fence_; }
  void Release(uint64_t) noexcept override {
    std::lock_guard<std::mutex> hold(mu_);
    try {
      Ask("SELECT pg_advisory_unlock($1)", key_);
    } catch (...) {
      // Gone with the connection anyway.
    }
  }
  bool Holds(uint64_t) override {
    std::lock_guard<std::mutex> hold(mu_);
    // A session lock stays with its connection: held while it answers.
    return Ask("SELECT $1::bigint IS NOT NULL", key_) == "t";
  }

 private:
  std::string Ask(const char* sql, const std::string& key) {
    const char* values[] = {key.c_str()};
    PgResult r(PQexecParams(conn_.get(), sql, 1, nullptr, values, nullptr, nullptr, 0));
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1) {
      throw std::runtime_error("Postgres lease error: " + pg_error(conn_.get()));
    }
    return PQgetvalue(r.get(), 0, 0);
  }

  std::mutex mu_;
  PgConn conn_;
  std::string key_, drain_;
  WriteFence fence_;
};

// One Redis command on the lease key, through a plain connection or the
// cluster's router.
class RedisLease : public Lease {
 public:
  RedisLease(const std::string& connection_string, const std::string& name)
      : key_("tavrindb:lease:" + name), counter_(fence_key_for(key_, fence_name(name, "lease"))) {
    if (is_redis_cluster(connection_string)) {
      router_ = std::make_unique<RedisClusterRouter>(connection_string);
    } else {
      conn_ = std::make_unique<RedisConnection>(connection_string);
    }
  }
  ~RedisLease() override { StopRenewing(); }

  bool TryAcquire(uint64_t token) override {
    const std::string t = std::to_string(token), ttl = std::to_string(kLeaseTtl.count());
    {
      std::lock_guard<std::mutex> hold(mu_);
      // Taken with the next fence number in one step, so that numbers rise
      // in the order holders took the lease. Run again after a failover's
      // retry, it finds the lease its own and answers the same number.
      if (!DrawNumber("if redis.call('get', KEYS[1]) == ARGV[1] then "
                      "return tonumber(redis.call('get', KEYS[2]) or '0') end "
                      "if redis.call('set', KEYS[1], ARGV[1], 'NX', 'PX', ARGV[2]) then "
                      "return redis.call('incr', KEYS[2]) end return 0",
                      t, ttl)) {
        return false;
      }
    }
    StopRenewing();
    renewing_ = std::thread([this, t, ttl] {
      std::unique_lock<std::mutex> lock(mu_);
      while (!stop_.wait_for(lock, kLeaseTtl / 3, [this] { return stopping_; })) {
        try {
          Run({"EVAL",
               "if redis.call('get', KEYS[1]) == ARGV[1] then "
               "return redis.call('pexpire', KEYS[1], ARGV[2]) else return 0 end",
               "1", key_, t, ttl});
        } catch (...) {
          // Holds() will say so.
        }
      }
    });
    return true;
  }
  void Release(uint64_t token) noexcept override {
    StopRenewing();
    std::lock_guard<std::mutex> hold(mu_);
    try {
      Run({"EVAL",
           "if redis.call('get', KEYS[1]) == ARGV[1] then return redis.call('del', KEYS[1]) "
           "else return 0 end",
           "1", key_, std::to_string(token)});
    } catch (...) {
      // It expires.
    }
  }
  const WriteFence* fence() const override { return &fence_; }
  bool Redraw(uint64_t token, uint64_t at_least) override {
    std::lock_guard<std::mutex> hold(mu_);
    // Only while the lease is this holder's, in the same step.
    return DrawNumber("if redis.call('get', KEYS[1]) ~= ARGV[1] then return 0 end "
                      "if tonumber(redis.call('get', KEYS[2]) or '0') < tonumber(ARGV[2]) then "
                      "redis.call('set', KEYS[2], ARGV[2]) end "
                      "return redis.call('incr', KEYS[2])",
                      std::to_string(token), std::to_string(at_least));
  }
  bool Holds(uint64_t token) override {
    std::lock_guard<std::mutex> hold(mu_);
    RedisReply r = Run({"GET", key_});
    return r && r->type == REDIS_REPLY_STRING && std::string(r->str, r->len) == std::to_string(token);
  }

 private:
  // On a cluster through the router, as a write: redirections followed,
  // and the lease and its number waited for on a replica, so that a
  // failover does not lose them.
  // Runs `script` on the lease key and the number counter (token, arg): a
  // positive answer is the holder's fence number now. Under mu_.
  bool DrawNumber(const char* script, const std::string& token, const std::string& arg) {
    RedisReply r = Run({"EVAL", script, "2", key_, counter_, token, arg}, "SET");
    if (!r || r->type != REDIS_REPLY_INTEGER || r->integer <= 0) return false;
    fence_.number = static_cast<uint64_t>(r->integer);
    return true;
  }
  // `name`: the command a failure names, for a script the one it stands for.
  RedisReply Run(const std::vector<std::string_view>& args, std::string_view name = {}) {
    if (router_) return router_->RunOne(args, /*write=*/args[0] != std::string_view("GET"));
    RedisReply r = conn_->Command(args);
    // Named as the store names its commands' failures.
    if (!r) {
      throw std::runtime_error(std::string(name.empty() ? args[0] : name) + " command failed: " +
                               conn_->error());
    }
    return r;
  }
  void StopRenewing() noexcept {
    if (!renewing_.joinable()) return;
    {
      std::lock_guard<std::mutex> hold(mu_);
      stopping_ = true;
    }
    stop_.notify_all();
    renewing_.join();
    stopping_ = false;
  }

  std::string key_;
  std::string counter_;  // the fence numbers, in the lease key's slot
  WriteFence fence_;
  std::unique_ptr<RedisConnection> conn_;
  std::unique_ptr<RedisClusterRouter> router_;
  std::mutex mu_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::thread renewing_;
};

}  // namespace

std::unique_ptr<Lease> MakeLease(const tavrin::DBConfig& config, const std::string& index_name) {
  const std::string name = config.table_name.value_or("") + "\n" + index_name;
  const std::string conn = config.connection_string.value_or("");
  switch (config.location) {
    case tavrin::Location::POSTGRES: return std::make_unique<PostgresLease>(conn, name);
    case tavrin::Location::REDIS: return std::make_unique<RedisLease>(conn, name);
    default: return std::make_unique<FreeLease>();
  }
}

}  // namespace tavrin_encrypted_index::internal::backing_store
