// The tavrindb_lite extension module. Its generated entry point refuses an
// interpreter whose major.minor version differs from the one the module was
// compiled for, before anything is registered.
#include <pybind11/pybind11.h>

#include "bindings/client_bindings.h"
#include "bindings/config_bindings.h"

PYBIND11_MODULE(tavrindb_lite, m) {
  m.doc() = "Pybind11 bindings for TavrinDB";
  tavrin::bindings::register_config_classes(m);
  tavrin::bindings::register_client_class(m);
}
