// Python registration of Client. The class is declared first and its members
// defined later, so that EncryptedIndex, which its members return, can be
// registered in between and appear by name in their signatures.
#ifndef TAVRIN_BINDINGS_CLIENT_BINDINGS_H_
#define TAVRIN_BINDINGS_CLIENT_BINDINGS_H_

#include <pybind11/pybind11.h>

#include "client/client.h"

namespace tavrin::bindings {

using ClientClass = pybind11::class_<Client>;

ClientClass declare_client_class(pybind11::module_& m);

// __init__, list_indexes, create_index, load_index, load_serialized_index,
// get_cpu_threads, is_gpu_enabled, in that order.
void define_client_members(ClientClass& cls);

}  // namespace tavrin::bindings

#endif  // TAVRIN_BINDINGS_CLIENT_BINDINGS_H_
