#include "search/list_search.h"

#include "common/parallel.h"
#include "search/matrix_list_search.h"
#include "search/top_k_selection.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>

namespace tavrin {
namespace {

using selection::Entry;
using selection::TripleLess;
using selection::offer;
using selection::row_key;

// Candidate rows scored per pass; bounds the distance buffer of a group.
constexpr size_t kBlockBytes = 16 * 1024;
constexpr size_t kMaxGroup = 64;
// Distances a group of queries with different lists may hold at once.
constexpr uint64_t kBufferFloats = uint64_t{1} << 18;

struct Group {
  uint64_t start;
  uint64_t end;
  bool shared;  // every member has the same probe row
};

// One probe column of one group member: its list, and where that list's
// distances start in the member buffers.
struct ListUse {
  uint32_t list;
  uint32_t member;
  uint64_t at;
};

void validate(const std::vector<std::string>& ids, const std::vector<uint64_t>& offsets,
              const std::vector<std::string>& metadata, const FloatRowsView& vectors,
              const FloatRowsView& queries) {
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
  bool offsets_ok = !offsets.empty() && offsets.back() <= ids.size();
  for (size_t p = 1; offsets_ok && p < offsets.size(); ++p) {
    offsets_ok = offsets[p - 1] <= offsets[p];
  }
  if (!offsets_ok) {
    throw std::invalid_argument("Candidate list offsets do not fit the candidate set");
  }
}

void validate_lists(const std::vector<CandidateList>& lists, const U32Matrix& probes,
                    const FloatRowsView& queries) {
  if (queries.rows < probes.rows) {
    throw std::invalid_argument("Probe matrix has more rows than there are queries");
  }
  if (lists.size() > 0xFFFFFFFFu) {
    throw std::invalid_argument("Too many candidate lists");
  }
  for (const CandidateList& l : lists) {
    if (l.rows > 0xFFFFFFFFu || (l.rows > 0 && (l.ids == nullptr || l.vectors == nullptr))) {
      throw std::invalid_argument("Candidate list offsets do not fit the candidate set");
    }
  }
  for (uint32_t list : probes.data) {
    if (list >= lists.size()) {
      throw std::invalid_argument("Probe matrix names a list outside the candidate set");
    }
  }
}

// Per-thread scratch, allocated before the region so that no allocation
// can fail inside it but under the error guard.
struct alignas(64) Scratch {
  std::vector<std::vector<Entry>> heaps;
  std::vector<float> dist;
  std::vector<float> norms;
  std::vector<float> gathered;
  std::vector<ListUse> uses;
  const float* qrows[kMaxGroup];
  float qnorm[kMaxGroup];
  const float* use_rows[kMaxGroup];
  float use_norm[kMaxGroup];
};

// Scores the queries of `order` (ascending) pairwise, in their own scan
// order, and writes their rows of results.
class PairwiseSearch {
 public:
  PairwiseSearch(const std::vector<CandidateList>& lists, const U32Matrix& probes,
                 const FloatRowsView& queries, const std::vector<uint32_t>& order, uint64_t k,
                 DistanceMetric metric, bool with_metadata, SearchResults& results)
      : lists_(lists),
        probes_(probes),
        queries_(queries),
        order_(order),
        k_(k),
        with_metadata_(with_metadata),
        results_(results),
        cosine_(metric == kMetricCosine),
        root_(metric == kMetricEuclidean),
        d_(queries.cols),
        width_(probes.cols),
        less_{&lists},
        threads_(static_cast<size_t>(std::max(1, omp_get_max_threads()))),
        group_cap_(std::clamp<size_t>(order.size() / (4 * threads_), 1, kMaxGroup)),
        block_rows_(std::max<size_t>(16, kBlockBytes / std::max<size_t>(1, d_ * 4))) {}

  void run() {
    build_groups();
    prepare_scratch();
    score_groups();
  }

 private:
  // Groups are runs of positions in `order`.
  const uint32_t* probe_row(uint64_t at) const { return probes_.row(order_[at]); }

  uint64_t scan_size(uint64_t at) const {
    uint64_t total = 0;
    for (size_t j = 0; j < width_; ++j) {
      total += lists_[probe_row(at)[j]].rows;
    }
    return total;
  }

