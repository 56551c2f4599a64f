// One randomized driver for the whole index, after LevelDB's table_test: the
// same random sequences of operations run over every store (an in-process
// server double that outlives the index, the in-process store, PostgreSQL,
// Redis), untrained and trained, with the result cache off and on, under
// both metric families, and every answer is compared with a brute-force
// model: items with their vectors, metadata and contents, deletes,
// overwrites, exact top-k, and the filter evaluator as the reference of
// filtered queries.
//
// Faults: a store wrapper fails every write from the N-th on, which is what
// a process killed after N - 1 writes leaves behind (its handle is dropped
// with the failure still in force, so not even its destructor writes). The
// index is then loaded again and must hold, for every item, its state from
// before or from after the failed operation, and find each item it holds
// exactly once. Contents and the record of an item are two store values: an
// item caught half-way may pair either vector with either contents.
#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "backing_store/keystore_factory.h"
#include "backing_store/memory_keystore.h"
#include "common/diagnostics.h"
#include "config/index_config.h"
#include "encrypted_index/encrypted_index.h"
#include "filter/filter_eval.h"
#include "filter/filter_parse.h"
#include "metadata_generator.h"
#include "recording_keystore.h"
#include "search_reference.h"
#include "test_services.h"
#include "test_util.h"

namespace tavrin {
namespace {

namespace bs = tavrin_encrypted_index::internal::backing_store;
using testing::json;

// ---------------------------------------------------------------- stores --

// Shared by the four stores of one handle: writes counted across them, and
// every write from the fail_from-th on refused.
struct FaultPlan {
  int64_t writes = 0;
  int64_t fail_from = 0;  // 0: none
  bool failed = false;
};

class FaultyStore : public bs::Keystore {
 public:
  FaultyStore(std::shared_ptr<bs::Keystore> inner, std::shared_ptr<FaultPlan> plan)
      : inner_(std::move(inner)), plan_(std::move(plan)) {}

  void BatchPutRows(const std::vector<uint64_t>& k, const ByteMatrix& m) override {
    Write();
    inner_->BatchPutRows(k, m);
  }
  void BatchPutItems(const std::vector<uint64_t>& k, const std::vector<Bytes>& v) override {
    Write();
    inner_->BatchPutItems(k, v);
  }
  void BatchMoveItems(const std::vector<uint64_t>& k, std::vector<Bytes>&& v) override {
    Write();
    inner_->BatchMoveItems(k, std::move(v));
  }
  void PutItem(uint64_t k, const Bytes& v) override {
    Write();
    inner_->PutItem(k, v);
  }
  void BatchDeleteItems(const std::vector<uint64_t>& k) override {
    Write();
    inner_->BatchDeleteItems(k);
  }
  void DeleteItem(uint64_t k) override {
    Write();
    inner_->DeleteItem(k);
  }
  void PushConfigItem(const std::string& n, const Bytes& v) override {
    Write();
    inner_->PushConfigItem(n, v);
  }
  void DeleteIndex() override {
    Write();
    inner_->DeleteIndex();
  }
  Bytes GetItem(uint64_t k) override { return inner_->GetItem(k); }
  ByteMatrix BatchGetRows(const std::vector<uint64_t>& k) override { return inner_->BatchGetRows(k); }
  std::vector<Bytes> BatchGetItems(const std::vector<uint64_t>& k) override {
    return inner_->BatchGetItems(k);
  }
  Bytes LoadConfigItem(const std::string& n) override { return inner_->LoadConfigItem(n); }
  bool ConfigItemExists(const std::string& n) override { return inner_->ConfigItemExists(n); }
  uint64_t CountItems() override { return inner_->CountItems(); }
  void SetRowSize(uint64_t size) override { inner_->SetRowSize(size); }
  void BeginWrite() override { inner_->BeginWrite(); }
  void CommitWrite() override { inner_->CommitWrite(); }
  bool AbortWrite() noexcept override { return inner_->AbortWrite(); }

