#include "calling.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace tarnvault_py {

// ---------------------------------------------------------------------------
// Errors

namespace {

PyObject* internal_error_type = nullptr;

// Display messages may carry operating-system text; never fail on its bytes.
PyObject* new_message(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace

bool init_internal_error_type() {
  if (internal_error_type != nullptr) return true;
  internal_error_type = PyErr_NewExceptionWithDoc(
      "_tarnvault.InternalError", "An internal invariant of _tarnvault was broken.",
      PyExc_BaseException, nullptr);
  return internal_error_type != nullptr;
}

void raise_internal_error(const char* what) {
  PyObject* type = internal_error_type != nullptr ? internal_error_type : PyExc_SystemError;
  PyRef message = PyRef::steal(new_message(what));
  if (message) PyErr_SetObject(type, message.get());
}

PyObject* raise_core_error(PyObject* exception_type, const tarnvault_core::Error& error) {
  PyRef message = PyRef::steal(new_message(error.message()));
  if (message) PyErr_SetObject(exception_type, message.get());
  return nullptr;
}

void raise_type_mismatch(PyObject* value, const char* target) {
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(),
               target);
}

// ---------------------------------------------------------------------------
// Binding

namespace {

bool raise_too_many_positional(const char* full_name, std::size_t expected, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", full_name,
               expected, given, given == 1 ? "was" : "were");
  return false;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_name_list(std::span<const char* const> names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        text += " and ";
      } else {
        text += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

bool raise_missing(const char* full_name, std::span<const char* const> names,
                   std::span<PyObject* const> filled) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (filled[i] == nullptr) missing.push_back(names[i]);
  }
  const std::string list = quoted_name_list(missing);
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", full_name,
               missing.size(), missing.size() == 1 ? "argument" : "arguments", list.c_str());
  return false;
}

// Index of the parameter named key, or names.size() when none matches.
std::size_t find_parameter(std::span<const char* const> names, PyObject* key) {
  if (!PyUnicode_Check(key)) return names.size();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return i;
  }
  return names.size();
}

bool bind_keywords(const char* full_name, std::span<const char* const> names, PyObject* kwargs,
                   std::span<PyObject*> out) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    const std::size_t index = find_parameter(names, key);
    if (index == names.size()) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name, key);
      return false;
    }
    if (out[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name,
                   names[index]);
      return false;
    }
    out[index] = value;
  }
  return true;
}

}  // namespace

bool bind_arguments(const char* full_name, std::span<const char* const> names,
                    std::size_t required, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> out) {
  for (PyObject*& slot : out) slot = nullptr;

  const Py_ssize_t positional = args == nullptr ? 0 : PyTuple_Size(args);
  if (positional < 0) return false;
  if (static_cast<std::size_t>(positional) > required) {
    return raise_too_many_positional(full_name, required, positional);
  }
  for (Py_ssize_t i = 0; i < positional; ++i) out[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr && !bind_keywords(full_name, names, kwargs, out)) return false;

  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) {
      return raise_missing(full_name, names.first(required), out.first(required));
    }
  }
  return true;
}

bool check_instance(PyObject* self, PyTypeObject* type, const char* class_name) {
  if (self != nullptr && PyObject_TypeCheck(self, type)) return true;
  raise_type_mismatch(self == nullptr ? Py_None : self, class_name);
  return false;
}

// ---------------------------------------------------------------------------
// Access

namespace {

// One mutex and one condition for the access states of every instance:
// each is held for a few instructions, and waiters are few.
std::mutex access_mutex;
std::condition_variable access_released;

// The calling thread's accesses, innermost first, linked through outer_.
thread_local AccessGuard* innermost_access = nullptr;

}  // namespace

AccessGuard::AccessGuard(AccessState& state, Access mode) : state_(state), mode_(mode) {
  const bool exclusive = mode == Access::Exclusive;
  const bool holds_any = innermost_access != nullptr;
  std::unique_lock lock(access_mutex);
  const bool conflict = exclusive ? state.readers_ > 0 || state.writer_ : state.writer_;
  if (conflict && (holds_any || state.converting_ > 0)) {
    lock.unlock();
    PyErr_SetString(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
    return;
  }
  const bool behind_writer = !exclusive && state.waiting_writers_ > 0 && !holds_any;
  if (conflict || behind_writer) {
    if (exclusive) ++state.waiting_writers_;
    lock.unlock();
    PyThreadState* thread_state = PyEval_SaveThread();
    lock.lock();
    access_released.wait(lock, [&] {
      return exclusive ? state.readers_ == 0 && !state.writer_
                       : !state.writer_ && state.waiting_writers_ == 0;
    });
    if (exclusive) --state.waiting_writers_;
    take();
    // Until this thread runs again it is not converting: a thread that
    // meets the access meanwhile waits for it.
    lock.unlock();
    PyEval_RestoreThread(thread_state);
    lock.lock();
  } else {
    take();
  }
  converting_ = true;
  ++state.converting_;
  lock.unlock();
  outer_ = std::exchange(innermost_access, this);
}

void AccessGuard::take() {
  if (mode_ == Access::Exclusive) {
    state_.writer_ = true;
  } else {
    ++state_.readers_;
  }
  acquired_ = true;
}

AccessGuard::~AccessGuard() {
  if (!acquired_) return;
  innermost_access = outer_;
  std::lock_guard lock(access_mutex);
  if (converting_) --state_.converting_;
  if (mode_ == Access::Exclusive) {
    state_.writer_ = false;
  } else {
    --state_.readers_;
  }
  if (state_.readers_ == 0) access_released.notify_all();
}

AccessGuard* AccessGuard::held_by_this_thread(const AccessState& state) {
  for (AccessGuard* guard = innermost_access; guard != nullptr; guard = guard->outer_) {
    if (&guard->state_ == &state) return guard;
  }
  return nullptr;
}

void AccessGuard::begin_work() {
  std::lock_guard lock(access_mutex);
  if (converting_) {
    converting_ = false;
    --state_.converting_;
  }
}

ReleasedInterpreterLock::ReleasedInterpreterLock() : thread_state_(PyEval_SaveThread()) {}

ReleasedInterpreterLock::ReleasedInterpreterLock(const AccessState& state) {
  if (AccessGuard* guard = AccessGuard::held_by_this_thread(state)) guard->begin_work();
  thread_state_ = PyEval_SaveThread();
}

ReleasedInterpreterLock::~ReleasedInterpreterLock() { PyEval_RestoreThread(thread_state_); }

}  // namespace tarnvault_py
