#include "encrypted_index/result_cache.h"


#include "common/diagnostics.h"
#include <utility>

namespace tavrin {

ResultCache::ResultCache(uint64_t capacity) : capacity_(capacity) {
  index_.max_load_factor(1.0f);
}

std::shared_ptr<DecodedList> ResultCache::Lookup(uint32_t list) {
  auto it = index_.find(list);
  if (it == index_.end()) return nullptr;
  order_.splice(order_.begin(), order_, it->second);
  return order_.front();
}

void ResultCache::Insert(std::shared_ptr<DecodedList> entry) {
  if (capacity_ == 0) return;
  const uint32_t list = entry->list;
  auto it = index_.find(list);
  if (it != index_.end()) {
    order_.erase(it->second);
    index_.erase(it);
  }
  while (index_.size() >= capacity_) {
    index_.erase(order_.back()->list);
    order_.pop_back();
  }
  order_.push_front(std::move(entry));
  index_[list] = order_.begin();
}

void ResultCache::Drop(uint32_t list) {
  auto it = index_.find(list);
  if (it == index_.end()) {
    Note("Token not found: " + std::to_string(list));
    return;
  }
  order_.erase(it->second);
  index_.erase(it);
}

void ResultCache::Clear() {
  order_.clear();
  index_.clear();
}

}  // namespace tavrin
