#include "backing_store/memory_keystore.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "common/parallel.h"
#include "common/diagnostics.h"

namespace tavrin_encrypted_index::internal::backing_store {

MemoryKeystore::MemoryKeystore(std::string index_name, uint64_t base, int32_t role)
    : hashed_index_name_(base + static_cast<uint64_t>(static_cast<int64_t>(role))),
      index_name_(std::move(index_name)) {
  tables.max_load_factor(1.0f);
}

namespace {
// unordered_map::reserve rehashes whenever the bucket count it computes
// differs from the current one, even for a few more elements, so reserving
// size + n before every batch rehashed the whole table each time: a cost per
// batch that grew with the index. Grow only when the batch would not fit, and
// then at least twofold.
void make_room(std::unordered_map<uint64_t, Bytes>& t, size_t more) {
  const size_t need = t.size() + more;
  if (static_cast<double>(need) <= t.max_load_factor() * static_cast<double>(t.bucket_count())) return;
  t.reserve(std::max(need, 2 * t.size()));
}
}  // namespace

MemoryKeystore::Table& MemoryKeystore::table() {
  auto it = tables.find(hashed_index_name_);
  if (it != tables.end()) return it->second;
  Table& t = tables[hashed_index_name_];
  t.max_load_factor(1.0f);
  expect_room(t, expected_keys_);
  expected_keys_ = 0;
  return t;
}

void MemoryKeystore::expect_room(Table& t, uint64_t count) noexcept {
  if (count == 0) return;
  try {
    make_room(t, count);
  } catch (const std::exception&) {
    // Only a hint: a count beyond memory leaves the growth to the writes.
  }
}

void MemoryKeystore::ExpectNewKeys(uint64_t count) {
  // Not a write: a missing table stays missing until a value is written.
  Table* t = find_table();
  if (t == nullptr) {
    expected_keys_ = count;
  } else {
    expect_room(*t, count);
  }
}

MemoryKeystore::Table* MemoryKeystore::find_table() {
  auto it = tables.find(hashed_index_name_);
  return it == tables.end() ? nullptr : &it->second;
}

void MemoryKeystore::BatchPutRows(const std::vector<uint64_t>& keys, const ByteMatrix& matrix) {
  check_batch_rows(keys, matrix, row_size);
  if (matrix.cols == 0) return;
  Table& t = table();
  make_room(t, keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    const uint8_t* row = matrix.row(i);
    t[keys[i]].assign(row, row + matrix.cols);
  }
}

// Stores values[i] under keys[i] with put(slot, i), skipping empty values;
// the table appears only with the first value actually written, so a batch
// of empty values leaves a missing table missing.
template <typename Put>
void MemoryKeystore::put_items(const std::vector<uint64_t>& keys, const std::vector<Bytes>& values,
                               Put put) {
  if (keys.empty()) throw std::runtime_error(kNoKeysError);
  if (values.size() != keys.size()) throw std::runtime_error(kBatchMismatchError);
  Table* t = find_table();
  bool reserved = false;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (values[i].empty()) continue;
    if (!reserved) {
      if (t == nullptr) t = &table();
      make_room(*t, keys.size() - i);
      reserved = true;
    }
    put((*t)[keys[i]], i);
  }
}

void MemoryKeystore::BatchPutItems(const std::vector<uint64_t>& keys,
                                   const std::vector<Bytes>& values) {
  put_items(keys, values, [&](Bytes& slot, size_t i) { slot = values[i]; });
}

void MemoryKeystore::BatchMoveItems(const std::vector<uint64_t>& keys,
                                    std::vector<Bytes>&& values) {
  put_items(keys, values, [&](Bytes& slot, size_t i) { slot = std::move(values[i]); });
}

void MemoryKeystore::PutItem(uint64_t key, const Bytes& value) { table()[key] = value; }

void MemoryKeystore::BatchDeleteItems(const std::vector<uint64_t>& keys) {
  Table* t = find_table();
  if (t == nullptr) {
    tavrin::Warn("Warning: Index name for hashed_index_name_ does not exist.");
    return;
  }
  for (uint64_t key : keys) t->erase(key);
  if (t->empty()) tables.erase(hashed_index_name_);
}

