// The tavrindb_lite extension module. Its generated entry point refuses an
// interpreter whose major.minor version differs from the one the module was
// compiled for, before anything is registered.
#include <pybind11/pybind11.h>

#include "bindings/client_bindings.h"
#include "bindings/config_bindings.h"
#include "bindings/index_bindings.h"
#include "bindings/logging_bridge.h"

PYBIND11_MODULE(tavrindb_lite, m) {
  namespace b = tavrin::bindings;
  m.doc() = "Pybind11 bindings for TavrinDB";
  b::register_config_classes(m);
  // Both classes exist before any member is defined, so that signatures name
  // EncryptedIndex rather than its C++ type.
  b::ClientClass client = b::declare_client_class(m);
  b::IndexClass index = b::declare_index_class(m);
  b::define_client_members(client);
  b::define_index_members(index);
  b::define_training_hook(m);
  b::register_logging(m);
}
