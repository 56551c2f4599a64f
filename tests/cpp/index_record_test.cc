// The index record's byte form and what its reader refuses, and the texts of
// the configuration records with their messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>

#include "common/coding.h"
#include "common/db_config.h"
#include "config/index_config.h"
#include "config/index_record.h"
#include "config/index_record_generated.h"
#include "test_util.h"

namespace tavrin {
namespace {

using ::tavrin::testing::error_text;

const char kInvalid[] = "Could not deserialize index config: buffer is invalid";

TrainedData sample_trained() {
  TrainedData t;
  t.codebooks = {{3, FloatMatrix({-1, -0.5f, 0, 0.5f, 1, 1.5f, 2, 2.5f, 3, 3.5f, 4, 4.5f}, 4)}};
  t.second_codebooks = {{7, FloatMatrix({10, 10.5f, 11, 11.5f}, 2)},
                        {0, FloatMatrix({0.25f, 0.75f, 1.25f, 1.75f, 2.25f}, 5)}};
  return t;
}

// Matrices as flatc prints them: a zero tag is not stored.
nlohmann::json as_json(const std::vector<CentroidMatrix>& matrices) {
  nlohmann::json out = nlohmann::json::array();
  for (const CentroidMatrix& m : matrices) {
    out.push_back({{"cols", m.matrix.cols}, {"data", m.matrix.data}});
    if (m.tag != 0) out.back()["tag"] = m.tag;
  }
  return out;
}

// Every metric, a model name given, empty or absent (read back as empty),
// trained or not: our reader gives back what was written (written again, the
// same bytes), and flatc, with the schema alone, decodes exactly these
// fields: zero scalars and a false flag are not stored.
TEST(IndexRecord, RoundTripsAndFlatcDecodesExactlyItsFields) {
  const std::string name = std::string("idx\0with nul", 12) + " and ünïcode";
  for (const auto& [metric, metric_text] : {std::pair{DistanceMetric::Cosine, "Cosine"},
                                            std::pair{DistanceMetric::Euclidean, "Euclidean"},
                                            std::pair{DistanceMetric::SquaredEuclidean,
                                                      "SquaredEuclidean"}}) {
    using Model = std::optional<std::string>;
    for (const Model& model : {Model("all-MiniLM-L6-v2"), Model(""), Model()}) {
      for (bool trained : {false, true}) {
        SCOPED_TRACE(std::string(metric_text) + " " + model.value_or("<none>") +
                     (trained ? " trained" : ""));
        const TrainedData data = trained ? sample_trained() : TrainedData();
        const Bytes bytes = serialize_index_record(
            name, IndexIVFFlat(trained ? 96 : 0, trained ? 3 : 0, metric, model), data, trained);
        const IndexRecord back = deserialize_index_record(bytes);
        EXPECT_EQ(back.config->embedding_model, std::optional<std::string>(model.value_or("")));
        EXPECT_EQ(serialize_index_record(back.name, *back.config, back.trained_data, back.trained),
                  bytes);
        nlohmann::json want = {
            {"name", name},
            {"config", {{"index_type", "IVFFLAT"}, {"metric", metric_text},
                        {"embedding_model", model.value_or("")}}},
            {"trained_data", {{"codebooks", as_json(data.codebooks)},
                              {"second_codebooks", as_json(data.second_codebooks)}}}};
        if (trained) want["trained"] = true, want["config"]["dimension"] = 96;
        if (trained) want["config"]["n_lists"] = 3;
        EXPECT_EQ(::tavrin::testing::flatc_json(bytes, "src/config/index_record.fbs"), want);
      }
    }
  }
}

// The writer refuses values outside the enumerations. The reader refuses
// empty, short and every truncated buffer, records that lack a required
// field (its vtable entry zeroed, as a writer that left it out would leave
// it), unknown texts and matrices whose data does not fit their width; random
// truncations and bit flips end in a record or a clean error.
TEST(IndexRecord, RefusesWhatItsWriterNeverWrites) {
  IndexIVFFlat bad_metric(4, 1, "cosine"), bad_type(4, 1, "cosine");
  bad_metric.metric = static_cast<DistanceMetric>(9);
  bad_type.index_type = static_cast<IndexType>(1);
  auto written = [](const IndexIVFFlat& c) {
    return error_text<std::invalid_argument>([&] { serialize_index_record("a", c, {}, false); });
  };
  EXPECT_EQ(written(bad_metric), "Unknown distance metric");
  EXPECT_EQ(written(bad_type), "Unknown index type");
  auto error = [](const Bytes& b) {
    return error_text<std::runtime_error>([&] { deserialize_index_record(b); });
  };
  auto invalid = [](const Bytes& b) {
    return error_text<std::invalid_argument>([&] { deserialize_index_record(b); });
  };
  EXPECT_EQ(error(Bytes{}), "Could not deserialize index config: buffer is empty");
  for (const Bytes& b : {Bytes(5, 0), Bytes(64, 0)}) EXPECT_EQ(error(b), kInvalid);
  EXPECT_EQ(error_text<std::runtime_error>([] { deserialize_index_record(nullptr, 16); }),
            kInvalid);
  const Bytes good = serialize_index_record("fuzz", IndexIVFFlat(4, 3, "euclidean"),
                                            sample_trained(), true);
  for (size_t len = 1; len < good.size(); ++len)
    EXPECT_EQ(error(Bytes(good.begin(), good.begin() + len)), kInvalid) << "length " << len;
  // A table starts with the distance back to its vtable, whose entry `vt`
  // holds the field's place in the table.
  auto entry = [&](size_t table, uint16_t vt) {
    return table - static_cast<int32_t>(DecodeFixed32(good.data() + table)) + vt;
  };
  const auto* record = fb::GetIndexRecordTable(good.data());
  const size_t root = reinterpret_cast<const uint8_t*>(record) - good.data(),
               config = reinterpret_cast<const uint8_t*>(record->config()) - good.data();
  using Field = std::pair<size_t, uint16_t>;  // (table, vtable entry)
  for (const auto& [table, vt] : {Field{root, fb::IndexRecordTable::VT_NAME},
                                  Field{root, fb::IndexRecordTable::VT_CONFIG},
                                  Field{config, fb::IndexConfigTable::VT_INDEX_TYPE},
                                  Field{config, fb::IndexConfigTable::VT_METRIC},
                                  Field{config, fb::IndexConfigTable::VT_EMBEDDING_MODEL}}) {
    Bytes bad = good;
    bad[entry(table, vt)] = bad[entry(table, vt) + 1] = 0;
    EXPECT_EQ(error(bad), kInvalid) << "field " << vt;
  }
  for (const auto& [from, to, message] :
       {std::tuple{"Euclidean", "euclidean", "Unknown distance metric"},
        std::tuple{"IVFFLAT", "ivfflat", "Unknown index type"}}) {
    Bytes bad = good;
    const std::string f = from, t = to;
    const auto it = std::search(bad.begin(), bad.end(), f.begin(), f.end());
    ASSERT_NE(it, bad.end()) << from;
    std::copy(t.begin(), t.end(), it);
    EXPECT_EQ(invalid(bad), message);
  }
  for (uint64_t cols : {4u, 0u}) {
    TrainedData lying;  // six floats in rows of four, or of none
    lying.codebooks = {CentroidMatrix{0, FloatMatrix({1, 2, 3, 4, 5, 6}, 1)}};
    lying.codebooks[0].matrix.cols = cols;
    EXPECT_EQ(invalid(serialize_index_record("n", IndexIVFFlat(4, 3, "cosine"), lying, true)),
              "Data size must be a multiple of the number of columns");
  }
  EXPECT_GT(::tavrin::testing::corrupted_refusals(good, 1234, 20000, [](const Bytes& b) {
              for (const auto& m : deserialize_index_record(b).trained_data.codebooks)
                EXPECT_EQ(m.matrix.rows * m.matrix.cols, m.matrix.data.size());
            }), 1000);
}

// Metrics print as the texts they parse from; other texts are refused with the
// text in the message. (The Python tests try every location and metric text.)
TEST(ConfigRecords, TextsParseExactlyAndRefuseTheRestByName) {
  for (DistanceMetric metric : {kMetricCosine, kMetricEuclidean, kMetricSquaredEuclidean})
    EXPECT_EQ(parse_metric(metric_name(metric)), metric);
  auto error = [](auto&& fn) { return error_text<std::invalid_argument>(fn); };
  EXPECT_EQ(error([] { parse_location("postgresql"); }), "Unknown DB location: postgresql");
  EXPECT_EQ(error([] { parse_metric("Cosine"); }), "Invalid distance metric: Cosine");
  EXPECT_EQ(error([] { metric_name(static_cast<DistanceMetric>(3)); }), "Invalid distance metric");
  EXPECT_EQ(index_type_name(IndexType::IVFFLAT) + index_type_name(IndexType(5)), "ivfflatunknown");
}

}  // namespace
}  // namespace tavrin
