// Queries: the exhaustive path before training, the probed and pre-filtered
// path after; the item filter runs before scoring.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/parallel.h"
#include "common/diagnostics.h"
#include "encrypted_index/encrypted_index.h"
#include "encrypted_index/index_core.h"
#include "filter/filter_eval.h"
#include "filter/filter_parse.h"
#include "search/list_search.h"
#include "search/probe.h"

namespace tavrin {
namespace {

constexpr uint64_t kUntrainedWarning = 50000;

// Keeps the rows of each list whose metadata satisfies the filter. A list
// that keeps every row is used as it is; others are copied row by row.
std::vector<DecodedListPtr> filter_lists(const std::vector<DecodedListPtr>& lists,
                                         const nlohmann::json& filter, uint64_t floats) {
  ValidateFilter(filter);
  std::vector<std::vector<nlohmann::json>> documents(lists.size());
  parallel_for(lists.size(), 2, 1,
               [&](size_t p) { documents[p] = ParseMetadataBatch(lists[p]->metadata); });
  std::vector<nlohmann::json> all;
  std::vector<size_t> offsets{0};
  for (auto& docs : documents) {
    for (auto& d : docs) all.push_back(std::move(d));
    offsets.push_back(all.size());
  }
  const std::vector<uint32_t> matches = FilterItems(all, filter, /*validate=*/false);

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
      kept->metadata.push_back(in.metadata[r]);
      kept->vectors.insert(kept->vectors.end(), in.vectors.begin() + r * floats,
                           in.vectors.begin() + (r + 1) * floats);
    }
    out[p] = std::move(kept);
  }
  return out;
}

}  // namespace

SearchResults EncryptedIndex::Query(const FloatMatrix& queries, const QueryParams& params) {
  if (queries.rows == 0) throw std::invalid_argument("Query vectors cannot be empty.");
  IndexCore& core = connected();
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

  U32Matrix probes;
  std::vector<uint32_t> lists;
  bool counts_loaded = false;
  if (!is_trained_) {
    core.load_list_counts();
    uint64_t total = 0;
    for (uint32_t c : core.list_counts()) total += c;
    if (total > kUntrainedWarning) {
      Warn("Warning: querying untrained index with more than " +
           std::to_string(kUntrainedWarning) + " indexed vectors.");
      Warn("Queries may be slow; consider calling `TrainIndex()` to speed up queries.");
    }
    // Every query reads every list that holds items: list 0, and those an
    // interrupted training wrote to.
    lists = core.untrained_lists();
    probes = U32Matrix::zeros(queries.rows, lists.size());
    for (uint64_t q = 0; q < queries.rows; ++q) {
      for (uint32_t j = 0; j < lists.size(); ++j) probes.row(q)[j] = j;
    }
    counts_loaded = true;
  } else {
    CentroidSelection selection = prefilter_centroids(params.filters);
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

  std::vector<DecodedListPtr> candidates = core.MergeResults(lists, counts_loaded);
  if (filtered) candidates = filter_lists(candidates, filter, dimension);

  std::vector<CandidateList> views(candidates.size());
  for (size_t p = 0; p < candidates.size(); ++p) {
    const DecodedList& l = *candidates[p];
    views[p].ids = l.ids.data();
    views[p].metadata = l.metadata.data();
    views[p].vectors = l.vectors.data();
    views[p].rows = l.rows();
  }
  return search_candidate_lists(views, probes, queries, params.top_k, index_config_->metric,
                                params.include);
}

}  // namespace tavrin
