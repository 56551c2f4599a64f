// The three argument forms of EncryptedIndex.upsert, turned into the four
// parallel lists the index takes:
//   upsert([{"id": str, "vector": floats?, "contents": bytes|str?,
//            "metadata": any?}, ...])
//   upsert(ids: list[str], vectors: float32 ndarray (n, d))
//   upsert(ids: 1-D ndarray, vectors: float32 ndarray (n, d))
// Dict items without a vector whose contents are text are embedded by the
// index's model, all in one batch. The dict form yields one contents and one
// metadata entry per item (empty when absent); the array forms yield none.
//
// Every refusal throws; callers turn all of them into ValueError. Needs the
// interpreter lock; writes nothing anywhere.
#ifndef TAVRIN_BINDINGS_UPSERT_ARGS_H_
#define TAVRIN_BINDINGS_UPSERT_ARGS_H_

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "common/row_matrix.h"

namespace tavrin::bindings {

struct UpsertArgs {
  // The rows the index reads: the caller's float32 C-contiguous array as it
  // lies (NumPy converts any other into one, held here), or `built` for the
  // dict form. Not copied: an upsert of n vectors would otherwise hold them
  // twice. Valid while this object lives.
  FloatRowsView vectors;
  pybind11::object array;
  FloatMatrix built;
  std::vector<std::string> ids;
  std::vector<Bytes> contents;
  std::vector<std::string> metadata;

  UpsertArgs() = default;
  // Moves keep `built`'s buffer where `vectors` points; a copy would not.
  UpsertArgs(UpsertArgs&&) = default;
  UpsertArgs& operator=(UpsertArgs&&) = default;
  UpsertArgs(const UpsertArgs&) = delete;
  UpsertArgs& operator=(const UpsertArgs&) = delete;
};

// embedding_model is the index configuration's model name (empty or absent:
// the index does not embed).
UpsertArgs convert_upsert_args(pybind11::handle arg1, pybind11::handle arg2,
                               const std::optional<std::string>& embedding_model);

}  // namespace tavrin::bindings

#endif  // TAVRIN_BINDINGS_UPSERT_ARGS_H_
