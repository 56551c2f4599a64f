// Fenced writes on Redis and Redis Cluster. Each key a lease holder writes
// has a fence key beside it (same hash slot) that holds the largest fence
// number seen; a write runs as one script that refuses a smaller number than
// the fence key holds, raises the fence to its own, and then runs the write
// command. The check and the write are one atomic step on the server, so a
// holder whose lease lapsed cannot write once a later holder raised the
// fences. (The single-server store writes a batch as one transaction
// watched on the fence key instead: redis_keystore.h.) Numbers come from
// the lease (lease.cc), one counter per index.
#ifndef TAVRIN_BACKING_STORE_REDIS_FENCE_H_
#define TAVRIN_BACKING_STORE_REDIS_FENCE_H_

#include <string>
#include <string_view>
#include <vector>

namespace tavrin_encrypted_index::internal::backing_store {

// A key of the fences in the hash slot of `key`: "tavrindb:fence:{T}" +
// suffix, T a tag chosen for the slot. Suffixes tell fences apart.
std::string fence_key_for(std::string_view key, std::string_view suffix);
// The suffix naming one index's fences where a store's key does not: a
// digest of the table and index names (the names themselves stay out of
// key names).
std::string fence_name(std::string_view table, std::string_view index_name);

// {verb, key, args...} as one script call that runs it only under `number`
// (decimal) at `fence_key`; the views must outlive the returned ones. A
// refused write replies an error that contains kFenceLostError.
std::vector<std::string_view> fenced_command(const std::vector<std::string_view>& command,
                                             const std::string& fence_key, const std::string& number);

// The script call that raises `fence_key` to `number`: replies 0, or the
// larger number the key holds (and leaves it).
std::vector<std::string_view> raise_fence_command(const std::string& fence_key,
                                                  const std::string& number);

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_REDIS_FENCE_H_
