// Python registration of EncryptedIndex: no constructor (indexes come from
// Client), unique ownership, and the members is_trained, index_name,
// index_type, index_config, delete_index, get, train, upsert, delete, query,
// train_and_serialize, in that order.
//
// Every member serialises its core call on the index mutex (index_lock.h), so
// Python threads may share one index. After delete_index the data members
// raise ValueError with the "Not connected" text, and index_type and
// index_config raise RuntimeError(kNoConfigError).
#ifndef TAVRIN_BINDINGS_INDEX_BINDINGS_H_
#define TAVRIN_BINDINGS_INDEX_BINDINGS_H_

#include <pybind11/pybind11.h>

#include "encrypted_index/encrypted_index.h"

namespace tavrin::bindings {

inline constexpr const char kNoConfigError[] =
    "Unable to cast to a reference: the index holds no configuration after delete_index().";

using IndexClass = pybind11::class_<EncryptedIndex>;

IndexClass declare_index_class(pybind11::module_& m);

void define_index_members(IndexClass& cls);

// _train_centroids(config, vectors, max_iters, batch_size, seed): the
// centroids (an n_lists x dimension float32 array) that training an index of
// `config` would make from `vectors` with a fixed seed. Underscored: a hook
// for the recall benchmark and tests, not part of the interface.
void define_training_hook(pybind11::module_& m);

}  // namespace tavrin::bindings

#endif  // TAVRIN_BINDINGS_INDEX_BINDINGS_H_
