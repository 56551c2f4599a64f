#include "bindings/client_bindings.h"

#include <pybind11/stl.h>

#include <memory>

#include "bindings/errors.h"
#include "client/client.h"

namespace py = pybind11;

namespace tavrin::bindings {

void register_client_class(py::module_& m) {
  py::class_<Client>(m, "Client", "Entry point: opens encrypted indexes on the chosen stores.")
      .def(py::init([](const DBConfig& index_location, const DBConfig& config_location,
                       const DBConfig& items_location, int32_t cpu_threads, bool gpu_accelerate) {
             return std::make_unique<Client>(index_location, config_location, items_location,
                                             cpu_threads, gpu_accelerate);
           }),
           py::arg("index_location"), py::arg("config_location"),
           py::arg("items_location") = DBConfig(Location::NONE, std::nullopt, std::nullopt),
           py::arg("cpu_threads") = 0, py::arg("gpu_accelerate") = false,
           R"doc(Create a client over three storage locations.

Args:
    index_location: store of the index's lists and item records.
    config_location: store of the index's configuration records; its table is
        what list_indexes reads.
    items_location: store of item contents; by default the in-process store.
    cpu_threads: threads for parallel work; 0 uses all cores.
    gpu_accelerate: request GPU processing (not available in this build).

Example:
    >>> memory = DBConfig("memory")
    >>> client = Client(memory, memory, memory, cpu_threads=2)
)doc")
      .def(
          "list_indexes",
          [](const Client& c) {
            return core_errors_as_value_error([&] { return c.ListIndexes(); });
          },
          R"doc(Names of the indexes in the configuration table (PostgreSQL locations).

Returns:
    list[str]: the index names.
)doc")
      .def("get_cpu_threads", &Client::GetCpuThreads, R"doc(Thread count given to the client.

Returns:
    int: the value given at construction (0 means all cores).
)doc")
      .def("is_gpu_enabled", &Client::IsGpuEnabled, R"doc(Whether GPU processing was requested.

Returns:
    bool: the value given at construction.
)doc");
}

}  // namespace tavrin::bindings
