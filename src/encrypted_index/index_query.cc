// Queries: the exhaustive path before training, the probed and pre-filtered
// path after; the item filter runs before scoring.
#include <algorithm>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/parallel.h"
#include "common/diagnostics.h"
#include "encrypted_index/encrypted_index.h"
#include "encrypted_index/index_core.h"
#include "encrypted_index/writing.h"
#include "filter/filter_eval.h"
#include "filter/filter_parse.h"
#include "search/distance.h"
#include "search/list_search.h"
#include "search/parted_search.h"
#include "search/probe.h"

namespace tavrin {
namespace {

constexpr uint64_t kUntrainedWarning = 50000;

// Fills what a list keeps about its rows (slot(list), a shared pointer to a
// const T) where it is still empty, with make(list): once per list even when
// it is listed twice, the lists side by side. Runs on the calling thread's
// side of the search, before the lists are shared with its workers.
template <typename T, typename Slot, typename Make>
void fill_once(const std::vector<DecodedListPtr>& lists, Slot slot, Make make) {
  std::vector<const DecodedList*> missing;
  std::unordered_set<const DecodedList*> seen;
  for (const DecodedListPtr& list : lists) {
    if (!slot(*list) && seen.insert(list.get()).second) missing.push_back(list.get());
  }
  std::vector<std::shared_ptr<const T>> made(missing.size());
  parallel_for(missing.size(), 2, 1,
               [&](size_t i) { made[i] = std::make_shared<const T>(make(*missing[i])); });
  for (size_t i = 0; i < missing.size(); ++i) slot(*missing[i]) = std::move(made[i]);
}

// Keeps the rows of each list whose metadata satisfies the filter. A list
// that keeps every row is used as it is; others are copied row by row.
std::vector<DecodedListPtr> filter_lists(const std::vector<DecodedListPtr>& lists,
                                         const nlohmann::json& filter, uint64_t floats) {
  ValidateFilter(filter);
  fill_once<std::vector<nlohmann::json>>(
      lists, [](const DecodedList& l) -> auto& { return l.documents; },
      [](const DecodedList& l) {
        return ParseMetadataBatch(l.metadata_kept() ? l.metadata
                                                    : std::vector<std::string>(l.rows()));
      });
  std::vector<const std::vector<nlohmann::json>*> groups;
  std::vector<size_t> offsets{0};
  for (const DecodedListPtr& list : lists) {
    groups.push_back(list->documents.get());
    offsets.push_back(offsets.back() + list->rows());
  }
  const std::vector<uint32_t> matches = FilterItemGroups(groups, filter, /*validate=*/false);

  std::vector<DecodedListPtr> out(lists.size());
  size_t m = 0;
  for (size_t p = 0; p < lists.size(); ++p) {
    const DecodedList& in = *lists[p];
    const size_t first = m;
    while (m < matches.size() && matches[m] < offsets[p + 1]) ++m;
    if (m - first == in.rows()) {
      out[p] = lists[p];
      continue;
    }
    auto kept = std::make_shared<DecodedList>();
    kept->list = in.list;
    kept->entries_read = in.entries_read;
    kept->vectors.reserve((m - first) * floats);
    for (size_t j = first; j < m; ++j) {
      const size_t r = matches[j] - offsets[p];
      kept->ids.push_back(in.ids[r]);
      if (in.metadata_kept()) kept->metadata.push_back(in.metadata[r]);
      kept->vectors.insert(kept->vectors.end(), in.vectors.begin() + r * floats,
                           in.vectors.begin() + (r + 1) * floats);
    }
    out[p] = std::move(kept);
  }
  return out;
}

std::vector<CandidateList> views_of(const std::vector<DecodedListPtr>& lists);

}  // namespace

namespace {

// Measures the rows of each list not measured before, once even when it is
// listed twice: lists a cache keeps are searched again and again.
void keep_norms(const std::vector<DecodedListPtr>& lists, uint64_t dimension) {
  fill_once<std::vector<float>>(
      lists, [](const DecodedList& l) -> auto& { return l.sq_norms; },
      [&](const DecodedList& l) {
        std::vector<float> norms(l.rows());
        squared_norms(l.vectors.data(), norms.size(), dimension, norms.data());
        return norms;
      });
}

std::vector<CandidateList> views_of(const std::vector<DecodedListPtr>& lists) {
  std::vector<CandidateList> views(lists.size());
  for (size_t p = 0; p < lists.size(); ++p) {
    const DecodedList& l = *lists[p];
    views[p].ids = l.ids.data();
    views[p].metadata = l.metadata_kept() ? l.metadata.data() : nullptr;
    views[p].vectors = l.vectors.data();
    views[p].rows = l.rows();
    if (l.sq_norms) views[p].sq_norms = l.sq_norms->data();
  }
  return views;
}

// Widening of filtered queries that came back short. Each short query walks
// its own ranking of the pre-filtered centroids, nearest first, taking every
// list it has not probed yet, until the matches in its probed lists reach
// top_k or it has probed max_probes lists. Lists are read in rounds for all
// queries at once; a query that reaches a list nobody has read yet asks for
// as many of its next lists as it has probed so far, so that a rare filter
// needs a logarithmic number of rounds, and a list read once in the call
// (for any query) is never read again.
// `mapping` and `centroids` are the pre-filter's selection; `candidates` the
// filtered lists read for `lists`; `probes` the positions the batch searched.
void widen_short_queries(IndexCore& core, DistanceMetric metric, uint64_t dimension,
                         const FloatMatrix& queries, const QueryParams& params,
                         const nlohmann::json& filter, const std::vector<uint32_t>& mapping,
                         const FloatMatrix& centroids, const std::vector<uint32_t>& lists,
                         const U32Matrix& probes, std::vector<DecodedListPtr> candidates,
                         SearchResults& results) {
  const uint64_t max_probes = std::min<uint64_t>(*params.max_probes, mapping.size());
  std::vector<uint32_t> short_queries;
  for (uint64_t q = 0; q < queries.rows; ++q) {
    if (results.counts[q] < params.top_k && probes.cols < max_probes) {
      short_queries.push_back(static_cast<uint32_t>(q));
    }
  }
  if (short_queries.empty()) return;
  FloatMatrix subset = FloatMatrix::zeros(short_queries.size(), queries.cols);
  for (size_t i = 0; i < short_queries.size(); ++i) {
    std::copy(queries.row(short_queries[i]), queries.row(short_queries[i]) + queries.cols,
              subset.row(i));
  }
  // The full ranking: every kept centroid, nearest first (all of them are
  // fetched, so a position is a centroid's place in the selection).
  const ProbePlan ranking = probe_centroids(subset, centroids, mapping.size(), metric, 0.0f);

  std::unordered_map<uint32_t, size_t> at;  // list -> slot in candidates
  for (size_t p = 0; p < lists.size(); ++p) at.emplace(lists[p], p);
  struct Walk {
    std::vector<uint32_t> probed;  // slots in candidates
    std::unordered_set<uint32_t> seen;  // lists
    uint64_t next = 0;  // position in the ranking
    uint64_t matches = 0;
    bool done = false;
  };
  std::vector<Walk> walks(short_queries.size());
  for (size_t i = 0; i < short_queries.size(); ++i) {
    Walk& w = walks[i];
    for (uint64_t j = 0; j < probes.cols; ++j) {
      const uint32_t slot = probes.row(short_queries[i])[j];
      w.probed.push_back(slot);
      w.seen.insert(lists[slot]);
      w.matches += candidates[slot]->rows();
    }
  }
  for (;;) {
    std::vector<uint32_t> wanted;
    std::unordered_set<uint32_t> wanted_set;
    for (size_t i = 0; i < walks.size(); ++i) {
      Walk& w = walks[i];
      const uint32_t* order = ranking.positions.row(i);
      while (!w.done) {
        if (w.matches >= params.top_k || w.probed.size() >= max_probes ||
            w.next >= ranking.positions.cols) {
          w.done = true;
          break;
        }
        const uint32_t list = mapping[ranking.unique[order[w.next]]];
        if (w.seen.count(list)) {
          ++w.next;
          continue;
        }
        auto it = at.find(list);
        if (it == at.end()) {
          // Ask for this list and as many of the next unseen ones as the
          // query has probed.
          uint64_t ahead = std::max<uint64_t>(1, w.probed.size());
          for (uint64_t n = w.next; n < ranking.positions.cols && ahead > 0; ++n) {
            const uint32_t l = mapping[ranking.unique[order[n]]];
            if (w.seen.count(l) || at.count(l)) continue;
            if (wanted_set.insert(l).second) wanted.push_back(l);
            --ahead;
          }
          break;
        }
        w.probed.push_back(static_cast<uint32_t>(it->second));
        w.seen.insert(list);
        w.matches += candidates[it->second]->rows();
        ++w.next;
      }
    }
    if (wanted.empty()) break;
    std::vector<DecodedListPtr> read = filter_lists(core.MergeResults(wanted), filter, dimension);
    for (size_t p = 0; p < wanted.size(); ++p) {
      at.emplace(wanted[p], candidates.size());
      candidates.push_back(std::move(read[p]));
    }
  }

  // Slots per query follow the rows searched, so the widened answer may need
  // more of them than the batch had: every query's row is copied over.
  const std::vector<CandidateList> views = views_of(candidates);
  uint64_t total_rows = 0;
  for (const CandidateList& v : views) total_rows += v.rows;
  SearchResults widened(queries.rows, std::min<uint64_t>(params.top_k, total_rows));
  auto copy_row = [&widened](const SearchResults& from, uint64_t from_q, uint64_t to_q) {
    const uint64_t count = from.counts[from_q];
    for (uint64_t s = 0; s < count; ++s) {
      widened.ids[to_q * widened.k + s] = from.ids[from_q * from.k + s];
      widened.distances[to_q * widened.k + s] = from.distances[from_q * from.k + s];
    }
    widened.counts[to_q] = static_cast<uint32_t>(count);
    if (!from.metadata[from_q].empty()) {
      widened.metadata[to_q].assign(widened.k, std::string());
      std::copy_n(from.metadata[from_q].begin(), count, widened.metadata[to_q].begin());
    }
  };
  std::vector<int64_t> walk_of(queries.rows, -1);
  for (size_t i = 0; i < walks.size(); ++i) {
    if (walks[i].probed.size() > probes.cols) walk_of[short_queries[i]] = static_cast<int64_t>(i);
  }
  for (uint64_t q = 0; q < queries.rows; ++q) {
    if (walk_of[q] < 0) {
      copy_row(results, q, q);
      continue;
    }
    const std::vector<uint32_t>& probed = walks[walk_of[q]].probed;
    U32Matrix row = U32Matrix::zeros(1, probed.size());
    std::copy(probed.begin(), probed.end(), row.data.begin());
    const SearchResults one =
        search_candidate_lists(views, row, FloatRowsView(queries.row(q), 1, queries.cols),
                               params.top_k, metric, params.include);
    copy_row(one, 0, q);
  }
  results = std::move(widened);
}

// A cold batch reads its lists a part of about this many bytes of rows at a
// time: reading every probed list at once held all the rows of a large index
// for one batch.
std::atomic<uint64_t> part_bytes{uint64_t{32} << 20};
// Bytes a row holds beside its vector (id, metadata and their strings).
constexpr uint64_t kRowOverhead = 96;

bool rows_name_lists_once(const U32Matrix& probes) {
  std::vector<uint32_t> row(probes.cols);
  for (uint64_t q = 0; q < probes.rows; ++q) {
    std::copy(probes.row(q), probes.row(q) + probes.cols, row.begin());
    std::sort(row.begin(), row.end());
    if (std::adjacent_find(row.begin(), row.end()) != row.end()) return false;
  }
  return true;
}

// The search over `lists` (probes name positions in it), each part read,
// scored and released before the next is read. Queries a part may have cut
// at a tie are answered again over all their lists at once. Expects the
// list counts loaded.
SearchResults search_in_parts(IndexCore& core, const std::vector<uint32_t>& lists,
                              const U32Matrix& probes, const FloatMatrix& queries,
                              const QueryParams& params, DistanceMetric metric,
                              uint64_t row_bytes) {
  const std::vector<uint32_t>& counts = core.list_counts();
  PartedSearch parted(probes, lists.size(), queries, params.top_k, metric);
  for (size_t p = 0; p < lists.size();) {
    std::vector<uint32_t> slots, part;
    uint64_t bytes = 0;
    for (; p < lists.size() && (slots.empty() || bytes < cold_part_bytes()); ++p) {
      slots.push_back(static_cast<uint32_t>(p));
      part.push_back(lists[p]);
      bytes += uint64_t{counts[lists[p]]} * row_bytes;
    }
    const std::vector<DecodedListPtr> read = core.MergeResults(part, /*counts_loaded=*/true);
    parted.Score(slots, views_of(read));
  }
  const std::vector<uint32_t> redo = parted.Unsettled();
  SearchResults results = parted.Finish(params.include);
  if (redo.empty()) return results;

  std::vector<int64_t> local(lists.size(), -1);
  std::vector<uint32_t> again;
  U32Matrix sub_probes = U32Matrix::zeros(redo.size(), probes.cols);
  FloatMatrix sub_queries = FloatMatrix::zeros(redo.size(), queries.cols);
  for (size_t i = 0; i < redo.size(); ++i) {
    for (uint64_t j = 0; j < probes.cols; ++j) {
      const uint32_t slot = probes.row(redo[i])[j];
      if (local[slot] < 0) {
        local[slot] = static_cast<int64_t>(again.size());
        again.push_back(lists[slot]);
      }
      sub_probes.row(i)[j] = static_cast<uint32_t>(local[slot]);
    }
    std::copy(queries.row(redo[i]), queries.row(redo[i]) + queries.cols, sub_queries.row(i));
  }
  const std::vector<DecodedListPtr> read = core.MergeResults(again, /*counts_loaded=*/true);
  const SearchResults one = search_candidate_lists(views_of(read), sub_probes, sub_queries,
                                                   params.top_k, metric, params.include);
  for (size_t i = 0; i < redo.size(); ++i) {
    const uint64_t q = redo[i], count = one.counts[i];
    for (uint64_t s = 0; s < count; ++s) {
      results.ids[q * results.k + s] = one.ids[i * one.k + s];
      results.distances[q * results.k + s] = one.distances[i * one.k + s];
    }
    results.counts[q] = static_cast<uint32_t>(count);
    if (!one.metadata[i].empty()) {
      results.metadata[q].assign(results.k, std::string());
      std::copy_n(one.metadata[i].begin(), count, results.metadata[q].begin());
    }
  }
  return results;
}

}  // namespace

void set_cold_part_bytes(uint64_t bytes) { part_bytes.store(bytes); }
uint64_t cold_part_bytes() { return part_bytes.load(); }

SearchResults EncryptedIndex::Query(const FloatMatrix& queries, const QueryParams& params) {
  if (queries.rows == 0) throw std::invalid_argument("Query vectors cannot be empty.");
  IndexCore& core = connected();
  core.BeginOperation();
  sync();  // another process may have trained the index or changed its lists
  const uint64_t dimension = index_config_->dimension;
  if (queries.cols != dimension) {
    throw std::runtime_error("The dimension of the vectors provided (" +
                             std::to_string(queries.cols) +
                             ") doesn't match the index configuration (" +
                             std::to_string(dimension) + ").");
  }
  // Parsed once per call, not once per candidate.
  const nlohmann::json filter = ParseFilter(params.filters);
  const bool filtered = !IsEmptyFilter(filter);

  if (params.max_probes && *params.max_probes < params.n_probes) {
    throw std::invalid_argument("max_probes cannot be smaller than n_probes.");
  }
  U32Matrix probes;
  std::vector<uint32_t> lists;
  bool counts_loaded = false;
  CentroidSelection selection;
  if (!is_trained_ || retraining_) {
    core.load_list_counts();
    uint64_t total = 0;
    for (uint32_t c : core.list_counts()) total += c;
    if (!is_trained_ && total > kUntrainedWarning) {
      Warn("Warning: querying untrained index with more than " +
           std::to_string(kUntrainedWarning) + " indexed vectors.");
      Warn("Queries may be slow; consider calling `TrainIndex()` to speed up queries.");
    }
    // Every query reads every list that holds items: list 0, and those an
    // interrupted training wrote to; all of them during a retraining.
    lists = core.untrained_lists();
    probes = U32Matrix::zeros(queries.rows, lists.size());
    for (uint64_t q = 0; q < queries.rows; ++q) {
      for (uint32_t j = 0; j < lists.size(); ++j) probes.row(q)[j] = j;
    }
    counts_loaded = true;
  } else {
    selection = prefilter_centroids(params.filters);
    if (index_config_->index_type != IndexType::IVFFLAT) {
      throw std::runtime_error("Unsupported index type for quantization.");
    }
    if (gpu_accelerate_) throw std::runtime_error(kCudaError);
    if (selection.mapping.empty() || selection.centroids.codebooks.empty()) {
      return SearchResults(queries.rows, 0);
    }
    ProbePlan plan =
        probe_centroids(queries, selection.centroids.codebooks[0].matrix, params.n_probes,
                        index_config_->metric, params.greedy ? 1.0f : 0.0f);
    for (uint32_t u : plan.unique) {
      if (u >= selection.mapping.size()) {
        throw std::runtime_error("Invalid filtered centroid index: " + std::to_string(u) +
                                 " (mapping size: " + std::to_string(selection.mapping.size()) +
                                 ")");
      }
      lists.push_back(selection.mapping[u]);
    }
    probes = std::move(plan.positions);
  }

  // A cold batch over more rows than a part holds is read a part at a time.
  // (Filtered queries and cached lists need every list at once; the
  // tamper-evident format verifies its reads as one.)
  if (!filtered && !core.cache().enabled() && !core.tamper_evident() && params.top_k > 0 &&
      lists.size() > 1) {
    if (!counts_loaded) core.load_list_counts();
    counts_loaded = true;
    const uint64_t row_bytes = dimension * sizeof(float) + kRowOverhead;
    const std::vector<uint32_t>& counts = core.list_counts();
    uint64_t bytes = 0;
    bool known = true;  // a list out of range is refused by the whole read
    for (uint32_t list : lists) {
      known = known && list < counts.size();
      if (known) bytes += uint64_t{counts[list]} * row_bytes;
    }
    if (known && bytes > cold_part_bytes() && rows_name_lists_once(probes)) {
      return search_in_parts(core, lists, probes, queries, params, index_config_->metric,
                             row_bytes);
    }
  }
  std::vector<DecodedListPtr> candidates = core.MergeResults(lists, counts_loaded);
  if (core.cache().enabled()) keep_norms(candidates, dimension);
  if (filtered) candidates = filter_lists(candidates, filter, dimension);

  SearchResults results = search_candidate_lists(views_of(candidates), probes, queries,
                                                 params.top_k, index_config_->metric,
                                                 params.include);
  if (filtered && is_trained_ && !retraining_ && params.max_probes &&
      *params.max_probes > params.n_probes) {
    widen_short_queries(core, index_config_->metric, dimension, queries, params, filter,
                        selection.mapping, selection.centroids.codebooks[0].matrix, lists, probes,
                        std::move(candidates), results);
  }
  return results;
}

}  // namespace tavrin
