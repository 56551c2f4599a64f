// The trained state of an index: its coarse centroids. For an IVF-Flat index
// `codebooks` holds exactly one matrix of n_lists rows by dimension columns
// once trained (row c is the centroid of list c), and nothing before.
#ifndef TAVRIN_CLIENT_TRAINED_DATA_H_
#define TAVRIN_CLIENT_TRAINED_DATA_H_

#include <cstdint>
#include <vector>

#include "backing_store/row_matrix.h"

namespace tavrin {

// A centroid matrix with its tag (the centroid count for matrices that
// training produces). The tag travels through serialization unchanged.
struct CentroidMatrix {
  uint32_t tag = 0;
  FloatMatrix values;
};

struct TrainedData {
  std::vector<CentroidMatrix> codebooks;
  // Carried with the record; training leaves it unchanged.
  std::vector<CentroidMatrix> second_codebooks;
};

}  // namespace tavrin

#endif  // TAVRIN_CLIENT_TRAINED_DATA_H_
