// Conversion of Python vectors into float32 rows and row-major matrices.
//
// float_row takes any sequence of numbers; a 1-D NumPy array of any numeric
// dtype takes a direct path. array_matrix takes a 2-D NumPy array of any
// numeric dtype and copies it row-major. rows_matrix packs rows into one
// matrix whose width is the first row's; a row of any other length is
// refused (never cut, never read past its end).
//
// Errors: pybind11::cast_error or a Python error for elements that are not
// numbers; std::invalid_argument with the texts below for shapes.
#ifndef TAVRIN_BINDINGS_FLOAT_ROWS_H_
#define TAVRIN_BINDINGS_FLOAT_ROWS_H_

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "common/row_matrix.h"

namespace tavrin::bindings {

inline constexpr const char kExpected2DError[] = "Expected a 2D array.";
inline constexpr const char kBufferError[] = "Buffer size mismatch or null pointer.";

using FloatArray = pybind11::array_t<float, pybind11::array::c_style | pybind11::array::forcecast>;

// The values of one vector. Needs the interpreter lock.
std::vector<float> float_row(pybind11::handle sequence);

// A C-contiguous float32 view of an array (copied only when its dtype or
// layout differ); throws std::invalid_argument(kBufferError) when NumPy
// cannot convert it.
FloatArray float_array(pybind11::handle array);

// A 2-D array as a rows x cols matrix; other dimension counts throw
// std::invalid_argument(kExpected2DError).
FloatMatrix array_matrix(pybind11::handle array);

// A 1-D array as a 1 x n matrix.
FloatMatrix array_row_matrix(pybind11::handle array);

// rows.size() x rows[0].size(). A row of another length than the first
// throws std::invalid_argument "<Noun> at index i has n vector values, fewer
// than the m of the first <noun>." ("more" for a longer row) with noun
// "item" or "query".
FloatMatrix rows_matrix(const std::vector<std::vector<float>>& rows, const std::string& noun);

}  // namespace tavrin::bindings

#endif  // TAVRIN_BINDINGS_FLOAT_ROWS_H_
