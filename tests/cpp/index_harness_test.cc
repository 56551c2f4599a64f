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
#include <array>
#include <unistd.h>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <functional>
#include <tuple>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "backing_store/keystore_factory.h"
#include "backing_store/lease.h"
#include "backing_store/memory_keystore.h"
#include "backing_store/pg_handles.h"
#include "backing_store/redis_connection.h"
#include "backing_store/redis_fence.h"
#include "common/diagnostics.h"
#include "config/index_config.h"
#include "crypto/keyed_hash.h"
#include "encrypted_index/encrypted_index.h"
#include "encrypted_index/integrity.h"
#include "encrypted_index/list_store.h"
#include "encrypted_index/tamper_state.h"
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
// Every value the stores of the indexes were given, oldest first (empty for
// a delete), by (index name, role, key): what an operator watching the
// writes has seen. Configuration items under role -1 and key 0, by name.
using Journal = std::map<std::tuple<std::string, int, uint64_t, std::string>, std::vector<Bytes>>;

struct FaultPlan {
  int64_t writes = 0;
  int64_t fail_from = 0;  // 0: none
  bool failed = false;
  Journal* journal = nullptr;
  std::set<int> roles_read;  // the roles of the stores read from
  std::function<void()> before_write;  // called before every write
  // The failing batch lands in part (every second value) before the
  // failure, as a batch spread over the nodes of a cluster may when one of
  // them fails: not even a prefix of it is sure to be stored.
  bool partial = false;
};

class FaultyStore : public bs::Keystore {
 public:
  FaultyStore(std::shared_ptr<bs::Keystore> inner, std::shared_ptr<FaultPlan> plan,
              std::string name = "", int role = 0)
      : inner_(std::move(inner)), plan_(std::move(plan)), name_(std::move(name)), role_(role) {}

  void BatchPutRows(const std::vector<uint64_t>& k, const ByteMatrix& m) override {
    Batch(k.size(), [&](const std::vector<size_t>& at) {
      ByteMatrix part = ByteMatrix::zeros(at.size(), m.cols);
      std::vector<uint64_t> keys;
      for (size_t i : at) {
        std::copy(m.row(i), m.row(i) + m.cols, part.row(keys.size()));
        keys.push_back(k[i]);
      }
      inner_->BatchPutRows(keys, part);
      for (size_t i : at) Note(k[i], Bytes(m.row(i), m.row(i) + m.cols));
    });
  }
  void BatchPutItems(const std::vector<uint64_t>& k, const std::vector<Bytes>& v) override {
    Batch(k.size(), [&](const std::vector<size_t>& at) {
      std::vector<uint64_t> keys;
      std::vector<Bytes> values;
      for (size_t i : at) keys.push_back(k[i]), values.push_back(v[i]);
      inner_->BatchPutItems(keys, values);
      for (size_t i : at) Note(k[i], v[i]);
    });
  }
  void BatchMoveItems(const std::vector<uint64_t>& k, std::vector<Bytes>&& v) override {
    if (plan_->journal || plan_->partial) return BatchPutItems(k, v);
    Write().BatchMoveItems(k, std::move(v));
  }
  void PutItem(uint64_t k, const Bytes& v) override {
    Write().PutItem(k, v);
    Note(k, v);
  }
  void BatchDeleteItems(const std::vector<uint64_t>& k) override {
    Batch(k.size(), [&](const std::vector<size_t>& at) {
      std::vector<uint64_t> keys;
      for (size_t i : at) keys.push_back(k[i]);
      inner_->BatchDeleteItems(keys);
      for (size_t i : at) Note(k[i], {});
    });
  }
  void DeleteItem(uint64_t k) override {
    Write().DeleteItem(k);
    Note(k, {});
  }
  void PushConfigItem(const std::string& n, const Bytes& v) override { PushConfigItems({{n, v}}); }
  // One write, as every store makes it.
  void PushConfigItems(const std::vector<std::pair<std::string, Bytes>>& items) override {
    Write().PushConfigItems(items);
    for (const auto& [n, v] : items) {
      if (plan_->journal) (*plan_->journal)[{n, -1, 0, n}].push_back(v);
    }
  }
  void DeleteIndex() override { Write().DeleteIndex(); }
  Bytes GetItem(uint64_t k) override { return Read().GetItem(k); }
  ByteMatrix BatchGetRows(const std::vector<uint64_t>& k) override { return Read().BatchGetRows(k); }
  std::vector<Bytes> BatchGetItems(const std::vector<uint64_t>& k) override {
    return Read().BatchGetItems(k);
  }
  Bytes LoadConfigItem(const std::string& n) override { return inner_->LoadConfigItem(n); }
  bool ConfigItemExists(const std::string& n) override { return inner_->ConfigItemExists(n); }
  uint64_t CountItems() override { return inner_->CountItems(); }
  void SetRowSize(uint64_t size) override { inner_->SetRowSize(size); }
  void ExpectNewKeys(uint64_t count) override { inner_->ExpectNewKeys(count); }
  void BeginWrite() override { inner_->BeginWrite(); }
  void CommitWrite() override { inner_->CommitWrite(); }
  bool AbortWrite() noexcept override { return inner_->AbortWrite(); }
  // Passed on, not counted: a fence is set and raised before the first read.
  void SetFence(const bs::WriteFence* fence) override { inner_->SetFence(fence); }
  uint64_t RaiseFence() override { return inner_->RaiseFence(); }

 private:
  // Counts one write; true when the plan fails it.
  bool Fails() {
    if (plan_->before_write) plan_->before_write();
    ++plan_->writes;
    if (plan_->fail_from == 0 || plan_->writes < plan_->fail_from) return false;
    plan_->failed = true;
    return true;
  }
  // Counts one write and refuses it when the plan says so.
  bs::Keystore& Write() {
    if (Fails()) throw std::runtime_error("injected write failure");
    return *inner_;
  }
  // One batch of n values; land(positions) stores those of them.
  template <typename Land>
  void Batch(size_t n, Land land) {
    std::vector<size_t> at;
    const bool fails = Fails();
    for (size_t i = fails ? 1 : 0; i < n; i += fails ? 2 : 1) at.push_back(i);
    if (!fails || (plan_->partial && !at.empty())) land(at);
    if (fails) throw std::runtime_error("injected write failure");
  }
  bs::Keystore& Read() {
    plan_->roles_read.insert(role_);
    return *inner_;
  }
  void Note(uint64_t key, const Bytes& value) {
    if (plan_->journal) (*plan_->journal)[{name_, role_, key, ""}].push_back(value);
  }
  std::shared_ptr<bs::Keystore> inner_;
  std::shared_ptr<FaultPlan> plan_;
  std::string name_;
  int role_;
};

