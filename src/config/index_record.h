// The byte form of an index record (name, configuration, trained data and
// trained flag): a FlatBuffers buffer with no file identifier and no size
// prefix. Written at index creation and after training, read on load and by
// load-from-bytes.
#ifndef TAVRIN_CLIENT_INDEX_RECORD_H_
#define TAVRIN_CLIENT_INDEX_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/row_matrix.h"
#include "config/index_config.h"
#include "common/trained_data.h"

namespace tavrin {

struct IndexRecord {
  std::string name;
  std::unique_ptr<IndexConfig> config;
  TrainedData trained_data;
  bool trained = false;
  // A retraining was under way when the record was stored (written only
  // when set, so that other records keep their bytes).
  bool retraining = false;
};

// Throws std::invalid_argument "Unknown index type" or "Unknown distance
// metric" for values outside their enumerations.
Bytes serialize_index_record(const std::string& name, const IndexConfig& config,
                             const TrainedData& trained_data, bool trained,
                             bool retraining = false);

// Verifies, then reads. Throws std::runtime_error
//   "Could not deserialize index config: buffer is empty" for no bytes,
//   "Could not deserialize index config: buffer is invalid" for bytes that
//     fail verification or lack a required field;
// std::invalid_argument "Unknown index type", "Unknown distance metric" or
// "Data size must be a multiple of the number of columns" for verified
// buffers holding values this program never writes. Never reads outside
// [data, data + size).
IndexRecord deserialize_index_record(const uint8_t* data, size_t size);
inline IndexRecord deserialize_index_record(const Bytes& buffer) {
  return deserialize_index_record(buffer.data(), buffer.size());
}

}  // namespace tavrin

#endif  // TAVRIN_CLIENT_INDEX_RECORD_H_
