// Metric codes shared by search, probing, clustering and assignment.
// 0 cosine, 1 Euclidean, 2 squared Euclidean; every other code is refused
// with std::runtime_error("Unsupported distance metric.").
#ifndef TAVRIN_SEARCH_METRIC_H_
#define TAVRIN_SEARCH_METRIC_H_

#include <cstdint>
#include <stdexcept>

namespace tavrin {

inline constexpr uint32_t kMetricCosine = 0;
inline constexpr uint32_t kMetricEuclidean = 1;
inline constexpr uint32_t kMetricSquaredEuclidean = 2;

inline constexpr const char kUnsupportedMetricError[] = "Unsupported distance metric.";

inline void check_metric(uint32_t metric) {
  if (metric != kMetricCosine && metric != kMetricEuclidean && metric != kMetricSquaredEuclidean) {
    throw std::runtime_error(kUnsupportedMetricError);
  }
}

}  // namespace tavrin

#endif  // TAVRIN_SEARCH_METRIC_H_