  // Consecutive queries form one unit of work, so that a list they share is
  // read from memory once for all of them. Queries with identical probe rows
  // are scored block by block and offer straight from the block; otherwise
  // each member's distances are gathered list by list into a per-member
  // buffer (bounded by kBufferFloats per group) and offered afterwards in
  // the member's own scan order. The group is kept small enough that every
  // thread still gets several units.
  void build_groups() {
    const uint64_t n = order_.size();
    for (uint64_t q = 0; q < n;) {
      Group grp{q, q + 1, true};
      uint64_t total = scan_size(q);
      for (++q; q < n && q - grp.start < group_cap_; ++q) {
        const bool same = width_ == 0 || std::memcmp(probe_row(q), probe_row(grp.start),
                                                     width_ * sizeof(uint32_t)) == 0;
        const uint64_t size = scan_size(q);
        if (!(grp.shared && same) && total + size > kBufferFloats) break;
        grp.shared = grp.shared && same;
        total += size;
        grp.end = q + 1;
      }
      groups_.push_back(grp);
    }
  }

  void prepare_scratch() {
    scratch_.resize(threads_);
    for (Scratch& s : scratch_) {
      s.heaps.resize(group_cap_);
      for (auto& h : s.heaps) h.reserve(k_);
      s.dist.resize(group_cap_ * block_rows_);
      s.norms.resize(block_rows_);
    }
  }

  // Distances of nb rows of a list from `begin` to `count` queries, into dist.
  void score(Scratch& s, const float* const* qs, const float* qn, size_t count, uint32_t list,
             uint64_t begin, size_t nb) const {
    const float* rows = lists_[list].vectors + begin * d_;
    if (cosine_) {
      cosine_block(qs, qn, count, rows, nb, d_, s.dist.data(), block_rows_, s.norms.data());
    } else {
      squared_euclidean_block(qs, count, rows, nb, d_, s.dist.data(), block_rows_);
    }
  }

  // Every member has the probe row of the first: offer straight from the block.
  void score_shared(Scratch& s, uint64_t q0, size_t members) const {
    const uint32_t* chosen = probe_row(q0);
    for (size_t j = 0; j < width_; ++j) {
      const uint64_t end = lists_[chosen[j]].rows;
      for (uint64_t begin = 0; begin < end; begin += block_rows_) {
        const size_t nb = static_cast<size_t>(std::min<uint64_t>(block_rows_, end - begin));
        score(s, s.qrows, s.qnorm, members, chosen[j], begin, nb);
        for (size_t m = 0; m < members; ++m) {
          offer(s.heaps[m], k_, s.dist.data() + m * block_rows_, nb, row_key(chosen[j], begin),
                less_);
        }
      }
    }
  }

  void score_gathered(Scratch& s, uint64_t q0, size_t members) const {
    // Where each (member, probe column) lands in the member buffers.
    s.uses.clear();
    uint64_t at = 0;
    for (size_t m = 0; m < members; ++m) {
      const uint32_t* chosen = probe_row(q0 + m);
      for (size_t j = 0; j < width_; ++j) {
        s.uses.push_back({chosen[j], static_cast<uint32_t>(m), at});
        at += lists_[chosen[j]].rows;
      }
    }
    s.gathered.resize(at);
    std::sort(s.uses.begin(), s.uses.end(), [](const ListUse& a, const ListUse& b) {
      return a.list != b.list ? a.list < b.list : a.at < b.at;
    });
    for (size_t u = 0; u < s.uses.size();) {
      // Up to group_cap uses of one list are scored together.
      size_t v = u;
      while (v < s.uses.size() && v - u < group_cap_ && s.uses[v].list == s.uses[u].list) {
        s.use_rows[v - u] = s.qrows[s.uses[v].member];
        s.use_norm[v - u] = s.qnorm[s.uses[v].member];
        ++v;
      }
      const uint64_t end = lists_[s.uses[u].list].rows;
      for (uint64_t begin = 0; begin < end; begin += block_rows_) {
        const size_t nb = static_cast<size_t>(std::min<uint64_t>(block_rows_, end - begin));
        score(s, s.use_rows, s.use_norm, v - u, s.uses[u].list, begin, nb);
        for (size_t w = u; w < v; ++w) {
          std::copy(s.dist.data() + (w - u) * block_rows_,
                    s.dist.data() + (w - u) * block_rows_ + nb,
                    s.gathered.data() + s.uses[w].at + begin);
        }
      }
      u = v;
    }
    at = 0;
    for (size_t m = 0; m < members; ++m) {
      const uint32_t* chosen = probe_row(q0 + m);
      for (size_t j = 0; j < width_; ++j) {
        const uint64_t size = lists_[chosen[j]].rows;
        offer(s.heaps[m], k_, s.gathered.data() + at, size, row_key(chosen[j], 0), less_);
        at += size;
      }
    }
  }

  void score_group(Scratch& s, const Group& group) const {
    const uint64_t q0 = group.start;
    const size_t members = group.end - q0;
    for (size_t m = 0; m < members; ++m) {
      s.heaps[m].clear();
      s.qrows[m] = queries_.row(order_[q0 + m]);
      if (cosine_) s.qnorm[m] = squared_norm(s.qrows[m], d_);
    }
    if (group.shared) {
      score_shared(s, q0, members);
    } else {
      score_gathered(s, q0, members);
    }
    for (size_t m = 0; m < members; ++m) {
      selection::write_selection(s.heaps[m], order_[q0 + m], root_, with_metadata_, less_,
                                 results_);
    }
  }

