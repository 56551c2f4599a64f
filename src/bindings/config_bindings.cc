#include "bindings/config_bindings.h"

#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>

#include "common/db_config.h"

namespace py = pybind11;

namespace tavrin::bindings {

py::dict config_to_dict(const IndexConfig& config) {
  py::dict d;
  d["dimension"] = py::int_(config.dimension);
  d["metric"] = metric_name(config.metric);
  d["index_type"] = index_type_name(config.index_type);
  d["n_lists"] = py::int_(config.n_lists());
  d["pq_dim"] = py::int_(config.pq_dim());
  d["pq_bits"] = py::int_(config.pq_bits());
  return d;
}

void register_config_classes(py::module_& m) {
  py::class_<DBConfig>(m, "DBConfig",
                       "Where one store of an index lives: an in-process store, a PostgreSQL "
                       "table, a Redis database or a table in an SQLite database file.")
      .def(py::init([](const std::string& location, std::optional<std::string> table_name,
                       std::optional<std::string> connection_string) {
             return std::make_unique<DBConfig>(parse_location(location), std::move(table_name),
                                               std::move(connection_string));
           }),
           py::arg("location"), py::arg("table_name") = py::none(),
           py::arg("connection_string") = py::none(),
           R"doc(Describe a storage location.

Args:
    location: "memory", "postgres", "redis" or "sqlite".
    table_name: table (PostgreSQL, SQLite) or hash name (Redis configuration) to keep rows in.
    connection_string: a libpq conninfo string for PostgreSQL,
        "host:H,port:P,db:N" for Redis, or the database file path for SQLite
        (created when missing).

Raises:
    ValueError: the location text is not one of the four names.
)doc");

  py::class_<IndexConfig, std::shared_ptr<IndexConfig>>(
      m, "IndexConfig",
      "Abstract base class for index configurations. This class provides the core properties "
      "of an index configuration, including dimension, distance metric and index type")
      .def_property_readonly(
          "dimension", [](const IndexConfig& c) { return c.dimension; },
          "Number of float32 components of every vector.")
      .def_property_readonly(
          "metric", [](const IndexConfig& c) { return metric_name(c.metric); },
          "Distance metric: \"cosine\", \"euclidean\" or \"squared_euclidean\".")
      .def_property_readonly(
          "index_type", [](const IndexConfig& c) { return index_type_name(c.index_type); },
          "Index kind, \"ivfflat\".")
      .def("n_lists", &IndexConfig::n_lists, "Number of coarse clusters.")
      .def("pq_dim", &IndexConfig::pq_dim, "Product-quantization dimension (0: none).")
      .def("pq_bits", &IndexConfig::pq_bits, "Bits per product-quantization code (0: none).")
      .def(
          "clone", [](const IndexConfig& c) { return std::shared_ptr<IndexConfig>(c.clone()); },
          "An independent copy of this configuration.");

  py::class_<IndexIVFFlat, IndexConfig, std::shared_ptr<IndexIVFFlat>>(
      m, "IndexIVFFlat",
      "Configuration for an IVFFlat index, which uses flat quantization for coarse clustering.")
      .def(py::init([](uint64_t dimension, uint64_t n_lists, const std::string& metric) {
             return std::make_shared<IndexIVFFlat>(dimension, n_lists, metric);
           }),
           py::arg("dimension"), py::arg("n_lists"), py::arg("metric") = "euclidean",
           R"doc(Configure an IVF-Flat index.

Args:
    dimension: number of float32 components of every vector.
    n_lists: number of k-means coarse clusters that training builds.
    metric: "cosine", "euclidean" (default) or "squared_euclidean".

Raises:
    ValueError: the metric text is not one of the three names.
)doc")
      .def("n_lists", &IndexIVFFlat::n_lists, "Number of coarse clusters.");
}

}  // namespace tavrin::bindings