 private:
  void Write() {
    ++plan_->writes;
    if (plan_->fail_from != 0 && plan_->writes >= plan_->fail_from) {
      plan_->failed = true;
      throw std::runtime_error("injected write failure");
    }
  }
  std::shared_ptr<bs::Keystore> inner_;
  std::shared_ptr<FaultPlan> plan_;
};

enum class StoreKind { kServerDouble, kMemory, kPostgres, kRedis, kSqlite };

const char* store_name(StoreKind kind) {
  switch (kind) {
    case StoreKind::kServerDouble: return "double";
    case StoreKind::kMemory: return "memory";
    case StoreKind::kPostgres: return "postgres";
    case StoreKind::kRedis: return "redis";
    case StoreKind::kSqlite: return "sqlite";
  }
  return "?";
}

// The stores of one index, across the handles a test opens on it.
class Backend {
 public:
  Backend(StoreKind kind, std::string table) : kind_(kind), table_(std::move(table)) {}
  ~Backend() {
    if (kind_ != StoreKind::kSqlite) return;
    for (const char* end : {"", "-wal", "-shm"}) std::remove((sqlite_path() + end).c_str());
  }

  // Stores that make an operation one transaction: a failed one leaves
  // every item as it was before.
  bool transactional() const { return kind_ == StoreKind::kSqlite; }

  // Whether a second handle can load what the first wrote (the in-process
  // store keeps neither configuration items nor rows past its own life).
  bool reloads() const { return kind_ != StoreKind::kMemory; }

  // Every stored value, for the checks that a refused operation writes
  // nothing (the server double only; empty elsewhere).
  std::string Snapshot() const {
    std::string out;
    for (const auto& [table, rows] : server_->tables) {
      for (const auto& [key, value] : rows) {
        out += std::to_string(table) + ":" + std::to_string(key) + "=" +
               std::string(value.begin(), value.end()) + ";";
      }
    }
    for (const auto& [name, value] : server_->config) {
      out += name + "=" + std::string(value.begin(), value.end()) + ";";
    }
    return out;
  }

  std::optional<DBConfig> location() const {
    switch (kind_) {
      case StoreKind::kPostgres: {
        auto conninfo = testing::postgres_conninfo();
        if (!conninfo) return std::nullopt;
        return DBConfig(Location::POSTGRES, table_, *conninfo);
      }
      case StoreKind::kRedis: {
        auto conn = testing::redis_connection_string();
        if (!conn) return std::nullopt;
        return DBConfig(Location::REDIS, table_, *conn);
      }
      case StoreKind::kSqlite:
        return DBConfig(Location::SQLITE, table_, sqlite_path());
      default:
        return DBConfig(Location::MEMORY, std::nullopt, std::nullopt);
    }
  }

  StoreFactory factory(std::shared_ptr<FaultPlan> plan) {
    return [this, plan](const DBConfig& location, const std::string& name, uint64_t base,
                        bs::StoreRole role) -> std::unique_ptr<bs::Keystore> {
      std::shared_ptr<bs::Keystore> inner;
      if (kind_ == StoreKind::kServerDouble) {
        inner = testing::recording_stores(server_)(location, name, base, role);
      } else if (kind_ == StoreKind::kMemory) {
        auto& kept = memory_[static_cast<int>(role)];
        if (!kept) kept = std::make_shared<bs::MemoryKeystore>(name, base, bs::role_number(role));
        inner = kept;
      } else {
        inner = bs::KeystoreFactory::Create(location, name, base, role);
      }
      return std::make_unique<FaultyStore>(std::move(inner), plan);
    };
  }

 private:
  std::string sqlite_path() const { return ::testing::TempDir() + table_ + ".sqlite"; }

  StoreKind kind_;
  std::string table_;
  std::shared_ptr<testing::StoreServer> server_ = std::make_shared<testing::StoreServer>();
  std::map<int, std::shared_ptr<bs::Keystore>> memory_;
};

// ----------------------------------------------------------------- model --

struct Item {
  std::vector<float> vector;
  std::string metadata;  // JSON text; empty: none
  Bytes contents;        // empty: none
  bool operator==(const Item& o) const {
    return vector == o.vector && metadata == o.metadata && contents == o.contents;
  }
};
using Model = std::map<std::string, Item>;

struct Setup {  // one configuration of the harness
  StoreKind store;
  bool trained;
  uint64_t cache;
  DistanceMetric metric;
};

std::string describe(const Setup& s) {
  return std::string(store_name(s.store)) + (s.trained ? "/trained" : "/untrained") + "/cache" +
         std::to_string(s.cache) + (s.metric == kMetricCosine ? "/cosine" : "/euclidean");
}

constexpr uint64_t kDim = 6;
constexpr uint64_t kLists = 4;

// ---------------------------------------------------------------- driver --

class Harness {
 public:
  Harness(const Setup& setup, uint32_t seed, const std::string& table)
      : setup_(setup), rng_(seed), meta_(seed * 7 + 1), backend_(setup.store, table) {
    key_[0] = static_cast<uint8_t>(seed);
    key_[31] = 0x5a;
  }