  void score_groups() {
    OrderedErrors errors;
    const int64_t n_groups = static_cast<int64_t>(groups_.size());
#pragma omp parallel
    {
      Scratch& own = scratch_[static_cast<size_t>(omp_get_thread_num())];
#pragma omp for schedule(dynamic, 1)
      for (int64_t g = 0; g < n_groups; ++g) {
        errors.run(static_cast<size_t>(g), [&] { score_group(own, groups_[g]); });
      }
    }
    errors.rethrow();
  }

  const std::vector<CandidateList>& lists_;
  const U32Matrix& probes_;
  const FloatRowsView& queries_;
  const std::vector<uint32_t>& order_;
  const uint64_t k_;
  const bool with_metadata_;
  SearchResults& results_;
  const bool cosine_;
  const bool root_;
  const size_t d_;
  const size_t width_;
  const TripleLess less_;
  const size_t threads_;
  const size_t group_cap_;
  // Candidate rows scored per pass.
  const size_t block_rows_;
  std::vector<Group> groups_;
  std::vector<Scratch> scratch_;
};

void pairwise_search(const std::vector<CandidateList>& lists, const U32Matrix& probes,
                     const FloatRowsView& queries, const std::vector<uint32_t>& order, uint64_t k,
                     DistanceMetric metric, bool with_metadata, SearchResults& results) {
  if (order.empty()) return;
  PairwiseSearch(lists, probes, queries, order, k, metric, with_metadata, results).run();
}

}  // namespace

SearchResults search_lists(const std::vector<std::string>& ids,
                           const std::vector<uint64_t>& offsets,
                           const std::vector<std::string>& metadata, const FloatRowsView& vectors,
                           const U32Matrix& probes, const FloatRowsView& queries, uint64_t top_k,
                           DistanceMetric metric, const std::vector<uint32_t>& include) {
  if (ids.empty() || probes.rows == 0 || queries.rows == 0) return SearchResults(probes.rows, 0);
  validate(ids, offsets, metadata, vectors, queries);
  // Views of each list in place: nothing is copied.
  std::vector<CandidateList> lists(offsets.size() - 1);
  for (size_t p = 0; p + 1 < offsets.size(); ++p) {
    lists[p].ids = ids.data() + offsets[p];
    lists[p].metadata = metadata.empty() ? nullptr : metadata.data() + offsets[p];
    lists[p].vectors = vectors.data + offsets[p] * vectors.cols;
    lists[p].rows = offsets[p + 1] - offsets[p];
  }
  return search_candidate_lists(lists, probes, queries, top_k, metric, include);
}

namespace {

SearchResults search_candidates(const std::vector<CandidateList>& lists, const U32Matrix& probes,
                                const FloatRowsView& queries, uint64_t top_k,
                                DistanceMetric metric, bool with_metadata, bool keyed) {
  const uint64_t n = probes.rows;
  uint64_t total_rows = 0;
  for (const CandidateList& l : lists) total_rows += l.rows;
  if (total_rows == 0 || probes.rows == 0 || queries.rows == 0) return SearchResults(n, 0);
  const uint64_t k = std::min<uint64_t>(top_k, total_rows);
  validate_lists(lists, probes, queries);
  SearchResults results(n, k);
  if (k == 0) return results;
  if (keyed) results.rows.assign(n * k, 0);

  const MatrixPlan plan = plan_matrix_search(lists, probes, queries, k, metric, list_scoring());
  matrix_search(plan, lists, probes, queries, k, metric, with_metadata, results);
  pairwise_search(lists, probes, queries, plan.others, k, metric, with_metadata, results);
  return results;
}

}  // namespace

SearchResults search_candidate_lists(const std::vector<CandidateList>& lists,
                                     const U32Matrix& probes, const FloatRowsView& queries,
                                     uint64_t top_k, DistanceMetric metric,
                                     const std::vector<uint32_t>& include) {
  const bool with_metadata =
      std::find(include.begin(), include.end(), kIncludeMetadata) != include.end();
  return search_candidates(lists, probes, queries, top_k, metric, with_metadata, false);
}

SearchResults search_candidate_lists_keyed(const std::vector<CandidateList>& lists,
                                           const U32Matrix& probes, const FloatRowsView& queries,
                                           uint64_t top_k, DistanceMetric metric) {
  return search_candidates(lists, probes, queries, top_k, metric, false, true);
}

}  // namespace tavrin
