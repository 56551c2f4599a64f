// Reading whole lists: labels and masks regenerated from the list counts,
// entries unmasked into item tokens, records fetched and opened, all in one
// batched read per store for any number of lists.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/parallel.h"
#include "crypto/keyed_hash.h"
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

namespace {

// The first entry of each token in each list, list by list in entry order:
// an item overwritten in place has several entries in its list that lead to
// the same record. List p's are at tokens[offsets[p] .. offsets[p + 1]).
struct FirstEntries {
  std::vector<uint64_t> tokens;
  std::vector<uint32_t> slot;  // p of each
  std::vector<uint64_t> offsets;
};

FirstEntries first_entries(const ListTokens& read, size_t n_requests) {
  const std::vector<uint64_t>& tokens = read.tokens;
  const std::vector<uint64_t>& offsets = read.offsets;
  FirstEntries out;
  out.offsets.assign(n_requests + 1, 0);
  if (tokens.empty()) return out;
  // Found by sorting (token, entry) pairs.
  std::vector<uint8_t> first(tokens.size(), 0);
  {
    std::vector<std::pair<uint64_t, uint64_t>> order(tokens.size());
    parallel_for(n_requests, 2, 1, [&](size_t p) {
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
      out.offsets[p + 1] = count;
    });
  }
  for (size_t p = 0; p < n_requests; ++p) out.offsets[p + 1] += out.offsets[p];
  out.tokens.resize(out.offsets.back());
  out.slot.resize(out.offsets.back());
  parallel_for(n_requests, 2, 1, [&](size_t p) {
    uint64_t r = out.offsets[p];
    for (uint64_t e = offsets[p]; e < offsets[p + 1]; ++e) {
      if (!first[e]) continue;
      out.tokens[r] = tokens[e];
      out.slot[r++] = static_cast<uint32_t>(p);
    }
  });
  return out;
}

}  // namespace

void IndexCore::open_live(const std::vector<uint64_t>& tokens, size_t begin, size_t end,
                          const std::function<uint32_t(size_t)>& list_of,
                          const std::function<void(size_t, const ItemRecordView&)>& take) {
  std::atomic<bool> malformed{false}, no_memory{false};
  std::vector<Bytes> holder;
  const std::vector<uint64_t> keys(tokens.begin() + begin, tokens.begin() + end);
  open_items_each(record_store_->BatchViewItems(keys, holder), data_key_,
                  [&](size_t j, const uint8_t* plain, size_t size) {
                    ItemRecordView view;
                    if (!read_item_record(plain, size, vector_bytes_, &view)) {
                      malformed.store(true, std::memory_order_relaxed);
                      return;
                    }
                    if (view.list != list_of(begin + j)) return;
                    try {
                      take(begin + j, view);
                    } catch (...) {
                      no_memory.store(true, std::memory_order_relaxed);
                    }
                  });
  // A record that opened but does not parse is refused.
  if (malformed.load()) throw std::runtime_error("Insufficient payload size for item record");
  if (no_memory.load()) throw std::bad_alloc();
}

std::vector<std::shared_ptr<DecodedList>> IndexCore::read_lists(
    const std::vector<uint32_t>& lists) {
  std::vector<std::shared_ptr<DecodedList>> out =
      tamper_ ? te_read_lists(lists) : read_plain_lists(lists);
  parallel_for(out.size(), 2, 1, [&](size_t p) { out[p]->ElideEmptyMetadata(); });
  return out;
}

