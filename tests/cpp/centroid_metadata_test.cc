// Summaries of metadata per field path and centroid in their stored byte
// form, as flatc reads it with the schema alone; the warning for an empty
// buffer, and no read out of bounds however one is cut or altered. That no
// summary loses a match is the differential test in
// centroid_prefilter_test.cc.
#include "filter/centroid_metadata.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "test_util.h"

namespace tavrin {
namespace {

using json = nlohmann::json;
using Hashes = std::set<uint32_t>;  // ascending, as stored

// zlib's CRC-32 of a text, computed here without the code under test.
uint32_t Crc(const std::string& s) {
  return static_cast<uint32_t>(
      crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(s.data()), s.size()));
}

CentroidMetadataMap Collect(const std::vector<std::pair<std::string, uint32_t>>& docs) {
  CentroidMetadataMap pending;
  for (const auto& [text, centroid] : docs)
    CollectFieldSummaries(json::parse(text), centroid, pending);
  return pending;
}

TEST(CentroidMetadata, StoredBytesAsTheSchemaReadsThem) {
  const CentroidMetadataMap first = Collect({
      {R"({"f": 2.5, "g": {"h": true}})", 4},
      {R"({"f": "s"})", 4},
      {R"({"f": true})", 4},
      {R"({"f": ["red", 4, false, ["deep"], {"k": "v"}, null]})", 9},
      {R"({"f": null})", 11},
      // Real values spanning exactly the stored no-number pair.
      {R"({"f": -9876543211})", 12},
      {R"({"f": 9876543211})", 12},
  });
  // Nested objects give dotted paths; objects in arrays count under the array's.
  std::vector<std::string> paths;
  for (const auto& entry : first) paths.push_back(entry.first);
  EXPECT_EQ(paths, (std::vector<std::string>{"f", "f.k", "g", "g.h"}));
  // New contributions fold into the stored bytes.
  const Bytes buffer = MergeCentroidMetadata(
      {"f"}, MergeCentroidMetadata({"f"}, {Bytes()}, first),
      Collect({{R"({"f": -1})", 4}, {R"({"f": "t"})", 11}, {R"({"f": "s"})", 4}}))[0];
  const json j = ::tavrin::testing::flatc_json(buffer, "src/filter/centroid_metadata.fbs",
                                               "--defaults-json");
  // A number, text or boolean, and each such element of an array with the
  // array's compact text; no number: written as the empty accumulator.
  const json want = json::array({
      {{"centroid", 4}, {"min", -1.0}, {"max", 2.5}, {"hashes", Hashes{Crc("s"), Crc("true")}}},
      {{"centroid", 9}, {"min", 4.0}, {"max", 4.0}, {"hashes",
        Hashes{Crc(R"(["red",4,false,["deep"],{"k":"v"},null])"), Crc("red"), Crc("false")}}},
      {{"centroid", 11}, {"min", 9876543211.0}, {"max", -9876543211.0}, {"hashes", {Crc("t")}}},
      {{"centroid", 12}, {"min", std::nextafter(-9876543211.0, -INFINITY)}, {"max", 9876543211.0},
       {"hashes", json::array()}}});
  EXPECT_EQ(j["entries"], want) << j.dump();
}

// An empty buffer is skipped with a warning; random truncations and bit
// flips end in summaries or a clean error.
TEST(CentroidMetadata, EmptyBuffersWarnAndCorruptedOnesNeverCrash) {
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(DecodeCentroidMetadata({"missing"}, {Bytes()}).empty());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: Empty metadata buffer for field 'missing'.\n");
  CentroidSummaries summaries;
  for (uint32_t c = 0; c < 6; ++c)
    summaries[c * 7] = CentroidFieldSummary{c * 7, -1.0 * c, 2.0 * c, {c, c + 10, c + 99}};
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

}  // namespace
}  // namespace tavrin
