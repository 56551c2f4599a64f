#include "bindings/query_args.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <stdexcept>

#include "bindings/embedding.h"
#include "bindings/errors.h"
#include "bindings/float_rows.h"
#include "bindings/no_model_error.h"

namespace py = pybind11;

namespace tavrin::bindings {

namespace {

QueryRows text_query(py::handle query_contents, const std::optional<std::string>& embedding_model) {
  if (!embedding_model || embedding_model->empty()) throw py::value_error(kNoModelError);
  py::object model = load_embedding_model(*embedding_model);
  if (!py::isinstance<py::str>(query_contents)) {
    throw py::value_error("'query_contents' must be of type `str` for auto-embedding.");
  }
  std::vector<std::vector<float>> row{embed_query(model, query_contents)};
  return {rows_matrix(row, "query"), true};
}

QueryRows list_query(const py::list& list) {
  std::vector<std::vector<float>> rows;
  rows.reserve(list.size());
  try {
    for (py::handle element : list) rows.push_back(float_row(element));
  } catch (const py::cast_error& e) {
    throw py::value_error(e.what());
  } catch (const py::error_already_set& e) {
    throw py::value_error(python_error_text(e));
  }
  const bool single = rows.size() == 1 && !rows[0].empty();
  return {rows_matrix(rows, "query"), single};
}

}  // namespace

QueryRows query_rows(py::handle query_vector, py::handle query_contents,
                     const std::optional<std::string>& embedding_model) {
  if (query_vector.is_none()) {
    if (query_contents.is_none()) {
      throw py::value_error("Provide at least one: query_vector or query_contents.");
    }
    return text_query(query_contents, embedding_model);
  }
  if (py::isinstance<py::array>(query_vector)) {
    const auto ndim = py::reinterpret_borrow<py::array>(query_vector).ndim();
    if (ndim == 1) return {array_row_matrix(query_vector), true};
    if (ndim == 2) return {array_matrix(query_vector), false};
    throw py::type_error("query_vector must be a 1D or 2D NumPy array.");
  }
  if (py::isinstance<py::list>(query_vector)) {
    return list_query(py::reinterpret_borrow<py::list>(query_vector));
  }
  throw py::value_error("query_vector must be a 1D or 2D NumPy array or List[List[float]].");
}

std::string filter_text(const py::dict& filters) {
  if (filters.empty()) return std::string();
  try {
    return py::module_::import("json").attr("dumps")(filters).cast<std::string>();
  } catch (const py::error_already_set& e) {
    throw py::value_error("Failed to serialize filters to JSON: " + python_error_text(e));
  }
}

std::vector<uint32_t> query_include_codes(const std::vector<std::string>& include) {
  auto names = [&](const char* name) {
    return std::find(include.begin(), include.end(), name) != include.end();
  };
  std::vector<uint32_t> codes;
  if (names("metadata")) codes.push_back(1);
  if (names("distance")) codes.push_back(0);
  return codes;
}

namespace {

// Takes a new reference from the C API, or raises what it set.
py::object owned(PyObject* object) {
  if (object == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(object);
}

void set_item(const py::dict& dict, const py::object& key, const py::object& value) {
  if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

// Holds the cyclic collector off while an answer is built, when building it
// runs no Python code (no metadata to load) and so no other thread can see
// the pause: a batch answer allocates tens of thousands of dicts, each of
// which counts toward collections that scan them young and again as they
// age, though none can be part of a cycle yet. Restored as it was, also on
// error.
class CollectorPause {
 public:
  explicit CollectorPause(bool pause) {
    if (!pause) return;
    gc_ = py::module_::import("gc");
    was_enabled_ = gc_.attr("isenabled")().cast<bool>();
    if (was_enabled_) gc_.attr("disable")();
  }
  ~CollectorPause() {
    if (!was_enabled_) return;
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);  // an error on its way out stays as it was
    PyObject* r = PyObject_CallMethod(gc_.ptr(), "enable", nullptr);
    if (r == nullptr) PyErr_Clear();
    Py_XDECREF(r);
    PyErr_Restore(type, value, trace);
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  py::object gc_;
  bool was_enabled_ = false;
};

bool any_metadata(const SearchResults& results) {
  for (const std::vector<std::string>& row : results.metadata) {
    for (const std::string& m : row) {
      if (!m.empty()) return true;
    }
  }
  return false;
}

}  // namespace

// Built on the C API: a batch answer is thousands of small dicts, and
// building them is the one part of a query that holds the GIL on one core
// while the search threads wait. The keys are interned once per call (their
// hashes are then cached) and the lists are presized.
py::list query_results(const SearchResults& results, bool single) {
  const CollectorPause pause(!any_metadata(results));
  py::object loads;
  const py::object key_id = owned(PyUnicode_InternFromString("id"));
  const py::object key_distance = owned(PyUnicode_InternFromString("distance"));
  const py::object key_metadata = owned(PyUnicode_InternFromString("metadata"));
  const uint64_t n = single ? std::min<uint64_t>(results.n_queries, 1) : results.n_queries;
  py::list out(n);
  for (uint64_t q = 0; q < n; ++q) {
    const std::vector<std::string>* metadata =
        q < results.metadata.size() ? &results.metadata[q] : nullptr;
    // Slots past a query's count hold no result (a query whose lists hold
    // fewer than k items): they are not reported.
    const uint64_t count =
        q < results.counts.size() ? std::min<uint64_t>(results.counts[q], results.k) : 0;
    py::list hits(count);
    for (uint64_t j = 0; j < count; ++j) {
      py::dict hit;
      const std::string& id = results.id(q, j);
      set_item(hit, key_id,
               owned(PyUnicode_DecodeUTF8(id.data(), static_cast<Py_ssize_t>(id.size()), nullptr)));
      set_item(hit, key_distance, owned(PyFloat_FromDouble(results.distance(q, j))));
      if (metadata != nullptr && j < metadata->size() && !(*metadata)[j].empty()) {
        if (!loads) loads = py::module_::import("json").attr("loads");
        set_item(hit, key_metadata, loads(py::str((*metadata)[j])));
      } else {
        set_item(hit, key_metadata, py::dict());
      }
      PyList_SET_ITEM(hits.ptr(), static_cast<Py_ssize_t>(j), hit.release().ptr());
    }
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(q), hits.release().ptr());
  }
  if (single) return out.empty() ? py::list() : py::list(out[0]);
  return out;
}

}  // namespace tavrin::bindings
