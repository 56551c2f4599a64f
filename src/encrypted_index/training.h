// The index's training recipe: how train(), retrain() and
// train_and_serialize() turn vectors into centroids.
//
// k-means++ seeding on a sample, then, when max_iters > 0, full-batch passes
// over a sample of a few hundred points per list and max_iters mini-batch
// steps (search/kmeans.h). max_iters 0 gives the seeding alone. A fixed
// `seed` makes the result reproducible (benchmarks and tests); without one
// every call draws fresh seeds. Errors are those of kmeans_train.
#ifndef TAVRIN_ENCRYPTED_INDEX_TRAINING_H_
#define TAVRIN_ENCRYPTED_INDEX_TRAINING_H_

#include <cstdint>
#include <optional>
#include <vector>

#include "common/centroid_matrix.h"
#include "common/row_matrix.h"
#include "config/index_config.h"
#include "encrypted_index/encrypted_index.h"

namespace tavrin {

std::vector<CentroidMatrix> TrainCentroids(const FloatMatrix& vectors, const IndexConfig& config,
                                           const TrainParams& params,
                                           std::optional<uint64_t> seed = std::nullopt);

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_TRAINING_H_