  bool Start() {
    auto location = backend_.location();
    if (!location) return false;
    location_ = *location;
    handle_ = std::make_unique<EncryptedIndex>(name_, key_, config(), params(), factory());
    return true;
  }

  ~Harness() {
    if (handle_) {
      plan_->fail_from = 0;
      try {
        handle_->delete_index();
      } catch (...) {
      }
    }
  }

  // One random operation; `ops` counts them.
  void Step() {
    ++ops_;
    const int pick = Pick(100);
    if (setup_.trained && !handle_->is_trained() && model_.size() >= 3 * kLists && pick < 25) {
      Train(/*fail_from=*/Pick(3) == 0 ? plan_->writes + 1 + Pick(12) : 0);
    } else if (pick < 33) {
      Upsert(Pick(8) == 0 ? plan_->writes + 1 + Pick(6) : 0);
    } else if (pick < 41) {
      Delete(Pick(6) == 0 ? plan_->writes + 1 + Pick(3) : 0);
    } else if (pick < 53) {
      Get();
    } else if (pick < 80) {
      Query();
    } else if (pick < 84) {
      if (backend_.reloads()) Reload();
    } else if (pick < 87) {
      if (backend_.reloads()) Refuse();
    } else if (pick < 90) {
      Compact(Pick(3) == 0 ? plan_->writes + 1 + Pick(8) : 0);
    } else if (pick < 94) {
      UpdateMetadata(Pick(4) == 0 ? plan_->writes + 1 + Pick(3) : 0);
    } else if (pick < 96) {
      if (trained_ && model_.size() >= kLists) Retrain(Pick(3) == 0 ? plan_->writes + 1 + Pick(12) : 0);
    } else if (pick < 98) {
      if (backend_.reloads()) Close();
    } else {
      CheckAll();
    }
  }

  void CheckAll() {
    std::vector<std::string> ids;
    for (const auto& entry : model_) ids.push_back(entry.first);
    ids.push_back("never-stored");
    const std::vector<ItemView> got = handle_->Get(ids, {});
    ASSERT_EQ(got.size(), model_.size());
    size_t i = 0;
    for (const auto& [id, item] : model_) {
      ASSERT_EQ(got[i].id, id);
      ASSERT_TRUE(same(got[i], item))
          << describe(setup_) << " " << id << " after op " << ops_ << ": metadata '"
          << got[i].metadata << "' want '" << item.metadata << "', contents "
          << got[i].contents.size() << " want " << item.contents.size() << ", vector "
          << (got[i].vector == item.vector ? "same" : "differs");
      ++i;
    }
    // Probing every list finds every item exactly once.
    QueryParams qp;
    qp.top_k = model_.size() + 3;
    qp.n_probes = kLists;
    const SearchResults r = handle_->Query(RandomRows(1), qp);
    std::multiset<std::string> found;
    for (uint32_t s = 0; s < r.counts[0]; ++s) found.insert(r.id(0, s));
    std::multiset<std::string> expected(ids.begin(), ids.end() - 1);
    ASSERT_EQ(found, expected) << describe(setup_);
    ASSERT_EQ(handle_->Count(), model_.size());
    const std::vector<std::string> listed = handle_->Ids();
    ASSERT_EQ(std::multiset<std::string>(listed.begin(), listed.end()), expected);
  }

  enum class Op {
    kUpsert, kDelete, kTrain, kRetrain, kCompact, kUpdateMetadata, kTrainAndSerialize };

  // Fills the index with `items` random items by fault-free upserts.
  void Fill(size_t items) {
    while (model_.size() < items) Upsert(0);
    CheckAll();
  }

  // Runs `op` with every write from its n-th on refused (then checks what
  // the index holds); false once the op needs fewer than n writes.
  bool RunWithFault(Op op, int n) {
    const int64_t fail_from = plan_->writes + n;
    const uint64_t faults = faults_;
    switch (op) {
      case Op::kUpsert: Upsert(fail_from); break;
      case Op::kDelete: Delete(fail_from); break;
      case Op::kTrain: Train(fail_from); break;
      case Op::kRetrain: Retrain(fail_from); break;
      case Op::kCompact: Compact(fail_from); break;
      case Op::kUpdateMetadata: UpdateMetadata(fail_from); break;
      case Op::kTrainAndSerialize: {
        plan_->fail_from = fail_from;
        try {
          handle_->TrainAndSerialize(RandomRows(3 * kLists), TrainParams{}, false);
        } catch (const std::runtime_error&) {
          EXPECT_TRUE(plan_->failed);
          Settle({}, model_, model_);
          break;
        }
        plan_->fail_from = 0;
        trained_ = handle_->is_trained();
        CheckAll();
        break;
      }
    }
    return faults_ != faults;
  }

