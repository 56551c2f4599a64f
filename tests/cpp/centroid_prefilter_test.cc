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
using Mapping = std::vector<uint32_t>;

// n centroids of width 2, row c being (c, -c), and a second codebook of
// n / 2 rows of width 1, row c being c + 100.
struct Fixture {
  explicit Fixture(uint32_t n) {
    std::vector<float> first, second;
    for (uint32_t c = 0; c < n; ++c) first.insert(first.end(), {1.0f * c, -1.0f * c});
    for (uint32_t c = 0; c < n / 2; ++c) second.push_back(c + 100.0f);
    trained.codebooks.push_back(CentroidMatrix{n, FloatMatrix(std::move(first), 2)});
    trained.second_codebooks.push_back(CentroidMatrix{n, FloatMatrix(std::move(second), 1)});
  }
  void Add(const std::vector<std::string>& texts, const Mapping& centroids) {
    UpdateCentroidMetadata(store, key, texts, centroids);
  }
  PrefilterResult Run(const std::string& filter) {
    return PrefilterCentroids(store, key, filter, trained);
  }

  MemoryKeystore store{"idx", 77, 0};
  const Key256 key = std::array<uint8_t, kKeySize>{1, 2, 3, 4, 5};
  TrainedData trained;
};

// Each failure is checked before any write; the exact messages. That a
// filter narrows soundly is the differential test below.
TEST(CentroidPrefilter, MessagesAndFailuresBeforeAnyWrite) {
  Fixture f(4);
  // No filter keeps every centroid as it is.
  for (const char* text : {"", "[]", "null"}) {
    const PrefilterResult r = f.Run(text);
    EXPECT_EQ(r.mapping, (Mapping{0, 1, 2, 3})) << text;
    EXPECT_EQ(r.trained_data.codebooks[0].matrix.data, f.trained.codebooks[0].matrix.data);
  }
  auto error = [&](const std::vector<std::string>& texts, const std::string& filter) {
    return error_text([&] { texts.empty() ? void(f.Run(filter)) : f.Add(texts, {0, 1, 2}); });
  };
  // Filter-language errors pass unchanged, as invalid arguments.
  EXPECT_EQ(error_text<std::invalid_argument>([&] { f.Run(R"({"a": 1, "b": 2})"); }),
            "The filters argument must contain exactly one top-level filter.");
  for (size_t n : {1, 4}) {
    EXPECT_EQ(error(std::vector<std::string>(n, R"({"a": 1})"), ""),
              "Mismatch between the number of metadata texts and centroids.");
  }
  // Texts the parser refuses (stored before upserts checked them) match no
  // filter, so they narrow nothing and fail nothing.
  EXPECT_EQ(error({R"({"a": )", R"({"a": NaN})", R"({"a": 1e400})"}, ""),
            "<no exception of the expected type>");
  const std::string deep = std::string(1000, '[') + std::string(1000, ']');
  EXPECT_EQ(error({R"({"ok": 1})", R"({"a": )" + deep + "}", "{}"}, ""),
            "Error while retrieving keys and metadata centroid map: Metadata is nested more than "
            "512 levels deep.");
  EXPECT_EQ(f.store.CountItems(), 0u);
  // Each path's buffer is sealed under its token.
  f.Add({R"({"b": 1, "a": {"c": "x"}})", "", "5"}, {3, 1, 2});
  const std::vector<std::string> fields = {"a", "a.c", "b"};
  const CentroidMetadataMap map = DecodeCentroidMetadata(
      fields, decrypt_items(f.store.BatchGetItems(item_tokens(fields, f.key)), f.key));
  EXPECT_EQ(map.at("b").at(3).max, 1.0);
  EXPECT_EQ(map.at("a.c").count(3), 1u);

  // A stored buffer that opens but does not decode, and one that does not
  // open: the upsert step fails without writing, the query step with its
  // prefix.
  const uint64_t token = item_tokens({"a"}, f.key)[0];
  f.store.PutItem(token, encrypt_items({Bytes(40, 0x5A)}, f.key)[0]);
  const std::string kDecode = "Error while converting buffer to map of centroid map: ";
  EXPECT_EQ(error({"{}", R"({"a": 1})", "{}"}, "").rfind(kDecode, 0), 0u);
  EXPECT_EQ(error({}, R"({"a": 1})").rfind("Error while pre-filtering: " + kDecode, 0), 0u);
  Bytes altered = encrypt_items({Bytes(40, 0x5A)}, f.key)[0];
  altered[20] ^= 1;
  f.store.PutItem(token, altered);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(error({}, R"({"a": 1})").rfind("Error while pre-filtering: ", 0), 0u);
  EXPECT_ANY_THROW(f.Add({R"({"a": 1})"}, {0}));
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(f.store.BatchGetItems({token})[0], altered);
}

