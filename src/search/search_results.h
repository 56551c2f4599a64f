// Answer of a batch search: for n queries and k slots per query, slot i of
// query q is at q * k + i in ids and distances. Only the first counts[q]
// slots of a query are valid; the rest hold an empty id and distance 0.
// metadata[q] is empty unless metadata was asked for; then it has k texts
// (empty past counts[q]).
#ifndef TAVRIN_SEARCH_SEARCH_RESULTS_H_
#define TAVRIN_SEARCH_SEARCH_RESULTS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tavrin {

struct SearchResults {
  uint64_t n_queries = 0;
  uint64_t k = 0;
  std::vector<std::string> ids;
  std::vector<float> distances;
  std::vector<uint32_t> counts;
  std::vector<std::vector<std::string>> metadata;
  // Empty unless a keyed search filled it: slot i's candidate as its list
  // number << 32 | its row in that list. Distances are then left as compared
  // (Euclidean not rooted).
  std::vector<uint64_t> rows;

  SearchResults() = default;
  SearchResults(uint64_t n, uint64_t slots)
      : n_queries(n),
        k(slots),
        ids(n * slots),
        distances(n * slots, 0.0f),
        counts(n, 0),
        metadata(n) {}

  const std::string& id(uint64_t q, uint64_t i) const { return ids[q * k + i]; }
  float distance(uint64_t q, uint64_t i) const { return distances[q * k + i]; }
};

}  // namespace tavrin

#endif  // TAVRIN_SEARCH_SEARCH_RESULTS_H_
