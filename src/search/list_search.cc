#include "search/list_search.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>

namespace tavrin {
namespace {

// NaN sorts after every number, which keeps the order strict and weak.
inline bool dist_less(float a, float b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

struct Entry {
  float dist;
  uint64_t row;
};

// The (distance, id, metadata) order, texts compared byte-wise.
struct TripleLess {
  const std::vector<std::string>* ids;
  const std::vector<std::string>* meta;  // null when the set has no metadata

  bool operator()(const Entry& a, const Entry& b) const {
    if (dist_less(a.dist, b.dist)) return true;
    if (dist_less(b.dist, a.dist)) return false;
    const int c = (*ids)[a.row].compare((*ids)[b.row]);
    if (c != 0) return c < 0;
    if (meta == nullptr) return false;
    return (*meta)[a.row].compare((*meta)[b.row]) < 0;
  }
};

// Candidate rows scored per pass; bounds the distance buffer of a group.
constexpr size_t kBlockBytes = 16 * 1024;
constexpr size_t kMaxGroup = 64;

void validate(const std::vector<std::string>& ids, const std::vector<uint64_t>& offsets,
              const std::vector<std::string>& metadata, const FloatRowsView& vectors,
              const U32Matrix& probes, const FloatRowsView& queries, uint32_t metric) {
  check_metric(metric);
  if (ids.size() != vectors.rows) {
    throw std::invalid_argument("Matching IDs and embeddings have different sizes");
  }
  if (queries.cols != vectors.cols) {
    throw std::invalid_argument("Query embedding dimension does not match item embedding");
  }
  // The checks below guard memory safety against a malformed candidate set.
  if (!metadata.empty() && metadata.size() != ids.size()) {
    throw std::invalid_argument("Matching IDs and metadata have different sizes");
  }
  if (queries.rows < probes.rows) {
    throw std::invalid_argument("Probe matrix has more rows than there are queries");
  }
  bool offsets_ok = !offsets.empty() && offsets.back() <= ids.size();
  for (size_t p = 1; offsets_ok && p < offsets.size(); ++p) {
    offsets_ok = offsets[p - 1] <= offsets[p];
  }
  if (!offsets_ok) {
    throw std::invalid_argument("Candidate list offsets do not fit the candidate set");
  }
  const uint64_t n_lists = offsets.size() - 1;
  for (uint32_t list : probes.data) {
    if (list >= n_lists) {
      throw std::invalid_argument("Probe matrix names a list outside the candidate set");
    }
  }
}

}  // namespace

SearchResults search_lists(const std::vector<std::string>& ids,
                           const std::vector<uint64_t>& offsets,
                           const std::vector<std::string>& metadata, const FloatRowsView& vectors,
                           const U32Matrix& probes, const FloatRowsView& queries, uint64_t top_k,
                           uint32_t metric, const std::vector<uint32_t>& include) {
  const uint64_t n = probes.rows;
  if (ids.empty() || probes.rows == 0 || queries.rows == 0) return SearchResults(n, 0);
  const uint64_t k = std::min<uint64_t>(top_k, ids.size());
  validate(ids, offsets, metadata, vectors, probes, queries, metric);

  SearchResults results(n, k);
  if (k == 0) return results;

  const bool with_metadata =
      std::find(include.begin(), include.end(), kIncludeMetadata) != include.end();
  const bool cosine = metric == kMetricCosine;
  const bool root = metric == kMetricEuclidean;
  const size_t d = vectors.cols;
  const size_t width = probes.cols;
  const std::string empty_text;
  const TripleLess less{&ids, metadata.empty() ? nullptr : &metadata};

  // Consecutive queries with identical probe rows form one unit of work. The
  // group is kept small enough that every thread still gets several units.
  const size_t threads = static_cast<size_t>(std::max(1, omp_get_max_threads()));
  const size_t group_cap = std::clamp<size_t>(n / (4 * threads), 1, kMaxGroup);
  std::vector<uint64_t> group_start;
  group_start.reserve(n / group_cap + 2);
  for (uint64_t q = 0; q < n; ++q) {
    const bool same_lists = q > 0 && q - group_start.back() < group_cap &&
                            (width == 0 || std::memcmp(probes.row(q), probes.row(group_start.back()),
                                                       width * sizeof(uint32_t)) == 0);
    if (!same_lists) group_start.push_back(q);
  }
  group_start.push_back(n);
  const int64_t n_groups = static_cast<int64_t>(group_start.size()) - 1;

  const size_t block_rows = std::max<size_t>(16, kBlockBytes / std::max<size_t>(1, d * 4));
  std::exception_ptr failure;

#pragma omp parallel
  {
    // Per-thread scratch, allocated once: a heap per group member and one
    // block of distances.
    std::vector<std::vector<Entry>> heaps(group_cap);
    for (auto& h : heaps) h.reserve(k);
    std::vector<float> dist(group_cap * block_rows);
    std::vector<float> norms(block_rows);
    const float* qrows[kMaxGroup];
    float qnorm[kMaxGroup];

#pragma omp for schedule(dynamic, 1)
    for (int64_t g = 0; g < n_groups; ++g) {
      try {
        const uint64_t q0 = group_start[g];
        const size_t members = group_start[g + 1] - q0;
        for (size_t m = 0; m < members; ++m) {
          heaps[m].clear();
          qrows[m] = queries.row(q0 + m);
          if (cosine) qnorm[m] = squared_norm(qrows[m], d);
        }
        const uint32_t* lists = probes.row(q0);
        for (size_t j = 0; j < width; ++j) {
          const uint64_t end = offsets[lists[j] + 1];
          for (uint64_t begin = offsets[lists[j]]; begin < end; begin += block_rows) {
            const size_t nb = static_cast<size_t>(std::min<uint64_t>(block_rows, end - begin));
            const float* rows = vectors.row(begin);
            if (cosine) {
              cosine_block(qrows, qnorm, members, rows, nb, d, dist.data(), block_rows,
                           norms.data());
            } else {
              squared_euclidean_block(qrows, members, rows, nb, d, dist.data(), block_rows);
            }
            // Offers go in scan order per query, as if it scanned alone.
            for (size_t m = 0; m < members; ++m) {
              const float* dm = dist.data() + m * block_rows;
              std::vector<Entry>& heap = heaps[m];
              size_t r = 0;
              for (; r < nb && heap.size() < k; ++r) {
                heap.push_back({dm[r], begin + r});
                std::push_heap(heap.begin(), heap.end(), less);
              }
              if (r == nb) continue;
              // Full: only a distance strictly below the largest held enters.
              float worst = heap.front().dist;
              bool worst_nan = std::isnan(worst);
              for (; r < nb; ++r) {
                const float dv = dm[r];
                if (dv < worst || (worst_nan && !std::isnan(dv))) {
                  std::pop_heap(heap.begin(), heap.end(), less);
                  heap.back() = {dv, begin + r};
                  std::push_heap(heap.begin(), heap.end(), less);
                  worst = heap.front().dist;
                  worst_nan = std::isnan(worst);
                }
              }
            }
          }
        }
        for (size_t m = 0; m < members; ++m) {
          const uint64_t q = q0 + m;
          std::vector<Entry>& heap = heaps[m];
          std::sort_heap(heap.begin(), heap.end(), less);
          if (with_metadata) results.metadata[q].resize(k);
          for (size_t i = 0; i < heap.size(); ++i) {
            const Entry& e = heap[i];
            results.ids[q * k + i] = ids[e.row];
            results.distances[q * k + i] = root ? std::sqrt(e.dist) : e.dist;
            if (with_metadata) {
              results.metadata[q][i] = metadata.empty() ? empty_text : metadata[e.row];
            }
          }
          results.counts[q] = static_cast<uint32_t>(heap.size());
        }
      } catch (...) {
#pragma omp critical(tavrin_search_lists_failure)
        if (!failure) failure = std::current_exception();
      }
    }
  }
  if (failure) std::rethrow_exception(failure);
  return results;
}

}  // namespace tavrin