// ---- Differential test against the item test ------------------------------

// Random documents and filters: no centroid holding an item that the item
// test accepts may be skipped. Under "p", which only plain items hold (one
// number or text each), ranges and texts are summarised without loss:
// exactly the centroids holding a match stay.
TEST(CentroidPrefilter, NeverSkipsACentroidHoldingAMatch) {
  constexpr uint32_t kCentroids = 40;
  testing::RandomMetadata gen(515);
  Fixture f(kCentroids);
  std::vector<std::pair<json, uint32_t>> docs;
  std::mt19937 rng(7);
  // Several batches, so stored summaries are merged with new ones.
  for (int batch = 0; batch < 5; ++batch) {
    std::vector<std::string> texts;
    Mapping centroids;
    for (int i = 0; i < 40; ++i) {
      // Centroids 30 and up stay empty.
      const uint32_t c = rng() % 30;
      const bool none = batch < 4 && i % 9 == 0;
      const json doc = batch == 4 ? json{{"p", rng() % 2 ? json(static_cast<int>(rng() % 40) - 20)
                                                          : json("t" + std::to_string(rng() % 10))}}
                       : none     ? json::object()
                                  : gen.Document();
      docs.emplace_back(doc, c);
      texts.push_back(none ? std::string() : doc.dump());
      centroids.push_back(c);
    }
    f.Add(texts, centroids);
  }
  std::vector<std::pair<std::string, bool>> filters;  // text, whether narrowing is exact
  for (int round = 0; round < 2500; ++round) filters.emplace_back(gen.Filter(3).dump(), false);
  for (const std::string op : {"$gt", "$gte", "$lt", "$lte", "$eq"}) {
    for (int v = -22; v <= 22; ++v) {
      const json operand = op == "$eq" ? json("t" + std::to_string(v + 22)) : json(v);
      filters.emplace_back(json{{"p", {{op, operand}}}}.dump(), true);
    }
  }

  int checked = 0, with_matches = 0, narrowed = 0, scalar_in = 0;
  ::testing::internal::CaptureStderr();  // warnings for fields no item had
  for (const auto& [text, exact] : filters) {
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
    const std::string refusal = error_text<std::runtime_error>([&] { r = f.Run(text); });
    if (refusal != "<no exception of the expected type>") {
      EXPECT_EQ(refusal, "Error while pre-filtering: $in/$nin requires an array") << text;
      EXPECT_TRUE(testing::HasScalarIn(filter)) << text;
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
    EXPECT_TRUE(!exact || r.mapping == Mapping(holding.begin(), holding.end())) << text;
    // The kept rows of each codebook, in mapping order; the second one
    // lacks the rows past its end.
    std::vector<float> want, want2;
    for (uint32_t c : r.mapping) {
      want.insert(want.end(), {1.0f * c, -1.0f * c});
      if (c < kCentroids / 2) want2.push_back(c + 100.0f);
    }
    EXPECT_EQ(r.trained_data.codebooks.at(0).matrix.data, want) << text;
    EXPECT_EQ(r.trained_data.codebooks[0].tag, kCentroids);
    EXPECT_EQ(r.trained_data.second_codebooks.at(0).matrix.data, want2) << text;
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
