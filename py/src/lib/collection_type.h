// The Python class Collection: one persistent core Collection per instance,
// obtained only through the static method open_or_create.
#pragma once

#include "py_api.h"

namespace tarnvault_py {

// Builds the Collection type object with PyType_FromSpec; a new reference, or
// null with an exception set. Called once, at module initialisation.
PyObject* create_collection_type();

}  // namespace tarnvault_py