void MemoryKeystore::DeleteItem(uint64_t key) {
  if (Table* t = find_table()) t->erase(key);
}

Bytes MemoryKeystore::GetItem(uint64_t key) {
  const Table* t = find_table();
  if (t == nullptr) return {};
  auto it = t->find(key);
  return it == t->end() ? Bytes{} : it->second;
}

ByteMatrix MemoryKeystore::BatchGetRows(const std::vector<uint64_t>& keys) {
  if (keys.empty()) return ByteMatrix();
  const Table* t = find_table();
  Bytes out(keys.size() * row_size, 0);
  if (t != nullptr) {
    // A value lies apart from its table node: every lookup of a group is
    // made, and each value asked for, before the first is copied.
    constexpr size_t kGroup = 64;
    tavrin::parallel_for((keys.size() + kGroup - 1) / kGroup, 32, 8, [&](size_t g) {
      const size_t begin = g * kGroup, end = std::min(keys.size(), begin + kGroup);
      const Bytes* found[kGroup];
      for (size_t i = begin; i < end; ++i) {
        auto it = t->find(keys[i]);
        found[i - begin] = it == t->end() ? nullptr : &it->second;
        if (it != t->end()) __builtin_prefetch(it->second.data());
      }
      for (size_t i = begin; i < end; ++i) {
        const Bytes* value = found[i - begin];
        if (value == nullptr) continue;
        // A value of another width would shift every later row onto the
        // wrong key; refuse it rather than return misaligned rows.
        if (value->size() != row_size) {
          throw std::runtime_error(stored_width_error(keys[i], value->size(), row_size));
        }
        if (row_size != 0) std::memcpy(out.data() + i * row_size, value->data(), row_size);
      }
    });
  }
  return ByteMatrix(std::move(out), row_size);
}

std::vector<Bytes> MemoryKeystore::BatchGetItems(const std::vector<uint64_t>& keys) {
  std::vector<Bytes> out(keys.size());
  const Table* t = find_table();
  if (t == nullptr) return out;
  // Concurrent finds on a table nobody writes are safe; copying the values
  // is the bulk of a list read on this store.
  tavrin::parallel_for(keys.size(), 512, 64, [&](size_t i) {
    auto it = t->find(keys[i]);
    if (it != t->end()) out[i] = it->second;
  });
  return out;
}

std::vector<ByteView> MemoryKeystore::BatchViewItems(const std::vector<uint64_t>& keys,
                                                     std::vector<Bytes>&) {
  std::vector<ByteView> out(keys.size());
  const Table* t = find_table();
  if (t == nullptr) return out;
  tavrin::parallel_for(keys.size(), 2048, 512, [&](size_t i) {
    auto it = t->find(keys[i]);
    if (it != t->end()) out[i] = ByteView(it->second);
  });
  return out;
}

void MemoryKeystore::PushConfigItem(const std::string&, const Bytes&) {}

Bytes MemoryKeystore::LoadConfigItem(const std::string&) {
  throw std::runtime_error("MemoryKeystore does not support PushConfigItem and LoadConfigItem yet");
}

bool MemoryKeystore::ConfigItemExists(const std::string&) { return false; }

void MemoryKeystore::DeleteIndex() {
  if (tables.erase(hashed_index_name_) == 0) {
    tavrin::Warn("Warning: Index with hashed_index_name_ " + std::to_string(hashed_index_name_) +
                 " does not exist.");
  }
}

uint64_t MemoryKeystore::CountItems() { return table().size(); }

void MemoryKeystore::SetRowSize(uint64_t size) { row_size = size; }

std::vector<std::pair<uint64_t, Bytes>> MemoryKeystore::Items() {
  std::vector<std::pair<uint64_t, Bytes>> items;
  if (Table* t = find_table()) items.assign(t->begin(), t->end());
  return items;
}

}  // namespace tavrin_encrypted_index::internal::backing_store
