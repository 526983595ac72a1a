// The extension module _tarnvault: its definition and its initialisation,
// which registers the classes in order and lists each in __all__.
#include "calling.h"

namespace tarnvault_py {

// Each builds its class's type object with PyType_FromSpec: a new reference,
// or null with an exception set. Called once, at module initialisation.
PyObject* create_index_type();       // index.cc
PyObject* create_collection_type();  // collection.cc
// Functions for the tarnvault package, outside __all__.
extern PyMethodDef private_functions[];  // verify_function.cc

namespace {

// Set once the module object exists. The classes' type objects live for the
// process, so a second initialisation (another sub-interpreter, a re-import
// after removal from sys.modules) is refused rather than sharing them.
bool initialised = false;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_tarnvault",  // m_name
    "",            // m_doc
    0,             // m_size: no per-module state
    nullptr,       // m_methods
    nullptr,       // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

// The module's __all__ list, created on first use.
PyObject* all_list(PyObject* module) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* existing = PyDict_GetItemString(dict, "__all__");  // borrowed
  if (existing != nullptr) return existing;
  PyRef created = PyRef::steal(PyList_New(0));
  if (!created || PyDict_SetItemString(dict, "__all__", created.get()) < 0) return nullptr;
  return created.get();  // the module's dict holds it now
}

// obj.name(*args)
template <typename... Args>
PyRef call_method(PyObject* object, const char* name, Args... args) {
  PyRef method = PyRef::steal(PyObject_GetAttrString(object, name));
  if (!method) return PyRef();
  return PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), args..., nullptr));
}

// The classes' names carry no module prefix, for which the interpreter warns
// (DeprecationWarning: no __module__) while building the type; with warnings
// turned into errors that would make the import fail, so the build runs with
// that category ignored, inside warnings.catch_warnings().
PyObject* create_type_quietly(PyObject* (*create_type)()) {
  PyRef warnings = PyRef::steal(PyImport_ImportModule("warnings"));
  if (!warnings) return nullptr;
  PyRef saved = call_method(warnings.get(), "catch_warnings");
  if (!saved || !call_method(saved.get(), "__enter__")) return nullptr;
  PyRef ignore = PyRef::steal(PyUnicode_FromString("ignore"));
  if (!ignore) return nullptr;
  PyRef ignored = call_method(warnings.get(), "simplefilter", ignore.get(), PyExc_DeprecationWarning);
  PyRef type = ignored ? PyRef::steal(create_type()) : PyRef();

  PyObject* pending_type = nullptr;
  PyObject* pending_value = nullptr;
  PyObject* pending_traceback = nullptr;
  PyErr_Fetch(&pending_type, &pending_value, &pending_traceback);
  PyRef restored = call_method(saved.get(), "__exit__", Py_None, Py_None, Py_None);
  if (pending_type != nullptr) {
    PyErr_Restore(pending_type, pending_value, pending_traceback);
    return nullptr;
  }
  return restored ? type.release() : nullptr;
}

// Adds the class as a module attribute and appends its name to __all__.
bool add_public_type(PyObject* module, const char* name, PyObject* type) {
  if (type == nullptr) return false;
  if (PyModule_AddObjectRef(module, name, type) < 0) return false;
  PyObject* all = all_list(module);
  if (all == nullptr) return false;
  PyRef entry = PyRef::steal(PyUnicode_FromString(name));
  return entry && PyList_Append(all, entry.get()) == 0;
}

PyObject* create_module() {
  if (initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "_tarnvault may only be initialized once per interpreter process");
    return nullptr;
  }
  if (!init_internal_error_type()) return nullptr;
  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
  if (!module) return nullptr;
  if (PyModule_AddFunctions(module.get(), private_functions) < 0) return nullptr;
  PyRef index = PyRef::steal(create_type_quietly(create_index_type));
  if (!add_public_type(module.get(), "Index", index.get())) return nullptr;
  PyRef collection = PyRef::steal(create_type_quietly(create_collection_type));
  if (!add_public_type(module.get(), "Collection", collection.get())) return nullptr;
  initialised = true;
  return module.release();
}

}  // namespace
}  // namespace tarnvault_py

PyMODINIT_FUNC PyInit__tarnvault(void) {
  return tarnvault_py::call_at_boundary([] { return tarnvault_py::create_module(); });
}