enum class StoreKind { kServerDouble, kMemory, kPostgres, kRedis, kSqlite };

const char* store_name(StoreKind kind) {
  return std::array{"double", "memory", "postgres", "redis", "sqlite"}[static_cast<int>(kind)];
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
  auto Snapshot() const { return std::pair(server_->tables, server_->config); }

  std::optional<DBConfig> location() const {
    switch (kind_) {
      case StoreKind::kPostgres: return at(Location::POSTGRES, testing::postgres_conninfo());
      case StoreKind::kRedis: return at(Location::REDIS, testing::redis_connection_string());
      case StoreKind::kSqlite: return at(Location::SQLITE, sqlite_path());
      default: return DBConfig(Location::MEMORY, std::nullopt, std::nullopt);
    }
  }

  StoreFactory factory(std::shared_ptr<FaultPlan> plan) {
    return [this, plan](const DBConfig& location, const std::string& name, uint64_t base,
                        bs::StoreRole role) -> std::unique_ptr<bs::Keystore> {
      std::shared_ptr<bs::Keystore> inner;
      if (kind_ == StoreKind::kServerDouble) {
        inner = testing::recording_stores(server_)(location, name, base, role);
      } else if (kind_ == StoreKind::kMemory) {
        auto& kept = memory_[{static_cast<int>(role), base}];
        if (!kept) kept = std::make_shared<bs::MemoryKeystore>(name, base, bs::role_number(role));
        inner = kept;
      } else {
        inner = bs::KeystoreFactory::Create(location, name, base, role);
      }
      return std::make_unique<FaultyStore>(std::move(inner), plan, name, bs::role_number(role));
    };
  }

 private:
  std::string sqlite_path() const { return ::testing::TempDir() + table_ + ".sqlite"; }
  // On a server, when there is one.
  std::optional<DBConfig> at(Location where, const std::optional<std::string>& conn) const {
    if (!conn) return std::nullopt;
    return DBConfig(where, table_, *conn);
  }

  StoreKind kind_;
  std::string table_;
  std::shared_ptr<testing::StoreServer> server_ = std::make_shared<testing::StoreServer>();
  std::map<std::pair<int, uint64_t>, std::shared_ptr<bs::Keystore>> memory_;
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
  bool tamper = false;  // the tamper-evident format
  uint32_t bucket_bits = 0;  // tamper-evident: 0 for the default layout
  uint64_t chunk = 0;        // items per store batch; 0 for the default
};

std::string describe(const Setup& s) {
  return std::string(store_name(s.store)) + (s.trained ? "/trained" : "/untrained") + "/cache" +
         std::to_string(s.cache) + (s.metric == kMetricCosine ? "/cosine" : "/euclidean") +
         (s.tamper ? "/tamper-evident" : "") +
         (s.bucket_bits ? "/" + std::to_string(1u << s.bucket_bits) + "-buckets" : "") +
         (s.chunk ? "/chunks-of-" + std::to_string(s.chunk) : "");
}

constexpr uint64_t kDim = 6;
constexpr uint64_t kLists = 4;

// ---------------------------------------------------------------- driver --

// `n` ids "<prefix><k>" whose tokens, in a tamper-evident index of this key
// and name with 2^bits buckets, fall in the first `buckets` buckets: crowded
// buckets make writes change part of a bucket row, which then goes through
// its delta row.
std::vector<std::string> crowded_ids(const Key256& key, const std::string& index_name,
                                     const std::string& prefix, size_t n, uint32_t buckets,
                                     uint32_t bits = kBucketBits) {
  const Key256 data_key = derive_tamper_keys(key, index_name).data_key;
  std::vector<std::string> ids;
  for (uint64_t k = 0; ids.size() < n; k += 4096) {
    std::vector<std::string> batch;
    for (uint64_t j = k; j < k + 4096; ++j) batch.push_back(prefix + std::to_string(j));
    const std::vector<uint64_t> tokens = item_tokens(batch, data_key);
    for (size_t j = 0; j < batch.size() && ids.size() < n; ++j) {
      if (bucket_of(tokens[j], bits) < buckets) ids.push_back(batch[j]);
    }
  }
  return ids;
}

class Harness {
 public:
  Harness(const Setup& setup, uint32_t seed, const std::string& table)
      : setup_(setup), rng_(seed), meta_(seed * 7 + 1), backend_(setup.store, table) {
    key_[0] = static_cast<uint8_t>(seed);
    key_[31] = 0x5a;
  }

  bool Start() {  // false when the store has no server
    location_ = backend_.location();
    if (!location_) return false;
    handle_ = std::make_unique<EncryptedIndex>(name_, key_, config(), params(), factory());
    return true;
  }

  ~Harness() {
    if (!handle_) return;
    plan_->fail_from = 0;
    try {
      handle_->delete_index();
    } catch (...) {
    }
  }

