#include "bindings/embedding.h"

#include <stdexcept>

#include "bindings/errors.h"
#include "common/diagnostics.h"
#include "bindings/float_rows.h"

namespace py = pybind11;

namespace tavrin::bindings {

namespace {

constexpr const char kBatchError[] = "Failed to process batch embeddings: ";

// The cache dict, made on first use. Kept as a module attribute so that the
// interpreter releases the models when it tears the module down.
py::dict model_cache() {
  py::module_ self = py::module_::import("tavrindb_lite");
  if (!py::hasattr(self, kModelCacheAttr)) self.attr(kModelCacheAttr) = py::dict();
  return self.attr(kModelCacheAttr);
}

// Runs one step of reading the batch result; any failure gets the batch
// prefix.
template <typename Fn>
auto batch_step(Fn&& fn) -> decltype(fn()) {
  try {
    return fn();
  } catch (const py::error_already_set& e) {
    throw std::runtime_error(kBatchError + python_error_text(e));
  } catch (const std::exception& e) {
    throw std::runtime_error(kBatchError + std::string(e.what()));
  }
}

}  // namespace

py::object load_embedding_model(const std::string& name) {
  py::gil_scoped_acquire gil;
  try {
    py::object cls = py::module_::import("sentence_transformers").attr("SentenceTransformer");
    py::str py_name(name);
    py::tuple key = py::make_tuple(cls, py_name);
    py::dict cache = model_cache();
    if (cache.contains(key)) return cache[key];
    py::object model = cls(py_name);
    cache[key] = model;
    return model;
  } catch (const py::error_already_set& e) {
    const std::string text = python_error_text(e);
    Warn("Python Exception: " + text);
    throw std::runtime_error("Failed to load embedding model: " + text);
  }
}

uint64_t embedding_dimension(py::handle model, const std::string& name) {
  py::object dimension = model.attr("get_sentence_embedding_dimension")();
  if (dimension.is_none()) {
    throw std::runtime_error("Unable to determine embedding dimension for model: " + name);
  }
  const int value = dimension.cast<int>();
  if (value < 0) {
    throw std::runtime_error("Embedding dimension " + std::to_string(value) +
                             " is negative for model: " + name);
  }
  return static_cast<uint64_t>(value);
}

std::vector<std::vector<float>> embed_texts(py::handle model, const py::list& texts) {
  py::object result =
      batch_step([&] { return model.attr("encode")(texts, py::arg("convert_to_numpy") = true); });
  const auto ndim = batch_step([&] { return result.attr("ndim").cast<int64_t>(); });
  if (ndim != 2) {
    throw std::runtime_error("Expected 2D array from batch encoding, got " + std::to_string(ndim) +
                             "D");
  }
  const auto rows = batch_step([&] { return result.attr("shape")[py::int_(0)].cast<size_t>(); });
  if (rows != texts.size()) {
    throw std::runtime_error("Mismatch between number of embeddings returned and texts provided.");
  }
  FloatArray values = batch_step([&] {
    if (!result.attr("flags").attr("c_contiguous").cast<bool>()) result = result.attr("copy")();
    return float_array(result);
  });
  const size_t width = values.ndim() == 2 ? static_cast<size_t>(values.shape(1)) : 0;
  std::vector<std::vector<float>> out(rows);
  for (size_t i = 0; i < rows; ++i) {
    const float* row = values.data() + i * width;
    out[i].assign(row, row + width);
  }
  return out;
}

std::vector<float> embed_query(py::handle model, py::handle text) {
  constexpr const char kPrefix[] = "Failed to encode query_contents: ";
  try {
    return float_row(model.attr("encode")(text));
  } catch (const py::error_already_set& e) {
    throw std::runtime_error(kPrefix + python_error_text(e));
  } catch (const std::exception& e) {
    throw std::runtime_error(kPrefix + std::string(e.what()));
  }
}

}  // namespace tavrin::bindings