  uint64_t ops() const { return ops_; }
  uint64_t faults() const { return faults_; }

 private:
  IndexIVFFlat config() const { return IndexIVFFlat(kDim, kLists, setup_.metric, std::string()); }

  IndexParams params() const {
    IndexParams p;
    p.index_name = name_;
    p.index_key = key_;
    p.index_location = p.items_location = p.fourth_location = location_;
    // Configuration items keep a table of their own, as on a server they must.
    p.config_location = location_;
    if (p.config_location.table_name) *p.config_location.table_name += "_config";
    p.cpu_threads = 2;
    p.max_cache_size = setup_.cache;
    p.n_lists = kLists;
    p.vector_bytes = 4 * kDim;
    return p;
  }

  StoreFactory factory() {
    plan_ = std::make_shared<FaultPlan>();
    return backend_.factory(plan_);
  }

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  FloatMatrix RandomRows(size_t n) {
    std::normal_distribution<float> normal;
    std::vector<float> data(n * kDim);
    // Around a few centres, so that training spreads items over the lists.
    for (size_t i = 0; i < n; ++i) {
      const int centre = Pick(static_cast<int>(kLists));
      for (uint64_t d = 0; d < kDim; ++d) {
        data[i * kDim + d] = normal(rng_) + (d == static_cast<uint64_t>(centre) ? 6.0f : 0.0f);
      }
    }
    return FloatMatrix(std::move(data), kDim);
  }

  std::string RandomId() { return "id-" + std::to_string(Pick(90)); }

  static bool same(const ItemView& v, const Item& item) {
    return v.vector == item.vector && v.metadata == item.metadata && v.contents == item.contents;
  }

  // Drops the handle as a killed process would (no write gets through while
  // the plan still fails) and loads the index again.
  void Reopen() {
    handle_.reset();
    handle_ = std::make_unique<EncryptedIndex>(name_, key_, params(), factory());
  }

  // Operations a handle must refuse (one opened with GPU acceleration, which
  // this build lacks, or given rows of the wrong width) change no stored
  // byte and no answer.
  void Refuse() {
    handle_.reset();
    IndexParams p = params();
    p.gpu_accelerate = true;
    handle_ = std::make_unique<EncryptedIndex>(name_, key_, p, factory());
    const std::string before = backend_.Snapshot();
    const FloatMatrix rows = RandomRows(3);
    std::vector<std::string> ids = {RandomId(), RandomId(), "refused-new"};
    if (!model_.empty()) ids[0] = model_.begin()->first;  // an existing item too
    EXPECT_THROW(handle_->Upsert(rows, ids, {}, {"{\"a\": 1}", "", "{}"}), std::runtime_error);
    if (!trained_) {
      EXPECT_THROW(handle_->TrainIndex(TrainParams{}), std::runtime_error);
    }
    EXPECT_THROW(handle_->Upsert(RandomRows(1).zeros(1, kDim + 1), {"w"}, {}, {}),
                 std::runtime_error);
    EXPECT_EQ(backend_.Snapshot(), before) << "a refused operation wrote";
    Reopen();
    // Metadata that the filters could not read back, beside good items.
    const std::string after_gpu = backend_.Snapshot();
    for (const char* bad : {R"({"a": NaN})", R"({"a": "\ud800"})", R"({"a": 1e400})", "{"}) {
      EXPECT_ANY_THROW(handle_->Upsert(RandomRows(2), {"refused-0", ids[0]}, {}, {"{}", bad}));
    }
    EXPECT_EQ(backend_.Snapshot(), after_gpu) << "refused metadata was written";
    CheckAll();
  }

  void Reload() {
    Reopen();
    ASSERT_EQ(handle_->is_trained(), trained_) << describe(setup_);
    CheckAll();
  }

