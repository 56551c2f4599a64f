#include "bindings/index_bindings.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings/checked_arg.h"
#include "bindings/config_bindings.h"
#include "bindings/errors.h"
#include "bindings/float_rows.h"
#include "bindings/get_args.h"
#include "bindings/index_lock.h"
#include "bindings/key_caster.h"
#include "bindings/query_args.h"
#include "bindings/upsert_args.h"
#include "encrypted_index/training.h"

namespace py = pybind11;

namespace tavrin::bindings {

namespace {

// A copy of the configuration, taken under the lock; RuntimeError once the
// index is deleted.
std::unique_ptr<IndexConfig> config_copy(EncryptedIndex& index) {
  std::unique_ptr<IndexConfig> config =
      with_index_lock(index, [&]() -> std::unique_ptr<IndexConfig> {
        const IndexConfig* c = index.index_config();
        return c == nullptr ? nullptr : c->clone();
      });
  if (config == nullptr) throw std::runtime_error(kNoConfigError);
  return config;
}

// The model name of a connected index; "Not connected" (ValueError) once it
// is deleted, so that text never meets a missing configuration.
std::optional<std::string> embedding_model_of(EncryptedIndex& index) {
  auto model = with_index_lock(index, [&]() -> std::optional<std::optional<std::string>> {
    const IndexConfig* c = index.index_config();
    if (c == nullptr) return std::nullopt;
    return c->embedding_model;
  });
  if (!model) throw py::value_error(kNotConnectedError);
  return *model;
}

TrainParams train_params(uint64_t batch_size, uint64_t max_iters, double tolerance,
                         uint64_t max_memory) {
  TrainParams p;
  p.batch_size = batch_size;
  p.max_iters = max_iters;
  p.tolerance = tolerance;
  p.max_memory = max_memory;
  return p;
}

void define_handle_members(IndexClass& cls) {
  cls.def(
         "is_trained",
         [](EncryptedIndex& i) { return with_index_lock(i, [&] { return i.is_trained(); }); },
         R"doc(Whether the index has been trained.

Returns:
    bool: True once train() (or train_and_serialize()) has clustered it.
)doc")
      .def(
          "index_name",
          [](EncryptedIndex& i) {
            return with_index_lock(i, [&] { return std::string(i.index_name()); });
          },
          R"doc(The index's name.

Returns:
    str: the name given at creation (empty after delete_index()).
)doc")
      .def(
          "index_type",
          [](EncryptedIndex& i) { return index_type_name(config_copy(i)->index_type); },
          R"doc(The kind of index.

Returns:
    str: "ivfflat".
)doc")
      .def(
          "index_config", [](EncryptedIndex& i) { return config_to_dict(*config_copy(i)); },
          R"doc(The index configuration as a dict.

Returns:
    dict: the keys "dimension", "metric", "index_type", "n_lists", "pq_dim"
    and "pq_bits", in that order.
)doc")
      .def(
          "delete_index",
          [](EncryptedIndex& i) {
            runtime_as_value_error([&] { with_index_lock(i, [&] { i.delete_index(); }); });
          },
          R"doc(Delete the index and everything it stored.

This cannot be undone. Afterwards the object refuses every data operation.
)doc");
}

void define_data_members(IndexClass& cls) {
  cls.def(
         "get",
         [](EncryptedIndex& i, const std::vector<std::string>& ids,
            const std::vector<std::string>& include) {
           const std::vector<uint32_t> codes = get_include_codes(include);
           std::vector<ItemView> items = runtime_as_value_error(
               [&] { return with_index_lock(i, [&] { return i.Get(ids, codes); }); });
           return item_dicts(items, include);
         },
         py::arg("ids"),
         py::arg("include") = std::vector<std::string>{"vector", "contents", "metadata"},
         R"doc(Fetch stored items by id.

Args:
    ids: the item ids; unknown ids are left out of the result.
    include: fields to return, any of "vector", "contents", "metadata"
        (default all three). "id" is always included.

Returns:
    list[dict]: one dict per found item, in the order of ids, with "id" first
    and then the included fields in the order asked: "vector" (list of float),
    "contents" (bytes), "metadata" (the stored JSON value, {} when none).

Example:
    >>> index.get(["a", "b"], include=["metadata"])
    [{'id': 'a', 'metadata': {'lang': 'en'}}]
)doc")
      .def(
          "train",
          [](EncryptedIndex& i, uint64_t batch_size, uint64_t max_iters, double tolerance,
             uint64_t max_memory) {
            const TrainParams params = train_params(batch_size, max_iters, tolerance, max_memory);
            runtime_as_value_error(
                [&] { without_gil_with_index_lock(i, [&] { i.TrainIndex(params); }); });
          },
          py::arg("batch_size") = 2048, py::arg("max_iters") = 100, py::arg("tolerance") = 1e-6,
          py::arg("max_memory") = 0,
          R"doc(Cluster the stored vectors into n_lists lists (k-means++).

Before training every query scans all items; afterwards a query scans only
the lists of the n_probes centroids nearest to it. Training happens once.

Args:
    batch_size: vectors per k-means step (default 2048).
    max_iters: mini-batch k-means steps (default 100), all of them made;
        before them, full-batch passes over a sample of 256 vectors per
        list move the seeds to the means of their clusters. 0 keeps the
        k-means++ seeds as they are.
    tolerance: accepted and not used: no test of centroid movement is made
        (default 1e-6).
    max_memory: memory limit in MB; 0 means none (currently not enforced).

Raises:
    ValueError: fewer items than lists, or the index is already trained.
)doc")
      .def(
          "upsert",
          [](EncryptedIndex& i, const py::object& arg1, const py::object& arg2) {
            all_errors_as_value_error([&] {
              const std::optional<std::string> model = embedding_model_of(i);
              const UpsertArgs a = convert_upsert_args(arg1, arg2, model);
              with_index_lock(i, [&] { i.Upsert(a.vectors, a.ids, a.contents, a.metadata); });
            });
          },
          py::arg("arg1"), py::arg("arg2") = py::none(),
          R"doc(Add items, or overwrite the items that already have the same id.

Two ways of calling it:

    index.upsert([{"id": "a", "vector": [0.1, 0.2], "contents": b"...",
                   "metadata": {"lang": "en"}}, ...])
    index.upsert(["a", "b"], np.array([[0.1, 0.2], [0.3, 0.4]], np.float32))

In the first form "contents" (bytes or str) and "metadata" (anything strict
JSON can hold: no NaN or infinities, no lone surrogates, at most 512 levels
deep) are optional; every "vector" has as many values as the first. On an
index created with an embedding model, an item may give its text as
"contents" instead of a "vector". In the second form the ids may also be a
1-D NumPy array of numbers or str (not None or bytes); the vectors must be a
2-D float32 array.

Raises:
    ValueError: on any refused argument (before anything is written) or
        failed write.
)doc")
      .def(
          "delete",
          [](EncryptedIndex& i, const std::vector<std::string>& ids) {
            runtime_as_value_error([&] { with_index_lock(i, [&] { i.Delete(ids); }); });
          },
          py::arg("ids"),
          R"doc(Delete items by id; unknown ids are ignored.

Args:
    ids: the item ids.
)doc")
      .def(
          "query",
          [](EncryptedIndex& i, const py::object& query_vector, const py::object& query_contents,
             uint64_t top_k, uint64_t n_probes, const py::dict& filters,
             const std::vector<std::string>& include, bool greedy,
             std::optional<uint64_t> max_probes) {
            const std::optional<std::string> model = embedding_model_of(i);
            QueryRows rows = query_rows(query_vector, query_contents, model);
            QueryParams params;
            params.top_k = top_k;
            params.n_probes = n_probes;
            params.include = query_include_codes(include);
            params.greedy = greedy;
            params.filters = filter_text(filters);
            params.max_probes = max_probes;
            SearchResults results = runtime_as_value_error([&] {
              return without_gil_with_index_lock(i, [&] { return i.Query(rows.queries, params); });
            });
            return query_results(results, rows.single);
          },
          py::arg("query_vector") = py::none(), py::arg("query_contents") = py::none(),
          py::arg("top_k") = 100, py::arg("n_probes") = 1, py::arg("filters") = py::dict(),
          py::arg("include") = std::vector<std::string>{"distance", "metadata"},
          py::arg("greedy") = false, py::kw_only(), py::arg("max_probes") = py::none(),
          R"doc(Find the top_k nearest items of one query or a batch of queries.

On an untrained index every item is compared (exhaustive search); after
train() only the lists of the n_probes nearest centroids are.

Args:
    query_vector: one query (1-D NumPy array) or a batch (2-D array, or a list
        of lists of floats).
    query_contents: a text to embed as the query, on an index created with an
        embedding model; used when query_vector is None.
    top_k: results per query (default 100).
    n_probes: lists scanned per query on a trained index (default 1).
    filters: a metadata filter, e.g. {"lang": {"$eq": "en"}}; {} for none.
    include: fields the index fills in, "distance" and/or "metadata".
    greedy: widen the set of probed lists.
    max_probes: keyword only. A filtered query on a trained index that finds
        fewer than top_k matches in its n_probes lists goes on to its next
        nearest lists (those the metadata pre-filter keeps), one at a time,
        until it has top_k results or has probed max_probes lists. None (the
        default) means n_probes: no widening. Smaller than n_probes raises
        ValueError; larger than n_lists counts as n_lists. Each query of a
        batch widens on its own; unfiltered queries never widen.

Returns:
    list[dict] for one query, list[list[dict]] for a batch; each dict holds
    "id", "distance" and "metadata" ({} when not included or none stored),
    nearest first.

Raises:
    ValueError: a refused argument or filter, or a failed search.
    TypeError: a NumPy query_vector that is neither 1-D nor 2-D.
    RuntimeError: the embedding model failed to load or to encode.

Example:
    >>> index.query(np.array([0.1, 0.2], np.float32), top_k=3)
    [{'id': 'a', 'distance': 0.0, 'metadata': {'lang': 'en'}}, ...]
)doc")
      .def(
          "train_and_serialize",
          [](EncryptedIndex& i, const FloatArray& vectors, uint64_t batch_size, uint64_t max_iters,
             double tolerance, uint64_t max_memory, bool delete_index) {
            const FloatMatrix matrix = array_matrix(vectors);
            const TrainParams params = train_params(batch_size, max_iters, tolerance, max_memory);
            const Bytes out = runtime_as_value_error([&] {
              return without_gil_with_index_lock(
                  i, [&] { return i.TrainAndSerialize(matrix, params, delete_index); });
            });
            return py::bytes(reinterpret_cast<const char*>(out.data()), out.size());
          },
          py::arg("vectors"), py::arg("batch_size") = 0, py::arg("max_iters") = 0,
          py::arg("tolerance") = 1e-6, py::arg("max_memory") = 0, py::arg("delete_index") = true,
          "Internal: train centroids on the given vectors and return the index record's "
          "bytes, for Client.load_serialized_index.");
}

}  // namespace

void define_training_hook(py::module_& m) {
  m.def(
      "_train_centroids",
      [](const IndexIVFFlat& config, const FloatArray& vectors, uint64_t max_iters,
         uint64_t batch_size, uint64_t seed) {
        const FloatMatrix matrix = array_matrix(vectors);
        if (matrix.cols != config.dimension) {
          throw py::value_error("vectors must have the configuration's dimension");
        }
        TrainParams params;
        params.max_iters = max_iters;
        params.batch_size = batch_size;
        std::vector<CentroidMatrix> codebooks;
        {
          py::gil_scoped_release release;
          codebooks = TrainCentroids(matrix, config, params, seed);
        }
        const FloatMatrix& c = codebooks.at(0).matrix;
        py::array_t<float> out({c.rows, c.cols});
        std::copy(c.data.begin(), c.data.end(), out.mutable_data());
        return out;
      },
      py::arg("config"), py::arg("vectors"), py::arg("max_iters") = 100,
      py::arg("batch_size") = 2048, py::arg("seed") = 0);
}

IndexClass declare_index_class(py::module_& m) {
  return IndexClass(m, "EncryptedIndex",
                    "An encrypted vector index; obtained from Client.create_index, load_index "
                    "or load_serialized_index.");
}

// The metadata texts of update_metadata: one dict (or None) for every id, or
// a list of them as long as ids; {} and None mean no metadata.
std::vector<std::string> metadata_texts(const py::object& metadata, size_t n) {
  py::object dumps = py::module_::import("json").attr("dumps");
  auto text = [&](const py::handle& value) -> std::string {
    if (value.is_none()) return std::string();
    if (!py::isinstance<py::dict>(value)) {
      throw py::type_error("metadata must be a dict, None, or a list of them");
    }
    if (py::len(value) == 0) return std::string();
    try {
      return dumps(value, py::arg("allow_nan") = false).cast<std::string>();
    } catch (py::error_already_set& e) {
      throw py::value_error("Metadata cannot be stored as JSON: " + python_error_text(e));
    }
  };
  if (py::isinstance<py::list>(metadata)) {
    const py::list list = metadata;
    if (list.size() != n) {
      throw py::value_error("metadata must be one dict or a list as long as ids (" +
                            std::to_string(n) + "), not " + std::to_string(list.size()));
    }
    std::vector<std::string> out;
    for (const py::handle& value : list) out.push_back(text(value));
    return out;
  }
  return std::vector<std::string>(n, text(metadata));
}

void define_upkeep_members(IndexClass& cls) {
  cls.def(
         "count",
         [](EncryptedIndex& i) {
           return runtime_as_value_error([&] { return with_index_lock(i, [&] { return i.Count(); }); });
         },
         R"doc(The number of live items (after overwrites and deletes).

Counts the stored item records; nothing is decrypted. len(index) is the same.
)doc")
      .def("__len__",
           [](EncryptedIndex& i) {
             return runtime_as_value_error(
                 [&] { return with_index_lock(i, [&] { return i.Count(); }); });
           })
      .def(
          "ids",
          [](EncryptedIndex& i) {
            return runtime_as_value_error(
                [&] { return without_gil_with_index_lock(i, [&] { return i.Ids(); }); });
          },
          R"doc(Every live id, as a list in no particular order.

Reads and opens every list of the index.
)doc")
      .def(
          "compact",
          [](EncryptedIndex& i) {
            return runtime_as_value_error(
                [&] { return without_gil_with_index_lock(i, [&] { return i.Compact(); }); });
          },
          R"doc(Rewrite the lists without stale entries.

Deletes and overwrites leave entries behind that every read of their list
skips; compaction removes them, so that the stored entries are exactly the
live items. Answers of get and query do not change. Safe to interrupt: the
new lists are written beside the old ones and switched in one write.

Returns:
    int: the number of entries removed.
)doc")
      .def(
          "retrain",
          [](EncryptedIndex& i, uint64_t batch_size, uint64_t max_iters, double tolerance) {
            const TrainParams params = train_params(batch_size, max_iters, tolerance, 0);
            runtime_as_value_error(
                [&] { without_gil_with_index_lock(i, [&] { i.Retrain(params); }); });
          },
          py::arg("batch_size") = 2048, py::arg("max_iters") = 100, py::arg("tolerance") = 1e-6,
          R"doc(Cluster a trained index anew on its current items.

Moves every item to the list of its new nearest centroid, then compacts. An
index trained early, before its data moved, gets centroids that fit the data
again. Safe to interrupt: every item stays findable by get and by a query
probing every list; the new centroids take over only once every item has its
entry in its new list. Until then, and after a retrain that stopped part-way
until one completes, queries read every list, as before training.

Args:
    batch_size, max_iters, tolerance: as for train().

Raises:
    ValueError: the index is not trained, or holds fewer items than lists.
)doc")
      .def(
          "rotate_key",
          [](EncryptedIndex& i, const Checked<Key256>& new_key,
             const Checked<std::optional<bool>>& tamper_evident) {
            const Key256& key = new_key.get("rotate_key", "new_key");
            const std::optional<bool> tamper = tamper_evident.get("rotate_key", "tamper_evident");
            core_errors_as_value_error(
                [&] { without_gil_with_index_lock(i, [&] { i.RotateKey(key, tamper); }); });
          },
          py::arg("new_key"), py::kw_only(), py::arg("tamper_evident") = py::none(),
          R"doc(Re-seal everything the index stores under a new 32-byte key.

Every item, list entry, map and configuration item is written again under
the new key beside the old values; one write then switches the index to the
new key, and the old values are removed. Afterwards load_index needs the new
key and refuses the old one; get and query answer as before. Safe to
interrupt: before the switch the index loads with the old key, after it with
the new one, holding every item either way (an interrupted rotation's copy
is removed by the next rotation to the same key). This handle goes on under
the new key; close the index in other processes first, since what they write
under the old key is lost.

Args:
    new_key: the new key, as the index key of create_index.
    tamper_evident: True also moves an index in the original format to the
        tamper-evident one; None (default) keeps the format. A
        tamper-evident index cannot move back (False is refused).

Raises:
    ValueError: new_key is the key in use, a refused format change, or a
        store failed (the index then stays under the key it loads with).
)doc")
      .def(
          "epoch",
          [](EncryptedIndex& i) {
            return core_errors_as_value_error(
                [&] { return without_gil_with_index_lock(i, [&] { return i.epoch(); }); });
          },
          R"doc(The epoch of a tamper-evident index: a number every committed write
advances. Keep the highest you have seen and pass it as load_index's min_epoch,
so that stores rolled back to an earlier state are refused.

Returns:
    int | None: the epoch the stores are at, or None for an index in the
    original format.
)doc")
      .def_property_readonly(
          "tamper_evident",
          [](EncryptedIndex& i) {
            return core_errors_as_value_error([&] { return i.tamper_evident(); });
          },
          "Whether the index is stored in the tamper-evident format.")
      .def(
          "update_metadata",
          [](EncryptedIndex& i, const std::vector<std::string>& ids, const py::object& metadata) {
            const std::vector<std::string> texts = metadata_texts(metadata, ids.size());
            core_errors_as_value_error(
                [&] { with_index_lock(i, [&] { i.UpdateMetadata(ids, texts); }); });
          },
          py::arg("ids"), py::arg("metadata"),
          R"doc(Replace the metadata of existing items, keeping vectors and contents.

Args:
    ids: the items, each at most once.
    metadata: a list of dicts as long as ids, or one dict for all of them;
        {} or None leaves an item without metadata.

Raises:
    ValueError: an unknown id (every unknown id is named), a repeated id, a
        length mismatch, or metadata that is not JSON; nothing is changed.
)doc")
      .def(
          "close",
          [](EncryptedIndex& i) {
            runtime_as_value_error([&] { with_index_lock(i, [&] { i.Close(); }); });
          },
          R"doc(Save what the index keeps in memory and release its store connections.

Afterwards every data member raises the "Not connected" ValueError, but
nothing is deleted: load_index opens the index again. index_name(),
index_config() and is_trained() still answer. A second close() does nothing.
The index is also a context manager that closes on exit.
)doc")
      .def("__enter__", [](py::object self) { return self; })
      .def(
          "__exit__",
          [](EncryptedIndex& i, const py::object&, const py::object&, const py::object&) {
            runtime_as_value_error([&] { with_index_lock(i, [&] { i.Close(); }); });
            return false;
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"));
}

void define_index_members(IndexClass& cls) {
  define_handle_members(cls);
  define_data_members(cls);
  define_upkeep_members(cls);
}

}  // namespace tavrin::bindings