std::vector<std::shared_ptr<DecodedList>> IndexCore::read_plain_lists(
    const std::vector<uint32_t>& lists) {
  const std::vector<uint32_t>& counts = lists_->counts();
  std::vector<std::shared_ptr<DecodedList>> out;
  out.reserve(lists.size());
  for (uint32_t list : lists) {
    auto entry = std::make_shared<DecodedList>();
    entry->list = list;
    entry->entries_read = counts[list];
    out.push_back(std::move(entry));
  }
  const FirstEntries unique = first_entries(lists_->Read(lists), lists.size());
  const size_t n_records = unique.tokens.size();
  if (n_records == 0) return out;

  // Rows are placed at their record's place among the list's unique tokens
  // as they are opened, then the rows of records that are not kept are
  // squeezed out: no buffer ever holds all the plaintexts besides the rows.
  const size_t floats = vector_bytes_ / sizeof(float);
  parallel_for(lists.size(), 2, 1, [&](size_t p) {
    const uint64_t rows = unique.offsets[p + 1] - unique.offsets[p];
    DecodedList& entry = *out[p];
    entry.ids.resize(rows);
    entry.metadata.resize(rows);
    entry.vectors.resize(rows * floats);
  });

  // A row is kept when its record exists (the item was not deleted) and
  // names this list (the item did not move to another list since).
  std::vector<uint8_t> keep(n_records, 0);
  open_live(unique.tokens, 0, n_records, [&](size_t r) { return lists[unique.slot[r]]; },
            [&](size_t r, const ItemRecordView& view) {
              const size_t p = unique.slot[r];
              DecodedList& entry = *out[p];
              const uint64_t at = r - unique.offsets[p];
              entry.ids[at].assign(view.id);
              entry.metadata[at].assign(view.metadata);
              std::memcpy(entry.vectors.data() + at * floats, view.vector, vector_bytes_);
              keep[r] = 1;
            });

  parallel_for(lists.size(), 2, 1, [&](size_t p) {
    DecodedList& entry = *out[p];
    size_t kept = 0;
    for (uint64_t r = unique.offsets[p]; r < unique.offsets[p + 1]; ++r) {
      if (!keep[r]) continue;
      const uint64_t at = r - unique.offsets[p];
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

void IndexCore::check_tokens(const std::vector<std::string>& ids, const uint64_t* tokens) const {
  // A record the store moved under another item's key would be written
  // back under its own id's, beside the item it displaced.
  const std::vector<uint64_t> own = item_tokens(ids, data_key_);
  for (size_t j = 0; j < own.size(); ++j) {
    if (own[j] != tokens[j]) {
      throw IntegrityError("the item record of " + ids[j] + " was found under another item's key");
    }
  }
}

ItemRows IndexCore::ReadItems(const std::vector<uint32_t>& lists,
                              std::vector<uint32_t>* found_in) {
  std::vector<DecodedList> read = ReadLists(lists);
  ItemRows out;
  std::vector<float> vectors;
  size_t rows = 0;
  for (const DecodedList& list : read) rows += list.rows();
  // Sized once: growing would copy every vector read so far, twice the data at its peak.
  vectors.reserve(rows * (vector_bytes_ / sizeof(float)));
  out.ids.reserve(rows);
  out.metadata.reserve(rows);
  found_in->reserve(rows);
  for (DecodedList& list : read) {
    found_in->insert(found_in->end(), list.rows(), list.list);
    list.KeepMetadata();
    out.ids.insert(out.ids.end(), std::make_move_iterator(list.ids.begin()),
                   std::make_move_iterator(list.ids.end()));
    out.metadata.insert(out.metadata.end(), std::make_move_iterator(list.metadata.begin()),
                        std::make_move_iterator(list.metadata.end()));
    vectors.insert(vectors.end(), list.vectors.begin(), list.vectors.end());
    list = DecodedList();
  }
  out.vectors = FloatMatrix::zeros(0, vector_bytes_ / sizeof(float));
  out.vectors.data = std::move(vectors);
  out.vectors.rows = rows;
  return out;
}

std::vector<uint32_t> IndexCore::lists_with_entries() const {
  std::vector<uint32_t> lists;
  const std::vector<uint32_t>& counts = lists_->counts();
  for (uint32_t c = 0; c < counts.size(); ++c) {
    if (counts[c] != 0) lists.push_back(c);
  }
  return lists;
}

std::vector<uint8_t> IndexCore::open_rows(const std::vector<uint64_t>& tokens, size_t begin,
                                          size_t end, const std::function<uint32_t(size_t)>& list_of,
                                          ItemRows& out) {
  const size_t rows = end - begin, floats = vector_bytes_ / sizeof(float);
  out.ids.assign(rows, std::string());
  out.metadata.assign(rows, std::string());
  out.vectors.data.resize(rows * floats);
  out.vectors.rows = rows;
  out.vectors.cols = floats;
  std::vector<uint8_t> found(rows, 0);
  open_live(tokens, begin, end, list_of, [&](size_t r, const ItemRecordView& view) {
    const size_t at = r - begin;
    out.ids[at].assign(view.id);
    out.metadata[at].assign(view.metadata);
    std::memcpy(out.vectors.row(at), view.vector, vector_bytes_);
    found[at] = 1;
  });
  return found;
}

ItemScan IndexCore::ScanLists(const std::vector<uint32_t>& lists, const ScanChunk& take) {
  ItemScan scan;
  const size_t floats = vector_bytes_ / sizeof(float);
  if (tamper_) {
    // Verified as a whole against the state's summaries: read at once and held.
    scan.held = ReadItems(lists, &scan.lists);
    const ItemRows& held = scan.held;
    const size_t rows = held.ids.size();
    scan.tokens = item_tokens(held.ids, data_key_);
    for (size_t begin = 0; begin < rows; begin += chunk_) {
      take(begin, ReadScanned(scan, begin, std::min(rows, begin + chunk_)));
    }
    return scan;
  }
  FirstEntries unique;
  try {
    load_list_counts();
    unique = first_entries(lists_->Read(lists), lists.size());
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("Error in MergeResults: ") + e.what() +
                             " current_result_index: 0");
  }
  const size_t n_records = unique.tokens.size();
  scan.lists.reserve(n_records);
  scan.tokens.reserve(n_records);
  ItemRows chunk;  // its buffers serve every chunk
  std::vector<uint8_t> keep;
  for (size_t begin = 0; begin < n_records; begin += chunk_) {
    const size_t end = std::min(n_records, begin + chunk_);
    const size_t rows = end - begin;
    auto list_of = [&](size_t r) { return lists[unique.slot[r]]; };
    try {
      keep = open_rows(unique.tokens, begin, end, list_of, chunk);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string("Error in MergeResults: ") + e.what() +
                               " current_result_index: 0");
    }
    size_t kept = 0;
    for (size_t at = 0; at < rows; ++at) {
      if (!keep[at]) continue;
      if (at != kept) {
        chunk.ids[kept] = std::move(chunk.ids[at]);
        chunk.metadata[kept] = std::move(chunk.metadata[at]);
        std::memmove(chunk.vectors.row(kept), chunk.vectors.row(at), vector_bytes_);
      }
      scan.lists.push_back(list_of(begin + at));
      scan.tokens.push_back(unique.tokens[begin + at]);
      ++kept;
    }
    chunk.ids.resize(kept);
    chunk.metadata.resize(kept);
    chunk.vectors.data.resize(kept * floats);
    chunk.vectors.rows = kept;
    check_tokens(chunk.ids, scan.tokens.data() + scan.size() - kept);
    take(scan.size() - kept, chunk);
  }
  return scan;
}

ItemRows IndexCore::ReadScanned(const ItemScan& scan, size_t begin, size_t end) {
  const uint64_t dimension = vector_bytes_ / sizeof(float);
  ItemRows out;
  if (tamper_) {
    const ItemRows& held = scan.held;
    out.ids.assign(held.ids.begin() + begin, held.ids.begin() + end);
    out.metadata.assign(held.metadata.begin() + begin, held.metadata.begin() + end);
    out.vectors =
        FloatMatrix(std::vector<float>(held.vectors.row(begin), held.vectors.row(end)), dimension);
    return out;
  }
  const std::vector<uint8_t> found =
      open_rows(scan.tokens, begin, end, [&](size_t r) { return scan.lists[r]; }, out);
  for (size_t j = 0; j < found.size(); ++j) {
    if (!found[j]) {
      throw std::runtime_error(
          "Item records changed while the index rewrote them: a record is missing or moved");
    }
  }
  check_tokens(out.ids, scan.tokens.data() + begin);
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
