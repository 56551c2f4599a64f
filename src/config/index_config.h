// What kind of index an index is: the vector shape, the distance metric and
// the clustering. IndexConfig is the abstract base; IndexIVFFlat, the only
// concrete kind, adds the number of coarse lists. Constructors do not
// validate: index creation refuses zero dimensions and list counts.
#ifndef TAVRIN_CLIENT_INDEX_CONFIG_H_
#define TAVRIN_CLIENT_INDEX_CONFIG_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/metric.h"

namespace tavrin {

enum class IndexType : uint32_t {
  IVFFLAT = 0,
};

// "cosine", "euclidean" or "squared_euclidean", compared exactly; anything
// else throws std::invalid_argument("Invalid distance metric: " + text).
DistanceMetric parse_metric(const std::string& text);

// The lower-case text of a metric; a value outside the enumeration throws
// std::invalid_argument("Invalid distance metric").
std::string metric_name(DistanceMetric metric);

// "ivfflat" for IVFFLAT, "unknown" for any other value.
std::string index_type_name(IndexType type);

// The most coarse lists an index may have: the list-count map and the seeds
// are sized by it.
inline constexpr uint64_t kMaxLists = uint64_t{1} << 20;

class IndexConfig {
 public:
  virtual ~IndexConfig() = default;

  virtual uint64_t n_lists() const = 0;
  virtual uint64_t pq_dim() const { return 0; }
  virtual uint64_t pq_bits() const { return 0; }
  // A uniquely owned copy of the most derived object.
  virtual std::unique_ptr<IndexConfig> clone() const = 0;

  uint64_t dimension = 0;
  DistanceMetric metric = DistanceMetric::Euclidean;
  IndexType index_type = IndexType::IVFFLAT;
  std::optional<std::string> embedding_model;

 protected:
  IndexConfig() = default;
  IndexConfig(const IndexConfig&) = default;
  IndexConfig& operator=(const IndexConfig&) = default;
};

class IndexIVFFlat : public IndexConfig {
 public:
  // The Python form: the metric comes from its text and the model name is an
  // engaged empty string.
  IndexIVFFlat(uint64_t dimension, uint64_t n_lists, const std::string& metric_text);
  // With a model that embeds text for this index.
  IndexIVFFlat(uint64_t dimension, uint64_t n_lists, const std::string& metric_text,
               std::string model_name);
  // From the fields of a stored index record.
  IndexIVFFlat(uint64_t dimension, uint64_t n_lists, DistanceMetric metric,
               std::optional<std::string> model_name);

  uint64_t n_lists() const override { return n_lists_; }
  std::unique_ptr<IndexConfig> clone() const override;

 private:
  uint64_t n_lists_ = 0;
};

}  // namespace tavrin

#endif  // TAVRIN_CLIENT_INDEX_CONFIG_H_