  // After a failed operation: every item named by `touched` must be in one
  // of its states `before` or `after` (absent when not in a map), except
  // that contents may come from either state; every other item unchanged.
  void Settle(const std::vector<std::string>& touched, const Model& before, const Model& given) {
    ++faults_;
    // A store with transactions keeps nothing of a failed operation.
    const Model& after = backend_.transactional() ? before : given;
    if (!backend_.reloads()) {
      // Nothing to reload from: the same handle goes on, faults lifted.
      plan_->fail_from = 0;
    } else {
      Reopen();
    }
    trained_ = handle_->is_trained();
    std::set<std::string> ids(touched.begin(), touched.end());
    for (const std::string& id : ids) {
      const auto got = handle_->Get({id}, {});
      const auto b = before.find(id), a = after.find(id);
      if (got.empty()) {
        ASSERT_TRUE(b == before.end() || a == after.end()) << "lost " << id << " " << describe(setup_);
        model_.erase(id);
        continue;
      }
      const ItemView& v = got[0];
      bool matches = false;
      for (const Model* m : {&before, &after}) {
        auto it = m->find(id);
        if (it == m->end() || v.vector != it->second.vector || v.metadata != it->second.metadata) {
          continue;
        }
        for (const Model* c : {&before, &after}) {
          auto jt = c->find(id);
          matches |= v.contents == (jt == c->end() ? Bytes() : jt->second.contents);
        }
        matches |= v.contents.empty();
      }
      ASSERT_TRUE(matches) << "torn item " << id << " " << describe(setup_);
      model_[id] = Item{v.vector, v.metadata, v.contents};
    }
    CheckAll();
  }

  void Upsert(int64_t fail_from) {
    const size_t n = 1 + Pick(10);
    const FloatMatrix vectors = RandomRows(n);
    std::vector<std::string> ids(n), metadata;
    std::vector<Bytes> contents;
    const bool with_metadata = Pick(4) != 0, with_contents = Pick(3) != 0;
    for (size_t i = 0; i < n; ++i) {
      ids[i] = RandomId();
      if (with_metadata) metadata.push_back(Pick(5) == 0 ? std::string() : meta_.Document().dump());
      if (with_contents) contents.push_back(Bytes(Pick(20), static_cast<uint8_t>(Pick(256))));
    }
    Model after = model_;
    std::set<std::string> seen;
    for (size_t i = 0; i < n; ++i) {
      if (!seen.insert(ids[i]).second) continue;  // the first of a repeated id is stored
      Item item;
      item.vector.assign(vectors.row(i), vectors.row(i) + kDim);
      if (with_metadata) item.metadata = metadata[i];
      if (with_contents) item.contents = contents[i];
      after[ids[i]] = item;
    }
    plan_->fail_from = fail_from;
    try {
      handle_->Upsert(vectors, ids, contents, metadata);
    } catch (const std::runtime_error& e) {
      ASSERT_TRUE(plan_->failed) << e.what();
      Settle(ids, model_, after);
      return;
    }
    plan_->fail_from = 0;
    model_ = std::move(after);
  }

  void Delete(int64_t fail_from) {
    std::vector<std::string> ids;
    for (int k = Pick(5); k >= 0; --k) ids.push_back(RandomId());
    Model after = model_;
    for (const std::string& id : ids) after.erase(id);
    plan_->fail_from = fail_from;
    try {
      handle_->Delete(ids);
    } catch (const std::runtime_error&) {
      ASSERT_TRUE(plan_->failed);
      Settle(ids, model_, after);
      return;
    }
    plan_->fail_from = 0;
    model_ = std::move(after);
  }

  // Runs an operation that keeps every item (training, compaction,
  // retraining) with writes failing from fail_from on, then checks every
  // item; *ok says whether it succeeded.
  template <typename Fn>
  void KeepsItems(int64_t fail_from, Fn op, bool* ok) {
    *ok = false;
    plan_->fail_from = fail_from;
    try {
      op();
    } catch (const std::runtime_error&) {
      ASSERT_TRUE(plan_->failed);
      Settle({}, model_, model_);
      return;
    }
    plan_->fail_from = 0;
    *ok = true;
    CheckAll();
  }

  void Train(int64_t fail_from) {
    bool ok;
    KeepsItems(fail_from, [&] { handle_->TrainIndex(TrainParams{}); }, &ok);
    if (ok) trained_ = true;
  }

  void Compact(int64_t fail_from) {
    bool ok;
    KeepsItems(fail_from, [&] { handle_->Compact(); }, &ok);
    // No stale entry is left: the lists hold exactly the live items.
    if (ok) {
      ASSERT_EQ(handle_->Compact(), 0u);
    }
  }

  void Retrain(int64_t fail_from) {
    bool ok;
    KeepsItems(fail_from, [&] { handle_->Retrain(TrainParams{}); }, &ok);
  }

