// Python registration of the configuration classes DBConfig, IndexConfig and
// IndexIVFFlat, and the dictionary view of an index configuration.
#ifndef TAVRIN_BINDINGS_CONFIG_BINDINGS_H_
#define TAVRIN_BINDINGS_CONFIG_BINDINGS_H_

#include <pybind11/pybind11.h>

#include "config/index_config.h"

namespace tavrin::bindings {

// Registers DBConfig, IndexConfig and IndexIVFFlat, in that order.
void register_config_classes(pybind11::module_& m);

// {"dimension", "metric", "index_type", "n_lists", "pq_dim", "pq_bits"}, in
// that order. A metric outside the enumeration throws std::invalid_argument.
pybind11::dict config_to_dict(const IndexConfig& config);

}  // namespace tavrin::bindings

#endif  // TAVRIN_BINDINGS_CONFIG_BINDINGS_H_
