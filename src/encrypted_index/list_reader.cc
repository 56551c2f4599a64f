// Reading whole lists: labels and masks regenerated from the list counts,
// entries unmasked into item tokens, records fetched and opened, all in one
// batched read per store for any number of lists.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/parallel.h"
#include "crypto/sealed_record.h"
#include "encrypted_index/index_core.h"
#include "encrypted_index/integrity.h"
#include "encrypted_index/item_record.h"

namespace tavrin {

void IndexCore::load_list_counts() {
  if (!tamper_) return lists_->LoadCounts();
  if (!txn_) te_load_state();
  te_adopt_counts();
}

std::vector<std::shared_ptr<DecodedList>> IndexCore::read_lists(
    const std::vector<uint32_t>& lists) {
  if (tamper_) return te_read_lists(lists);
  const std::vector<uint32_t>& counts = lists_->counts();
  std::vector<std::shared_ptr<DecodedList>> out;
  out.reserve(lists.size());
  for (uint32_t list : lists) {
    auto entry = std::make_shared<DecodedList>();
    entry->list = list;
    entry->entries_read = counts[list];
    out.push_back(std::move(entry));
  }
  const ListTokens read = lists_->Read(lists);
  if (read.tokens.empty()) return out;
  const std::vector<uint64_t>& tokens = read.tokens;
  const std::vector<uint64_t>& offsets = read.offsets;

  // One row per item and list: an item overwritten in place has several
  // entries in its list that lead to the same record. The first entry of
  // each token is kept, found by sorting (token, entry) pairs.
  std::vector<uint8_t> first(tokens.size(), 0);
  std::vector<std::pair<uint64_t, uint64_t>> order(tokens.size());
  std::vector<uint64_t> unique_offsets(lists.size() + 1, 0);
  parallel_for(lists.size(), 2, 1, [&](size_t p) {
    const uint64_t begin = offsets[p], end = offsets[p + 1];
    for (uint64_t e = begin; e < end; ++e) order[e] = {tokens[e], e};
    std::sort(order.begin() + begin, order.begin() + end);
    uint64_t count = 0;
    for (uint64_t j = begin; j < end; ++j) {
      if (j == begin || order[j].first != order[j - 1].first) {
        first[order[j].second] = 1;
        ++count;
      }
    }
    unique_offsets[p + 1] = count;
  });
  for (size_t p = 0; p < lists.size(); ++p) unique_offsets[p + 1] += unique_offsets[p];
  order = std::vector<std::pair<uint64_t, uint64_t>>();

  // Rows are placed at their record's place among the list's unique tokens
  // as they are opened, then the rows of records that are not kept are
  // squeezed out: no buffer ever holds all the plaintexts besides the rows.
  const size_t floats = vector_bytes_ / sizeof(float);
  const size_t n_records = unique_offsets.back();
  std::vector<uint64_t> unique(n_records);
  std::vector<uint32_t> list_of(n_records);
  parallel_for(lists.size(), 2, 1, [&](size_t p) {
    uint64_t r = unique_offsets[p];
    for (uint64_t e = offsets[p]; e < offsets[p + 1]; ++e) {
      if (!first[e]) continue;
      unique[r] = tokens[e];
      list_of[r++] = static_cast<uint32_t>(p);
    }
    const uint64_t rows = unique_offsets[p + 1] - unique_offsets[p];
    DecodedList& entry = *out[p];
    entry.ids.resize(rows);
    entry.metadata.resize(rows);
    entry.vectors.resize(rows * floats);
  });

  // A row is kept when its record exists (the item was not deleted) and
  // names this list (the item did not move to another list since).
  std::vector<uint8_t> keep(n_records, 0);
  std::atomic<bool> malformed{false}, no_memory{false};
  {
    std::vector<Bytes> holder;
    open_items_each(record_store_->BatchViewItems(unique, holder), data_key_,
                    [&](size_t r, const uint8_t* plain, size_t size) {
                      ItemRecordView view;
                      if (!read_item_record(plain, size, vector_bytes_, &view)) {
                        malformed.store(true, std::memory_order_relaxed);
                        return;
                      }
                      const size_t p = list_of[r];
                      if (view.list != lists[p]) return;
                      DecodedList& entry = *out[p];
                      const uint64_t at = r - unique_offsets[p];
                      try {
                        entry.ids[at].assign(view.id);
                        entry.metadata[at].assign(view.metadata);
                      } catch (...) {
                        no_memory.store(true, std::memory_order_relaxed);
                        return;
                      }
                      std::memcpy(entry.vectors.data() + at * floats, view.vector,
                                  vector_bytes_);
                      keep[r] = 1;
                    });
  }
  // A record that opened but does not parse is refused.
  if (malformed.load()) throw std::runtime_error("Insufficient payload size for item record");
  if (no_memory.load()) throw std::bad_alloc();

  parallel_for(lists.size(), 2, 1, [&](size_t p) {
    DecodedList& entry = *out[p];
    size_t kept = 0;
    for (uint64_t r = unique_offsets[p]; r < unique_offsets[p + 1]; ++r) {
      if (!keep[r]) continue;
      const uint64_t at = r - unique_offsets[p];
      if (at != kept) {
        entry.ids[kept] = std::move(entry.ids[at]);
        entry.metadata[kept] = std::move(entry.metadata[at]);
        std::memmove(entry.vectors.data() + kept * floats, entry.vectors.data() + at * floats,
                     vector_bytes_);
      }
      ++kept;
    }
    entry.ids.resize(kept);
    entry.metadata.resize(kept);
    entry.vectors.resize(kept * floats);
  });
  return out;
}

std::vector<DecodedList> IndexCore::ReadLists(const std::vector<uint32_t>& lists) {
  auto load_and_read = [&] {
    load_list_counts();
    return read_lists(lists);
  };
  std::vector<std::shared_ptr<DecodedList>> read;
  try {
    read = tamper_ && !txn_ ? te_retry(load_and_read) : load_and_read();
  } catch (const IntegrityError&) {
    throw;
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("Error in MergeResults: ") + e.what() +
                             " current_result_index: 0");
  }
  std::vector<DecodedList> out;
  out.reserve(read.size());
  for (auto& list : read) out.push_back(std::move(*list));
  return out;
}

