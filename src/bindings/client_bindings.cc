#include "bindings/client_bindings.h"

#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "bindings/checked_arg.h"
#include "bindings/key_caster.h"
#include "bindings/embedding.h"
#include "bindings/errors.h"

namespace py = pybind11;

namespace tavrin::bindings {

namespace {

// CreateIndex, after asking the model for the vector length when the index
// embeds text: the model's length replaces the configuration's dimension,
// on a copy (the caller's configuration may be shared).
std::unique_ptr<EncryptedIndex> create_index(const Client& client, const std::string& name,
                                             const Key256& key, const IndexConfig& config,
                                             const std::optional<std::string>& model_name,
                                             std::optional<uint64_t> max_cache_size,
                                             bool tamper_evident) {
  if (!model_name || model_name->empty()) {
    return client.CreateIndex(name, key, config, max_cache_size, tamper_evident);
  }
  uint64_t dimension = 0;
  {
    py::object model = load_embedding_model(*model_name);
    dimension = embedding_dimension(model, *model_name);
  }
  const auto* ivf = dynamic_cast<const IndexIVFFlat*>(&config);
  if (ivf == nullptr)
    throw std::runtime_error("Unknown IndexConfig type: Cannot modify dimension.");
  IndexIVFFlat with_model(dimension, ivf->n_lists(), ivf->metric, *model_name);
  return client.CreateIndex(name, key, with_model, max_cache_size, tamper_evident);
}

Bytes bytes_of(const py::bytes& b) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(b.ptr(), &data, &size) != 0) throw py::error_already_set();
  return Bytes(data, data + size);
}

}  // namespace

ClientClass declare_client_class(py::module_& m) {
  return ClientClass(m, "Client", "Entry point: opens encrypted indexes on the chosen stores.");
}

void define_client_members(ClientClass& cls) {
  cls.def(py::init([](const DBConfig& index_location, const DBConfig& config_location,
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
    items_location: store of item contents; by default the index location.
    cpu_threads: threads for parallel work, 0 to 1024; 0 uses all cores.
    gpu_accelerate: request GPU processing (not available in this build).

Raises:
    ValueError: cpu_threads below 0 or above 1024.

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
      .def(
          "create_index",
          [](const Client& c, const Checked<std::string>& index_name,
             const Checked<Key256>& index_key, const Checked<const IndexConfig*>& index_config,
             const Checked<std::optional<std::string>>& embedding_model,
             const Checked<std::optional<uint64_t>>& max_cache_size,
             const Checked<bool>& tamper_evident) {
            constexpr char kMember[] = "create_index";
            const IndexConfig* config = index_config.get(kMember, "index_config");
            if (config == nullptr) RefuseArgument(kMember, "index_config", "None");
            const std::string& name = index_name.get(kMember, "index_name");
            const Key256& key = index_key.get(kMember, "index_key");
            const auto& model = embedding_model.get(kMember, "embedding_model");
            const auto& cache = max_cache_size.get(kMember, "max_cache_size");
            const bool tamper = tamper_evident.get(kMember, "tamper_evident");
            return core_errors_as_value_error(
                [&] { return create_index(c, name, key, *config, model, cache, tamper); });
          },
          py::arg("index_name"), py::arg("index_key"), py::arg("index_config"),
          py::arg("embedding_model") = py::none(), py::arg("max_cache_size") = 0, py::kw_only(),
          py::arg("tamper_evident") = false,
          R"doc(Create a new, empty encrypted index.

Args:
    index_name: a name of 1 to 255 bytes.
    index_key: the 32-byte secret key (bytes or 32 ints); everything the index
        stores is sealed under keys derived from it. It is never stored.
    index_config: the index configuration, e.g. IndexIVFFlat(128, 16, "cosine");
        at most 1048576 lists.
    embedding_model: name of a sentence-transformers model; items and queries
        may then carry text instead of vectors, and the model's vector length
        replaces the configuration's dimension.
    max_cache_size: number of decrypted lists kept in the local cache
        (default 0: no cache; None: no cache either). Without a cache the
        index keeps the labels its reads derive instead: 16 bytes an entry
        read, at most 32 MB.
    tamper_evident: store the index in the tamper-evident format, in which
        a store that changes, moves, replays or hides any stored value makes
        reads fail with "Integrity check failed: ..." instead of answering
        (see docs/security.md). Default False: the original format, which
        keeps the index confidential but does not detect changes.

Returns:
    EncryptedIndex: the new index.

Raises:
    ValueError: a refused name, key or configuration, or a failing store or
        model.

Example:
    >>> index = client.create_index("docs", os.urandom(32), IndexIVFFlat(4, 2))
)doc")
      .def(
          "load_index",
          [](const Client& c, const Checked<std::string>& index_name,
             const Checked<Key256>& index_key,
             const Checked<std::optional<uint64_t>>& max_cache_size,
             const Checked<std::optional<uint64_t>>& min_epoch) {
            constexpr char kMember[] = "load_index";
            const std::string& name = index_name.get(kMember, "index_name");
            const Key256& key = index_key.get(kMember, "index_key");
            const auto& cache = max_cache_size.get(kMember, "max_cache_size");
            const auto& epoch = min_epoch.get(kMember, "min_epoch");
            return core_errors_as_value_error([&] { return c.LoadIndex(name, key, cache, epoch); });
          },
          py::arg("index_name"), py::arg("index_key"), py::arg("max_cache_size") = 0,
          py::kw_only(), py::arg("min_epoch") = py::none(),
          R"doc(Open an index stored earlier in PostgreSQL or Redis.

Args:
    index_name: the name given at creation.
    index_key: the same 32-byte key; another key fails to open the records.
    max_cache_size: number of decrypted lists kept in the local cache
        (default 0: no cache; the index then keeps the labels its reads
        derive instead: 16 bytes an entry read, at most 32 MB).
    min_epoch: for a tamper-evident index, the lowest epoch() the caller
        has seen: stores rolled back to an earlier state are refused.

Returns:
    EncryptedIndex: the stored index.

Raises:
    ValueError: an in-process location, an unknown name, a wrong key, a
        failed integrity check ("Integrity check failed: ..."), or min_epoch
        given for an index in the original format.

Example:
    >>> index = client.load_index("docs", key)
)doc")
      .def(
          "load_serialized_index",
          [](const Client& c, const Checked<py::bytes>& serialized_index,
             const Checked<Key256>& index_key) {
            constexpr char kMember[] = "load_serialized_index";
            const Bytes buffer = bytes_of(serialized_index.get(kMember, "serialized_index"));
            const Key256& key = index_key.get(kMember, "index_key");
            return core_errors_as_value_error([&] { return c.LoadSerializedIndex(buffer, key); });
          },
          py::arg("serialized_index"), py::arg("index_key"),
          "Internal: rebuild an empty, trained index from train_and_serialize's bytes; its "
          "name, configuration and the key are checked as create_index checks them.")
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
