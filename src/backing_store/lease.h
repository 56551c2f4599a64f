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
// Holds() is the fence a holder checks before its commit write: false once
// the lease expired or was lost with its connection. Thread-safe.
#ifndef TAVRIN_BACKING_STORE_LEASE_H_
#define TAVRIN_BACKING_STORE_LEASE_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

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
};

// The lease of `index_name` at `config`; failures to connect throw
// std::runtime_error.
std::unique_ptr<Lease> MakeLease(const tavrin::DBConfig& config, const std::string& index_name);

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_LEASE_H_
