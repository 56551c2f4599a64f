// Summaries of metadata per field path and centroid: what a document
// contributes, how stored and new summaries merge, and the stored byte form
// (read back by flatc from the schema, and never read out of bounds however
// a buffer is cut or altered).
#include "filter/centroid_metadata.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <string>
#include <vector>

#include "test_util.h"

namespace tavrin {
namespace {

using json = nlohmann::json;
using ::tavrin::testing::error_text;

// zlib's CRC-32 of a text, computed here without the code under test.
uint32_t Crc(const std::string& s) {
  return static_cast<uint32_t>(
      crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(s.data()), s.size()));
}

std::vector<uint32_t> Sorted(std::vector<uint32_t> v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

CentroidMetadataMap Collect(const std::vector<std::pair<std::string, uint32_t>>& docs) {
  CentroidMetadataMap pending;
  for (const auto& [text, centroid] : docs) {
    CollectFieldSummaries(json::parse(text), centroid, pending);
  }
  return pending;
}

// Stored form of pending, read back: what a first upsert leaves behind.
CentroidMetadataMap RoundTrip(const CentroidMetadataMap& pending) {
  std::vector<std::string> fields;
  for (const auto& entry : pending) fields.push_back(entry.first);
  const std::vector<Bytes> buffers =
      MergeCentroidMetadata(fields, std::vector<Bytes>(fields.size()), pending);
  return DecodeCentroidMetadata(fields, buffers);
}

TEST(CentroidMetadata, ContributionsPerPathAndKind) {
  const CentroidMetadataMap map = RoundTrip(Collect({
      {R"({"price": 5, "name": "x", "ok": true})", 3},
      {R"({"price": 9, "name": "y", "ok": false, "none": null})", 3},
      {R"({"price": -2.5})", 7},
      {R"({"tags": ["red", "blue", 4, true, ["deep"], {"k": "v"}, null]})", 1},
      {R"({"a": {"b": {"c": 1}}, "": {"x": 2}, "d.e": 3})", 0},
  }));
  const CentroidFieldSummary& price = map.at("price").at(3);
  EXPECT_EQ(price.centroid, 3u);
  EXPECT_EQ(price.min, 5.0);
  EXPECT_EQ(price.max, 9.0);
  EXPECT_TRUE(price.hashes.empty());
  EXPECT_EQ(map.at("price").at(7).min, -2.5);
  EXPECT_EQ(map.at("name").at(3).hashes, Sorted({Crc("x"), Crc("y")}));
  EXPECT_FALSE(HasNumericRange(map.at("name").at(3)));
  EXPECT_EQ(map.at("ok").at(3).hashes, Sorted({Crc("true"), Crc("false")}));
  // Null only makes the summary exist.
  EXPECT_FALSE(HasNumericRange(map.at("none").at(3)));
  EXPECT_TRUE(map.at("none").at(3).hashes.empty());

  // An array: its compact text, and each number, text and boolean element.
  const CentroidFieldSummary& tags = map.at("tags").at(1);
  EXPECT_EQ(tags.hashes,
            Sorted({Crc(R"(["red","blue",4,true,["deep"],{"k":"v"},null])"), Crc("red"),
                    Crc("blue"), Crc("true")}));
  EXPECT_EQ(tags.min, 4.0);
  EXPECT_EQ(tags.max, 4.0);
  // Objects inside arrays contribute under the array's path.
  EXPECT_EQ(map.at("tags.k").at(1).hashes, std::vector<uint32_t>{Crc("v")});

  // Nested objects give dotted paths; an empty name still joins with a dot,
  // as a lookup of ".x" descends into "".
  for (const char* path : {"a", "a.b", "a.b.c", "", ".x", "d.e"}) {
    EXPECT_EQ(map.at(path).count(0), 1u) << path;
  }
  EXPECT_EQ(map.count("x"), 0u);
  EXPECT_EQ(map.at("a.b.c").at(0).min, 1.0);
  EXPECT_EQ(map.size(), 12u);
}

TEST(CentroidMetadata, RangesAreExactBeyondTheAccumulatorStart) {
  const CentroidMetadataMap map = RoundTrip(Collect({
      {R"({"big": 1e11})", 0},
      {R"({"small": -1e11})", 0},
      {R"({"u": 18446744073709551615})", 0},
      // Real values spanning exactly the stored no-number pair.
      {R"({"pair": -9876543211})", 4},
      {R"({"pair": 9876543211})", 4},
  }));
  EXPECT_EQ(map.at("big").at(0).min, 1e11);
  EXPECT_EQ(map.at("big").at(0).max, 1e11);
  EXPECT_EQ(map.at("small").at(0).max, -1e11);
  EXPECT_EQ(map.at("u").at(0).min, 18446744073709551615.0);
  const CentroidFieldSummary& pair = map.at("pair").at(4);
  EXPECT_TRUE(HasNumericRange(pair));
  EXPECT_LE(pair.min, -9876543211.0);
  EXPECT_GT(pair.min, -9876543212.0);
  EXPECT_EQ(pair.max, 9876543211.0);
}

TEST(CentroidMetadata, MergeFoldsNewContributionsIntoStoredSummaries) {
  const std::vector<std::string> fields = {"name", "price"};
  const std::vector<Bytes> first = MergeCentroidMetadata(
      fields, std::vector<Bytes>(2),
      Collect({{R"({"price": 5})", 3}, {R"({"name": "x"})", 3}, {R"({"name": "y"})", 8}}));
  const std::vector<Bytes> second = MergeCentroidMetadata(
      fields, first,
      Collect({{R"({"price": 9})", 3}, {R"({"price": 1})", 8}, {R"({"name": "x"})", 8}}));
  const CentroidMetadataMap map = DecodeCentroidMetadata(fields, second);
  EXPECT_EQ(map.at("price").at(3).min, 5.0);
  EXPECT_EQ(map.at("price").at(3).max, 9.0);
  // Centroid 8 had no "price" before; now it has a range.
  EXPECT_EQ(map.at("price").at(8).min, 1.0);
  EXPECT_EQ(map.at("name").at(3).hashes, std::vector<uint32_t>{Crc("x")});
  EXPECT_EQ(map.at("name").at(8).hashes, Sorted({Crc("x"), Crc("y")}));
  EXPECT_FALSE(HasNumericRange(map.at("name").at(8)));

  // A stored entry in the no-number default form still takes new numbers.
  CentroidSummaries defaults;
  defaults[2].centroid = 2;
  defaults[2].min = kNoNumberMin;
  defaults[2].max = kNoNumberMax;
  defaults[2].hashes = {Crc("t")};
  const CentroidMetadataMap merged = DecodeCentroidMetadata(
      {"f"}, MergeCentroidMetadata({"f"}, {EncodeCentroidSummaries(defaults)},
                                   Collect({{R"({"f": 7})", 2}})));
  EXPECT_EQ(merged.at("f").at(2).min, 7.0);
  EXPECT_EQ(merged.at("f").at(2).max, 7.0);
  EXPECT_EQ(merged.at("f").at(2).hashes, std::vector<uint32_t>{Crc("t")});

  EXPECT_THROW(MergeCentroidMetadata({"a"}, {}, {}), std::invalid_argument);
}

TEST(CentroidMetadata, DecodeWarnsOnEmptyBuffersAndUnitesRepeats) {
  CentroidSummaries a;
  a[1] = CentroidFieldSummary{1, 2.0, 3.0, {Crc("p")}};
  CentroidSummaries b;
  b[1] = CentroidFieldSummary{1, -1.0, 0.5, {Crc("q")}};
  ::testing::internal::CaptureStderr();
  const CentroidMetadataMap map = DecodeCentroidMetadata(
      {"f", "missing", "f"}, {EncodeCentroidSummaries(a), Bytes(), EncodeCentroidSummaries(b)});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: Empty metadata buffer for field 'missing'.\n");
  EXPECT_EQ(map.count("missing"), 0u);
  EXPECT_EQ(map.at("f").at(1).min, -1.0);
  EXPECT_EQ(map.at("f").at(1).max, 3.0);
  EXPECT_EQ(map.at("f").at(1).hashes, Sorted({Crc("p"), Crc("q")}));

  const std::string prefix = "Error while converting buffer to map of centroid map: ";
  for (const Bytes& bad : {Bytes{1, 2, 3}, Bytes(64, 0xAB), Bytes(12, 0)}) {
    const std::string message =
        error_text<std::runtime_error>([&] { DecodeCentroidMetadata({"f"}, {bad}); });
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
  }
}

TEST(CentroidMetadata, CollectRefusesDocumentsNestedTooDeeply) {
  const std::string deep = std::string(600, '[') + "1" + std::string(600, ']');
  const std::string message = error_text<std::runtime_error>([&] {
    CentroidMetadataMap pending;
    CollectFieldSummaries(json::parse(R"({"a": )" + deep + "}"), 0, pending);
  });
  EXPECT_EQ(message,
            "Error while retrieving keys and metadata centroid map: Metadata is nested more than "
            "512 levels deep.");
  CentroidMetadataMap pending;
  EXPECT_NO_THROW(CollectFieldSummaries(
      json::parse(R"({"a": )" + std::string(200, '[') + "1" + std::string(200, ']') + "}"), 0,
      pending));
}

// Random truncations and bit flips end in summaries or a clean error.
TEST(CentroidMetadata, CorruptedBuffersNeverCrash) {
  CentroidSummaries summaries;
  for (uint32_t c = 0; c < 6; ++c) {
    summaries[c * 7] = CentroidFieldSummary{c * 7, -1.0 * c, 2.0 * c, {c, c + 10, c + 99}};
  }
  summaries[50].centroid = 50;  // no numbers, no hashes
  // Buffers cut to nothing are skipped with a warning line each.
  ::testing::internal::CaptureStderr();
  const int refused = ::tavrin::testing::corrupted_refusals(
      EncodeCentroidSummaries(summaries), 99, 20000, [](const Bytes& b) {
        const CentroidMetadataMap map = DecodeCentroidMetadata({"f"}, {b});
        if (map.empty()) return;
        for (const auto& [centroid, s] : map.at("f")) {
          EXPECT_EQ(s.centroid, centroid);
          EXPECT_TRUE(std::is_sorted(s.hashes.begin(), s.hashes.end()));
          EXPECT_FALSE(std::isnan(s.min) || std::isnan(s.max));
        }
      });
  ::testing::internal::GetCapturedStderr();
  EXPECT_GT(refused, 1000);
}

TEST(CentroidMetadata, FlatcDecodesWrittenBytesWithTheSchema) {
  const Bytes buffer = MergeCentroidMetadata({"f"}, {Bytes()},
                                             Collect({{R"({"f": 2.5})", 4},
                                                      {R"({"f": "s"})", 4},
                                                      {R"({"f": "t"})", 9}}))[0];
  const json j = ::tavrin::testing::flatc_json(buffer, "src/filter/centroid_metadata.fbs",
                                               "--defaults-json");
  ASSERT_EQ(j["entries"].size(), 2u);
  const json& with_number = j["entries"][0];
  EXPECT_EQ(with_number["centroid"], 4);
  EXPECT_EQ(with_number["min"], 2.5);
  EXPECT_EQ(with_number["max"], 2.5);
  EXPECT_EQ(with_number["hashes"], json::array({Crc("s")}));
  // No number: written as the empty accumulator.
  const json& text_only = j["entries"][1];
  EXPECT_EQ(text_only["centroid"], 9);
  EXPECT_EQ(text_only["min"], 9876543211.0);
  EXPECT_EQ(text_only["max"], -9876543211.0);
  EXPECT_EQ(text_only["hashes"], json::array({Crc("t")}));
}

}  // namespace
}  // namespace tavrin
