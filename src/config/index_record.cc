#include "config/index_record.h"

#include <flatbuffers/flatbuffers.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "config/index_record_generated.h"

namespace tavrin {
namespace {

constexpr const char kBufferEmpty[] = "Could not deserialize index config: buffer is empty";
constexpr const char kBufferInvalid[] = "Could not deserialize index config: buffer is invalid";
// Smallest buffer that can hold a root offset and a table with its vtable.
constexpr size_t kMinBufferSize = 12;
constexpr size_t kMaxBufferSize = 0x7FFFFFFF;

const char* type_text(IndexType type) {
  if (type == IndexType::IVFFLAT) return "IVFFLAT";
  throw std::invalid_argument("Unknown index type");
}

const char* metric_text(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::Cosine:
      return "Cosine";
    case DistanceMetric::Euclidean:
      return "Euclidean";
    case DistanceMetric::SquaredEuclidean:
      return "SquaredEuclidean";
  }
  throw std::invalid_argument("Unknown distance metric");
}

DistanceMetric metric_from_text(const flatbuffers::String& text) {
  const std::string s = text.str();
  if (s == "Cosine") return DistanceMetric::Cosine;
  if (s == "Euclidean") return DistanceMetric::Euclidean;
  if (s == "SquaredEuclidean") return DistanceMetric::SquaredEuclidean;
  throw std::invalid_argument("Unknown distance metric");
}

using MatrixOffsets = std::vector<flatbuffers::Offset<fb::MatrixTable>>;

MatrixOffsets write_matrices(flatbuffers::FlatBufferBuilder& fbb,
                             const std::vector<CentroidMatrix>& matrices) {
  MatrixOffsets offsets;
  offsets.reserve(matrices.size());
  for (const CentroidMatrix& m : matrices) {
    auto data = fbb.CreateVector(m.matrix.data);
    fb::MatrixTableBuilder table(fbb);
    table.add_data(data);
    table.add_cols(static_cast<uint32_t>(m.matrix.cols));
    table.add_tag(m.tag);
    offsets.push_back(table.Finish());
  }
  return offsets;
}

std::vector<CentroidMatrix> read_matrices(
    const flatbuffers::Vector<flatbuffers::Offset<fb::MatrixTable>>* tables) {
  std::vector<CentroidMatrix> out;
  if (tables == nullptr) return out;
  out.reserve(tables->size());
  for (const fb::MatrixTable* table : *tables) {
    const auto* data = table->data();
    CentroidMatrix m;
    m.tag = table->tag();
    m.matrix = FloatMatrix(std::vector<float>(data->begin(), data->end()), table->cols());
    out.push_back(std::move(m));
  }
  return out;
}

}  // namespace

Bytes serialize_index_record(const std::string& name, const IndexConfig& config,
                             const TrainedData& trained_data, bool trained, bool retraining) {
  flatbuffers::FlatBufferBuilder fbb;
  auto type = fbb.CreateString(type_text(config.index_type));
  auto metric = fbb.CreateString(metric_text(config.metric));
  auto model = fbb.CreateString(config.embedding_model.value_or(std::string()));

  fb::IndexConfigTableBuilder config_table(fbb);
  config_table.add_embedding_model(model);
  config_table.add_pq_bits(static_cast<int32_t>(config.pq_bits()));
  config_table.add_pq_dim(static_cast<int32_t>(config.pq_dim()));
  config_table.add_n_lists(static_cast<int32_t>(config.n_lists()));
  config_table.add_metric(metric);
  config_table.add_dimension(static_cast<int32_t>(config.dimension));
  config_table.add_index_type(type);
  auto config_offset = config_table.Finish();

  MatrixOffsets codebooks = write_matrices(fbb, trained_data.codebooks);
  MatrixOffsets second = write_matrices(fbb, trained_data.second_codebooks);
  auto codebooks_vec = fbb.CreateVector(codebooks);
  auto second_vec = fbb.CreateVector(second);
  auto trained_offset = fb::CreateTrainedDataTable(fbb, codebooks_vec, second_vec);

  auto name_offset = fbb.CreateString(name);
  fb::IndexRecordTableBuilder root(fbb);
  root.add_trained_data(trained_offset);
  root.add_config(config_offset);
  root.add_name(name_offset);
  if (trained) root.add_trained(true);
  if (retraining) root.add_retraining(true);
  fbb.Finish(root.Finish());
  return Bytes(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
}

IndexRecord deserialize_index_record(const uint8_t* data, size_t size) {
  if (size == 0) throw std::runtime_error(kBufferEmpty);
  if (data == nullptr || size < kMinBufferSize || size > kMaxBufferSize) {
    throw std::runtime_error(kBufferInvalid);
  }
  flatbuffers::Verifier::Options options;
  options.max_depth = 64;
  options.max_tables = 1000000;
  options.check_alignment = true;
  flatbuffers::Verifier verifier(data, size, options);
  // Required fields are part of verification, so a verified record has its
  // name, configuration strings and matrix data.
  if (!fb::VerifyIndexRecordTableBuffer(verifier)) throw std::runtime_error(kBufferInvalid);

  const fb::IndexRecordTable* root = fb::GetIndexRecordTable(data);
  const fb::IndexConfigTable* config = root->config();
  if (config->index_type()->str() != "IVFFLAT") throw std::invalid_argument("Unknown index type");
  // Stored as int32; read back as the unsigned 32-bit value that was written.
  const uint64_t dimension = static_cast<uint32_t>(config->dimension());
  const DistanceMetric metric = metric_from_text(*config->metric());
  const uint64_t n_lists = static_cast<uint32_t>(config->n_lists());

  IndexRecord record;
  record.name = root->name()->str();
  record.config =
      std::make_unique<IndexIVFFlat>(dimension, n_lists, metric, config->embedding_model()->str());
  if (const fb::TrainedDataTable* trained = root->trained_data()) {
    record.trained_data.codebooks = read_matrices(trained->codebooks());
    record.trained_data.second_codebooks = read_matrices(trained->second_codebooks());
  }
  record.trained = root->trained();
  record.retraining = root->retraining();
  return record;
}

}  // namespace tavrin