  void UpdateMetadata(int64_t fail_from) {
    if (model_.empty()) return;
    std::vector<std::string> ids;
    for (int k = Pick(4); k >= 0; --k) {
      auto it = std::next(model_.begin(), Pick(static_cast<int>(model_.size())));
      if (std::find(ids.begin(), ids.end(), it->first) == ids.end()) ids.push_back(it->first);
    }
    std::vector<std::string> metadata;
    for (size_t i = 0; i < ids.size(); ++i) {
      metadata.push_back(Pick(4) == 0 ? std::string() : meta_.Document().dump());
    }
    // An unknown or repeated id, or a text training could not read back,
    // refuses the whole call before any write.
    if (Pick(5) == 0) {
      std::vector<std::string> bad = ids, bad_metadata = metadata;
      if (Pick(3) == 0) {
        bad_metadata[Pick(static_cast<int>(ids.size()))] = "{\"x\": 1e999}";
      } else {
        bad.push_back(Pick(2) ? ids[0] : "never-stored");
        bad_metadata.push_back("{}");
      }
      EXPECT_THROW(handle_->UpdateMetadata(bad, bad_metadata), std::invalid_argument);
      CheckAll();
    }
    Model after = model_;
    for (size_t i = 0; i < ids.size(); ++i) after[ids[i]].metadata = metadata[i];
    plan_->fail_from = fail_from;
    try {
      handle_->UpdateMetadata(ids, metadata);
    } catch (const std::runtime_error&) {
      ASSERT_TRUE(plan_->failed);
      Settle(ids, model_, after);
      return;
    }
    plan_->fail_from = 0;
    model_ = std::move(after);
  }

  // A closed handle answers from memory and refuses data operations; the
  // index loads again with nothing lost.
  void Close() {
    handle_->Close();
    handle_->Close();
    EXPECT_EQ(handle_->index_name(), name_);
    EXPECT_EQ(handle_->is_trained(), trained_);
    EXPECT_EQ(testing::error_text<std::runtime_error>([&] { handle_->Count(); }),
              kNotConnectedError);
    Reopen();
    CheckAll();
  }

  // Centroid rank of each list for a vector (nearest first, ties by list).
  std::vector<uint32_t> ListRanking(const float* v) const {
    const FloatMatrix& c = handle_->trained_data().codebooks.at(0).matrix;
    const DistanceMetric form = setup_.metric == kMetricCosine ? kMetricCosine : kMetricSquaredEuclidean;
    std::vector<std::pair<double, uint32_t>> by_distance;
    for (uint32_t l = 0; l < c.rows; ++l) {
      by_distance.push_back({testing::ref_distance(v, c.row(l), kDim, form), l});
    }
    std::sort(by_distance.begin(), by_distance.end());
    std::vector<uint32_t> rank(c.rows);
    for (uint32_t i = 0; i < by_distance.size(); ++i) rank[by_distance[i].second] = i;
    return rank;
  }

  void CheckWidenedPrefix(const float* query, const std::map<std::string, const Item*>& matching,
                          const std::set<std::string>& returned, float last) {
    const std::vector<uint32_t> rank = ListRanking(query);
    auto list_of = [&](const Item& item) {
      const std::vector<uint32_t> r = ListRanking(item.vector.data());
      return static_cast<uint32_t>(std::min_element(r.begin(), r.end()) - r.begin());
    };
    uint32_t farthest = 0;
    for (const std::string& id : returned) farthest = std::max(farthest, rank[list_of(*matching.at(id))]);
    for (const auto& [id, item] : matching) {
      if (returned.count(id) || rank[list_of(*item)] > farthest) continue;
      const double d = testing::ref_distance(query, item->vector.data(), kDim, setup_.metric);
      ASSERT_GE(d, last - 1e-3 * (1 + std::fabs(d))) << "widening skipped " << id;
    }
  }

  void Get() {
    std::vector<std::string> ids;
    for (int k = Pick(6); k >= 0; --k) ids.push_back(RandomId());
    const std::vector<uint32_t> include =
        Pick(2) ? std::vector<uint32_t>{} : std::vector<uint32_t>{static_cast<uint32_t>(Pick(3))};
    const std::vector<ItemView> got = handle_->Get(ids, include);
    size_t g = 0;
    for (const std::string& id : ids) {
      auto it = model_.find(id);
      if (it == model_.end()) continue;
      ASSERT_LT(g, got.size());
      const ItemView& v = got[g++];
      ASSERT_EQ(v.id, id);
      const bool all = include.empty();
      EXPECT_EQ(v.vector, all || include[0] == 0 ? it->second.vector : std::vector<float>());
      EXPECT_EQ(v.metadata, all || include[0] == 1 ? it->second.metadata : std::string());
      EXPECT_EQ(v.contents, all || include[0] == 2 ? it->second.contents : Bytes());
    }
    EXPECT_EQ(g, got.size());
  }

