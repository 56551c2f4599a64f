#include "common/row_matrix.h"

#include <gtest/gtest.h>

namespace tavrin {
namespace {

TEST(RowMatrix, ShapeFromBufferAndColumns) {
  FloatMatrix m(std::vector<float>{1, 2, 3, 4, 5, 6}, 3);
  EXPECT_EQ(m.rows, 2u);
  EXPECT_EQ(m.cols, 3u);
  EXPECT_EQ(m.row(1)[0], 4.0f);

  ByteMatrix empty_rows(Bytes{}, 8);
  EXPECT_EQ(empty_rows.rows, 0u);
  EXPECT_EQ(empty_rows.cols, 8u);

  ByteMatrix none;
  EXPECT_EQ(none.rows, 0u);
  EXPECT_EQ(none.cols, 0u);
  EXPECT_TRUE(none.data.empty());
}

TEST(RowMatrix, RefusesZeroOrNonDividingColumns) {
  for (uint64_t cols : {0u, 4u}) {
    try {
      U32Matrix(std::vector<uint32_t>(6), cols);
      FAIL() << "cols " << cols << " accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Data size must be a multiple of the number of columns");
    }
  }
  EXPECT_THROW(ByteMatrix(Bytes{}, 0), std::invalid_argument);
}

}  // namespace
}  // namespace tavrin
