// How every method of the module is called and how it fails, in one place:
//   - owned references (PyRef) to objects of the interpreter's C API, which
//     this module uses only through CPython 3.11's stable ABI, so that one
//     binary loads into every later CPython 3;
//   - errors: a core Error becomes the exception type the method names, a C++
//     exception never unwinds into the interpreter;
//   - binding of a call's arguments to a method's parameters;
//   - per-instance access: readers share, a writer excludes everyone, and
//     threads wait for each other with the interpreter lock released;
//   - the prologue every instance method runs before its own work.
#pragma once

#define Py_LIMITED_API 0x030B0000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <exception>
#include <new>
#include <span>
#include <utility>

#include "core/error/error.h"

namespace tarnvault_py {

// ---------------------------------------------------------------------------
// References. Reference counts are changed only through the exported
// functions (Py_IncRef/Py_DecRef), never the inline macros.

// An owned (strong) reference; released on destruction.
class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_DecRef(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_DecRef(object_); }

  // Takes over a new reference (may be null: a failed API call).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed one.
  static PyRef borrow(PyObject* object) {
    Py_IncRef(object);
    return PyRef(object);
  }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

// A new reference to None, the return value of methods that return nothing.
inline PyObject* new_none() {
  Py_IncRef(Py_None);
  return Py_None;
}

// ---------------------------------------------------------------------------
// Errors. A core Error becomes the exception type the method names, with the
// Error's display message as its only argument; a C++ exception becomes
// MemoryError or, for a broken internal invariant, InternalError, a
// BaseException subclass that ordinary `except Exception` handlers do not
// swallow.

// Creates the internal-failure exception type once, at module initialisation.
// It is deliberately not a module attribute: the module's public names are
// only its classes.
bool init_internal_error_type();

void raise_internal_error(const char* what);

// Sets exception_type(message) and returns null, for `return raise_core_error(...)`.
PyObject* raise_core_error(PyObject* exception_type, const tarnvault_core::Error& error);

// Runs a method body, turning any escaping C++ exception into a Python one.
template <typename Body>
PyObject* call_at_boundary(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_internal_error(failure.what());
  } catch (...) {
    raise_internal_error("unknown internal failure");
  }
  return nullptr;
}

// Raises TypeError "'{type qualname of value}' object cannot be converted to
// '{target}'".
void raise_type_mismatch(PyObject* value, const char* target);

// ---------------------------------------------------------------------------
// Binding of a call's positional and keyword arguments to a method's
// parameters. Every method of every class binds with these, so the messages
// are uniform.

// A method's full name for messages ("Index.insert()"), the names of its N
// required parameters in declaration order, each given by position or by
// keyword, and the names of its K optional keyword-only parameters.
template <std::size_t N, std::size_t K = 0>
struct Signature {
  const char* full_name;
  std::array<const char*, N> names;
  std::array<const char*, K> keyword_only = {};

  static constexpr std::size_t kArguments = N + K;
  std::array<const char*, N + K> all_names() const {
    std::array<const char*, N + K> all{};
    for (std::size_t i = 0; i < N; ++i) all[i] = names[i];
    for (std::size_t i = 0; i < K; ++i) all[N + i] = keyword_only[i];
    return all;
  }
};

// The arguments of one call, parameter by parameter: a borrowed reference,
// or null for a keyword-only parameter the call did not give.
template <std::size_t N, std::size_t K>
using Arguments = std::array<PyObject*, N + K>;

// Fills out[i] with a borrowed reference to the argument of parameter i; the
// first `required` names are the required parameters, the others
// keyword-only. On failure raises TypeError with the binding message and
// returns false.
bool bind_arguments(const char* full_name, std::span<const char* const> names,
                    std::size_t required, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> out);

template <std::size_t N, std::size_t K>
bool bind_arguments(const Signature<N, K>& signature, PyObject* args, PyObject* kwargs,
                    Arguments<N, K>& out) {
  const auto names = signature.all_names();
  return bind_arguments(signature.full_name, names, N, args, kwargs, out);
}

// True if self is an instance of type; otherwise raises the type-mismatch
// TypeError with the class name as target.
bool check_instance(PyObject* self, PyTypeObject* type, const char* class_name);

// ---------------------------------------------------------------------------
// Access. Every instance carries an access state: free, shared by a count of
// readers, or held by one writer. Searches share it, writes hold it alone,
// and every method holds it from before its argument conversion until it
// returns. Long core work (a scan, a sync) runs without the interpreter lock,
// so calls from other threads do meet held accesses:
//   - A thread that holds no access waits, without the interpreter lock, for
//     the access it asks for. A waiting writer goes first: readers that come
//     after it wait for it, so a stream of searches cannot starve a write.
//   - A thread that already holds an access (its own call is converting an
//     argument, and the conversion ran Python code that called in again)
//     never waits: waiting could close a cycle of threads waiting on each
//     other, or on itself. Shared access nests, even past a waiting writer;
//     a conflicting request fails at once.
//   - A request that conflicts with a holder whose conversion is running
//     Python code fails at once as well: that code may itself be waiting for
//     the requesting thread, and a holder in this state is only ever seen
//     when the conversion let other threads in.
// A failed request raises RuntimeError "Already borrowed" (exclusive
// requested while any access is held) or "Already mutably borrowed" (shared
// requested while a writer holds it).

