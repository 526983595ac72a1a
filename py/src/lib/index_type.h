// The Python class Index: one in-memory BruteForceIndex per instance.
#pragma once

#include "py_api.h"

namespace tarnvault_py {

// Builds the Index type object with PyType_FromSpec; a new reference, or null
// with an exception set. Called once, at module initialisation.
PyObject* create_index_type();

}  // namespace tarnvault_py
