// A least-recently-used cache of decoded lists, keyed by list number, holding
// at most `capacity` lists (0 turns it off: nothing is kept). Lists are
// shared with the queries that read them, so a list evicted during a query
// stays valid for that query. Not thread-safe: the index serialises its
// operations.
#ifndef TAVRIN_ENCRYPTED_INDEX_RESULT_CACHE_H_
#define TAVRIN_ENCRYPTED_INDEX_RESULT_CACHE_H_

#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>

#include "encrypted_index/decoded_list.h"

namespace tavrin {

class ResultCache {
 public:
  explicit ResultCache(uint64_t capacity);

  bool enabled() const { return capacity_ != 0; }
  uint64_t capacity() const { return capacity_; }
  uint64_t size() const { return index_.size(); }

  // The cached list, moved to the front; null when not cached.
  std::shared_ptr<DecodedList> Lookup(uint32_t list);
  // Puts a list at the front, first evicting the least recently used lists
  // while the cache is full. Replaces a cached list of the same number.
  void Insert(std::shared_ptr<DecodedList> entry);
  // Removes a list; when it is not cached, writes "Token not found: " + list
  // on standard output.
  void Drop(uint32_t list);
  void Clear();

 private:
  using Order = std::list<std::shared_ptr<DecodedList>>;
  uint64_t capacity_;
  Order order_;  // most recently used first
  std::unordered_map<uint32_t, Order::iterator> index_;
};

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_RESULT_CACHE_H_
