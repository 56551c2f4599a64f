// Reference arithmetic for the search tests: distances in double precision,
// written plainly so that they share no code with the kernels under test.
#ifndef TAVRIN_TESTS_CPP_SEARCH_REFERENCE_H_
#define TAVRIN_TESTS_CPP_SEARCH_REFERENCE_H_

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
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

// One offer of a scan: distance, id, metadata text.
using RefOffer = std::tuple<float, std::string, std::string>;

// NaN after every number.
inline bool ref_dist_less(float a, float b) {
  if (std::isnan(a)) return false;
  return std::isnan(b) || a < b;
}

inline bool ref_triple_less(const RefOffer& a, const RefOffer& b) {
  if (ref_dist_less(std::get<0>(a), std::get<0>(b))) return true;
  if (ref_dist_less(std::get<0>(b), std::get<0>(a))) return false;
  return std::tie(std::get<1>(a), std::get<2>(a)) < std::tie(std::get<1>(b), std::get<2>(b));
}

// The bounded selection as written: offers in scan order; below k entries
// each is added; then one enters only when its distance is strictly below
// the largest distance held, and the held entry greatest in (distance, id,
// metadata) leaves. Returns the held entries in ascending order.
inline std::vector<RefOffer> ref_bounded_selection(const std::vector<RefOffer>& scan, size_t k) {
  std::vector<RefOffer> held;
  for (const RefOffer& o : scan) {
    if (held.size() < k) {
      held.push_back(o);
      continue;
    }
    if (held.empty()) continue;
    const auto greatest = std::max_element(held.begin(), held.end(), ref_triple_less);  // the first
    if (ref_dist_less(std::get<0>(o), std::get<0>(*greatest))) *greatest = o;
  }
  std::sort(held.begin(), held.end(), ref_triple_less);
  return held;
}

// The bits of a float, for exact comparison (NaN equal to itself, -0 apart
// from 0).
inline uint32_t float_bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

inline std::vector<float> random_floats(size_t count, std::mt19937& gen) {
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (float& x : v) x = u(gen);
  return v;
}

}  // namespace tavrin::testing

#endif  // TAVRIN_TESTS_CPP_SEARCH_REFERENCE_H_
