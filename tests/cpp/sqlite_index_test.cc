// An index on an SQLite file whose record store fails on command: a failed
// creation, upsert or training step leaves the file, and the handle, as they
// were.
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
#include "test_util.h"

namespace tavrin {
namespace {

namespace bs = tavrin_encrypted_index::internal::backing_store;

constexpr uint64_t kDim = 8;
constexpr uint64_t kLists = 4;

enum class Fail { kNever, kBatchWrite, kCommit, kIndexRecord };

// The SQLite store, failing its batch writes, its commits or the writing of
// an index record on command.
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
    if (*fail_ == Fail::kIndexRecord && name.size() > 4 && name.substr(name.size() - 4) == ".cvs") {
      throw std::runtime_error("injected store failure");
    }
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

struct SqliteFile {
  std::string path = ::testing::TempDir() + "tavrin_si_" + std::to_string(getpid()) + ".sqlite";
  std::shared_ptr<Fail> fail = std::make_shared<Fail>(Fail::kNever);
  Key256 key{};
  IndexIVFFlat config{kDim, kLists, kMetricSquaredEuclidean, std::string()};

  SqliteFile() { key.fill(7); }
  ~SqliteFile() {
    for (const char* end : {"", "-wal", "-shm"}) std::remove((path + end).c_str());
  }
  IndexParams params() const {
    IndexParams p;
    p.index_name = "idx";
    p.index_key = key;
    p.index_location = DBConfig(Location::SQLITE, "items", path);
    p.config_location = DBConfig(Location::SQLITE, "configs", path);
    p.items_location = DBConfig(Location::NONE, std::nullopt, std::nullopt);
    p.fourth_location = p.index_location;
    p.cpu_threads = 2;
    p.max_cache_size = 16;
    p.n_lists = kLists;
    p.vector_bytes = 4 * kDim;
    return p;
  }
  // The record and configuration stores (roles 3 and 1) fail on command.
  StoreFactory stores() const {
    return [fail = fail](const DBConfig& c, const std::string& name, uint64_t base,
                         bs::StoreRole store_role) -> std::unique_ptr<bs::Keystore> {
      const int32_t role = bs::role_number(store_role);
      if (role != 3 && role != 1) return std::make_unique<bs::SqliteKeystore>(c, name, base, role);
      return std::make_unique<FailingStore>(c, name, base, role, fail);
    };
  }
  std::unique_ptr<EncryptedIndex> load() const {
    return std::make_unique<EncryptedIndex>("idx", key, params());
  }
};

struct Batch {
  FloatMatrix vectors;
  std::vector<std::string> ids;
  std::vector<Bytes> contents;
  std::vector<std::string> metadata;
};

Batch make_batch(size_t n, const std::string& prefix, std::mt19937& gen) {
  Batch b;
  b.vectors = FloatMatrix(testing::random_floats(n * kDim, gen), kDim);
  for (size_t i = 0; i < n; ++i) {
    b.ids.push_back(prefix + std::to_string(i));
    b.contents.push_back(Bytes{'c', static_cast<uint8_t>(i)});
    b.metadata.push_back("{\"n\": " + std::to_string(i) + "}");
  }
  return b;
}

// Every item a query over all lists finds.
std::set<std::string> everything(EncryptedIndex& index) {
  QueryParams qp;
  qp.top_k = 10000;
  qp.n_probes = kLists;
  const float q[kDim] = {};
  SearchResults r = index.Query(FloatMatrix(std::vector<float>(q, q + kDim), kDim), qp);
  std::set<std::string> ids;
  for (uint32_t i = 0; i < r.counts[0]; ++i) ids.insert(r.id(0, i));
  return ids;
}

TEST(SqliteIndex, AFailedUpsertOrTrainingLeavesTheFileAndTheHandleAsTheyWere) {
  SqliteFile s;
  std::mt19937 gen(17);
  // A creation that fails at its last write or at its end leaves no name
  // behind.
  for (Fail how : {Fail::kIndexRecord, Fail::kCommit}) {
    *s.fail = how;
    EXPECT_THROW(EncryptedIndex("idx", s.key, s.config, s.params(), s.stores()),
                 std::runtime_error);
  }
  *s.fail = Fail::kNever;
  auto index = std::make_unique<EncryptedIndex>("idx", s.key, s.config, s.params(), s.stores());
  const Batch first = make_batch(300, "a-", gen);
  index->Upsert(first.vectors, first.ids, first.contents, first.metadata);
  const std::set<std::string> stored(first.ids.begin(), first.ids.end());
  ASSERT_EQ(everything(*index), stored);  // and list 0 is now cached

  // The record store fails after contents, metadata and list entries were
  // written in the same transaction, or at its end: none of them stays, nor
  // in the cache.
  const Batch lost = make_batch(50, "b-", gen);
  for (Fail how : {Fail::kBatchWrite, Fail::kCommit}) {
    *s.fail = how;
    EXPECT_THROW(index->Upsert(lost.vectors, lost.ids, lost.contents, lost.metadata),
                 std::runtime_error);
    *s.fail = Fail::kNever;
    EXPECT_TRUE(index->Get(lost.ids, {}).empty());
    EXPECT_EQ(everything(*index), stored);
    EXPECT_EQ(everything(*s.load()), stored);
  }

  // Training fails in its re-ingest, after the lists were emptied: the file
  // keeps the untrained index with every item, and so does the handle.
  *s.fail = Fail::kBatchWrite;
  EXPECT_THROW(index->TrainIndex(TrainParams{}), std::runtime_error);
  *s.fail = Fail::kNever;
  EXPECT_FALSE(index->is_trained());
  EXPECT_EQ(everything(*index), stored);
  {
    auto loaded = s.load();
    EXPECT_FALSE(loaded->is_trained());
    EXPECT_EQ(everything(*loaded), stored);
    EXPECT_EQ(loaded->Get({"a-7"}, {2})[0].contents, first.contents[7]);
  }

  // Both succeed afterwards, and another handle sees them.
  index->Upsert(lost.vectors, lost.ids, lost.contents, lost.metadata);
  index->TrainIndex(TrainParams{});
  std::set<std::string> all = stored;
  all.insert(lost.ids.begin(), lost.ids.end());
  EXPECT_EQ(everything(*index), all);
  index.reset();
  auto loaded = s.load();
  EXPECT_TRUE(loaded->is_trained());
  EXPECT_EQ(everything(*loaded), all);
}

}  // namespace
}  // namespace tavrin
