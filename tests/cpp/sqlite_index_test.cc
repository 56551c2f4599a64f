// An index on an SQLite file whose record and configuration stores fail on
// command, in a write or at the commit: a failed creation, upsert or training
// leaves the file, and the handle that tried it, as they were. (The index
// harness fails each write in turn too, but judges only a reloaded index.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "backing_store/sqlite_keystore.h"
#include "config/index_config.h"
#include "encrypted_index/encrypted_index.h"
#include "search_reference.h"
#include "test_services.h"
#include "test_util.h"

namespace tavrin {
namespace {

namespace bs = tavrin_encrypted_index::internal::backing_store;

constexpr uint64_t kDim = 8, kLists = 4;
enum class Fail { kNever, kBatchWrite, kCommit, kIndexRecord };

class FailingStore : public bs::SqliteKeystore {
 public:
  FailingStore(const DBConfig& c, const std::string& name, uint64_t base, int32_t role,
               std::shared_ptr<Fail> fail)
      : SqliteKeystore(c, name, base, role), fail_(std::move(fail)) {}
  void BatchPutItems(const std::vector<uint64_t>& k, const std::vector<Bytes>& v) override {
    if (*fail_ == Fail::kBatchWrite) throw std::runtime_error("injected store failure");
    SqliteKeystore::BatchPutItems(k, v);
  }
  void PushConfigItem(const std::string& name, const Bytes& value) override {
    if (*fail_ == Fail::kIndexRecord && name == "idx.cvs") throw std::runtime_error("injected");
    SqliteKeystore::PushConfigItem(name, value);
  }
  void CommitWrite() override {
    if (*fail_ != Fail::kCommit) return SqliteKeystore::CommitWrite();
    AbortWrite();
    throw std::runtime_error("injected commit failure");
  }

 private:
  std::shared_ptr<Fail> fail_;
};

TEST(SqliteIndex, AFailedCreationUpsertOrTrainingLeavesTheFileAndTheHandleAsTheyWere) {
  const testing::TempDatabase file;
  const std::string& path = file.path;
  auto fail = std::make_shared<Fail>(Fail::kNever);
  Key256 key;
  key.fill(7);
  IndexParams p;
  p.index_name = "idx", p.index_key = key, p.max_cache_size = 16;
  p.index_location = p.fourth_location = DBConfig(Location::SQLITE, "items", path);
  p.config_location = DBConfig(Location::SQLITE, "configs", path);
  p.n_lists = kLists, p.vector_bytes = 4 * kDim;
  // The record and configuration stores (roles 3 and 1) fail on command.
  const StoreFactory stores = [fail](const DBConfig& c, const std::string& name, uint64_t base,
                                     bs::StoreRole store_role) -> std::unique_ptr<bs::Keystore> {
    const int32_t role = bs::role_number(store_role);
    if (role != 3 && role != 1) return std::make_unique<bs::SqliteKeystore>(c, name, base, role);
    return std::make_unique<FailingStore>(c, name, base, role, fail);
  };
  const IndexIVFFlat config{kDim, kLists, kMetricSquaredEuclidean, std::string()};
  auto everything = [](EncryptedIndex& index) {  // every item a query over all lists finds
    QueryParams qp;
    qp.top_k = 10000, qp.n_probes = kLists;
    SearchResults r = index.Query(FloatMatrix(std::vector<float>(kDim), kDim), qp);
    std::set<std::string> ids;
    for (uint32_t i = 0; i < r.counts[0]; ++i) ids.insert(r.id(0, i));
    return ids;
  };
  std::mt19937 gen(17);
  std::vector<std::string> ids[2];
  for (int i = 0; i < 300; ++i) ids[i % 6 == 0].push_back(std::to_string(i));
  auto upsert = [&](EncryptedIndex& index, int b) {
    index.Upsert(FloatMatrix(testing::random_floats(ids[b].size() * kDim, gen), kDim), ids[b],
                 std::vector<Bytes>(ids[b].size(), Bytes{'c'}), {});
  };

  // A creation that fails at its last write or at its end leaves no name
  // behind, so the index can be created again.
  for (Fail how : {Fail::kIndexRecord, Fail::kCommit}) {
    *fail = how;
    EXPECT_THROW(EncryptedIndex("idx", key, config, p, stores), std::runtime_error);
  }
  *fail = Fail::kNever;
  auto index = std::make_unique<EncryptedIndex>("idx", key, config, p, stores);
  upsert(*index, 0);
  const std::set<std::string> stored(ids[0].begin(), ids[0].end());
  ASSERT_EQ(everything(*index), stored);  // and the lists are now cached

  // The record store fails after contents and list entries were written in
  // the same transaction, or at its end: none of them stays, nor in the cache.
  for (Fail how : {Fail::kBatchWrite, Fail::kCommit}) {
    *fail = how;
    EXPECT_THROW(upsert(*index, 1), std::runtime_error);
    *fail = Fail::kNever;
    EXPECT_TRUE(index->Get(ids[1], {}).empty());
    EXPECT_EQ(everything(*index), stored);
    EXPECT_EQ(everything(*std::make_unique<EncryptedIndex>("idx", key, p)), stored);
  }
  // Training fails in its re-ingest, after the lists were emptied: the
  // handle keeps the untrained index with every item. (What the file keeps,
  // and that a later write succeeds, the index harness checks.)
  *fail = Fail::kBatchWrite;
  EXPECT_THROW(index->TrainIndex(TrainParams{}), std::runtime_error);
  *fail = Fail::kNever;
  EXPECT_FALSE(index->is_trained());
  EXPECT_EQ(everything(*index), stored);
}

}  // namespace
}  // namespace tavrin
