// The in-process Keystore: values live in hash maps inside the object and
// vanish with it; two stores never share data. The store only ever touches the
// table under its own hashed index name, created on the first write (and by
// CountItems). Configuration items are not kept: PushConfigItem discards,
// LoadConfigItem throws, ConfigItemExists is false. Missing tables on delete
// are reported as one warning line on standard error.
#ifndef TAVRIN_BACKING_STORE_MEMORY_KEYSTORE_H_
#define TAVRIN_BACKING_STORE_MEMORY_KEYSTORE_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "backing_store/keystore.h"

namespace tavrin_encrypted_index::internal::backing_store {

class MemoryKeystore : public Keystore {
 public:
  // hashed_index_name_ = base + role (role sign-extended, wrapping).
  MemoryKeystore(std::string index_name, uint64_t base, int32_t role);

  void BatchPutRows(const std::vector<uint64_t>& keys, const ByteMatrix& matrix) override;
  void BatchPutItems(const std::vector<uint64_t>& keys, const std::vector<Bytes>& values) override;
  void BatchMoveItems(const std::vector<uint64_t>& keys, std::vector<Bytes>&& values) override;
  void PutItem(uint64_t key, const Bytes& value) override;
  void BatchDeleteItems(const std::vector<uint64_t>& keys) override;
  void DeleteItem(uint64_t key) override;
  Bytes GetItem(uint64_t key) override;
  ByteMatrix BatchGetRows(const std::vector<uint64_t>& keys) override;
  std::vector<Bytes> BatchGetItems(const std::vector<uint64_t>& keys) override;
  std::vector<ByteView> BatchViewItems(const std::vector<uint64_t>& keys,
                                       std::vector<Bytes>& holder) override;
  void PushConfigItem(const std::string& name, const Bytes& value) override;
  Bytes LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteIndex() override;
  uint64_t CountItems() override;
  void SetRowSize(uint64_t size) override;
  void ExpectNewKeys(uint64_t count) override;

  uint64_t row_width() const { return row_size; }
  // Every stored (key, value), in no particular order.
  std::vector<std::pair<uint64_t, Bytes>> Items();
  uint64_t hashed_index_name() const { return hashed_index_name_; }
  const std::string& index_name() const { return index_name_; }

 private:
  using Table = std::unordered_map<uint64_t, Bytes>;

  Table& table();       // creates the table on first use
  template <typename Put>
  void put_items(const std::vector<uint64_t>& keys, const std::vector<Bytes>& values, Put put);
  Table* find_table();  // never creates
  static void expect_room(Table& t, uint64_t count) noexcept;

  uint64_t row_size = 8;
  uint64_t expected_keys_ = 0;  // room the table makes when it appears
  std::unordered_map<uint64_t, Table> tables;
  uint64_t hashed_index_name_;
  std::string index_name_;
};

}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_BACKING_STORE_MEMORY_KEYSTORE_H_
