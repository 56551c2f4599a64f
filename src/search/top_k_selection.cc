#include "search/top_k_selection.h"

#include <algorithm>
#include <cmath>

namespace tavrin {
namespace selection {

// Offers n candidates (rows first_row ..) with distances dist, in order, to a
// selection of capacity k.
void offer(std::vector<Entry>& heap, uint64_t k, const float* dist, size_t n, uint64_t first_row,
           const TripleLess& less) {
  size_t r = 0;
  for (; r < n && heap.size() < k; ++r) {
    heap.push_back({dist[r], first_row + r});
    std::push_heap(heap.begin(), heap.end(), less);
  }
  if (r == n) return;
  // Full: only a distance strictly below the largest held enters.
  float worst = heap.front().dist;
  bool worst_nan = std::isnan(worst);
  for (; r < n; ++r) {
    const float dv = dist[r];
    if (dv < worst || (worst_nan && !std::isnan(dv))) {
      std::pop_heap(heap.begin(), heap.end(), less);
      heap.back() = {dv, first_row + r};
      std::push_heap(heap.begin(), heap.end(), less);
      worst = heap.front().dist;
      worst_nan = std::isnan(worst);
    }
  }
}

// Writes the held entries of query q in ascending order (the Euclidean
// metric rooted), its count, and its metadata texts when asked for; leaves
// the selection empty.
void write_selection(std::vector<Entry>& heap, uint64_t q, bool root, bool with_metadata,
                     const TripleLess& less, SearchResults& results) {
  const uint64_t k = results.k;
  std::sort_heap(heap.begin(), heap.end(), less);
  if (with_metadata) results.metadata[q].resize(k);
  const bool keyed = !results.rows.empty();
  for (size_t i = 0; i < heap.size(); ++i) {
    const Entry& e = heap[i];
    results.ids[q * k + i] = less.id(e.row);
    results.distances[q * k + i] = root && !keyed ? std::sqrt(e.dist) : e.dist;
    if (with_metadata) results.metadata[q][i] = less.meta(e.row);
    if (keyed) results.rows[q * k + i] = e.row;
  }
  results.counts[q] = static_cast<uint32_t>(heap.size());
  heap.clear();
}

}  // namespace selection
}  // namespace tavrin
