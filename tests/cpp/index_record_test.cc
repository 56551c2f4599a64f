#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>

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
// trained or not, with and without trained data and zero scalars: read back
// by our reader, and decoded by flatc with the schema alone, where zero
// scalars and a false flag are not stored.
TEST(IndexRecord, RoundTripsAndFlatcDecodesEveryField) {
  const std::string name = std::string("idx\0with nul", 12) + " and ünïcode";
  const char* metric_texts[] = {"Cosine", "Euclidean", "SquaredEuclidean"};
  for (auto metric :
       {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::SquaredEuclidean}) {
    for (std::optional<std::string> model :
         {std::optional<std::string>("all-MiniLM-L6-v2"), std::optional<std::string>(""),
          std::optional<std::string>()}) {
      for (bool trained : {false, true}) {
        SCOPED_TRACE(std::string(metric_texts[static_cast<int>(metric)]) + " " +
                     model.value_or("<none>") + (trained ? " trained" : ""));
        const uint64_t dim = trained ? 96 : 0, lists = trained ? 3 : 0;
        const TrainedData data = trained ? sample_trained() : TrainedData();
        const Bytes bytes =
            serialize_index_record(name, IndexIVFFlat(dim, lists, metric, model), data, trained);
        // Our reader gives back what was written: written again, the same bytes.
        const IndexRecord back = deserialize_index_record(bytes);
        ASSERT_NE(dynamic_cast<IndexIVFFlat*>(back.config.get()), nullptr);
        EXPECT_EQ(back.config->embedding_model, std::optional<std::string>(model.value_or("")));
        EXPECT_EQ(serialize_index_record(back.name, *back.config, back.trained_data, back.trained),
                  bytes);
        const nlohmann::json j =
            ::tavrin::testing::flatc_json(bytes, "src/config/index_record.fbs");
        const nlohmann::json& c = j["config"];
        EXPECT_EQ(j["name"], name);
        EXPECT_EQ(j.value("trained", false), trained);
        EXPECT_EQ(j.contains("trained"), trained);
        EXPECT_EQ(c["index_type"], "IVFFLAT");
        EXPECT_EQ(c["metric"], metric_texts[static_cast<int>(metric)]);
        EXPECT_EQ(c.value("dimension", 0u), dim);
        EXPECT_EQ(c.value("n_lists", 0u), lists);
        EXPECT_EQ(c.contains("dimension") + c.contains("n_lists"), trained ? 2 : 0);
        EXPECT_FALSE(c.contains("pq_dim") || c.contains("pq_bits"));
        EXPECT_EQ(c["embedding_model"], model.value_or(""));
        EXPECT_EQ(j["trained_data"]["codebooks"], as_json(data.codebooks));
        EXPECT_EQ(j["trained_data"]["second_codebooks"], as_json(data.second_codebooks));
      }
    }
  }
}

TEST(IndexRecord, WriterRefusesValuesOutsideTheEnumerations) {
  IndexIVFFlat bad_metric(4, 1, "cosine"), bad_type(4, 1, "cosine");
  bad_metric.metric = static_cast<DistanceMetric>(9);
  bad_type.index_type = static_cast<IndexType>(1);
  for (const auto& [config, message] : {std::pair{&bad_metric, "Unknown distance metric"},
                                        std::pair{&bad_type, "Unknown index type"}}) {
    EXPECT_EQ(
        error_text<std::invalid_argument>([&] { serialize_index_record("a", *config, {}, false); }),
        message);
  }
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
    auto text = [&](const char* s) {
      return s ? fbb.CreateString(s) : flatbuffers::Offset<flatbuffers::String>();
    };
    const auto t = text(type), m = text(metric), e = text(model), n = text(name);
    // Tables ended by hand rather than Finish: the generated Finish asserts
    // required fields, which these records deliberately lack. A null offset
    // is not stored.
    auto start = fbb.StartTable();
    fbb.AddOffset(fb::IndexConfigTable::VT_INDEX_TYPE, t);
    fbb.AddOffset(fb::IndexConfigTable::VT_METRIC, m);
    fbb.AddOffset(fb::IndexConfigTable::VT_EMBEDDING_MODEL, e);
    fbb.AddElement<int32_t>(fb::IndexConfigTable::VT_DIMENSION, 2, 0);
    const flatbuffers::Offset<fb::IndexConfigTable> config(fbb.EndTable(start));
    const auto d = fbb.CreateVector(data);
    fb::MatrixTableBuilder mb(fbb);
    mb.add_data(d);
    mb.add_cols(cols);
    const std::vector<flatbuffers::Offset<fb::MatrixTable>> mats{mb.Finish()};
    const auto trained = fb::CreateTrainedDataTable(fbb, fbb.CreateVector(mats));
    start = fbb.StartTable();
    fbb.AddOffset(fb::IndexRecordTable::VT_TRAINED_DATA, trained);
    if (with_config) fbb.AddOffset(fb::IndexRecordTable::VT_CONFIG, config);
    fbb.AddOffset(fb::IndexRecordTable::VT_NAME, n);
    fbb.Finish(flatbuffers::Offset<fb::IndexRecordTable>(fbb.EndTable(start)));
    return Bytes(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
  }
};

