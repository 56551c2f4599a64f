// What a store that anyone can write must not make a read answer: a record
// that the store moved from another item, or an index record copied from
// another index sealed with the same key. Such a read fails and writes nothing.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/index_config.h"
#include "encrypted_index/encrypted_index.h"
#include "encrypted_index/integrity.h"
#include "recording_keystore.h"

namespace tavrin {
namespace {

namespace bs = tavrin_encrypted_index::internal::backing_store;
constexpr uint64_t kDim = 4;

IndexParams params_for(const std::string& name, const Key256& key) {
  IndexParams p;
  p.index_name = name;
  p.index_key = key;
  p.index_location = DBConfig(Location::POSTGRES, "t", "c");
  p.config_location = p.fourth_location = p.items_location = p.index_location;
  p.max_cache_size = 0;
  p.n_lists = 2;
  p.vector_bytes = 4 * kDim;
  return p;
}

template <typename Fn>
void expect_integrity_failure(Fn fn) {
  try {
    fn();
    ADD_FAILURE() << "the read was answered";
  } catch (const IntegrityError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Integrity check failed: ", 0), 0u) << e.what();
  }
}

TEST(Tamper, ARecordMovedToAnotherItemOrIndexIsRefused) {
  auto server = std::make_shared<testing::StoreServer>();
  uint64_t records = 0;  // the table of index a's item records
  StoreFactory stores = [&](const DBConfig& at, const std::string& name, uint64_t base,
                            bs::StoreRole role) {
    if (name == "a" && role == bs::StoreRole::kRecords) records = base + bs::role_number(role);
    return testing::recording_stores(server)(at, name, base, role);
  };
  Key256 key{};
  key[0] = 9;
  const IndexIVFFlat config(kDim, 2, kMetricSquaredEuclidean, std::string());
  EncryptedIndex a("a", key, config, params_for("a", key), stores);
  EncryptedIndex b("b", key, config, params_for("b", key), stores);
  a.Upsert(FloatMatrix(std::vector<float>(2 * kDim, 1.0f), kDim), {"x", "y"}, {{'1'}, {'2'}},
           {"{\"k\": 1}", "{\"k\": 2}"});

  // Each item's record under the other's token.
  auto& table = server->tables.at(records);
  ASSERT_EQ(table.size(), 2u);
  std::swap(table.begin()->second, std::next(table.begin())->second);
  const auto tables = server->tables;
  const auto config_items = server->config;
  for (const std::string id : {"x", "y"}) {
    expect_integrity_failure([&] { a.Get({id}, {}); });
    expect_integrity_failure([&] { a.UpdateMetadata({id}, {"{}"}); });
  }
  EXPECT_EQ(a.Get({"z"}, {}).size(), 0u);  // an unknown id is still just absent

  // b's index record under a's name: same key, same shape, another index.
  server->config["a.cvs"] = server->config.at("b.cvs");
  expect_integrity_failure([&] { EncryptedIndex("a", key, params_for("a", key), stores); });
  server->config["a.cvs"] = config_items.at("a.cvs");
  EXPECT_EQ(server->tables, tables);  // no failed read wrote anything
  EXPECT_NO_THROW(EncryptedIndex("a", key, params_for("a", key), stores));
}

}  // namespace
}  // namespace tavrin