  void Query() {
    const size_t nq = 1 + Pick(3);
    const FloatMatrix queries = RandomRows(nq);
    QueryParams qp;
    qp.top_k = 1 + Pick(static_cast<int>(model_.size()) + 4);
    const bool exhaustive = !trained_ || Pick(2) == 0;
    qp.n_probes = exhaustive ? kLists : 1 + Pick(kLists - 1);
    qp.include = {1};
    json filter = json::object();
    if (Pick(3) != 0) {
      filter = meta_.Filter(2);
      qp.filters = filter.dump();
    }
    try {
      filter = ParseFilter(qp.filters);
    } catch (const std::invalid_argument&) {
      EXPECT_ANY_THROW(handle_->Query(queries, qp));
      return;
    }
    // The reference: every live item that satisfies the filter.
    std::map<std::string, const Item*> matching;
    try {
      for (const auto& [id, item] : model_) {
        const json doc = item.metadata.empty() ? json::object() : json::parse(item.metadata);
        if (IsEmptyFilter(filter) || EvaluateFilter(filter, doc)) matching[id] = &item;
      }
    } catch (const std::exception&) {
      return;  // an item the filter cannot judge fails the whole query
    }
    // Filtered queries on a trained index may widen; with max_probes at
    // n_lists or more they come back full whenever enough items match.
    const bool widens = trained_ && !IsEmptyFilter(filter) && Pick(2) == 0;
    if (widens) qp.max_probes = qp.n_probes + Pick(static_cast<int>(kLists + 2 - qp.n_probes));
    SearchResults r;
    try {
      r = handle_->Query(queries, qp);
    } catch (const std::exception& e) {
      ASSERT_TRUE(testing::HasScalarIn(filter)) << qp.filters << ": " << e.what();
      return;
    }
    for (uint64_t q = 0; q < nq; ++q) {
      std::vector<double> reference;
      std::set<std::string> seen;
      float last = -INFINITY;
      for (uint32_t s = 0; s < r.counts[q]; ++s) {
        const std::string id = r.id(q, s);
        auto it = matching.find(id);
        ASSERT_TRUE(it != matching.end()) << "not a live match: " << id << " " << qp.filters;
        ASSERT_TRUE(seen.insert(id).second) << "twice: " << id;
        const double d = testing::ref_distance(queries.row(q), it->second->vector.data(), kDim,
                                               setup_.metric);
        ASSERT_NEAR(r.distance(q, s), d, 1e-3 * (1 + std::fabs(d)));
        ASSERT_GE(r.distance(q, s), last);
        last = r.distance(q, s);
        EXPECT_EQ(r.metadata[q][s], it->second->metadata);
      }
      ASSERT_LE(r.counts[q], qp.top_k);
      if (widens && *qp.max_probes >= kLists) {
        ASSERT_EQ(r.counts[q], std::min<uint64_t>(qp.top_k, matching.size())) << qp.filters;
        // The lists read are a prefix of the query's ranking; every match in
        // the lists up to the farthest one that gave a result, and nearer
        // than the last result, must be among the results.
        if (r.counts[q] > 0 && !qp.greedy) CheckWidenedPrefix(queries.row(q), matching, seen, last);
      }
      if (!exhaustive) continue;
      // Probing every list: exactly the top k of the matches.
      ASSERT_EQ(r.counts[q], std::min<uint64_t>(qp.top_k, matching.size())) << qp.filters;
      for (const auto& [id, item] : matching) {
        if (seen.count(id)) continue;
        const double d = testing::ref_distance(queries.row(q), item->vector.data(), kDim, setup_.metric);
        ASSERT_GE(d, last - 1e-3 * (1 + std::fabs(d))) << "missed " << id << " " << qp.filters;
      }
    }
  }

