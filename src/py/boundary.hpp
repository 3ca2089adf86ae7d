// The member boundary: where results and errors of member bodies become Python return values
// and exceptions. Bodies return PyResult<Ref>; entry points are noexcept and catch every C++
// exception, so nothing ever unwinds into the interpreter.
#pragma once

#include <exception>
#include <expected>
#include <new>
#include <variant>

#include "../core/error.hpp"
#include "ref.hpp"

namespace kelparine::py {

// Marker: a Python exception is already set (by an interpreter call or a conversion).
struct PythonError {};

using Failure = std::variant<ShmError, PythonError>;

template <class T>
using PyResult = std::expected<T, Failure>;

inline std::unexpected<Failure> python_error() { return std::unexpected(Failure(PythonError{})); }
inline std::unexpected<Failure> fail(ShmError error) {
    return std::unexpected(Failure(std::move(error)));
}

// Sets the Python exception for `failure`: OSError or ValueError built from the message alone
// (so errno/strerror/filename stay None), or keeps an exception that is already set.
void raise(Failure&& failure) noexcept;
// Raises PanicException (a BaseException) with `message`: an internal fault.
void raise_panic(const char* message) noexcept;

// Converts a caught C++ exception into the Python exception it stands for.
void raise_current_exception() noexcept;

// Runs a member body and applies the boundary conventions.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        PyResult<Ref> result = body();
        if (result) return result->release();
        raise(std::move(result.error()));
    } catch (...) {
        raise_current_exception();
    }
    return nullptr;
}

// Same for slots that return an int status (0 / -1).
template <class Body>
int guarded_status(Body&& body) noexcept {
    try {
        PyResult<void> result = body();
        if (result) return 0;
        raise(std::move(result.error()));
    } catch (...) {
        raise_current_exception();
    }
    return -1;
}

}  // namespace kelparine::py
