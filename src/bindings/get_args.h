// Include names and result dicts of EncryptedIndex.get.
//
// Each returned item is a dict with "id" first, then one key per name in the
// caller's include list, in the caller's order: "vector" (list of float),
// "contents" (bytes), "metadata" (parsed JSON, {} when none was stored).
// Other names add nothing; a repeated name sets its key again. Needs the
// interpreter lock.
#ifndef TAVRIN_BINDINGS_GET_ARGS_H_
#define TAVRIN_BINDINGS_GET_ARGS_H_

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "encrypted_index/encrypted_index.h"

namespace tavrin::bindings {

// 0 vector, 1 metadata, 2 contents, one code per accepted name in order.
std::vector<uint32_t> get_include_codes(const std::vector<std::string>& include);

pybind11::list item_dicts(const std::vector<ItemView>& items,
                          const std::vector<std::string>& include);

}  // namespace tavrin::bindings

#endif  // TAVRIN_BINDINGS_GET_ARGS_H_
