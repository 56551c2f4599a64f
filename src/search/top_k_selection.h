// The bounded selection of list search, shared by its pairwise and matrix
// scoring paths (internal to src/search).
//
// A candidate is named by its list (high 32 bits of a row key) and its row in
// that list (low 32 bits). offer() keeps the k smallest candidates in the
// order (distance, id, metadata text): while fewer than k are held a candidate
// is added; afterwards only a distance strictly below the largest held enters,
// and the held entry greatest in that order leaves. NaN ranks after every
// number. write_selection() empties a selection into one result row.
#ifndef TAVRIN_SEARCH_TOP_K_SELECTION_H_
#define TAVRIN_SEARCH_TOP_K_SELECTION_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "search/list_search.h"
#include "search/search_results.h"

namespace tavrin {
namespace selection {

// NaN sorts after every number, which keeps the order strict and weak.
inline bool dist_less(float a, float b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

struct Entry {
  float dist;
  uint64_t row;
};

inline uint64_t row_key(uint64_t list, uint64_t local) { return list << 32 | local; }

inline const std::string& empty_string() {
  static const std::string empty;
  return empty;
}

// The (distance, id, metadata) order, texts compared byte-wise.
struct TripleLess {
  const std::vector<CandidateList>* lists;

  const std::string& id(uint64_t row) const {
    return (*lists)[row >> 32].ids[row & 0xFFFFFFFFu];
  }
  const std::string& meta(uint64_t row) const {
    const CandidateList& l = (*lists)[row >> 32];
    return l.metadata == nullptr ? empty_string() : l.metadata[row & 0xFFFFFFFFu];
  }

  bool operator()(const Entry& a, const Entry& b) const {
    if (dist_less(a.dist, b.dist)) return true;
    if (dist_less(b.dist, a.dist)) return false;
    const int c = id(a.row).compare(id(b.row));
    if (c != 0) return c < 0;
    return meta(a.row).compare(meta(b.row)) < 0;
  }
};

// Offers n candidates (rows first_row ..) with distances dist, in order, to a
// selection of capacity k. (Out of line: inlined into the scanning loops it
// made them slower.)
void offer(std::vector<Entry>& heap, uint64_t k, const float* dist, size_t n, uint64_t first_row,
           const TripleLess& less);

// Writes the held entries of query q in ascending order (the Euclidean
// metric rooted, unless the results are keyed: then with their row keys),
// its count, and its metadata texts when asked for; leaves the selection
// empty.
void write_selection(std::vector<Entry>& heap, uint64_t q, bool root, bool with_metadata,
                     const TripleLess& less, SearchResults& results);

}  // namespace selection
}  // namespace tavrin

#endif  // TAVRIN_SEARCH_TOP_K_SELECTION_H_