  // One random operation; `ops` counts them.
  void Step() {
    ++ops_;
    const int pick = Pick(100);
    // A write failure one time in `odds`, at one of the next `span` writes.
    auto fault = [&](int odds, int span) { return Pick(odds) == 0 ? 1 + Pick(span) : 0; };
    if (setup_.trained && !handle_->is_trained() && model_.size() >= 3 * kLists && pick < 25) {
      Run(Op::kTrain, fault(3, 12));
    } else if (pick < 33) {
      Run(Op::kUpsert, fault(8, 6));
    } else if (pick < 41) {
      Run(Op::kDelete, fault(6, 3));
    } else if (pick < 53) {
      Get();
    } else if (pick < 80) {
      Query();
    } else if (pick < 84) {
      if (backend_.reloads()) Reload();
    } else if (pick < 87) {
      if (backend_.reloads()) Refuse();
    } else if (pick < 90) {
      Run(Op::kCompact, fault(3, 8));
    } else if (pick < 94) {
      Run(Op::kUpdateMetadata, fault(4, 3));
    } else if (pick < 96) {
      if (trained_ && model_.size() >= kLists) Run(Op::kRetrain, fault(3, 12));
    } else if (pick < 97) {
      Run(Op::kRotateKey, fault(3, 12));
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
    ASSERT_TRUE(Fetch(ids, {}) == Listing(model_.begin(), model_.end()))
        << describe(setup_) << " after op " << ops_;
    // Probing every list finds every item exactly once.
    QueryParams qp;
    qp.top_k = model_.size() + 3;
    qp.n_probes = kLists;
    const SearchResults r = handle_->Query(RandomRows(1), qp);
    std::multiset<std::string> found;
    for (uint32_t s = 0; s < r.counts[0]; ++s) found.insert(r.id(0, s));
    const std::multiset<std::string> expected(ids.begin(), ids.end() - 1);
    ASSERT_EQ(found, expected) << describe(setup_);
    ASSERT_EQ(handle_->Count(), model_.size()) << describe(setup_) << " after op " << ops_;
    const std::vector<std::string> listed = handle_->Ids();
    ASSERT_EQ(std::multiset<std::string>(listed.begin(), listed.end()), expected);
  }

  enum class Op {
    kUpsert, kDelete, kTrain, kRetrain, kCompact, kUpdateMetadata, kTrainAndSerialize, kRotateKey };

  // Fills the index with `items` random items by fault-free upserts.
  void Fill(size_t items) {
    while (model_.size() < items) Upsert(0);
    CheckAll();
  }

  // Runs `op` with every write from its n-th on refused (0: none), then
  // checks what the index holds; false once the op needs fewer than n writes.
  // Failing batches land in part from now on (FaultPlan::partial).
  void LandInPart() { plan_->partial = true; }

  bool Run(Op op, int n) {
    const int64_t fail_from = n ? plan_->writes + n : 0;
    const uint64_t faults = faults_;
    switch (op) {
      case Op::kUpsert: Upsert(fail_from); break;
      case Op::kDelete: Delete(fail_from); break;
      case Op::kUpdateMetadata: UpdateMetadata(fail_from); break;
      case Op::kTrain:
        if (KeepsItems(fail_from, [&] { handle_->TrainIndex(TrainParams{}); })) trained_ = true;
        break;
      case Op::kRetrain:
        KeepsItems(fail_from, [&] { handle_->Retrain(TrainParams{}); });
        break;
      case Op::kCompact:
        // No stale entry is left: the lists hold exactly the live items.
        if (KeepsItems(fail_from, [&] { handle_->Compact(); })) {
          EXPECT_EQ(handle_->Compact(), 0u);
        }
        break;
      case Op::kRotateKey: {
        // Under the new key once the switch is stored (a failure after it
        // only leaves old values behind); then the old key opens nothing.
        const Key256 old = key_;
        key_[1] ^= static_cast<uint8_t>(1 + Pick(255));
        const Key256 next = key_;
        if (!KeepsItems(fail_from, [&] {
              try {
                handle_->RotateKey(next);
              } catch (...) {
                key_ = old;
                throw;
              }
            }) || !backend_.reloads()) {
          break;
        }
        if (plan_->failed) Reload();
        IndexParams p = params();
        p.index_key = old;
        EXPECT_ANY_THROW(EncryptedIndex(name_, old, p, backend_.factory(std::make_shared<FaultPlan>())));
        break;
      }
      case Op::kTrainAndSerialize:
        // The handle takes the centroids only while it holds no item.
        if (KeepsItems(fail_from, [&] {
              handle_->TrainAndSerialize(RandomRows(3 * kLists), TrainParams{}, false);
            })) {
          trained_ = trained_ || model_.empty();
        }
        break;
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
    p.index_location = p.items_location = p.fourth_location = *location_;
    // Configuration items keep a table of their own, as on a server they must.
    p.config_location = *location_;
    if (p.config_location.table_name) *p.config_location.table_name += "_config";
    p.cpu_threads = 2;
    p.max_cache_size = setup_.cache;
    p.write_chunk = setup_.chunk;
    p.n_lists = kLists;
    p.vector_bytes = 4 * kDim;
    p.tamper_evident = setup_.tamper;
    p.tamper_bucket_bits = setup_.bucket_bits;
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

  std::string RandomId() {
    // Tamper-evident: ids crowd four buckets (until a key rotation moves them).
    if (setup_.tamper && id_pool_.empty()) {
      id_pool_ = crowded_ids(key_, name_, "id-", 90, 4,
                             setup_.bucket_bits ? setup_.bucket_bits : kBucketBits);
    }
    return setup_.tamper ? id_pool_[Pick(90)] : "id-" + std::to_string(Pick(90));
  }

  using Listing = std::vector<std::pair<std::string, Item>>;
  Listing Fetch(const std::vector<std::string>& ids, const std::vector<uint32_t>& include) {
    Listing out;
    for (const ItemView& v : handle_->Get(ids, include)) {
      out.push_back({v.id, Item{v.vector, v.metadata, v.contents}});
    }
    return out;
  }

  // Drops the handle as a killed process would (no write gets through while
  // the plan still fails) and loads the index again.
  void Reopen(bool gpu = false) {
    handle_.reset();
    IndexParams p = params();
    p.gpu_accelerate = gpu;
    handle_ = std::make_unique<EncryptedIndex>(name_, key_, p, factory());
  }

  // Operations a handle must refuse (one opened with GPU acceleration, which
  // this build lacks, or given rows of the wrong width) change no stored
  // byte and no answer.
  void Refuse() {
    Reopen(/*gpu=*/true);
    const auto before = backend_.Snapshot();
    std::vector<std::string> ids = {RandomId(), RandomId(), "refused-new"};
    if (!model_.empty()) ids[0] = model_.begin()->first;  // an existing item too
    EXPECT_THROW(handle_->Upsert(RandomRows(3), ids, {}, {"{\"a\": 1}", "", "{}"}),
                 std::runtime_error);
    if (!trained_) {
      EXPECT_THROW(handle_->TrainIndex(TrainParams{}), std::runtime_error);
    }
    EXPECT_THROW(handle_->Upsert(RandomRows(1).zeros(1, kDim + 1), {"w"}, {}, {}),
                 std::runtime_error);
    EXPECT_EQ(backend_.Snapshot(), before) << "a refused operation wrote";
    Reopen();
    // Metadata that the filters could not read back, beside good items.
    const auto after_gpu = backend_.Snapshot();
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
    // A store with transactions, or the tamper-evident format with its one
    // commit, keeps nothing of a failed operation.
    const Model& after = backend_.transactional() || setup_.tamper ? before : given;
    if (backend_.reloads()) Reopen();  // the dropped handle's plan still fails
    plan_->fail_from = 0;  // with nothing to reload from, the same handle goes on
    trained_ = handle_->is_trained();
    for (const std::string& id : std::set<std::string>(touched.begin(), touched.end())) {
      const Listing got = Fetch({id}, {});
      const auto b = before.find(id), a = after.find(id);
      if (got.empty()) {
        ASSERT_TRUE(b == before.end() || a == after.end()) << "lost " << id << " " << describe(setup_);
        model_.erase(id);
        continue;
      }
      const Item& v = got[0].second;
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
      model_[id] = v;
    }
    CheckAll();
  }

  // Runs op with every write from fail_from on refused. When it returns,
  // the model becomes `after`; when it fails, every item named by `touched`
  // must be in its state before or after, every other one unchanged.
  template <typename Fn>
  bool Apply(int64_t fail_from, const std::vector<std::string>& touched, Model after, Fn op) {
    plan_->fail_from = fail_from;
    try {
      op();
    } catch (const std::runtime_error& e) {
      EXPECT_TRUE(plan_->failed) << e.what();
      Settle(touched, model_, after);
      return false;
    }
    plan_->fail_from = 0;
    model_ = std::move(after);
    return true;
  }

  // Training, compaction and retraining keep every item.
  template <typename Fn>
  bool KeepsItems(int64_t fail_from, Fn op) {
    const bool ok = Apply(fail_from, {}, model_, op);
    if (ok) CheckAll();
    return ok;
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
    for (size_t i = n; i-- > 0;) {  // backwards: the first of a repeated id is stored
      after[ids[i]] = Item{std::vector<float>(vectors.row(i), vectors.row(i) + kDim),
                           with_metadata ? metadata[i] : "", with_contents ? contents[i] : Bytes()};
    }
    Apply(fail_from, ids, std::move(after),
          [&] { handle_->Upsert(vectors, ids, contents, metadata); });
  }

  void Delete(int64_t fail_from) {
    std::vector<std::string> ids;
    Model after = model_;
    for (int k = Pick(5); k >= 0; --k) after.erase(ids.emplace_back(RandomId()));
    Apply(fail_from, ids, std::move(after), [&] { handle_->Delete(ids); });
  }

  void UpdateMetadata(int64_t fail_from) {
    if (model_.empty()) return;
    std::vector<std::string> ids, metadata;
    for (int k = Pick(4); k >= 0; --k) {
      auto it = std::next(model_.begin(), Pick(static_cast<int>(model_.size())));
      if (std::find(ids.begin(), ids.end(), it->first) != ids.end()) continue;
      ids.push_back(it->first);
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
    if (!Apply(fail_from, ids, std::move(after), [&] { handle_->UpdateMetadata(ids, metadata); })) {
      return;
    }
    // The pre-filter's map covers what the update stored: an item is found
    // by a query over every list for a value of its own.
    for (size_t i = 0; i < ids.size() && trained_; ++i) {
      const json doc = metadata[i].empty() ? json::object() : json::parse(metadata[i]);
      for (const char* key : {"a", "b", "n"}) {
        if (!doc.contains(key) || !doc[key].is_primitive() || doc[key].is_null()) continue;
        QueryParams qp;
        qp.top_k = model_.size();
        qp.n_probes = kLists;
        qp.filters = json{{key, {{"$eq", doc[key]}}}}.dump();
        const std::vector<float>& v = model_.at(ids[i]).vector;
        const SearchResults r = handle_->Query(FloatMatrix(std::vector<float>(v), kDim), qp);
        std::set<std::string> found;
        for (uint32_t s = 0; s < r.counts[0]; ++s) found.insert(r.id(0, s));
        ASSERT_TRUE(found.count(ids[i])) << qp.filters << " " << describe(setup_);
      }
    }
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

  // No match nearer than the last result is missing from the results: in
  // any list when every list was probed; after widening, which reads lists
  // in the query's ranking, in the lists up to the farthest that gave one.
  void CheckNoneMissed(const float* query, const std::map<std::string, const Item*>& matching,
                       const std::set<std::string>& returned, float last, bool every_list) {
    const std::vector<uint32_t> rank = every_list ? std::vector<uint32_t>() : ListRanking(query);
    auto rank_of = [&](const Item& item) -> uint32_t {
      if (every_list) return 0;
      const std::vector<uint32_t> r = ListRanking(item.vector.data());
      return rank[std::min_element(r.begin(), r.end()) - r.begin()];
    };
    uint32_t farthest = 0;
    for (const std::string& id : returned) farthest = std::max(farthest, rank_of(*matching.at(id)));
    for (const auto& [id, item] : matching) {
      if (returned.count(id) || rank_of(*item) > farthest) continue;
      const double d = testing::ref_distance(query, item->vector.data(), kDim, setup_.metric);
      ASSERT_GE(d, last - 1e-3 * (1 + std::fabs(d))) << "missed " << id;
    }
  }

  void Get() {
    std::vector<std::string> ids;
    for (int k = Pick(6); k >= 0; --k) ids.push_back(RandomId());
    const int field = Pick(2) ? -1 : Pick(3);  // -1: every field
    Listing want;
    for (const std::string& id : ids) {
      auto it = model_.find(id);
      if (it == model_.end()) continue;
      const Item& m = it->second;
      want.push_back({id, Item{field < 1 ? m.vector : std::vector<float>(),
                               field == -1 || field == 1 ? m.metadata : "",
                               field == -1 || field == 2 ? m.contents : Bytes()}});
    }
    const std::vector<uint32_t> include(field >= 0, static_cast<uint32_t>(field));
    EXPECT_TRUE(Fetch(ids, include) == want);
  }

  void Query() {
    const FloatMatrix queries = RandomRows(1 + Pick(3));
    QueryParams qp;
    qp.top_k = 1 + Pick(static_cast<int>(model_.size()) + 4);
    const bool exhaustive = !trained_ || Pick(2) == 0;
    qp.n_probes = exhaustive ? kLists : 1 + Pick(kLists - 1);
    qp.include = {1};
    if (Pick(3) != 0) qp.filters = meta_.Filter(2).dump();
    json filter;
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
    for (uint64_t q = 0; q < queries.rows; ++q) {
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
      // Probing every list, or widening up to every list: the top k of the
      // matches in full.
      if (!exhaustive && !(widens && *qp.max_probes >= kLists)) continue;
      ASSERT_EQ(r.counts[q], std::min<uint64_t>(qp.top_k, matching.size())) << qp.filters;
      CheckNoneMissed(queries.row(q), matching, seen, last, exhaustive);
    }
  }

  Setup setup_;
  std::mt19937 rng_;
  testing::RandomMetadata meta_;
  Backend backend_;
  std::optional<DBConfig> location_;
  std::string name_ = "harness";
  Key256 key_{};
  std::vector<std::string> id_pool_;
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
        // Each format in half the setups, balanced against the other choices.
        Setup setup{store, trained, cache, metric, __builtin_parity(seed - 1) == 1};
        // Two of the tamper-evident setups (one trained) keep the earlier
        // layout of 1,024 buckets, which indexes made with it still have.
        if (setup.tamper && cache != 0) setup.bucket_bits = 10;
        // Chunks far smaller than the batches in half the setups (two of each
        // format), so that every operation crosses chunk boundaries.
        if (seed % 2 == 0) setup.chunk = 5;
        Harness h(setup, seed, "harness_" + std::string(store_name(store)) + "_" +
                                   std::to_string(seed) + "_" + std::to_string(getpid()));
        ++seed;
        if (!h.Start()) TAVRIN_SKIP_OR_FAIL(std::string("no ") + store_name(store) + " server");
        for (int i = 0; i < ops_per_setup && !::testing::Test::HasFatalFailure(); ++i) h.Step();
        if (::testing::Test::HasFatalFailure()) return;
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
  for (const auto& [op, trained] : std::vector<std::pair<Op, bool>>{
           {Op::kUpsert, false}, {Op::kUpsert, true}, {Op::kDelete, false}, {Op::kDelete, true},
           {Op::kTrain, true}, {Op::kRetrain, true}, {Op::kCompact, false}, {Op::kCompact, true},
           {Op::kUpdateMetadata, true}, {Op::kTrainAndSerialize, false}, {Op::kRotateKey, false},
           {Op::kRotateKey, true}}) {
    // Each format with the default chunks, then with chunks of 7 items, so
    // that a failure falls between the chunks of every step as well; on a
    // store without transactions, once more with the failing batch landing
    // in part.
    const int passes = Backend(store, "").transactional() ? 4 : 6;
    for (int n = 1, pass = 0; pass < passes; ++n) {
      ASSERT_LT(n, 256) << "an operation that never finishes";
      tavrin::Setup setup{store, trained, 2, kMetricSquaredEuclidean, pass % 2 == 1};
      if (pass >= 2) setup.chunk = 7;
      Harness h(setup, 77,
                "sweep_" + std::string(store_name(store)) + "_" + std::to_string(getpid()));
      if (!h.Start()) TAVRIN_SKIP_OR_FAIL(std::string("no ") + store_name(store) + " server");
      if (op != Op::kTrainAndSerialize) h.Fill(30);
      if (trained && op != Op::kTrain) h.Run(Op::kTrain, 0);
      if (op == Op::kCompact) h.Fill(45);  // overwrites leave stale entries
      if (pass >= 4) h.LandInPart();
      ++runs;
      const bool failed = h.Run(op, n);
      if (::testing::Test::HasFailure()) std::cout << "op " << int(op) << " n " << n << " " << describe(setup) << "\n";
      if (::testing::Test::HasFatalFailure()) return;
      if (!failed) n = 0, ++pass;
    }
  }
  std::cout << "write-step sweep " << store_name(store) << ": " << runs << " runs\n";
}

// A store operator's single tampers, each undone before the next: swapping
// two values of one store, putting back an earlier value of a key, deleting
// a value, copying a value of another index sealed with the same key. On a
// tamper-evident index every answer of a freshly loaded handle is then right
// or an IntegrityError, and no read writes; on an index in the original
// format the run counts what goes through unnoticed.
void TamperEveryWay(StoreKind kind) {
  QuietDiagnostics quiet;
  for (bool tamper : {true, false}) {
    Backend backend(kind, "tamper_" + std::string(store_name(kind)) + std::to_string(getpid()));
    const std::optional<DBConfig> location = backend.location();
    if (!location) TAVRIN_SKIP_OR_FAIL(std::string("no ") + store_name(kind) + " server");
    Journal journal;
    auto plan = std::make_shared<FaultPlan>();
    plan->journal = &journal;
    std::map<std::pair<std::string, int>, std::unique_ptr<bs::Keystore>> raw;  // the operator's
    const StoreFactory base_factory = backend.factory(plan);
    StoreFactory stores = [&](const DBConfig& at, const std::string& name, uint64_t base,
                              bs::StoreRole role) {
      auto& r = raw[{name, bs::role_number(role)}];
      if (!r) r = backend.factory(std::make_shared<FaultPlan>())(at, name, base, role);
      return base_factory(at, name, base, role);
    };
    IndexParams p;
    p.index_key[0] = 0x42;
    p.index_location = p.items_location = p.fourth_location = p.config_location = *location;
    if (p.config_location.table_name) *p.config_location.table_name += "_config";
    p.n_lists = kLists;
    p.vector_bytes = 4 * kDim;
    p.tamper_evident = tamper;
    std::mt19937 rng(11);
    auto rows = [&](size_t n) {
      std::normal_distribution<float> normal;
      std::vector<float> data(n * kDim);
      for (size_t i = 0; i < n; ++i) data[i * kDim + i % kLists] = 6 + normal(rng);
      return FloatMatrix(std::move(data), kDim);
    };
    auto make = [&](const std::string& name, size_t n) {
      p.index_name = name;
      auto index = std::make_unique<EncryptedIndex>(
          name, p.index_key, IndexIVFFlat(kDim, kLists, kMetricSquaredEuclidean, ""), p, stores);
      // Three buckets' worth: the writes below change part of each.
      const std::vector<std::string> ids = crowded_ids(p.index_key, name, name, n, 3);
      std::vector<std::string> metadata;
      std::vector<Bytes> contents;
      for (size_t i = 0; i < n; ++i) {
        metadata.push_back("{\"g\": " + std::to_string(i % 3) + "}");
        contents.push_back(Bytes(1 + i % 5, static_cast<uint8_t>(i)));
      }
      index->Upsert(rows(n), ids, contents, metadata);
      return std::make_pair(std::move(index), ids);
    };
    auto [t, ids] = make("t", 24);
    t->TrainIndex(TrainParams{});
    // Writers that fail after each of their store writes in turn, each with
    // other vectors, then one that finishes: what each abandoned attempt
    // wrote stays in the journal, for a store operator to put back under the
    // keys it was written to.
    std::vector<std::vector<std::pair<Journal::key_type, Bytes>>> attempts;
    for (int k = 1;; ++k) {
      ASSERT_LT(k, 64) << "an upsert that never finishes";
      std::map<Journal::key_type, size_t> seen;
      for (const auto& [key, history] : journal) seen[key] = history.size();
      plan->fail_from = plan->writes + k;
      try {
        t->Upsert(rows(6), {ids.begin(), ids.begin() + 6}, {}, {});
        break;
      } catch (const std::runtime_error&) {
      }
      attempts.emplace_back();
      for (const auto& [key, history] : journal) {
        if (std::get<1>(key) < 0) continue;
        for (size_t v = seen.count(key) ? seen[key] : 0; v < history.size(); ++v) {
          if (!history[v].empty()) attempts.back().emplace_back(key, history[v]);
        }
      }
    }
    plan->fail_from = 0;
    t->Delete({ids[20], ids[21], ids[22]});
    t->UpdateMetadata({ids[7]}, {"{\"g\": 1}"});
    make("u", 8);
    ids.push_back("never");
    const FloatMatrix probe = rows(2);
    auto answers = [&](EncryptedIndex& index) {
      std::vector<std::function<std::string()>> checks;
      for (std::vector<uint32_t> include : {std::vector<uint32_t>{}, {0}, {1}, {2}}) {
        checks.push_back([&, include] {
          std::string text;
          for (const ItemView& v : index.Get(ids, include)) {
            text += v.id + "|" + v.metadata + "|" + std::string(v.contents.begin(), v.contents.end());
            for (float f : v.vector) text += "," + std::to_string(f);
          }
          return text;
        });
      }
      for (const char* filter : {"", "{\"g\": {\"$eq\": 1}}"}) {
        checks.push_back([&, filter] {
          QueryParams qp;
          qp.top_k = 30;
          qp.n_probes = kLists;
          qp.filters = filter;
          const SearchResults r = index.Query(probe, qp);
          std::string text;
          for (uint32_t s = 0; s < r.counts[0]; ++s) text += r.id(0, s) + ",";
          return text;
        });
      }
      checks.push_back([&] { return std::to_string(index.Count()); });
      return checks;
    };
    std::vector<std::string> expected;
    for (auto& check : answers(*t)) expected.push_back(check());
    t.reset();
    if (tamper) {
      // Sealed lengths say only the size bucket of records, contents and
      // configuration items.
      for (const auto& [key, history] : journal) {
        const int role = std::get<1>(key);
        const size_t over = kSealOverhead + (role == bs::role_number(bs::StoreRole::kRecords) ? 16 : 0);
        for (const Bytes& v : history) {
          if (v.empty() || role == bs::role_number(bs::StoreRole::kIndex)) continue;
          EXPECT_EQ(padded_size(v.size() - over), v.size() - over) << role;
        }
      }
      // A query reads the state row, list entries and records; get reads
      // contents only when asked for them; neither reads the configuration.
      p.index_name = "t";
      EncryptedIndex fresh("t", p.index_key, p, stores);
      const std::pair<std::function<void()>, std::set<int>> reads[] = {
          {[&] { fresh.Query(probe, QueryParams()); }, {0, 3}},
          {[&] { fresh.Get(ids, {0, 1}); }, {0, 3}},
          {[&] { fresh.Get(ids, {2}); }, {0, 2, 3}}};
      for (const auto& [call, roles] : reads) {
        plan->roles_read.clear();
        call();
        EXPECT_EQ(plan->roles_read, roles);
      }
    }

    // First the abandoned attempts, each put back whole, then random tampers.
    const int n_replays = static_cast<int>(attempts.size());
    int trials = 0, unnoticed = 0, refused = 0;
    for (int trial = -n_replays; trial < 160; ++trial) {
      // One tamper, as (store, key, value) writes; undone afterwards.
      std::vector<std::tuple<bs::Keystore*, Journal::key_type, Bytes>> writes;
      std::vector<Journal::key_type> current, others;
      // One trial in eight puts back an earlier count or state row, the
      // row every answer starts from.
      const bool counts_row = trial >= 0 && trial % 8 == 0;
      const int role = counts_row || trial < 0 ? 0 : std::uniform_int_distribution<int>(-1, 3)(rng);
      if (role == 1) continue;  // the configuration items come as role -1
      for (const auto& [key, history] : journal) {
        if (std::get<1>(key) != role || history.back().empty()) continue;
        const bool mine = role == -1 ? std::get<3>(key).rfind("t.", 0) == 0 : std::get<0>(key) == "t";
        (mine ? current : others).push_back(key);
      }
      if (current.size() < 2 || others.empty()) continue;
      auto pick = [&](const std::vector<Journal::key_type>& from) {
        return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
      };
      const Journal::key_type a = counts_row ? Journal::key_type{"t", 0, kCountsKey, ""} : pick(current);
      const Journal::key_type b = pick(current);
      const int how = counts_row ? 1 : std::uniform_int_distribution<int>(0, 3)(rng);
      const std::vector<Bytes>& history = journal.at(a);
      const Bytes& earlier = history[std::uniform_int_distribution<size_t>(0, history.size() - 1)(rng)];
      if (trial < 0) {
        for (const auto& [key, value] : attempts[trial + n_replays]) {
          if (journal.at(key).back() != value) writes.emplace_back(nullptr, key, value);
        }
        if (writes.empty()) continue;
      } else if (how == 0 && a != b) {
        writes = {{nullptr, a, journal.at(b).back()}, {nullptr, b, history.back()}};
      } else if (how == 1 && earlier != history.back() && !earlier.empty()) {
        writes = {{nullptr, a, earlier}};
      } else if (how == 2) {
        writes = {{nullptr, a, Bytes()}};
      } else if (how == 3) {
        writes = {{nullptr, a, journal.at(pick(others)).back()}};
      } else {
        continue;
      }
      auto put = [&](const Journal::key_type& key, const Bytes& value) {
        const int role = std::get<1>(key);
        bs::Keystore& store = *raw.at({"t", role == -1 ? 1 : role});
        if (role == -1 && value.empty()) {
          store.DeleteIndex();  // removes t's configuration items; put back below
          for (const auto& [k, h] : journal) {
            if (std::get<1>(k) == -1 && k != key && std::get<3>(k).rfind("t.", 0) == 0) {
              store.PushConfigItem(std::get<3>(k), h.back());
            }
          }
        } else if (role == -1) {
          store.PushConfigItem(std::get<3>(key), value);
        } else if (value.empty()) {
          store.DeleteItem(std::get<2>(key));
        } else {
          store.PutItem(std::get<2>(key), value);
        }
      };
      for (const auto& w : writes) put(std::get<1>(w), std::get<2>(w));
      ++trials;
      const int64_t writes_before = plan->writes;
      std::vector<std::string> got;
      try {
        p.index_name = "t";
        EncryptedIndex loaded("t", p.index_key, p, stores);
        for (auto& check : answers(loaded)) {
          try {
            got.push_back(check());
          } catch (const IntegrityError&) {
            got.push_back("refused");
          } catch (const std::exception& e) {
            ASSERT_FALSE(tamper) << "not an integrity failure: " << e.what();
            got.push_back("refused");
          }
        }
      } catch (const std::exception& e) {
        // A configuration item that opens under neither format reads as a
        // wrong key: refused all the same.
        got.assign(expected.size(), "refused");
      }
      EXPECT_EQ(plan->writes, writes_before) << "a read wrote";
      bool silent = false;
      for (size_t c = 0; c < expected.size(); ++c) {
        if (got[c] == "refused") {
          ++refused;
        } else if (got[c] != expected[c]) {
          silent = true;
          EXPECT_FALSE(tamper) << "tamper " << (trial < 0 ? -1 : how) << " of role " << role << " key "
                               << std::get<2>(a) << ": check " << c << " answered wrongly";
        }
      }
      unnoticed += silent;
      for (const auto& w : writes) put(std::get<1>(w), journal.at(std::get<1>(w)).back());
    }
    std::cout << store_name(kind) << (tamper ? " tamper-evident" : " original format") << ": "
              << trials << " tampers, " << unnoticed << " answered wrongly unnoticed, " << refused
              << " checks refused\n";
    EXPECT_GT(trials, 60);
    // (The double keeps its values in this backend, gone with it.)
    for (const char* name : {"t", "u"}) {
      if (kind == StoreKind::kServerDouble) break;
      p.index_name = name;
      EncryptedIndex(name, p.index_key, p, stores).delete_index();
    }
    if (!tamper) {
      EXPECT_GT(unnoticed, 0) << "the original format does not detect tampering";
    }
  }
}

// A lease that says when it refused a writer.
class WatchedLease : public bs::Lease {
 public:
  WatchedLease(std::unique_ptr<bs::Lease> inner, std::function<void()> refused)
      : inner_(std::move(inner)), refused_(std::move(refused)) {}
  bool TryAcquire(uint64_t token) override {
    const bool held = inner_->TryAcquire(token);
    if (!held) refused_();
    return held;
  }
  void Release(uint64_t token) noexcept override { inner_->Release(token); }
  bool Holds(uint64_t token) override { return inner_->Holds(token); }
  const bs::WriteFence* fence() const override { return inner_->fence(); }
  bool Redraw(uint64_t token, uint64_t at_least) override { return inner_->Redraw(token, at_least); }

 private:
  std::unique_ptr<bs::Lease> inner_;
  std::function<void()> refused_;
};

// Two writers of one index, the first stopped at its first store write
// (after it read what it changes) while the second upserts: the second must
// wait for the lease, and nothing is lost. A handle with cached lists then
// sees the other handle's deletes and metadata updates.
void RaceTwoWriters(StoreKind kind) {
  QuietDiagnostics quiet;
  for (bool tamper : {false, true}) {
    Backend backend(kind, "race_" + std::string(store_name(kind)) + std::to_string(getpid()));
    const std::optional<DBConfig> location = backend.location();
    if (!location) TAVRIN_SKIP_OR_FAIL(std::string("no ") + store_name(kind) + " server");
    IndexParams p;
    p.index_name = "race";
    p.index_key[0] = 0x17;
    p.index_location = p.items_location = p.fourth_location = p.config_location = *location;
    *p.config_location.table_name += "_config";
    p.n_lists = kLists;
    p.vector_bytes = 4 * kDim;
    p.tamper_evident = tamper;
    std::mt19937 rng(5);
    auto rows = [&](size_t n) {
      std::vector<float> data(n * kDim);
      for (float& x : data) x = std::normal_distribution<float>()(rng);
      return FloatMatrix(std::move(data), kDim);
    };
    auto ids_of = [](const std::string& prefix, int n) {
      std::vector<std::string> ids;
      for (int i = 0; i < n; ++i) ids.push_back(prefix + std::to_string(i));
      return ids;
    };
    {
      EncryptedIndex seed("race", p.index_key, IndexIVFFlat(kDim, kLists, kMetricSquaredEuclidean, ""),
                          p, backend.factory(std::make_shared<FaultPlan>()));
      seed.Upsert(rows(20), ids_of("s", 20), {}, {});
      seed.TrainIndex(TrainParams{});
    }
    std::mutex mu;
    std::condition_variable cv;
    bool paused = false, resume = false, refused = false, second_done = false;
    auto plan_a = std::make_shared<FaultPlan>();
    EncryptedIndex a("race", p.index_key, p, backend.factory(plan_a));
    EncryptedIndex b("race", p.index_key, p, backend.factory(std::make_shared<FaultPlan>()));
    std::unique_ptr<bs::Lease> lease_a = bs::MakeLease(p.config_location, "race");
    bs::Lease* const held_by_a = lease_a.get();
    a.UseLease(std::move(lease_a));
    b.UseLease(std::make_unique<WatchedLease>(bs::MakeLease(p.config_location, "race"), [&] {
      std::lock_guard<std::mutex> hold(mu);
      refused = true;
      cv.notify_all();
    }));
    plan_a->before_write = [&] {
      std::unique_lock<std::mutex> hold(mu);
      if (paused) return;
      paused = true;
      cv.notify_all();
      cv.wait(hold, [&] { return resume; });
    };
    // A thread's failure is reported, not thrown past it.
    auto reported = [](auto body) {
      return [body] {
        try {
          body();
        } catch (const std::exception& e) {
          ADD_FAILURE() << "a writer failed: " << e.what();
        }
      };
    };
    bool first_done = false;
    std::thread first([&] {
      reported([&] {
        a.Upsert(rows(5), ids_of("a", 5), {}, std::vector<std::string>(5, "{\"k\": 1}"));
      })();
      std::lock_guard<std::mutex> hold(mu);
      first_done = true;
      cv.notify_all();
    });
    std::thread second;
    {
      std::unique_lock<std::mutex> hold(mu);
      cv.wait(hold, [&] { return paused || first_done; });
      if (!paused) {
        hold.unlock();
        first.join();
        FAIL() << "the first writer ended before its first write";
      }
      second = std::thread(reported([&] {
        b.Upsert(rows(5), ids_of("b", 5), {}, std::vector<std::string>(5, "{\"j\": 2}"));
        std::lock_guard<std::mutex> done(mu);
        second_done = true;
        cv.notify_all();
      }));
      // (Bounded only so that a fault fails instead of hanging.)
      cv.wait_for(hold, std::chrono::seconds(60), [&] { return refused || second_done; });
      EXPECT_TRUE(refused && !second_done) << "the second writer did not wait for the first";
      resume = true;
      cv.notify_all();
    }
    first.join();
    second.join();
    p.max_cache_size = kLists;
    EncryptedIndex cached("race", p.index_key, p, backend.factory(std::make_shared<FaultPlan>()));
    QueryParams all;
    all.top_k = 100;
    all.n_probes = kLists;
    auto found = [&](const std::string& filter) {
      QueryParams qp = all;
      qp.filters = filter;
      const SearchResults r = cached.Query(rows(1), qp);
      std::multiset<std::string> ids;
      for (uint32_t s = 0; s < r.counts[0]; ++s) ids.insert(r.id(0, s));
      return ids;
    };
    EXPECT_EQ(found("").size(), 30u) << (tamper ? "tamper-evident" : "original format");
    // Both writers' metadata made it into the map the pre-filter reads.
    EXPECT_EQ(found("{\"j\": 2}"), std::multiset<std::string>({"b0", "b1", "b2", "b3", "b4"}));
    EXPECT_EQ(cached.Count(), 30u);
    b.Delete({"a0"});
    b.UpdateMetadata({"s3"}, {"{\"k\": 1}"});
    EXPECT_EQ(found("").count("a0"), 0u);
    EXPECT_EQ(found("{\"k\": 1}"), std::multiset<std::string>({"a1", "a2", "a3", "a4", "s3"}));

    // A holder whose lease lapses while it stands still (after it read what
    // it changes), as a paused process's expires or a dropped connection's
    // goes, writes nothing once another process took the lease: its upsert
    // fails at its first write, and the other's items all stay.
    {
      std::lock_guard<std::mutex> hold(mu);
      paused = resume = false;
    }
    std::string stale_error;
    bool stale_done = false;
    std::thread stale([&] {
      std::string error;
      try {
        a.Upsert(rows(5), ids_of("x", 5), {}, {});
      } catch (const std::exception& e) {
        error = e.what();
      }
      std::lock_guard<std::mutex> hold(mu);
      stale_error = error;
      stale_done = true;
      cv.notify_all();
    });
    {
      std::unique_lock<std::mutex> hold(mu);
      cv.wait(hold, [&] { return paused || stale_done; });
      if (!paused) {
        hold.unlock();
        stale.join();
        FAIL() << "the first writer failed before its first write: " << stale_error;
      }
    }
    if (kind == StoreKind::kRedis) {
      // The lease lapses, and its number counter goes too (as with a server
      // that failed over before the counter reached a replica): the next
      // holder must still draw a number above every fence.
      const std::string lease_key = "tavrindb:lease:" + *p.config_location.table_name + "\nrace";
      bs::RedisConnection(*location->connection_string)
          .Command({"DEL", lease_key,
                    bs::fence_key_for(lease_key, bs::fence_name(lease_key.substr(15), "lease"))});
    } else {
      bs::PgConn admin = bs::pg_connect(*location->connection_string, "admin: ");
      const std::string pid = std::to_string(held_by_a->fence()->lease_pid);
      bs::PgResult(PQexec(admin.get(), ("SELECT pg_terminate_backend(" + pid + ")").c_str()));
    }
    std::string second_error;
    try {
      b.Upsert(rows(5), ids_of("y", 5), {}, {});
    } catch (const std::exception& e) {
      second_error = e.what();
    }
    {
      std::lock_guard<std::mutex> hold(mu);
      resume = true;
      cv.notify_all();
    }
    stale.join();
    ASSERT_EQ(second_error, "");
    EXPECT_NE(stale_error.find(bs::kFenceLostError), std::string::npos) << stale_error;
    const std::multiset<std::string> after = found("");
    EXPECT_EQ(after.size(), 34u);
    for (const std::string& id : ids_of("y", 5)) EXPECT_EQ(after.count(id), 1u) << id;
    EXPECT_EQ(cached.Count(), 34u);
    cached.delete_index();
  }
}

TEST(IndexHarness, RacingWritersOnPostgres) { RaceTwoWriters(StoreKind::kPostgres); }
TEST(IndexHarness, RacingWritersOnRedis) { RaceTwoWriters(StoreKind::kRedis); }

TEST(IndexHarness, TamperingIsDetectedOnTheServerDouble) { TamperEveryWay(StoreKind::kServerDouble); }
TEST(IndexHarness, TamperingIsDetectedOnPostgres) { TamperEveryWay(StoreKind::kPostgres); }
TEST(IndexHarness, TamperingIsDetectedOnRedis) { TamperEveryWay(StoreKind::kRedis); }
TEST(IndexHarness, TamperingIsDetectedOnSqlite) { TamperEveryWay(StoreKind::kSqlite); }

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
