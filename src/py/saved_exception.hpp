// Sets the current Python exception aside for a scope and puts it back at the end.
//
// Code that may run Python (ending a buffer export of a class with __release_buffer__, say)
// must not start with an exception set: the call would fail or report a spurious SystemError.
// Clean-up that runs while a failure is on its way out wraps itself in one of these.
#pragma once

#include "ref.hpp"

namespace kelparine::py {

// The current exception as one object (a new reference), leaving none set; null when none is.
inline PyObject* take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Sets `exception` (not null; the reference is stolen) as the current exception again.
inline void restore_exception(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

class SavedException {
public:
    SavedException() noexcept : exception_(take_exception()) {}
    ~SavedException() {
        if (exception_ != nullptr) restore_exception(exception_);
    }
    SavedException(const SavedException&) = delete;
    SavedException& operator=(const SavedException&) = delete;

private:
    PyObject* exception_;
};

}  // namespace kelparine::py
