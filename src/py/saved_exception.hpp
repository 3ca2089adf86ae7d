// Sets the current Python exception aside for a scope and puts it back at the end.
//
// Code that may run Python (ending a buffer export of a class with __release_buffer__, say)
// must not start with an exception set: the call would fail or report a spurious SystemError.
// Clean-up that runs while a failure is on its way out wraps itself in one of these.
#pragma once

#include "ref.hpp"

namespace kelparine::py {

class SavedException {
public:
    SavedException() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exception_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exception_, &traceback_);
#endif
    }
    ~SavedException() {
#if PY_VERSION_HEX >= 0x030C0000
        if (exception_ != nullptr) PyErr_SetRaisedException(exception_);
#else
        if (type_ != nullptr) PyErr_Restore(type_, exception_, traceback_);
#endif
    }
    SavedException(const SavedException&) = delete;
    SavedException& operator=(const SavedException&) = delete;

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
    PyObject* exception_ = nullptr;
};

}  // namespace kelparine::py
