#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "config/index_record.h"
#include "config/index_record_generated.h"
#include "test_util.h"

namespace tavrin {
namespace {

using ::tavrin::testing::error_text;

const char kInvalid[] = "Could not deserialize index config: buffer is invalid";

CentroidMatrix matrix(uint32_t tag, uint64_t rows, uint64_t cols, float start) {
  std::vector<float> v(rows * cols);
  for (size_t i = 0; i < v.size(); ++i) v[i] = start + 0.5f * static_cast<float>(i);
  return CentroidMatrix{tag, FloatMatrix(std::move(v), cols)};
}

TrainedData sample_trained() {
  TrainedData t;
  t.codebooks.push_back(matrix(3, 3, 4, -1.0f));
  t.second_codebooks.push_back(matrix(7, 2, 2, 10.0f));
  t.second_codebooks.push_back(matrix(0, 1, 5, 0.25f));
  return t;
}

void expect_same_matrices(const std::vector<CentroidMatrix>& a,
                          const std::vector<CentroidMatrix>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].tag, b[i].tag);
    EXPECT_EQ(a[i].matrix.rows, b[i].matrix.rows);
    EXPECT_EQ(a[i].matrix.cols, b[i].matrix.cols);
    EXPECT_EQ(a[i].matrix.data, b[i].matrix.data);
  }
}

// Whether a field is stored in a table (generated tables hide their base).
bool has_field(const void* table, flatbuffers::voffset_t field) {
  return static_cast<const flatbuffers::Table*>(table)->CheckField(field);
}

TEST(IndexRecord, RoundTripsEveryField) {
  const std::string name = std::string("idx\0with nul", 12) + " and ünïcode";
  for (auto metric :
       {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::SquaredEuclidean}) {
    for (bool trained : {false, true}) {
      IndexIVFFlat config(96, 3, metric, std::string("all-MiniLM-L6-v2"));
      TrainedData data = sample_trained();
      IndexRecord back =
          deserialize_index_record(serialize_index_record(name, config, data, trained));
      EXPECT_EQ(back.name, name);
      ASSERT_NE(dynamic_cast<IndexIVFFlat*>(back.config.get()), nullptr);
      EXPECT_EQ(back.config->dimension, 96u);
      EXPECT_EQ(back.config->n_lists(), 3u);
      EXPECT_EQ(back.config->metric, metric);
      EXPECT_EQ(back.config->index_type, IndexType::IVFFLAT);
      EXPECT_EQ(back.config->embedding_model, std::optional<std::string>("all-MiniLM-L6-v2"));
      EXPECT_EQ(back.trained, trained);
      expect_same_matrices(back.trained_data.codebooks, data.codebooks);
      expect_same_matrices(back.trained_data.second_codebooks, data.second_codebooks);
    }
  }
}

TEST(IndexRecord, ModelNameEngagedEvenWhenEmptyOrAbsent) {
  IndexIVFFlat python_form(8, 2, "cosine");
  IndexRecord back = deserialize_index_record(serialize_index_record("a", python_form, {}, false));
  EXPECT_EQ(back.config->embedding_model, std::optional<std::string>(""));
  EXPECT_TRUE(back.trained_data.codebooks.empty());
  EXPECT_TRUE(back.trained_data.second_codebooks.empty());

  IndexIVFFlat no_model(8, 2, DistanceMetric::Cosine, std::nullopt);
  back = deserialize_index_record(serialize_index_record("a", no_model, {}, false));
  EXPECT_EQ(back.config->embedding_model, std::optional<std::string>(""));
}