  Setup setup_;
  std::mt19937 rng_;
  testing::RandomMetadata meta_;
  Backend backend_;
  DBConfig location_;
  std::string name_ = "harness";
  Key256 key_{};
  std::shared_ptr<FaultPlan> plan_;
  std::unique_ptr<EncryptedIndex> handle_;
  Model model_;
  bool trained_ = false;
  uint64_t ops_ = 0, faults_ = 0;
};

// Diagnostics of the runs (duplicate-id warnings, "Token not found", the
// reports of injected failures) are kept out of the test log.
class QuietDiagnostics {
 public:
  QuietDiagnostics() { SetDiagnosticSink([](DiagnosticStream, std::string_view) {}); }
  ~QuietDiagnostics() { SetDiagnosticSink(nullptr); }
};

void RunHarness(StoreKind store, int ops_per_setup) {
  QuietDiagnostics quiet;
  uint64_t ops = 0, faults = 0, setups = 0;
  uint32_t seed = 1;
  for (bool trained : {false, true}) {
    for (uint64_t cache : {uint64_t{0}, uint64_t{3}}) {
      for (DistanceMetric metric : {kMetricSquaredEuclidean, kMetricCosine}) {
        const Setup setup{store, trained, cache, metric};
        Harness h(setup, seed, "harness_" + std::string(store_name(store)) + "_" +
                                   std::to_string(seed) + "_" + std::to_string(getpid()));
        ++seed;
        if (!h.Start()) TAVRIN_SKIP_OR_FAIL(std::string("no ") + store_name(store) + " server");
        for (int i = 0; i < ops_per_setup; ++i) {
          h.Step();
          if (::testing::Test::HasFatalFailure()) return;
        }
        h.CheckAll();
        ops += h.ops();
        faults += h.faults();
        ++setups;
      }
    }
  }
  std::cout << "harness " << store_name(store) << ": " << ops << " operations (" << faults
            << " with injected write failures) over " << setups << " setups\n";
}

// Each operation failed at each of its writes in turn, on every store that
// keeps data past a handle: whatever write fails (or wherever the process
// dies), a reloaded index holds every item in its state before or after the
// operation and finds each exactly once.
void SweepWriteSteps(StoreKind store) {
  QuietDiagnostics quiet;
  using Op = Harness::Op;
  int runs = 0;
  for (const auto& [op, trained] :
       {std::pair{Op::kUpsert, false}, std::pair{Op::kUpsert, true},
        std::pair{Op::kDelete, false}, std::pair{Op::kDelete, true},
        std::pair{Op::kTrain, true}, std::pair{Op::kRetrain, true},
        std::pair{Op::kCompact, false}, std::pair{Op::kCompact, true},
        std::pair{Op::kUpdateMetadata, true}, std::pair{Op::kTrainAndSerialize, false}}) {
    for (int n = 1;; ++n) {
      ASSERT_LT(n, 64) << "an operation that never finishes";
      Harness h(tavrin::Setup{store, trained, 2, kMetricSquaredEuclidean}, 77,
                "sweep_" + std::string(store_name(store)) + "_" + std::to_string(getpid()));
      if (!h.Start()) TAVRIN_SKIP_OR_FAIL(std::string("no ") + store_name(store) + " server");
      if (op != Op::kTrainAndSerialize) h.Fill(30);
      if (trained && op != Op::kTrain) h.RunWithFault(Op::kTrain, 1000);
      if (op == Op::kCompact) h.Fill(45);  // overwrites leave stale entries
      ++runs;
      const bool failed = h.RunWithFault(op, n);
      if (::testing::Test::HasFatalFailure()) return;
      if (!failed) break;
    }
  }
  std::cout << "write-step sweep " << store_name(store) << ": " << runs << " runs\n";
}

TEST(IndexHarness, EveryWriteStepFailsOnTheServerDouble) { SweepWriteSteps(StoreKind::kServerDouble); }
TEST(IndexHarness, EveryWriteStepFailsOnPostgres) { SweepWriteSteps(StoreKind::kPostgres); }
TEST(IndexHarness, EveryWriteStepFailsOnRedis) { SweepWriteSteps(StoreKind::kRedis); }
TEST(IndexHarness, EveryWriteStepFailsOnSqlite) { SweepWriteSteps(StoreKind::kSqlite); }

TEST(IndexHarness, ServerDouble) { RunHarness(StoreKind::kServerDouble, 400); }
TEST(IndexHarness, InProcessStore) { RunHarness(StoreKind::kMemory, 250); }
TEST(IndexHarness, Postgres) { RunHarness(StoreKind::kPostgres, 120); }
TEST(IndexHarness, Redis) { RunHarness(StoreKind::kRedis, 150); }
TEST(IndexHarness, Sqlite) { RunHarness(StoreKind::kSqlite, 150); }

}  // namespace
}  // namespace tavrin
