// Training in place, and training on vectors handed in for export.
#include <stdexcept>
#include <utility>
#include <vector>

#include "client/index_record.h"
#include "encrypted_index/encrypted_index.h"
#include "encrypted_index/index_core.h"
#include "search/kmeans.h"

namespace tavrin {
namespace {

KMeansParams kmeans_params(const IndexConfig& config, const TrainParams& params) {
  KMeansParams k;
  k.n_subvectors = 1;
  k.n_clusters = config.n_lists();
  k.max_iters = params.max_iters;
  k.batch_size = params.batch_size;
  k.tolerance = params.tolerance;
  // Full-batch passes on a sample after the mini-batch steps: centroids that
  // sit at the means of their clusters are what probing relies on for recall.
  // 15 passes over 160 points per list brought recall@10 at 8 of 256 lists
  // from 0.71 to 0.77 on overlapping clusters, for 0.4 s more on 100,000 x 128
  // (bench/compare_faiss.py).
  k.refine_passes = 15;
  k.refine_sample = 160;
  return k;
}

}  // namespace

void EncryptedIndex::TrainIndex(const TrainParams& params) {
  IndexCore& core = connected();
  if (is_trained_) throw std::runtime_error("Index has already been trained.");
  // Every stored item, once: before training all of them live in list 0.
  DecodedList items = core.ReadList(0);
  const uint64_t n = items.rows();
  if (n < index_config_->n_lists()) {
    throw std::runtime_error(
        "Number of embeddings is less than the number of clusters. Please ingest more data "
        "before training.");
  }
  if (gpu_accelerate_) throw std::runtime_error(kCudaError);
  const uint64_t dimension = index_config_->dimension;
  const FloatMatrix vectors(std::move(items.vectors), dimension);
  std::vector<CentroidMatrix> codebooks =
      kmeans_train(vectors, kmeans_params(*index_config_, params), index_config_->metric);

  trained_data_.codebooks = std::move(codebooks);
  is_trained_ = true;
  core.clear(false);
  try {
    Upsert(vectors, items.ids, {}, items.metadata);
  } catch (...) {
    // The centroids are in force either way: store them before reporting.
    store_index_record();
    throw;
  }
  store_index_record();
}

Bytes EncryptedIndex::TrainAndSerialize(const FloatMatrix& vectors, const TrainParams& params,
                                        bool delete_after) {
  IndexCore& core = connected();
  if (gpu_accelerate_) throw std::runtime_error(kCudaError);
  // Centroids of another width would make every later upsert and query fail.
  if (vectors.cols != index_config_->dimension) {
    throw std::runtime_error("The dimension of the vectors provided (" +
                             std::to_string(vectors.cols) +
                             ") doesn't match the index configuration (" +
                             std::to_string(index_config_->dimension) + ").");
  }
  TrainedData trained = trained_data_;
  trained.codebooks =
      kmeans_train(vectors, kmeans_params(*index_config_, params), index_config_->metric);
  Bytes bytes = serialize_index_record(index_name_, *index_config_, trained, true);

  if (delete_after) {
    core.clear(true);
  } else if (core.record_store().CountItems() != 0) {
    // Items stay where their lists put them; taking new centroids would
    // leave them in lists that queries no longer probe for them.
    return bytes;
  }
  trained_data_ = std::move(trained);
  is_trained_ = true;
  if (!delete_after) store_index_record();
  return bytes;
}

}  // namespace tavrin
