// An index-wide write lease: an exclusive lock, named by the configuration
// table and the index name, that every process writing an index holds while
// it reads what it will change and writes it back. It lives where the
// configuration items live:
// - PostgreSQL: a session advisory lock on a connection of its own; the
//   server drops it when the holder's connection ends, so a killed process
//   blocks nobody.
// - Redis (and a Redis Cluster): a key set with NX and an expiry (kLeaseTtl),
//   renewed by a thread of the holder while it holds it, released only by its
//   holder's token: a killed process blocks others for at most kLeaseTtl.
// - SQLite, the in-process store (and no location): every write is one IMMEDIATE
//   transaction of the database (SQLite) or nothing is shared (in-process),
//   so the lease is always granted.
// Holds() says whether the lease is still held: false once it expired or
// was lost with its connection. It is checked before a commit, but a check
// and a later write are two steps, so the stores check the lease inside each
// write as well, through the holder's fence(): see WriteFence in keystore.h.
// A new holder raises the stores' fences (RaiseFence) before it reads.
// Thread-safe.
#ifndef TAVRIN_BACKING_STORE_LEASE_H_
#define TAVRIN_BACKING_STORE_LEASE_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "backing_store/keystore.h"
#include "common/db_config.h"

namespace tavrin_encrypted_index::internal::backing_store {

inline constexpr std::chrono::milliseconds kLeaseTtl{10000};

class Lease {
 public:
  virtual ~Lease() = default;
  // True when the lease is now held under `token` (random, nonzero).
  virtual bool TryAcquire(uint64_t token) = 0;
  virtual void Release(uint64_t token) noexcept = 0;
  virtual bool Holds(uint64_t token) = 0;
  // What the holder's stores check with each write, while the lease is held
  // (after a TryAcquire that returned true); nullptr for a lease whose
  // stores need no fence.
  virtual const WriteFence* fence() const { return nullptr; }
  // While held under `token`: draws a fence number above `at_least` (one a
  // store's fence already holds, as after a counter lost with a server) and
  // returns true; false when the lease is no longer held.
  virtual bool Redraw(uint64_t token, uint64_t at_least) {
    (void)token;
    (void)at_least;
    return false;
  }
};

// The lease of `index_name` at `config`; failures to connect throw
// std::runtime_error.
std::unique_ptr<Lease> MakeLease(const tavrin::DBConfig& config, const std::string& index_name);

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_LEASE_H_
