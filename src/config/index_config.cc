#include "config/index_config.h"

#include <stdexcept>
#include <utility>

namespace tavrin {

DistanceMetric parse_metric(const std::string& text) {
  if (text == "cosine") return DistanceMetric::Cosine;
  if (text == "euclidean") return DistanceMetric::Euclidean;
  if (text == "squared_euclidean") return DistanceMetric::SquaredEuclidean;
  throw std::invalid_argument("Invalid distance metric: " + text);
}

std::string metric_name(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::Cosine:
      return "cosine";
    case DistanceMetric::Euclidean:
      return "euclidean";
    case DistanceMetric::SquaredEuclidean:
      return "squared_euclidean";
  }
  throw std::invalid_argument("Invalid distance metric");
}

std::string index_type_name(IndexType type) {
  return type == IndexType::IVFFLAT ? "ivfflat" : "unknown";
}

IndexIVFFlat::IndexIVFFlat(uint64_t dimension, uint64_t n_lists, const std::string& metric_text)
    : IndexIVFFlat(dimension, n_lists, parse_metric(metric_text), std::string()) {}

IndexIVFFlat::IndexIVFFlat(uint64_t dimension, uint64_t n_lists, const std::string& metric_text,
                           std::string model_name)
    : IndexIVFFlat(dimension, n_lists, parse_metric(metric_text), std::move(model_name)) {}

IndexIVFFlat::IndexIVFFlat(uint64_t dim, uint64_t lists, DistanceMetric m,
                           std::optional<std::string> model_name)
    : n_lists_(lists) {
  dimension = dim;
  metric = m;
  index_type = IndexType::IVFFLAT;
  embedding_model = std::move(model_name);
}

std::unique_ptr<IndexConfig> IndexIVFFlat::clone() const {
  return std::make_unique<IndexIVFFlat>(*this);
}

}  // namespace tavrin
