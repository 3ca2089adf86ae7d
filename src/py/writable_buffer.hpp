// A writable, C-contiguous export of a caller's buffer (bytearray, memoryview, NumPy array,
// array.array, mmap) to copy a message into, released when the scope ends. While it is held
// the exporter cannot resize or free the memory, so the copy may run without the interpreter
// lock.
#pragma once

#include <cstddef>
#include <span>

#include "boundary.hpp"

namespace kelparine::py {

class WritableBuffer {
public:
    WritableBuffer() noexcept = default;
    WritableBuffer(const WritableBuffer&) = delete;
    WritableBuffer& operator=(const WritableBuffer&) = delete;
    ~WritableBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Errors: TypeError for an object without a writable buffer (bytes, str, ...), ValueError
    // for a non-contiguous one; `member` names the call in the messages.
    PyResult<void> acquire(PyObject* object, const char* member) noexcept {
        if (!PyObject_CheckBuffer(object)) {
            PyErr_Format(PyExc_TypeError, "%s() argument must be a writable buffer, not '%.200s'", member,
                         Py_TYPE(object)->tp_name);
            return python_error();
        }
        if (PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE | PyBUF_ND | PyBUF_STRIDES) != 0) {
            if (!PyErr_ExceptionMatches(PyExc_BufferError)) return python_error();
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s() argument must be a writable buffer, not '%.200s'", member,
                         Py_TYPE(object)->tp_name);
            return python_error();
        }
        held_ = true;
        if (!PyBuffer_IsContiguous(&view_, 'C')) {
            PyErr_Format(PyExc_ValueError, "%s() needs a C-contiguous buffer; this '%.200s' is not contiguous",
                         member, Py_TYPE(object)->tp_name);
            return python_error();
        }
        return {};
    }

    std::span<std::byte> bytes() const noexcept {
        return {static_cast<std::byte*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace kelparine::py
