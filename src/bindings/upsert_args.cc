#include "bindings/upsert_args.h"

#include <pybind11/numpy.h>

#include <stdexcept>
#include <utility>

#include "bindings/embedding.h"
#include "bindings/float_rows.h"
#include "bindings/no_model_error.h"

namespace py = pybind11;

namespace tavrin::bindings {

namespace {

// `key in item`, with Python's own failure for items that do not support it.
bool has_key(py::handle item, const char* key) {
  const int found = PySequence_Contains(item.ptr(), py::str(key).ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// A str, refused with a cast message otherwise (bytes included, which
// pybind11's string conversion would accept).
std::string id_text(py::handle value) {
  if (!py::isinstance<py::str>(value)) {
    throw py::cast_error("Unable to cast Python instance of type " +
                         py::str(py::type::handle_of(value)).cast<std::string>() +
                         " to C++ type 'std::string'");
  }
  return value.cast<std::string>();
}

UpsertArgs array_form(py::handle ids_arg, py::handle vectors_arg) {
  if (!py::isinstance<py::array>(vectors_arg)) {
    throw std::invalid_argument("Second argument must be a numpy array for vectors.");
  }
  py::array vectors = py::array::ensure(vectors_arg);
  if (!vectors) throw std::invalid_argument("vectors must be a NumPy array.");
  if (py::str(vectors.dtype()).cast<std::string>() != "float32") {
    throw std::invalid_argument("vectors must be float32.");
  }

  UpsertArgs out;
  if (py::isinstance<py::list>(ids_arg)) {
    for (py::handle id : ids_arg) out.ids.push_back(id_text(id));
  } else {
    if (!py::isinstance<py::array>(ids_arg)) {
      throw std::invalid_argument(
          "Invalid argument types. Expected a list of dicts for single arg mode, (list[str], "
          "float32 np.ndarray) or (int32/int64 np.ndarray, float32 np.ndarray) for two-arg "
          "mode.");
    }
    py::array ids = py::array::ensure(ids_arg);
    if (!ids) throw std::invalid_argument("ids must be a NumPy array if not a list.");
    if (ids.ndim() != 1) throw std::invalid_argument("ids array must be 1D.");
    for (py::handle id : ids.attr("tolist")()) {
      // str() would turn None into "None" and b"x" into "b'x'": ids nobody
      // meant. Numbers and strings keep their str() text.
      if (id.is_none() || py::isinstance<py::bytes>(id)) {
        throw std::invalid_argument("ids array elements must be numbers or str, not " +
                                    py::str(py::type::handle_of(id).attr("__name__"))
                                        .cast<std::string>() +
                                    ".");
      }
      out.ids.push_back(py::str(id).cast<std::string>());
    }
  }
  FloatArray rows = float_array(vectors);
  if (rows.ndim() != 2) throw std::invalid_argument(kExpected2DError);
  if (rows.data() == nullptr) throw std::invalid_argument(kBufferError);
  out.vectors = FloatRowsView(rows.data(), rows.shape(0), rows.shape(1));
  out.array = std::move(rows);
  return out;
}

// Where a dict item's vector comes from.
enum class RowSource { kVector, kEmbedding };

UpsertArgs dict_form(const py::list& items, const std::optional<std::string>& embedding_model) {
  py::object dumps = py::module_::import("json").attr("dumps");
  const size_t n = items.size();

  UpsertArgs out;
  out.ids.reserve(n);
  out.contents.reserve(n);
  out.metadata.reserve(n);
  std::vector<RowSource> sources(n, RowSource::kVector);
  std::vector<bool> has_contents(n, false);
  py::list texts;
  std::vector<size_t> text_rows;

  // First pass: ids, contents and metadata of every item, so that their
  // refusals come before any missing vector.
  for (size_t i = 0; i < n; ++i) {
    py::object item = items[i];
    if (!has_key(item, "id")) {
      throw std::invalid_argument("Each dictionary must contain an 'id' key.");
    }
    out.ids.push_back(id_text(item["id"]));
    const bool vector = has_key(item, "vector");
    has_contents[i] = has_key(item, "contents");
    if (!vector && has_contents[i]) {
      py::object text = item["contents"];
      if (!py::isinstance<py::str>(text)) {
        throw std::invalid_argument("'contents' must be of `str` type for auto-embedding.");
      }
      texts.append(text);
      text_rows.push_back(i);
    }
    Bytes contents;
    if (has_contents[i]) {
      py::object value = item["contents"];
      std::string raw;
      if (py::isinstance<py::bytes>(value)) {
        raw = value.cast<std::string>();
      } else if (py::isinstance<py::str>(value)) {
        raw = value.cast<std::string>();  // UTF-8
      } else {
        throw std::invalid_argument("'contents' must be of type `bytes` or `str`.");
      }
      contents.assign(raw.begin(), raw.end());
    }
    out.contents.push_back(std::move(contents));
    out.metadata.push_back(has_key(item, "metadata") ? dumps(item["metadata"]).cast<std::string>()
                                                     : std::string());
  }

  // Second pass: the vectors, or a place for an embedding.
  std::vector<std::vector<float>> rows(n);
  for (size_t i = 0; i < n; ++i) {
    py::object item = items[i];
    if (has_key(item, "vector")) {
      rows[i] = float_row(item["vector"]);
    } else if (has_contents[i]) {
      sources[i] = RowSource::kEmbedding;
    } else {
      throw std::invalid_argument("Item at index " + std::to_string(i) +
                                  " is missing both 'vector' and 'contents' fields.");
    }
  }

  if (!text_rows.empty()) {
    if (!embedding_model || embedding_model->empty()) throw std::invalid_argument(kNoModelError);
    py::object model = load_embedding_model(*embedding_model);
    std::vector<std::vector<float>> embedded = embed_texts(model, texts);
    for (size_t k = 0; k < text_rows.size(); ++k) rows[text_rows[k]] = std::move(embedded[k]);
  }
  out.built = rows_matrix(rows, "item");
  out.vectors = out.built;
  return out;
}

}  // namespace

UpsertArgs convert_upsert_args(py::handle arg1, py::handle arg2,
                               const std::optional<std::string>& embedding_model) {
  if (!arg2.is_none()) return array_form(arg1, arg2);
  if (!py::isinstance<py::list>(arg1) || py::len(arg1) == 0 ||
      !py::isinstance<py::dict>(py::reinterpret_borrow<py::list>(arg1)[0])) {
    throw std::invalid_argument(
        "Invalid arguments. Expected a list of dicts when passing a single argument.");
  }
  return dict_form(py::reinterpret_borrow<py::list>(arg1), embedding_model);
}

}  // namespace tavrin::bindings
