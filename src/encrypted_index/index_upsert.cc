// Upsert: validation, duplicate ids, list assignment, the centroid metadata
// map, then the core's ingest.
#include <memory_resource>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "encrypted_index/encrypted_index.h"
#include "common/diagnostics.h"
#include "encrypted_index/index_core.h"
#include "encrypted_index/writing.h"
#include "filter/centroid_metadata.h"
#include "filter/filter_eval.h"
#include "search/assign.h"

namespace tavrin {
namespace {

std::string dimension_error(uint64_t given, uint64_t expected) {
  return "The dimension of the vectors provided (" + std::to_string(given) +
         ") doesn't match the index configuration (" + std::to_string(expected) + ").";
}

// The first occurrence of each id, in order; empty when every id is new.
std::vector<size_t> first_occurrences(const std::vector<std::string>& ids) {
  // Nodes from one arena, released together: a node allocated and freed
  // apiece cost as much as the look-ups in a call of a million ids.
  std::pmr::monotonic_buffer_resource arena;
  std::pmr::unordered_set<std::string_view> seen(&arena);
  seen.reserve(ids.size());
  std::vector<size_t> keep;
  bool duplicates = false;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (seen.insert(ids[i]).second) {
      keep.push_back(i);
    } else {
      duplicates = true;
    }
  }
  if (!duplicates) keep.clear();
  return keep;
}

}  // namespace

std::vector<uint32_t> EncryptedIndex::assign_lists(const FloatRowsView& vectors) const {
  if (!is_trained_) return std::vector<uint32_t>(vectors.rows, 0);
  return assign_lists(vectors, trained_data_);
}

std::vector<uint32_t> EncryptedIndex::assign_lists(const FloatRowsView& vectors,
                                                   const TrainedData& trained) const {
  if (index_config_->index_type != IndexType::IVFFLAT) {
    throw std::runtime_error("Unsupported index type for quantization.");
  }
  if (gpu_accelerate_) throw std::runtime_error(kCudaError);
  U32Matrix codes = assign_codes(vectors, trained.codebooks, index_config_->metric);
  if (codes.rows * codes.cols != vectors.rows) {
    throw std::runtime_error("Mismatch between the number of quantized embeddings and IDs.");
  }
  return std::move(codes.data);
}

void EncryptedIndex::Upsert(const FloatRowsView& vectors, const std::vector<std::string>& ids,
                            const std::vector<Bytes>& contents,
                            const std::vector<std::string>& metadata) {
  IndexCore& core = connected();
  const std::vector<size_t> keep = first_occurrences(ids);
  if (!keep.empty()) {
    Warn("Warning: Duplicate IDs detected. Skipping duplicate IDs.");
  }
  if (vectors.rows != ids.size()) {
    throw std::runtime_error("Mismatch between the number of vectors and IDs.");
  }
  if (vectors.rows == 0) throw std::invalid_argument("Vectors and IDs cannot be empty.");
  if (vectors.cols != index_config_->dimension) {
    throw std::runtime_error(dimension_error(vectors.cols, index_config_->dimension));
  }
  if (!contents.empty() && contents.size() != vectors.rows) {
    throw std::runtime_error("Mismatch between the number of vectors and items.");
  }
  // Read item by item below: a short list must not be read past its end.
  if (!metadata.empty() && metadata.size() != vectors.rows) {
    throw std::runtime_error("Mismatch between the number of vectors and metadata.");
  }
  // Training re-reads every item's metadata: what it could not read back
  // must not be stored. The text is not quoted: it is the caller's data.
  CheckStorableMetadata(metadata);

  std::optional<Writing> writing;
  try {
    // Before the lists are chosen: another process may have trained the index.
    writing.emplace(*this);
    // Later duplicates are dropped with their rows; the first one is stored.
    FloatMatrix kept_vectors;
    std::vector<std::string> kept_ids;
    std::vector<Bytes> kept_contents;
    std::vector<std::string> kept_metadata;
    FloatRowsView v = vectors;
    const std::vector<std::string>* i = &ids;
    const std::vector<Bytes>* c = &contents;
    const std::vector<std::string>* m = &metadata;
    if (!keep.empty()) {
      kept_vectors = FloatMatrix::zeros(keep.size(), vectors.cols);
      for (size_t r = 0; r < keep.size(); ++r) {
        std::copy(vectors.row(keep[r]), vectors.row(keep[r]) + vectors.cols, kept_vectors.row(r));
        kept_ids.push_back(ids[keep[r]]);
        if (!contents.empty()) kept_contents.push_back(contents[keep[r]]);
        if (!metadata.empty()) kept_metadata.push_back(metadata[keep[r]]);
      }
      v = kept_vectors;
      i = &kept_ids;
      c = &kept_contents;
      m = &kept_metadata;
    }

    const std::vector<uint32_t> lists = assign_lists(v);
    IngestBatch batch;
    batch.lists = &lists;
    batch.ids = i;
    batch.vectors = v;
    batch.contents = c;
    batch.metadata = m;
    // Every check before the first write, the metadata map's included.
    core.CheckBatch(batch);
    writing->Started();
    // One transaction over every store, where the stores have them: an
    // upsert is stored whole or not at all.
    store::WriteScope write(core.stores());
    IndexCore::Write commit(core);
    if (is_trained_) update_centroid_metadata(*m, lists);
    core.Ingest(batch);
    writing->Fence();
    commit.Commit();
    write.Commit();
  } catch (const std::exception& e) {
    // A rolled-back write must not stay in cached lists.
    core.cache().Clear();
    // Reported as before, and then raised: a failed upsert never looks like
    // a successful one.
    Warn(std::string("Error ingesting: ") + e.what());
    throw std::runtime_error(e.what());
  }
}

}  // namespace tavrin
