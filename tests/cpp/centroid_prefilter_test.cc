// The centroid metadata map end to end: metadata stored through
// UpdateCentroidMetadata into a memory store, centroids narrowed by
// PrefilterCentroids. The test that matters most is the differential one at
// the end: no centroid holding an item that EvaluateFilter accepts may be
// skipped, on random documents and filters.
#include "encrypted_index/centroid_prefilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "backing_store/memory_keystore.h"
#include "crypto/keyed_hash.h"
#include "crypto/sealed_record.h"
#include "filter/centroid_filter.h"
#include "filter/centroid_metadata.h"
#include "filter/filter_eval.h"
#include "filter/filter_parse.h"
#include "metadata_generator.h"
#include "test_util.h"

namespace tavrin {
namespace {

using json = nlohmann::json;
using tavrin_encrypted_index::internal::backing_store::MemoryKeystore;
using ::tavrin::testing::error_text;
using ::tavrin::testing::HasScalarIn;
using ::tavrin::testing::RandomMetadata;

// A memory store that counts the batched calls the map makes.
class CountingStore : public MemoryKeystore {
 public:
  CountingStore() : MemoryKeystore("idx", 77, 0) {}
  std::vector<Bytes> BatchGetItems(const std::vector<uint64_t>& keys) override {
    ++gets;
    return MemoryKeystore::BatchGetItems(keys);
  }
  void BatchPutItems(const std::vector<uint64_t>& keys, const std::vector<Bytes>& values) override {
    ++puts;
    MemoryKeystore::BatchPutItems(keys, values);
  }
  int gets = 0;
  int puts = 0;
};

Key256 TestKey() {
  Key256 key;
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(3 * i + 1);
  return key;
}

// n centroids of width 2; row c is (c, -c).
TrainedData Centroids(uint32_t n) {
  std::vector<float> data;
  for (uint32_t c = 0; c < n; ++c) {
    data.push_back(static_cast<float>(c));
    data.push_back(-static_cast<float>(c));
  }
  TrainedData t;
  t.codebooks.push_back(CentroidMatrix{n, FloatMatrix(std::move(data), 2)});
  return t;
}

std::vector<uint32_t> Iota(uint32_t n) {
  std::vector<uint32_t> v(n);
  for (uint32_t i = 0; i < n; ++i) v[i] = i;
  return v;
}

// A store holding documents (text, centroid), upserted in one batch.
class Fixture {
 public:
  explicit Fixture(uint32_t n_centroids, std::vector<std::pair<std::string, uint32_t>> docs = {})
      : trained_(Centroids(n_centroids)) {
    Add(docs);
  }

  void Add(const std::vector<std::pair<std::string, uint32_t>>& docs) {
    std::vector<std::string> texts;
    std::vector<uint32_t> centroids;
    for (const auto& [text, c] : docs) {
      texts.push_back(text);
      centroids.push_back(c);
    }
    UpdateCentroidMetadata(store_, key_, texts, centroids);
  }

  std::vector<uint32_t> Mapping(const std::string& filter) {
    return PrefilterCentroids(store_, key_, filter, trained_).mapping;
  }
  std::string Error(const std::string& filter) {
    return error_text([&] { PrefilterCentroids(store_, key_, filter, trained_); });
  }

  CountingStore& store() { return store_; }
  const Key256& key() const { return key_; }
  const TrainedData& trained() const { return trained_; }

