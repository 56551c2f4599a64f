// One trained codebook: a tag (the centroid count for codebooks made by
// training) and the centroids, one per row of a float matrix. Row c is
// centroid (list) number c.
#ifndef TAVRIN_COMMON_CENTROID_MATRIX_H_
#define TAVRIN_COMMON_CENTROID_MATRIX_H_

#include <cstdint>

#include "common/row_matrix.h"

namespace tavrin {

struct CentroidMatrix {
  uint32_t tag = 0;
  FloatMatrix matrix;
};

}  // namespace tavrin

#endif  // TAVRIN_COMMON_CENTROID_MATRIX_H_
