#include "access.h"

namespace tarnvault_py {

AccessGuard::AccessGuard(AccessState& state, Access mode) : state_(state), mode_(mode) {
  if (mode == Access::Exclusive) {
    if (!state.is_free()) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    state.writer_ = true;
  } else {
    if (state.writer_) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return;
    }
    ++state.readers_;
  }
  acquired_ = true;
}

AccessGuard::~AccessGuard() {
  if (!acquired_) return;
  if (mode_ == Access::Exclusive) {
    state_.writer_ = false;
  } else {
    --state_.readers_;
  }
}

}  // namespace tarnvault_py