 private:
  CountingStore store_;
  Key256 key_ = TestKey();
  TrainedData trained_;
};

using Mapping = std::vector<uint32_t>;

TEST(CentroidPrefilter, RangesAndHashesNarrowCentroids) {
  Fixture f(8, {{R"({"price": 5})", 3},
                {R"({"price": 9})", 3},
                {R"({"price": 20, "name": "x"})", 2},
                {R"({"name": "y"})", 5},
                {R"({"price": "cheap"})", 6}});
  EXPECT_EQ(f.Mapping(R"({"price": {"$gt": 9}})"), (Mapping{2}));
  EXPECT_EQ(f.Mapping(R"({"price": {"$gte": 9}})"), (Mapping{2, 3}));
  EXPECT_EQ(f.Mapping(R"({"price": {"$lt": 5}})"), (Mapping{}));
  EXPECT_EQ(f.Mapping(R"({"price": {"$lte": 5}})"), (Mapping{3}));
  EXPECT_EQ(f.Mapping(R"({"price": 7})"), (Mapping{3}));
  EXPECT_EQ(f.Mapping(R"({"price": {"$in": [20, "cheap"]}})"), (Mapping{2, 6}));
  EXPECT_EQ(f.Mapping(R"({"name": {"$eq": "y"}})"), (Mapping{5}));
  EXPECT_EQ(f.Mapping(R"({"name": "z"})"), (Mapping{}));
  // Only text under "price" on centroid 6: no numeric condition holds there,
  // and a string operand never orders.
  for (const char* op : {"$eq", "$gt", "$gte", "$lt", "$lte"}) {
    const std::string filter = std::string(R"({"price": {")") + op + R"(": 7}})";
    const Mapping m = f.Mapping(filter);
    EXPECT_EQ(std::count(m.begin(), m.end(), 6u), 0) << filter;
    EXPECT_EQ(f.Mapping(std::string(R"({"price": {")") + op + R"(": "7"}})"), Mapping{}) << op;
  }
  EXPECT_EQ(f.Mapping(R"({"$or": [{"price": {"$gt": 10}}, {"name": "y"}]})"), (Mapping{2, 5}));
  EXPECT_EQ(f.Mapping(R"({"$and": [{"price": {"$gt": 1}}, {"name": "x"}]})"), (Mapping{2}));
}

TEST(CentroidPrefilter, NoFilterAndParseErrors) {
  Fixture f(5, {{R"({"a": 1})", 0}});
  for (const char* text : {"", "{}", "[]", "null"}) {
    const PrefilterResult r = PrefilterCentroids(f.store(), f.key(), text, f.trained());
    EXPECT_EQ(r.mapping, Iota(5)) << text;
    EXPECT_EQ(r.trained_data.codebooks[0].matrix.data, f.trained().codebooks[0].matrix.data);
  }
  // Filter-language errors pass unchanged, as invalid arguments.
  EXPECT_EQ(error_text<std::invalid_argument>([&] {
              PrefilterCentroids(f.store(), f.key(), R"({"a": 1, "b": 2})", f.trained());
            }),
            "The filters argument must contain exactly one top-level filter.");
  EXPECT_EQ(f.Error(R"({"a": })").rfind("Invalid JSON format for filters: ", 0), 0u);
  EXPECT_EQ(f.Error(R"({"a": 1e400})").rfind("Invalid JSON format for filters: ", 0), 0u);
  // $in needs an array operand here, whatever it is.
  for (const char* operand : {"5", R"("x")", "true", R"({"k": 1})"}) {
    EXPECT_EQ(error_text<std::runtime_error>([&] {
                PrefilterCentroids(f.store(), f.key(),
                                   std::string(R"({"a": {"$in": )") + operand + "}}",
                                   f.trained());
              }),
              "Error while pre-filtering: $in/$nin requires an array")
        << operand;
  }
}

// What a centroid may hold is sound by the differential test at the end;
// these check that summaries still narrow.
TEST(CentroidPrefilter, ArrayElementsNarrowLikeScalars) {
  Fixture f(6, {{R"({"tags": ["red", "blue"]})", 1},
                {R"({"tags": [1, 5, true]})", 2},
                {R"({"tags": [["red"]], "o": [{"k": 3}]})", 3},
                {R"({"tags": "red"})", 4}});
  // Items compare with elements, not with elements of nested arrays.
  EXPECT_EQ(f.Mapping(R"({"tags": {"$eq": "red"}})"), (Mapping{1, 4}));
  EXPECT_EQ(f.Mapping(R"({"tags": {"$gt": 3}})"), (Mapping{2}));
  EXPECT_EQ(f.Mapping(R"({"tags": {"$lt": 1}})"), (Mapping{}));
  EXPECT_EQ(f.Mapping(R"({"tags": true})"), (Mapping{2}));
  EXPECT_EQ(f.Mapping(R"({"tags": {"$in": [false, 9]}})"), (Mapping{}));
  EXPECT_EQ(f.Mapping(R"({"o": {"$eq": {"k": 3}}})"), (Mapping{3}));
  EXPECT_EQ(f.Mapping(R"({"$and": [{"tags": 5}, {"$not": {"tags": {"$lt": 3}}}]})"),
            (Mapping{2}));
}

TEST(CentroidPrefilter, OddKeysAndNumbers) {
  Fixture f(6, {{R"({"$k": 1, "": {"x": "v"}})", 0},
                {R"({"u": 18446744073709551615, "s": -9223372036854775808})", 1},
                {R"({"u": 9007199254740993})", 2},
                {R"({"m": -9876543211})", 3},
                {R"({"m": 9876543211})", 3},
                {R"({"d": {"e": 1}, "d.e": 2})", 4}});
  // A $-key other than the logical ones is a field path below $and.
  EXPECT_EQ(f.Mapping(R"({"$and": [{"$k": {"$eq": 1}}]})"), (Mapping{0}));
  EXPECT_EQ(f.Mapping(R"({".x": "v"})"), (Mapping{0}));
  EXPECT_EQ(f.Mapping(R"({"u": 18446744073709551615})"), (Mapping{1}));
  EXPECT_EQ(f.Mapping(R"({"s": {"$lt": -9223372036854775000}})"), (Mapping{1}));
  EXPECT_EQ(f.Mapping(R"({"u": {"$gte": 9007199254740992}})"), (Mapping{1, 2}));
  // Values spanning exactly the stored no-number pair still count as numbers.
  EXPECT_EQ(f.Mapping(R"({"m": 9876543211})"), (Mapping{3}));
  EXPECT_EQ(f.Mapping(R"({"m": {"$lt": 0}})"), (Mapping{3}));
  EXPECT_EQ(f.Mapping(R"({"d.e": 1})"), (Mapping{4}));
}

TEST(CentroidPrefilter, BatchedStoreCallsUnderTokensOfThePaths) {
  Fixture f(10);
  f.Add({{R"({"b": 1, "a": {"c": "x"}})", 4}, {"", 5}, {R"({"b": 2})", 6}});
  EXPECT_EQ(f.store().gets, 1);
  EXPECT_EQ(f.store().puts, 1);
  // Each path's buffer is sealed under its token.
  const std::vector<std::string> fields = {"a", "a.c", "b"};
  const std::vector<uint64_t> tokens = item_tokens(fields, f.key());
  EXPECT_EQ(f.store().CountItems(), 3u);
  const std::vector<Bytes> opened =
      decrypt_items(f.store().MemoryKeystore::BatchGetItems(tokens), f.key());
  const CentroidMetadataMap map = DecodeCentroidMetadata(fields, opened);
  EXPECT_EQ(map.at("b").at(4).min, 1.0);
  EXPECT_EQ(map.at("b").at(6).max, 2.0);
  EXPECT_EQ(map.at("a.c").count(4), 1u);

  // Nothing to summarise: no store call.
  f.Add({{"", 1}, {"5", 2}, {"[1, 2]", 3}, {"{}", 4}});
  f.Add({});
  EXPECT_EQ(f.store().gets, 1);
  EXPECT_EQ(f.store().puts, 1);

  // One read per query; none when the filter reads no field.
  f.store().gets = 0;
  f.Mapping(R"({"$or": [{"b": 1}, {"a.c": "x"}, {"$and": [{"b": 2}]}]})");
  EXPECT_EQ(f.store().gets, 1);
  EXPECT_EQ(f.Mapping(R"({"$not": {"b": 1}})"), Iota(10));
  EXPECT_EQ(f.Mapping(R"({"$or": []})"), (Mapping{}));
  EXPECT_EQ(f.store().gets, 1);
  // Fields below $and and $or elements (taken as the item test takes them),
  // not below $nor and $not; other $-keys are fields.
  const json filter = json::parse(
      R"({"$and": [{"z": 1}, {"$or": {"x": {"y": 1}}}, {"$nor": [{"q": 1}]}], "$k": 1})");
  EXPECT_EQ(CollectFilterFields(filter), (std::vector<std::string>{"$k", "y", "z"}));
}

TEST(CentroidPrefilter, RestrictedCentroidsAreTheMappedRows) {
  Fixture f(9, {{R"({"a": 1})", 2}, {R"({"a": 1})", 7}, {R"({"a": 2})", 8}});
  TrainedData trained = f.trained();
  // A second matrix with fewer rows loses the rows it lacks.
  trained.second_codebooks.push_back(CentroidMatrix{5, FloatMatrix({10, 11, 12, 13, 14}, 1)});
  const PrefilterResult r = PrefilterCentroids(f.store(), f.key(), R"({"a": 1})", trained);
  ASSERT_EQ(r.mapping, (Mapping{2, 7}));
  const CentroidMatrix& m = r.trained_data.codebooks.at(0);
  EXPECT_EQ(m.tag, 9u);
  EXPECT_EQ(m.matrix.rows, 2u);
  EXPECT_EQ(m.matrix.cols, 2u);
  EXPECT_EQ(m.matrix.data, (std::vector<float>{2, -2, 7, -7}));
  EXPECT_EQ(r.trained_data.second_codebooks.at(0).matrix.data, (std::vector<float>{12}));
  // An index without centroids has none to keep.
  EXPECT_EQ(PrefilterCentroids(f.store(), f.key(), R"({"a": 1})", TrainedData()).mapping,
            Mapping{});
}

TEST(CentroidPrefilter, FailuresAreReportedBeforeAnythingIsWritten) {
  Fixture f(4);
  auto update_error = [&](std::vector<std::string> texts, std::vector<uint32_t> centroids) {
    return error_text([&] { UpdateCentroidMetadata(f.store(), f.key(), texts, centroids); });
  };
  EXPECT_EQ(update_error({R"({"a": 1})"}, {0, 1}),
            "Mismatch between the number of metadata texts and centroids.");
  // Texts the parser refuses (stored before upserts checked them) match no
  // filter, so they narrow nothing and fail nothing.
  EXPECT_EQ(update_error({R"({"a": )", R"({"a": NaN})", R"({"a": 1e400})"}, {0, 1, 2}),
            "<no exception of the expected type>");
  const std::string deep = std::string(1000, '[') + std::string(1000, ']');
  EXPECT_EQ(update_error({R"({"ok": 1})", R"({"a": )" + deep + "}"}, {0, 1}),
            "Error while retrieving keys and metadata centroid map: Metadata is nested more than "
            "512 levels deep.");
  EXPECT_EQ(f.store().gets + f.store().puts, 0);
  EXPECT_EQ(f.store().CountItems(), 0u);

  // A stored buffer that opens but does not decode, and one that does not
  // open: the upsert step fails without writing, the query step with its
  // prefix.
  const uint64_t token = item_tokens({"a"}, f.key())[0];
  f.store().PutItem(token, encrypt_items({Bytes(40, 0x5A)}, f.key())[0]);
  EXPECT_EQ(update_error({R"({"a": 1})"}, {0}).rfind(
                "Error while converting buffer to map of centroid map: ", 0),
            0u);
  EXPECT_EQ(f.store().puts, 0);
  EXPECT_EQ(f.Error(R"({"a": 1})").rfind(
                "Error while pre-filtering: Error while converting buffer to map of centroid "
                "map: ",
                0),
            0u);
  Bytes altered = encrypt_items({Bytes(40, 0x5A)}, f.key())[0];
  altered[20] ^= 1;
  f.store().PutItem(token, altered);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(f.Error(R"({"a": 1})").rfind("Error while pre-filtering: ", 0), 0u);
  EXPECT_ANY_THROW(UpdateCentroidMetadata(f.store(), f.key(), {R"({"a": 1})"}, {0}));
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(f.store().puts, 0);
}

// ---- Differential test against the item test ------------------------------

TEST(CentroidPrefilter, NeverSkipsACentroidHoldingAMatch) {
  constexpr uint32_t kCentroids = 40;
  RandomMetadata gen(515);
  Fixture f(kCentroids);
  std::vector<std::pair<json, uint32_t>> docs;
  std::mt19937 rng(7);
  // Several batches, so stored summaries are merged with new ones.
  for (int batch = 0; batch < 4; ++batch) {
    std::vector<std::pair<std::string, uint32_t>> texts;
    for (int i = 0; i < 40; ++i) {
      // Centroids 30 and up stay empty.
      const uint32_t c = rng() % 30;
      const json doc = gen.Document();
      docs.emplace_back(doc, c);
      texts.emplace_back(i % 9 == 0 ? std::string() : doc.dump(), c);
      if (i % 9 == 0) docs.back().first = json::object();
    }
    f.Add(texts);
  }

  int checked = 0, with_matches = 0, narrowed = 0, scalar_in = 0;
  ::testing::internal::CaptureStderr();  // warnings for fields no item had
  for (int round = 0; round < 2500; ++round) {
    const json raw = gen.Filter(3);
    const std::string text = raw.dump();
    json filter;
    try {
      filter = ParseFilter(text);
    } catch (const std::invalid_argument&) {
      continue;  // refused by the language rules
    }
    std::set<uint32_t> holding;
    for (const auto& [doc, c] : docs) {
      try {
        if (EvaluateFilter(filter, doc)) holding.insert(c);
      } catch (const std::exception&) {
        // The item test fails the query for this document.
      }
    }
    PrefilterResult r;
    try {
      r = PrefilterCentroids(f.store(), f.key(), text, f.trained());
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "Error while pre-filtering: $in/$nin requires an array")
          << text;
      EXPECT_TRUE(HasScalarIn(filter)) << text;
      ++scalar_in;
      continue;
    }
    ++checked;
    with_matches += !holding.empty();
    narrowed += r.mapping.size() < kCentroids;
    ASSERT_TRUE(std::is_sorted(r.mapping.begin(), r.mapping.end())) << text;
    for (uint32_t c : holding) {
      EXPECT_TRUE(std::binary_search(r.mapping.begin(), r.mapping.end(), c))
          << "centroid " << c << " skipped for " << text;
    }
    const CentroidMatrix& m = r.trained_data.codebooks.at(0);
    ASSERT_EQ(m.matrix.rows, r.mapping.size());
    for (size_t i = 0; i < r.mapping.size(); ++i) {
      EXPECT_EQ(m.matrix.row(i)[0], static_cast<float>(r.mapping[i]));
      EXPECT_EQ(m.matrix.row(i)[1], -static_cast<float>(r.mapping[i]));
    }
    if (HasFailure()) break;
  }
  ::testing::internal::GetCapturedStderr();
  // The generator must reach every outcome in earnest.
  EXPECT_GT(checked, 1500);
  EXPECT_GT(with_matches, 500);
  EXPECT_GT(narrowed, 500);
  EXPECT_GT(scalar_in, 10);
}

}  // namespace
}  // namespace tavrin
