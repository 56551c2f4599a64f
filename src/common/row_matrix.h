// Row-major dense matrices: the float form carries vectors (one per row), the
// uint32 form list positions and codes, the byte form fixed-width rows and
// sealed records. The layout is rows, cols, then rows*cols contiguous
// elements; a matrix never holds a partial row.
#ifndef TAVRIN_COMMON_ROW_MATRIX_H_
#define TAVRIN_COMMON_ROW_MATRIX_H_

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tavrin {

// An owned, growable byte string; may be empty.
using Bytes = std::vector<uint8_t>;

// Bytes owned elsewhere; valid while their owner keeps them unchanged.
class ByteView {
 public:
  ByteView() = default;
  ByteView(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  explicit ByteView(const Bytes& bytes) : data_(bytes.data()), size_(bytes.size()) {}

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

inline constexpr const char kMatrixShapeError[] =
    "Data size must be a multiple of the number of columns";

template <typename T>
struct RowMatrix {
  uint64_t rows = 0;
  uint64_t cols = 0;
  std::vector<T> data;

  // The empty matrix: all three fields zero.
  RowMatrix() = default;

  // Takes ownership of a flat element buffer. Throws std::invalid_argument
  // when cols is 0 or does not divide the buffer length.
  RowMatrix(std::vector<T> elements, uint64_t columns) : data(std::move(elements)) {
    if (columns == 0 || data.size() % columns != 0) {
      throw std::invalid_argument(kMatrixShapeError);
    }
    cols = columns;
    rows = data.size() / columns;
  }

  // A value-initialised n_rows x columns matrix, for callers that fill it in
  // place. A named factory rather than a (rows, cols) constructor, because a
  // one-element braced list such as FloatMatrix({5}, 1) would bind to it.
  // Rows of width 0 are allowed here (sealed empty plaintexts open to them).
  static RowMatrix zeros(uint64_t n_rows, uint64_t columns) {
    RowMatrix m;
    m.data.assign(n_rows * columns, T());
    m.rows = n_rows;
    m.cols = columns;
    return m;
  }

  T* row(uint64_t i) { return data.data() + i * cols; }
  const T* row(uint64_t i) const { return data.data() + i * cols; }
  bool empty() const { return rows == 0; }
};

using FloatMatrix = RowMatrix<float>;
using U32Matrix = RowMatrix<uint32_t>;
using ByteMatrix = RowMatrix<uint8_t>;

// Read-only rows of floats owned elsewhere (a FloatMatrix, a caller's array
// that the library does not copy, or the bytes of a fetched list reinterpreted
// as floats); valid while their owner keeps them. Row i starts at
// data + i * cols.
struct FloatRowsView {
  const float* data = nullptr;
  uint64_t rows = 0;
  uint64_t cols = 0;

  FloatRowsView() = default;
  FloatRowsView(const float* d, uint64_t r, uint64_t c) : data(d), rows(r), cols(c) {}
  FloatRowsView(const FloatMatrix& m)  // NOLINT: implicit on purpose
      : data(m.data.data()), rows(m.rows), cols(m.cols) {}
  const float* row(uint64_t i) const { return data + i * cols; }
};

}  // namespace tavrin

namespace tavrin_encrypted_index::internal::backing_store {
using tavrin::ByteMatrix;
using tavrin::ByteView;
using tavrin::Bytes;
}  // namespace tavrin_encrypted_index::internal::backing_store

#endif  // TAVRIN_COMMON_ROW_MATRIX_H_