TEST(IndexRecord, ZeroScalarsAndFalseFlagAreNotStored) {
  IndexIVFFlat zero(0, 0, "euclidean");
  Bytes buf = serialize_index_record("z", zero, {}, false);
  const fb::IndexRecordTable* root = fb::GetIndexRecordTable(buf.data());
  EXPECT_FALSE(has_field(root, fb::IndexRecordTable::VT_TRAINED));
  EXPECT_TRUE(has_field(root, fb::IndexRecordTable::VT_TRAINED_DATA));
  EXPECT_FALSE(has_field(root->config(), fb::IndexConfigTable::VT_DIMENSION));
  EXPECT_FALSE(has_field(root->config(), fb::IndexConfigTable::VT_N_LISTS));
  EXPECT_FALSE(has_field(root->config(), fb::IndexConfigTable::VT_PQ_DIM));
  IndexRecord back = deserialize_index_record(buf);
  EXPECT_EQ(back.config->dimension, 0u);
  EXPECT_EQ(back.config->n_lists(), 0u);
  EXPECT_FALSE(back.trained);

  Bytes set = serialize_index_record("z", IndexIVFFlat(5, 2, "euclidean"), {}, true);
  root = fb::GetIndexRecordTable(set.data());
  EXPECT_TRUE(has_field(root, fb::IndexRecordTable::VT_TRAINED));
  EXPECT_TRUE(has_field(root->config(), fb::IndexConfigTable::VT_DIMENSION));
  EXPECT_GT(set.size(), buf.size());
}

TEST(IndexRecord, WriterRefusesValuesOutsideTheEnumerations) {
  IndexIVFFlat bad_metric(4, 1, "cosine");
  bad_metric.metric = static_cast<DistanceMetric>(9);
  EXPECT_EQ(error_text<std::invalid_argument>(
                [&] { serialize_index_record("a", bad_metric, {}, false); }),
            "Unknown distance metric");
  IndexIVFFlat bad_type(4, 1, "cosine");
  bad_type.index_type = static_cast<IndexType>(1);
  EXPECT_EQ(
      error_text<std::invalid_argument>([&] { serialize_index_record("a", bad_type, {}, false); }),
      "Unknown index type");
}

// Builds records the writer never would, to check what the reader refuses.
struct RawRecord {
  const char* name = "n";
  const char* type = "IVFFLAT";
  const char* metric = "Euclidean";
  const char* model = "";
  bool with_config = true;
  std::vector<float> data = {1, 2, 3, 4};
  uint32_t cols = 2;

