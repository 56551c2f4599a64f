// Python registration of Client.
#ifndef TAVRIN_BINDINGS_CLIENT_BINDINGS_H_
#define TAVRIN_BINDINGS_CLIENT_BINDINGS_H_

#include <pybind11/pybind11.h>

namespace tavrin::bindings {

void register_client_class(pybind11::module_& m);

}  // namespace tavrin::bindings

#endif  // TAVRIN_BINDINGS_CLIENT_BINDINGS_H_
