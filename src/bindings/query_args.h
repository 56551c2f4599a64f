// Input and result conversion of EncryptedIndex.query.
//
// The query rows come from query_vector (a 1-D NumPy array: one query; a 2-D
// array: one query per row; a list of number sequences: one query per
// element) or, when it is None, from embedding the text query_contents with
// the index's model. A single query (1-D array, or a list of one non-empty
// row, or a text) is answered with one flat list of result dicts; a batch
// with one list per query.
//
// Exceptions: the refusals raise ValueError, except a NumPy array of another
// dimension count (TypeError) and a failed model load or text encoding
// (std::runtime_error, which stays RuntimeError). Needs the interpreter lock.
#ifndef TAVRIN_BINDINGS_QUERY_ARGS_H_
#define TAVRIN_BINDINGS_QUERY_ARGS_H_

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/row_matrix.h"
#include "search/search_results.h"

namespace tavrin::bindings {

struct QueryRows {
  FloatMatrix queries;
  bool single = false;
};

QueryRows query_rows(pybind11::handle query_vector, pybind11::handle query_contents,
                     const std::optional<std::string>& embedding_model);

// "" for an empty dict, else json.dumps of it.
std::string filter_text(const pybind11::dict& filters);

// Code 1 when include names "metadata", then code 0 when it names
// "distance"; each at most once. Other names are ignored.
std::vector<uint32_t> query_include_codes(const std::vector<std::string>& include);

// Per query, the valid results as {"id", "distance", "metadata"} dicts
// (metadata parsed from JSON, {} when there is none); the first query's list
// alone when single.
pybind11::list query_results(const SearchResults& results, bool single);

}  // namespace tavrin::bindings

#endif  // TAVRIN_BINDINGS_QUERY_ARGS_H_