std::vector<uint32_t> IndexCore::untrained_lists() const {
  std::vector<uint32_t> lists{0};
  const std::vector<uint32_t>& counts = lists_->counts();
  for (uint32_t c = 1; c < counts.size(); ++c) {
    if (counts[c] != 0) lists.push_back(c);
  }
  return lists;
}

std::vector<DecodedListPtr> IndexCore::MergeResults(const std::vector<uint32_t>& lists,
                                                    bool counts_loaded) {
  if (tamper_ && !txn_) {
    bool first = true;
    return te_retry([&] {
      const bool loaded = counts_loaded && first;
      first = false;
      return merge_results(lists, loaded);
    });
  }
  return merge_results(lists, counts_loaded);
}

std::vector<DecodedListPtr> IndexCore::merge_results(const std::vector<uint32_t>& lists,
                                                     bool counts_loaded) {
  if (!counts_loaded) load_list_counts();
  const std::vector<uint32_t>& counts = lists_->counts();
  for (uint32_t list : lists) {
    if (list >= n_lists_) {
      throw std::runtime_error("Error in MergeResults: Missing token index entry for query_token: " +
                               std::to_string(list) + " current_result_index: 0");
    }
  }

  std::vector<DecodedListPtr> result(lists.size());
  std::vector<uint32_t> misses;
  std::vector<size_t> miss_slots;
  for (size_t p = 0; p < lists.size(); ++p) {
    const uint32_t list = lists[p];
    if (cache_.enabled()) {
      std::shared_ptr<DecodedList> cached = cache_.Lookup(list);
      if (cached && cached->entries_read == counts[list] &&
          (!tamper_ || cached->summary == std::array<uint64_t, 3>{
                                              te_current().lists[list].base,
                                              te_current().lists[list].sum[0],
                                              te_current().lists[list].sum[1]})) {
        result[p] = std::move(cached);
        continue;
      }
      if (!cached && counts[list] == 0) {
        auto empty = std::make_shared<DecodedList>();
        empty->list = list;
        result[p] = std::move(empty);
        continue;
      }
      cache_.Drop(list);
    }
    misses.push_back(list);
    miss_slots.push_back(p);
  }
  if (misses.empty()) return result;

  // A list asked for twice is read once.
  std::vector<uint32_t> distinct;
  std::vector<size_t> distinct_of(misses.size());
  {
    std::unordered_map<uint32_t, size_t> at;
    for (size_t m = 0; m < misses.size(); ++m) {
      auto [it, fresh] = at.emplace(misses[m], distinct.size());
      if (fresh) distinct.push_back(misses[m]);
      distinct_of[m] = it->second;
    }
  }
  std::vector<std::shared_ptr<DecodedList>> read;
  try {
    read = read_lists(distinct);
  } catch (const IntegrityError&) {
    throw;
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("Error in MergeResults: ") + e.what() +
                             " current_result_index: " + std::to_string(miss_slots.front()));
  }
  for (size_t m = 0; m < misses.size(); ++m) result[miss_slots[m]] = read[distinct_of[m]];
  for (auto& entry : read) cache_.Insert(entry);
  return result;
}

}  // namespace tavrin
