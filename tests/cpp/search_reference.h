// Reference arithmetic for the search tests: distances in double precision,
// written plainly so that they share no code with the kernels under test.
#ifndef TAVRIN_TESTS_CPP_SEARCH_REFERENCE_H_
#define TAVRIN_TESTS_CPP_SEARCH_REFERENCE_H_

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "common/metric.h"

namespace tavrin::testing {

// Cosine is 1 when either vector is zero; Euclidean is rooted.
inline double ref_distance(const float* a, const float* b, size_t d, DistanceMetric metric) {
  double dot = 0, na = 0, nb = 0, sq = 0;
  for (size_t i = 0; i < d; ++i) {
    dot += double(a[i]) * b[i];
    na += double(a[i]) * a[i];
    nb += double(b[i]) * b[i];
    sq += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  }
  if (metric == kMetricCosine) {
    const double den = std::sqrt(na) * std::sqrt(nb);
    return den == 0 ? 1.0 : 1.0 - dot / den;
  }
  return metric == kMetricEuclidean ? std::sqrt(sq) : sq;
}

inline std::vector<float> random_floats(size_t count, std::mt19937& gen) {
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (float& x : v) x = u(gen);
  return v;
}

}  // namespace tavrin::testing

#endif  // TAVRIN_TESTS_CPP_SEARCH_REFERENCE_H_