enum class Access { Shared, Exclusive };

// All of it is guarded by one mutex of the module (calling.cc), held only
// for a few instructions at a time. Plain values, so that a new instance's
// state is set by assignment.
class AccessState {
 private:
  friend class AccessGuard;

  std::size_t readers_ = 0;
  bool writer_ = false;
  std::size_t waiting_writers_ = 0;
  // Holders that took the access and have not begun their core work: while
  // another thread can see one, it is running Python code.
  std::size_t converting_ = 0;
};

// Holds one access for its lifetime and restores the state on every path.
// If the access is refused, acquired() is false and RuntimeError is set.
// Must be created and destroyed with the interpreter lock held.
class AccessGuard {
 public:
  AccessGuard(AccessState& state, Access mode);
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;
  ~AccessGuard();

  bool acquired() const { return acquired_; }

  // The calling thread's access to state, held by this call or an outer one;
  // null when it holds none.
  static AccessGuard* held_by_this_thread(const AccessState& state);
  // The conversion is over: from now on the holder runs no Python code of
  // its arguments, and threads that conflict with it wait.
  void begin_work();

 private:
  void take();  // with the access mutex held

  AccessState& state_;
  Access mode_;
  bool acquired_ = false;
  bool converting_ = false;
  AccessGuard* outer_ = nullptr;  // the thread's next access out
};

// Releases the interpreter lock for its lifetime. Given the access state of
// the call's instance, it first marks the call's conversion over (see
// AccessGuard::begin_work). Nothing may touch a Python object meanwhile.
class ReleasedInterpreterLock {
 public:
  ReleasedInterpreterLock();
  explicit ReleasedInterpreterLock(const AccessState& state);
  ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
  ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;
  ~ReleasedInterpreterLock();

 private:
  PyThreadState* thread_state_;
};

// Runs work() without the interpreter lock, under state's access, and
// returns its result.
template <typename Work>
auto without_interpreter_lock(const AccessState& state, Work&& work) {
  ReleasedInterpreterLock released(state);
  return work();
}

// Runs a scan without the interpreter lock when it reads enough floats
// (entries times query components) to outweigh handing the lock over: a
// thread that gives it up may wait a whole switch interval to get it back
// from a busy Python thread, far longer than a small scan.
template <typename Work>
auto scan_without_interpreter_lock(const AccessState& state, std::size_t floats_read,
                                   Work&& work) {
  constexpr std::size_t kWorthReleasing = std::size_t{1} << 16;
  if (floats_read < kWorthReleasing) return work();
  return without_interpreter_lock(state, std::forward<Work>(work));
}

// ---------------------------------------------------------------------------
// The method prologue. What every instance method of a class does before its
// own work, in this order: bind the call's arguments to the method's
// signature, check that self is an instance of the class, take the
// instance's access. Then the body runs with the access held, inside the
// boundary that turns C++ exceptions into Python ones.

// A class whose instances are Object, with an `access` member and the
// core object they wrap (a Store) behind `store`: its type, read when called
// (it is made at module initialisation), and its name for messages. The
// store of a closed instance (only a Collection closes) is null.
template <typename Object, typename Store>
struct MethodClass {
  PyTypeObject* const* type;
  const char* name;
  Store* Object::*store;
};

// Whether a method runs on a closed instance: only closing itself does.
enum class WhenClosed { Refuse, Run };

// The prologue after binding (by call_method, or by the interpreter for a
// method without parameters): body(Object& self) runs with the access held.
// A closed instance is refused with ValueError "collection is closed" once
// the access is held.
template <typename Object, typename Store, typename Body>
PyObject* call_with_access(const MethodClass<Object, Store>& cls, Access mode, PyObject* self,
                           WhenClosed when_closed, Body&& body) {
  return call_at_boundary([&]() -> PyObject* {
    if (!check_instance(self, *cls.type, cls.name)) return nullptr;
    Object& object = *reinterpret_cast<Object*>(self);
    AccessGuard access(object.access, mode);
    if (!access.acquired()) return nullptr;
    if (when_closed == WhenClosed::Refuse && object.*cls.store == nullptr) {
      PyErr_SetString(PyExc_ValueError, "collection is closed");
      return nullptr;
    }
    return body(object);
  });
}

// body(Object& self, const Arguments<N, K>& arguments) -> new reference or
// null with an exception set; binds, then runs call_with_access.
template <typename Object, typename Store, std::size_t N, std::size_t K, typename Body>
PyObject* call_method(const MethodClass<Object, Store>& cls, const Signature<N, K>& signature,
                      Access mode, PyObject* self, PyObject* args, PyObject* kwargs, Body&& body,
                      WhenClosed when_closed = WhenClosed::Refuse) {
  return call_at_boundary([&]() -> PyObject* {
    Arguments<N, K> arguments{};
    if (!bind_arguments(signature, args, kwargs, arguments)) return nullptr;
    return call_with_access(cls, mode, self, when_closed, [&](Object& object) {
      return body(object, static_cast<const Arguments<N, K>&>(arguments));
    });
  });
}

// Method tables hold every function as PyCFunction; the detour through a
// plain function pointer type is the sanctioned way to say so without a
// cast-function-type warning.
inline PyCFunction as_method(PyCFunctionWithKeywords function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace tarnvault_py
