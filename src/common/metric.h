// The distance metric of an index, shared by the configuration records, the
// search code and the index. Raw codes (0 cosine, 1 Euclidean, 2 squared
// Euclidean) become a DistanceMetric only through metric_from_code, the one
// place that refuses an unknown code.
#ifndef TAVRIN_COMMON_METRIC_H_
#define TAVRIN_COMMON_METRIC_H_

#include <cstdint>
#include <stdexcept>

namespace tavrin {

enum class DistanceMetric : uint32_t {
  Cosine = 0,
  Euclidean = 1,
  SquaredEuclidean = 2,
};

inline constexpr DistanceMetric kMetricCosine = DistanceMetric::Cosine;
inline constexpr DistanceMetric kMetricEuclidean = DistanceMetric::Euclidean;
inline constexpr DistanceMetric kMetricSquaredEuclidean = DistanceMetric::SquaredEuclidean;

inline constexpr const char kUnsupportedMetricError[] = "Unsupported distance metric.";

// Throws std::runtime_error("Unsupported distance metric.") for any code but
// 0, 1 and 2.
inline DistanceMetric metric_from_code(uint32_t code) {
  if (code > static_cast<uint32_t>(DistanceMetric::SquaredEuclidean)) {
    throw std::runtime_error(kUnsupportedMetricError);
  }
  return static_cast<DistanceMetric>(code);
}

}  // namespace tavrin

#endif  // TAVRIN_COMMON_METRIC_H_