TEST(IndexRecord, ReaderRefusesRecordsItsWriterNeverWrites) {
  auto invalid = [](const RawRecord& r) {
    return error_text<std::invalid_argument>([&] { deserialize_index_record(r.build()); });
  };
  EXPECT_NO_THROW(deserialize_index_record(RawRecord{}.build()));
  RawRecord r;
  r.metric = "Euclidean ";
  EXPECT_EQ(invalid(r), "Unknown distance metric");
  r = RawRecord{};
  r.type = "ivfflat";
  EXPECT_EQ(invalid(r), "Unknown index type");
  r = RawRecord{};
  r.data = {1, 2, 3, 4, 5, 6};
  r.cols = 4;
  EXPECT_EQ(invalid(r), "Data size must be a multiple of the number of columns");
  r.cols = 0;
  EXPECT_EQ(invalid(r), "Data size must be a multiple of the number of columns");
  // Verified buffers that lack a required string or table.
  for (int field = 0; field < 5; ++field) {
    r = RawRecord{};
    if (field < 4) {
      (field == 0 ? r.type : field == 1 ? r.metric : field == 2 ? r.model : r.name) = nullptr;
    } else {
      r.with_config = false;
    }
    EXPECT_EQ(error_text<std::runtime_error>([&] { deserialize_index_record(r.build()); }),
              kInvalid)
        << "field " << field;
  }
}

// Empty, short and every truncated buffer are refused with their messages;
// random truncations and bit flips end in a record or a clean error.
TEST(IndexRecord, RefusesEmptyShortTruncatedAndCorruptedBuffers) {
  EXPECT_EQ(error_text<std::runtime_error>([] { deserialize_index_record(Bytes{}); }),
            "Could not deserialize index config: buffer is empty");
  for (const Bytes& bad : {Bytes(5, 0), Bytes(64, 0)}) {
    EXPECT_EQ(error_text<std::runtime_error>([&] { deserialize_index_record(bad); }), kInvalid);
  }
  EXPECT_EQ(error_text<std::runtime_error>([] { deserialize_index_record(nullptr, 16); }),
            kInvalid);
  const Bytes good = serialize_index_record("fuzz", IndexIVFFlat(4, 3, "squared_euclidean"),
                                            sample_trained(), true);
  for (size_t len = 1; len < good.size(); ++len) {
    EXPECT_EQ(error_text<std::runtime_error>(
                  [&] { deserialize_index_record(Bytes(good.begin(), good.begin() + len)); }),
              kInvalid)
        << "length " << len;
  }
  EXPECT_GT(::tavrin::testing::corrupted_refusals(
                good, 1234, 20000,
                [](const Bytes& b) {
                  for (const auto& m : deserialize_index_record(b).trained_data.codebooks) {
                    EXPECT_EQ(m.matrix.rows * m.matrix.cols, m.matrix.data.size());
                  }
                }),
            1000);
}

}  // namespace
}  // namespace tavrin
