// The trained state of an index: its coarse centroids. For an IVF-Flat index
// `codebooks` holds exactly one matrix of n_lists rows by dimension columns
// once trained (row c is the centroid of list c), and nothing before.
#ifndef TAVRIN_COMMON_TRAINED_DATA_H_
#define TAVRIN_COMMON_TRAINED_DATA_H_

#include <cstdint>
#include <vector>

#include "common/centroid_matrix.h"

namespace tavrin {

struct TrainedData {
  std::vector<CentroidMatrix> codebooks;
  // Carried with the record; training leaves it unchanged.
  std::vector<CentroidMatrix> second_codebooks;
};

}  // namespace tavrin

#endif  // TAVRIN_COMMON_TRAINED_DATA_H_