  Bytes build() const {
    flatbuffers::FlatBufferBuilder fbb;
    flatbuffers::Offset<fb::IndexConfigTable> config;
    if (with_config) {
      auto t = type ? fbb.CreateString(type) : 0;
      auto m = metric ? fbb.CreateString(metric) : 0;
      auto e = model ? fbb.CreateString(model) : 0;
      fb::IndexConfigTableBuilder b(fbb);
      if (e.o) b.add_embedding_model(e);
      if (m.o) b.add_metric(m);
      b.add_dimension(2);
      if (t.o) b.add_index_type(t);
      config = flatbuffers::Offset<fb::IndexConfigTable>(b.fbb_.EndTable(b.start_));
    }
    auto d = fbb.CreateVector(data);
    fb::MatrixTableBuilder mb(fbb);
    mb.add_data(d);
    mb.add_cols(cols);
    std::vector<flatbuffers::Offset<fb::MatrixTable>> mats{mb.Finish()};
    auto trained = fb::CreateTrainedDataTable(fbb, fbb.CreateVector(mats));
    auto n = name ? fbb.CreateString(name) : 0;
    // EndTable rather than Finish: the generated Finish asserts required
    // fields, which these records deliberately lack.
    auto start = fbb.StartTable();
    fbb.AddOffset(fb::IndexRecordTable::VT_TRAINED_DATA, trained);
    if (with_config) fbb.AddOffset(fb::IndexRecordTable::VT_CONFIG, config);
    if (n.o) fbb.AddOffset(fb::IndexRecordTable::VT_NAME, n);
    fbb.Finish(flatbuffers::Offset<fb::IndexRecordTable>(fbb.EndTable(start)));
    return Bytes(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
  }
};

TEST(IndexRecord, ReaderRefusesRecordsItsWriterNeverWrites) {
  EXPECT_NO_THROW(deserialize_index_record(RawRecord{}.build()));

  RawRecord blank_metric;
  blank_metric.metric = "Euclidean ";
  EXPECT_EQ(
      error_text<std::invalid_argument>([&] { deserialize_index_record(blank_metric.build()); }),
      "Unknown distance metric");
  RawRecord lower_type;
  lower_type.type = "ivfflat";
  EXPECT_EQ(
      error_text<std::invalid_argument>([&] { deserialize_index_record(lower_type.build()); }),
      "Unknown index type");
  RawRecord ragged;
  ragged.data = {1, 2, 3, 4, 5, 6};
  ragged.cols = 4;
  EXPECT_EQ(error_text<std::invalid_argument>([&] { deserialize_index_record(ragged.build()); }),
            "Data size must be a multiple of the number of columns");
  RawRecord zero_cols;
  zero_cols.cols = 0;
  EXPECT_THROW(deserialize_index_record(zero_cols.build()), std::invalid_argument);

  // Verified buffers that lack a required string or table.
  RawRecord missing;
  missing.name = nullptr;
  EXPECT_EQ(error_text<std::runtime_error>([&] { deserialize_index_record(missing.build()); }),
            kInvalid);
  missing = RawRecord{};
  missing.with_config = false;
  EXPECT_EQ(error_text<std::runtime_error>([&] { deserialize_index_record(missing.build()); }),
            kInvalid);
  for (int field = 0; field < 3; ++field) {
    RawRecord r;
    (field == 0 ? r.type : field == 1 ? r.metric : r.model) = nullptr;
    EXPECT_EQ(error_text<std::runtime_error>([&] { deserialize_index_record(r.build()); }),
              kInvalid)
        << "field " << field;
  }
}

TEST(IndexRecord, RefusesEmptyShortAndTruncatedBuffers) {
  EXPECT_EQ(error_text<std::runtime_error>([] { deserialize_index_record(Bytes{}); }),
            "Could not deserialize index config: buffer is empty");
  EXPECT_EQ(error_text<std::runtime_error>([] { deserialize_index_record(Bytes(5, 0)); }),
            kInvalid);
  EXPECT_EQ(error_text<std::runtime_error>([] { deserialize_index_record(Bytes(64, 0)); }),
            kInvalid);
  EXPECT_EQ(error_text<std::runtime_error>([] { deserialize_index_record(nullptr, 16); }),
            kInvalid);
  Bytes good = serialize_index_record("name", IndexIVFFlat(4, 3, "cosine"), sample_trained(), true);
  for (size_t len = 1; len < good.size(); ++len) {
    Bytes cut(good.begin(), good.begin() + len);
    EXPECT_THROW(deserialize_index_record(cut), std::runtime_error) << "length " << len;
  }
}

// Random truncations and bit flips must end in a record or a clean error.
TEST(IndexRecord, CorruptedBuffersNeverCrash) {
  const Bytes good = serialize_index_record("fuzz", IndexIVFFlat(4, 3, "squared_euclidean"),
                                            sample_trained(), true);
  EXPECT_GT(::tavrin::testing::corrupted_refusals(good, 1234, 20000, [](const Bytes& b) {
              for (const auto& m : deserialize_index_record(b).trained_data.codebooks) {
                EXPECT_EQ(m.matrix.rows * m.matrix.cols, m.matrix.data.size());
              }
            }),
            1000);
}

TEST(IndexRecord, FlatcDecodesWrittenBytesWithTheSchema) {
  IndexIVFFlat config(6, 2, DistanceMetric::SquaredEuclidean, std::string("model-x"));
  TrainedData data;
  data.codebooks.push_back(matrix(2, 2, 3, 1.0f));
  const nlohmann::json j = ::tavrin::testing::flatc_json(
      serialize_index_record("flat", config, data, true), "src/config/index_record.fbs");
  EXPECT_EQ(j["name"], "flat");
  EXPECT_EQ(j["trained"], true);
  EXPECT_EQ(j["config"]["index_type"], "IVFFLAT");
  EXPECT_EQ(j["config"]["metric"], "SquaredEuclidean");
  EXPECT_EQ(j["config"]["dimension"], 6);
  EXPECT_EQ(j["config"]["n_lists"], 2);
  EXPECT_EQ(j["config"]["embedding_model"], "model-x");
  EXPECT_FALSE(j["config"].contains("pq_dim"));
  ASSERT_EQ(j["trained_data"]["codebooks"].size(), 1u);
  const auto& m = j["trained_data"]["codebooks"][0];
  EXPECT_EQ(m["tag"], 2);
  EXPECT_EQ(m["cols"], 3);
  EXPECT_EQ(m["data"].get<std::vector<float>>(), data.codebooks[0].matrix.data);
  EXPECT_EQ(j["trained_data"]["second_codebooks"].size(), 0u);
}

}  // namespace
}  // namespace tavrin
