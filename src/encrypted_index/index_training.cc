// Training in place, and training on vectors handed in for export.
#include <iterator>
#include <stdexcept>
#include <utility>
#include <vector>

#include "config/index_record.h"
#include "encrypted_index/encrypted_index.h"
#include "encrypted_index/index_core.h"
#include "encrypted_index/writing.h"
#include "encrypted_index/training.h"
#include "search/kmeans.h"

namespace tavrin {

std::vector<CentroidMatrix> TrainCentroids(const FloatMatrix& vectors, const IndexConfig& config,
                                           const TrainParams& params,
                                           std::optional<uint64_t> seed) {
  KMeansParams k;
  k.n_subvectors = 1;
  k.n_clusters = config.n_lists();
  k.max_iters = params.max_iters;
  k.batch_size = params.batch_size;
  k.tolerance = params.tolerance;
  k.seed = seed;
  // Full-batch passes on 256 points per list before the mini-batch steps:
  // mini-batch steps straight from the seeds settle in poorer optima on
  // overlapping clusters (recall@10 at 8 of 256 lists 0.65-0.67 against
  // faiss's 0.69 on bench/recall_seeds.py's "lists" set); from the means
  // they stay at or above faiss on every set there.
  k.refine_passes = 25;
  k.refine_sample = 256;
  return kmeans_train(vectors, k, config.metric);
}

void EncryptedIndex::TrainIndex(const TrainParams& params) {
  IndexCore& core = connected();
  Writing writing(*this);
  if (is_trained_) throw std::runtime_error("Index has already been trained.");
  // Training reads every item and writes every item again: the cached
  // copies of the untrained lists would only double what it holds.
  core.cache().Clear();
  // Every stored item, once: before training items live in list 0, and in
  // the lists an interrupted training moved them to.
  core.load_list_counts();
  const std::vector<uint32_t> appended_at = core.list_counts();
  std::vector<DecodedList> read = core.ReadLists(core.untrained_lists());
  DecodedList items = std::move(read.front());
  for (size_t l = 1; l < read.size(); ++l) {
    DecodedList& more = read[l];
    items.ids.insert(items.ids.end(), std::make_move_iterator(more.ids.begin()),
                     std::make_move_iterator(more.ids.end()));
    items.metadata.insert(items.metadata.end(), std::make_move_iterator(more.metadata.begin()),
                          std::make_move_iterator(more.metadata.end()));
    items.vectors.insert(items.vectors.end(), more.vectors.begin(), more.vectors.end());
    more = DecodedList();
  }
  read.clear();
  const uint64_t n = items.rows();
  if (n < index_config_->n_lists()) {
    throw std::runtime_error(
        "Number of embeddings is less than the number of clusters. Please ingest more data "
        "before training.");
  }
  if (gpu_accelerate_) throw std::runtime_error(kCudaError);
  const uint64_t dimension = index_config_->dimension;
  const FloatMatrix vectors(std::move(items.vectors), dimension);
  TrainedData trained = trained_data_;
  trained.codebooks =
      TrainCentroids(vectors, *index_config_, params);
  const std::vector<uint32_t> lists = assign_lists(vectors, trained);

  const IngestBatch batch = batch_of(lists, items.ids, vectors, items.metadata);
  core.CheckBatch(batch);
  writing.Started();
  // Nothing is cleared: each item first gets an entry in its new list and
  // then a record naming that list, so that an item is found at every
  // moment; the index record, trained, is the switch; the old entries go
  // last. A failure or a kill at any point leaves every item findable, by
  // the untrained index (which reads every list that holds entries) before
  // the switch and by the trained one after it. Stores with transactions
  // make the whole of it one.
  store::WriteScope write(core.stores());
  TrainedData previous = trained_data_;
  bool switched = false;
  try {
    IndexCore::Write commit(core);
    update_centroid_metadata(items.metadata, lists);
    core.Relist(batch);
    trained_data_ = std::move(trained);
    is_trained_ = true;
    store_index_record();
    switched = true;
    core.CompactLists(batch, appended_at);
    writing.Fence();
    commit.Commit();
    write.Commit();
  } catch (...) {
    if (write.Abort() || !switched) {
      trained_data_ = std::move(previous);
      is_trained_ = false;
      core.cache().Clear();
    }
    throw;
  }
}

void EncryptedIndex::Retrain(const TrainParams& params) {
  IndexCore& core = connected();
  Writing writing(*this);
  if (!is_trained_) {
    throw std::runtime_error("The index is not trained: call train() before retrain().");
  }
  core.cache().Clear();  // every list is read and rewritten: no copy is kept twice
  AllItems all = read_all_items();
  if (all.ids.size() < index_config_->n_lists()) {
    throw std::runtime_error(
        "Number of embeddings is less than the number of clusters. Please ingest more data "
        "before training.");
  }
  if (gpu_accelerate_) throw std::runtime_error(kCudaError);
  TrainedData trained = trained_data_;
  trained.codebooks =
      TrainCentroids(all.vectors, *index_config_, params);
  all.lists = assign_lists(all.vectors, trained);
  const IngestBatch batch = batch_of(all.lists, all.ids, all.vectors, all.metadata);
  core.CheckBatch(batch);
  writing.Started();
  // As training: entries in the new lists, records naming them, the new
  // centroids as the switch, then compaction. Records that name the new
  // lists are not found by probing with the old centroids, so the index is
  // marked first: until the switch clears the mark, queries read every list.
  store::WriteScope write(core.stores());
  TrainedData previous = trained_data_;
  const bool was_retraining = retraining_;
  bool marked = false, switched = false;
  try {
    // One commit in the tamper-evident format: there the mark is never seen.
    IndexCore::Write commit(core);
    retraining_ = true;
    store_index_record();
    marked = true;
    update_centroid_metadata(all.metadata, all.lists);
    core.Relist(batch);
    trained_data_ = std::move(trained);
    retraining_ = false;
    store_index_record();
    switched = true;
    Compact();
    writing.Fence();
    commit.Commit();
    write.Commit();
  } catch (...) {
    const bool rolled_back = write.Abort();
    if (rolled_back || !switched) {
      trained_data_ = std::move(previous);
      core.cache().Clear();
    }
    // As the stores now have it.
    retraining_ = rolled_back ? was_retraining : !switched && (marked || was_retraining);
    throw;
  }
}

Bytes EncryptedIndex::TrainAndSerialize(const FloatMatrix& vectors, const TrainParams& params,
                                        bool delete_after) {
  IndexCore& core = connected();
  Writing writing(*this);
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
      TrainCentroids(vectors, *index_config_, params);
  Bytes bytes = serialize_index_record(index_name_, *index_config_, trained, true);

  writing.Started();
  store::WriteScope write(core.stores());
  IndexCore::Write commit(core);
  if (delete_after) {
    core.clear();
  } else if (core.CountRecords() != 0) {
    // Items stay where their lists put them; taking new centroids would
    // leave them in lists that queries no longer probe for them.
    return bytes;
  }
  TrainedData before = std::move(trained_data_);
  const bool was_trained = is_trained_, was_retraining = retraining_;
  trained_data_ = std::move(trained);
  is_trained_ = true;
  retraining_ = false;  // no item is left to be misplaced
  try {
    if (!delete_after) store_index_record();
    commit.Commit();
    write.Commit();
  } catch (...) {
    // The stores are as they were (or only the record failed): so is the handle.
    if (write.Abort() || !delete_after) {
      trained_data_ = std::move(before);
      is_trained_ = was_trained;
      retraining_ = was_retraining;
      core.cache().Clear();
    }
    throw;
  }
  return bytes;
}

}  // namespace tavrin
