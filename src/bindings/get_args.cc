#include "bindings/get_args.h"

namespace py = pybind11;

namespace tavrin::bindings {

std::vector<uint32_t> get_include_codes(const std::vector<std::string>& include) {
  std::vector<uint32_t> codes;
  for (const std::string& name : include) {
    if (name == "vector") {
      codes.push_back(0);
    } else if (name == "metadata") {
      codes.push_back(1);
    } else if (name == "contents") {
      codes.push_back(2);
    }
  }
  return codes;
}

py::list item_dicts(const std::vector<ItemView>& items, const std::vector<std::string>& include) {
  py::object loads = py::module_::import("json").attr("loads");
  py::list out;
  for (const ItemView& item : items) {
    py::dict d;
    d["id"] = py::str(item.id);
    for (const std::string& name : include) {
      if (name == "vector") {
        py::list values(item.vector.size());
        for (size_t i = 0; i < item.vector.size(); ++i) values[i] = py::float_(item.vector[i]);
        d["vector"] = std::move(values);
      } else if (name == "contents") {
        d["contents"] =
            py::bytes(reinterpret_cast<const char*>(item.contents.data()), item.contents.size());
      } else if (name == "metadata") {
        d["metadata"] =
            item.metadata.empty() ? py::object(py::dict()) : loads(py::str(item.metadata));
      }
    }
    out.append(std::move(d));
  }
  return out;
}

}  // namespace tavrin::bindings
