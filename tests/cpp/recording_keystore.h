// A Keystore for index tests: its rows live in a StoreServer that outlives
// the stores (so an index can be loaded again, as from a database), and it
// counts the batches it is given and can be told to fail one.
#ifndef TAVRIN_TESTS_CPP_RECORDING_KEYSTORE_H_
#define TAVRIN_TESTS_CPP_RECORDING_KEYSTORE_H_

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "backing_store/keystore.h"
#include "encrypted_index/store_factory.h"

namespace tavrin::testing {

namespace bs = tavrin_encrypted_index::internal::backing_store;

struct StoreServer {
  std::map<uint64_t, std::map<uint64_t, Bytes>> tables;  // by hashed name
  std::map<std::string, Bytes> config;
  // Sizes of the BatchPutItems batches per role, in call order.
  std::map<int32_t, std::vector<size_t>> put_batches;
  std::map<int32_t, size_t> get_rows_calls;
  // When set, the fail_at-th BatchPutItems (1-based, counted per role) of
  // this role throws.
  int32_t fail_role = -1;
  size_t fail_at = 0;
};

class RecordingKeystore : public bs::Keystore {
 public:
  RecordingKeystore(std::shared_ptr<StoreServer> server, uint64_t hashed, int32_t role)
      : server_(std::move(server)), hashed_(hashed), role_(role) {}

  void BatchPutRows(const std::vector<uint64_t>& keys, const ByteMatrix& m) override {
    for (size_t i = 0; i < keys.size(); ++i) table()[keys[i]] = Bytes(m.row(i), m.row(i) + m.cols);
  }
  void BatchPutItems(const std::vector<uint64_t>& keys, const std::vector<Bytes>& values) override {
    auto& sizes = server_->put_batches[role_];
    sizes.push_back(keys.size());
    if (role_ == server_->fail_role && sizes.size() == server_->fail_at)
      throw std::runtime_error("injected store failure");
    for (size_t i = 0; i < keys.size(); ++i) if (!values[i].empty()) table()[keys[i]] = values[i];
  }
  void PutItem(uint64_t key, const Bytes& value) override { table()[key] = value; }
  void BatchDeleteItems(const std::vector<uint64_t>& keys) override {
    for (uint64_t k : keys) table().erase(k);
  }
  void DeleteItem(uint64_t key) override { table().erase(key); }
  Bytes GetItem(uint64_t key) override { return table().count(key) ? table()[key] : Bytes(); }
  ByteMatrix BatchGetRows(const std::vector<uint64_t>& keys) override {
    ++server_->get_rows_calls[role_];
    if (keys.empty()) return ByteMatrix();
    Bytes out(keys.size() * row_size_, 0);
    for (size_t i = 0; i < keys.size(); ++i) {
      const Bytes v = GetItem(keys[i]);
      std::copy_n(v.begin(), std::min<size_t>(row_size_, v.size()), out.begin() + i * row_size_);
    }
    return ByteMatrix(std::move(out), row_size_);
  }
  std::vector<Bytes> BatchGetItems(const std::vector<uint64_t>& keys) override {
    std::vector<Bytes> out;
    for (uint64_t k : keys) out.push_back(GetItem(k));
    return out;
  }
  void PushConfigItem(const std::string& name, const Bytes& value) override {
    server_->config[name] = value;
  }
  Bytes LoadConfigItem(const std::string& name) override {
    auto it = server_->config.find(name);
    if (it == server_->config.end()) throw std::runtime_error("no config item " + name);
    return it->second;
  }
  bool ConfigItemExists(const std::string& name) override { return server_->config.count(name); }
  // The configuration role: this index's items are the names 4 longer than it.
  void DeleteIndex() override {
    if (role_ != 1) server_->tables.erase(hashed_);
    for (auto it = server_->config.begin(); role_ == 1 && it != server_->config.end();)
      it = mine(it->first) ? server_->config.erase(it) : std::next(it);
  }
  uint64_t CountItems() override {
    if (role_ != 1) return table().size();
    return std::count_if(server_->config.begin(), server_->config.end(),
                         [&](const auto& e) { return mine(e.first); });
  }
  void SetRowSize(uint64_t size) override { row_size_ = size; }

  size_t name_size_ = 0;

 private:
  std::map<uint64_t, Bytes>& table() { return server_->tables[hashed_]; }
  bool mine(const std::string& config_name) const { return config_name.size() == name_size_ + 4; }

  std::shared_ptr<StoreServer> server_;
  uint64_t hashed_;
  int32_t role_;
  uint64_t row_size_ = 8;
};

inline StoreFactory recording_stores(std::shared_ptr<StoreServer> server) {
  return [server](const DBConfig&, const std::string& name, uint64_t base,
                  tavrin_encrypted_index::internal::backing_store::StoreRole store_role) {
    const int32_t role = static_cast<int32_t>(store_role);
    auto store = std::make_unique<RecordingKeystore>(server, base + static_cast<uint64_t>(role), role);
    store->name_size_ = name.size();
    return store;
  };
}

}  // namespace tavrin::testing

#endif  // TAVRIN_TESTS_CPP_RECORDING_KEYSTORE_H_
