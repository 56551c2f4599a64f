#include "search/parted_search.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "common/parallel.h"
#include "search/top_k_selection.h"

namespace tavrin {

using selection::dist_less;

PartedSearch::PartedSearch(const U32Matrix& probes, uint64_t n_lists,
                           const FloatRowsView& queries, uint64_t top_k, DistanceMetric metric)
    : probes_(probes),
      queries_(queries),
      top_k_(top_k),
      metric_(metric),
      column_(n_lists, -1),
      states_(probes.rows),
      unsettled_(probes.rows, 0) {}

float PartedSearch::kth(const QueryState& s) const {
  std::vector<float> d(s.kept.size());
  for (size_t i = 0; i < d.size(); ++i) d[i] = s.kept[i].dist;
  std::nth_element(d.begin(), d.begin() + (top_k_ - 1), d.end(), dist_less);
  return d[top_k_ - 1];
}

void PartedSearch::Score(const std::vector<uint32_t>& part,
                         const std::vector<CandidateList>& views) {
  if (part.empty() || top_k_ == 0) return;
  settled_ = false;
  for (size_t i = 0; i < part.size(); ++i) {
    column_[part[i]] = static_cast<int32_t>(i);
    total_rows_ += views[i].rows;
  }
  const uint64_t width = probes_.cols;
  std::vector<uint32_t> members;
  uint64_t used = 0;
  for (uint64_t q = 0; q < probes_.rows; ++q) {
    uint64_t c = 0;
    for (uint64_t j = 0; j < width; ++j) c += column_[probes_.row(q)[j]] >= 0;
    if (c == 0) continue;
    members.push_back(static_cast<uint32_t>(q));
    used = std::max(used, c);
  }
  if (!members.empty()) {
    // Each member scans the part's lists in its own order; a shorter row is
    // padded with an empty list, which offers nothing.
    std::vector<CandidateList> lists(views);
    lists.push_back(CandidateList());
    const uint32_t empty = static_cast<uint32_t>(views.size());
    U32Matrix local(std::vector<uint32_t>(members.size() * used, empty), used);
    FloatMatrix sub = FloatMatrix::zeros(members.size(), queries_.cols);
    for (size_t m = 0; m < members.size(); ++m) {
      const uint32_t* row = probes_.row(members[m]);
      uint64_t c = 0;
      for (uint64_t j = 0; j < width; ++j) {
        if (column_[row[j]] >= 0) local.row(m)[c++] = static_cast<uint32_t>(column_[row[j]]);
      }
      std::copy(queries_.row(members[m]), queries_.row(members[m]) + queries_.cols, sub.row(m));
    }
    // One slot more than the answer's: a part that fills it shows whether it
    // cut at a tie with its k-th.
    const uint64_t slots = top_k_ == UINT64_MAX ? top_k_ : top_k_ + 1;
    const SearchResults r = search_candidate_lists_keyed(lists, local, sub, slots, metric_);

    parallel_for(members.size(), 64, 16, [&](size_t m) {
      QueryState& s = states_[members[m]];
      const uint32_t* row = probes_.row(members[m]);
      const uint64_t count = r.counts[m];
      for (uint64_t t = 0; t < count; ++t) {
        const uint64_t key = r.rows[m * r.k + t];
        const CandidateList& l = views[key >> 32];
        const uint64_t at = key & 0xFFFFFFFFu;
        const uint32_t list = part[key >> 32];
        const uint64_t j = static_cast<uint64_t>(std::find(row, row + width, list) - row);
        s.kept.push_back(Kept{r.distances[m * r.k + t], j << 32 | at, l.ids[at],
                              l.metadata == nullptr ? std::string() : l.metadata[at]});
      }
      if (count > top_k_) {
        // Slots come in ascending order: the last is the part's largest.
        const float largest = r.distances[m * r.k + count - 1];
        if (!s.cut || dist_less(largest, s.cut_at)) s.cut_at = largest;
        s.cut = true;
      }
      // Beyond the k-th smallest distance so far nothing can matter.
      if (s.kept.size() > top_k_) {
        const float bound = kth(s);
        s.kept.erase(std::remove_if(s.kept.begin(), s.kept.end(),
                                    [&](const Kept& e) { return dist_less(bound, e.dist); }),
                     s.kept.end());
      }
    });
  }
  for (uint32_t list : part) column_[list] = -1;
}

void PartedSearch::settle() {
  if (settled_) return;
  parallel_for(states_.size(), 256, 64, [&](size_t q) {
    const QueryState& s = states_[q];
    // A full part held k + 1 candidates up to its largest, so that is never
    // below the k-th overall; equal to it, the part had a tie at the k-th and
    // may have cut a candidate that belongs to the answer.
    unsettled_[q] = s.cut && !dist_less(kth(s), s.cut_at);
  });
  settled_ = true;
}

std::vector<uint32_t> PartedSearch::Unsettled() {
  settle();
  std::vector<uint32_t> out;
  for (size_t q = 0; q < unsettled_.size(); ++q) {
    if (unsettled_[q]) out.push_back(static_cast<uint32_t>(q));
  }
  return out;
}

SearchResults PartedSearch::Finish(const std::vector<uint32_t>& include) {
  const uint64_t n = probes_.rows;
  const uint64_t k = std::min(top_k_, total_rows_);
  if (k == 0 || queries_.rows == 0) return SearchResults(n, 0);
  settle();
  const bool with_metadata =
      std::find(include.begin(), include.end(), kIncludeMetadata) != include.end();
  SearchResults out(n, k);
  const bool root = metric_ == kMetricEuclidean;
  parallel_for(n, 64, 16, [&](size_t q) {
    if (unsettled_[q]) return;
    std::vector<Kept>& kept = states_[q].kept;
    std::sort(kept.begin(), kept.end(),
              [](const Kept& a, const Kept& b) { return a.scan < b.scan; });
    const size_t count = kept.size();
    std::vector<std::string> ids(count), metadata(count);
    std::vector<float> dist(count);
    for (size_t i = 0; i < count; ++i) {
      ids[i] = std::move(kept[i].id);
      metadata[i] = std::move(kept[i].metadata);
      dist[i] = kept[i].dist;
    }
    kept = std::vector<Kept>();
    // Offered again in scan order to a selection of the whole batch's size.
    const float anywhere = 0.0f;
    std::vector<CandidateList> one(1);
    one[0] = CandidateList{ids.data(), metadata.data(), &anywhere, count};
    const selection::TripleLess less{&one};
    std::vector<selection::Entry> heap;
    heap.reserve(k);
    selection::offer(heap, k, dist.data(), count, selection::row_key(0, 0), less);
    selection::write_selection(heap, q, root, with_metadata, less, out);
  });
  return out;
}

}  // namespace tavrin
