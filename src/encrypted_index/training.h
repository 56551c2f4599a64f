// The index's training recipe: how train(), retrain() and
// train_and_serialize() turn vectors into centroids.
//
// Training runs on a uniform sample of at most kTrainingRowsPerList vectors
// per list, drawn as the vectors stream past (TrainingSample), so that it
// never needs every vector at once; a set no larger than that is used whole,
// in its order. On the sample: k-means++ seeding, then, when max_iters > 0,
// full-batch passes over the sample and max_iters mini-batch steps
// (search/kmeans.h). max_iters 0 gives the seeding alone. A fixed `seed`
// fixes the sample and the clustering (benchmarks and tests); without one
// every call draws fresh seeds. Errors are those of kmeans_train.
#ifndef TAVRIN_ENCRYPTED_INDEX_TRAINING_H_
#define TAVRIN_ENCRYPTED_INDEX_TRAINING_H_

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "common/centroid_matrix.h"
#include "common/row_matrix.h"
#include "config/index_config.h"
#include "encrypted_index/encrypted_index.h"

namespace tavrin {

// Sample points per list: the standard full-batch procedure's, beyond which
// more points move the centroids by less than the noise between seeds.
inline constexpr uint64_t kTrainingRowsPerList = 256;

class TrainingSample {
 public:
  // `expected_rows` (an upper bound, or 0) sizes the buffer once.
  TrainingSample(const IndexConfig& config, std::optional<uint64_t> seed,
                 uint64_t expected_rows = 0);

  // The next rows of the stream, in order; their width is the index's.
  void Add(const FloatRowsView& rows);
  // Rows added so far.
  uint64_t seen() const { return seen_; }
  // The rows held: the first min(seen, capacity) rows of the stream, each
  // replaced past the capacity as reservoir sampling does.
  FloatRowsView rows() const { return FloatRowsView(rows_.data(), cols_ ? rows_.size() / cols_ : 0, cols_); }
  // Clusters the sample (consumed) into the index's lists.
  std::vector<CentroidMatrix> Train(const TrainParams& params);

 private:
  const IndexConfig& config_;
  std::optional<uint64_t> seed_;
  uint64_t capacity_;
  uint64_t cols_ = 0;  // width of the rows, fixed by the first Add
  uint64_t seen_ = 0;
  std::vector<float> rows_;
  std::mt19937_64 gen_;
};

// Every row of `vectors` streamed through a TrainingSample.
std::vector<CentroidMatrix> TrainCentroids(const FloatMatrix& vectors, const IndexConfig& config,
                                           const TrainParams& params,
                                           std::optional<uint64_t> seed = std::nullopt);

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_TRAINING_H_
