#include "bindings/float_rows.h"

#include <pybind11/stl.h>

#include <cctype>
#include <cstring>
#include <stdexcept>

namespace py = pybind11;

namespace tavrin::bindings {

namespace {

// Copies a C-contiguous float32 array into a rows x cols matrix.
FloatMatrix copy_into_matrix(const FloatArray& a, uint64_t rows, uint64_t cols) {
  if (a.data() == nullptr || static_cast<uint64_t>(a.size()) != rows * cols) {
    throw std::invalid_argument(kBufferError);
  }
  FloatMatrix m = FloatMatrix::zeros(rows, cols);
  if (!m.data.empty()) std::memcpy(m.data.data(), a.data(), m.data.size() * sizeof(float));
  return m;
}

}  // namespace

FloatArray float_array(py::handle array) {
  FloatArray a = FloatArray::ensure(array);
  if (!a) throw std::invalid_argument(kBufferError);
  return a;
}

std::vector<float> float_row(py::handle sequence) {
  if (py::isinstance<py::array>(sequence) &&
      py::reinterpret_borrow<py::array>(sequence).ndim() == 1) {
    FloatArray a = float_array(sequence);
    return std::vector<float>(a.data(), a.data() + a.size());
  }
  return py::cast<std::vector<float>>(sequence);
}

FloatMatrix array_matrix(py::handle array) {
  FloatArray a = float_array(array);
  if (a.ndim() != 2) throw std::invalid_argument(kExpected2DError);
  return copy_into_matrix(a, a.shape(0), a.shape(1));
}

FloatMatrix array_row_matrix(py::handle array) {
  FloatArray a = float_array(array);
  return copy_into_matrix(a, 1, a.size());
}

FloatMatrix rows_matrix(const std::vector<std::vector<float>>& rows, const std::string& noun) {
  const uint64_t width = rows.empty() ? 0 : rows[0].size();
  FloatMatrix m = FloatMatrix::zeros(rows.size(), width);
  for (size_t i = 0; i < rows.size(); ++i) {
    // A longer row is refused too: cut to the width, it would be stored as
    // something other than what the caller gave.
    if (rows[i].size() != width) {
      std::string capital = noun;
      capital[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(capital[0])));
      throw std::invalid_argument(capital + " at index " + std::to_string(i) + " has " +
                                  std::to_string(rows[i].size()) + " vector values, " +
                                  (rows[i].size() < width ? "fewer" : "more") + " than the " +
                                  std::to_string(width) + " of the first " + noun + ".");
    }
    if (width != 0) std::memcpy(m.row(i), rows[i].data(), width * sizeof(float));
  }
  return m;
}

}  // namespace tavrin::bindings
