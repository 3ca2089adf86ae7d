// A writable, C-contiguous export of a caller's buffer (bytearray, memoryview, NumPy array,
// array.array, mmap) to copy a message into, released when the scope ends. While it is held
// the exporter cannot resize or free the memory, so the copy may run without the interpreter
// lock.
#pragma once

#include <cstddef>
#include <span>

#include "boundary.hpp"
#include "buffer_export.hpp"

namespace kelparine::py {

class WritableBuffer {
public:
    // Errors: TypeError for an object without a writable buffer (bytes, str, ...), ValueError
    // for a non-contiguous one; `member` names the call in the messages.
    PyResult<void> acquire(PyObject* object, const char* member) noexcept {
        if (!PyObject_CheckBuffer(object)) return not_writable(object, member);
        if (!export_.acquire(object, PyBUF_WRITABLE | PyBUF_ND | PyBUF_STRIDES)) {
            if (!PyErr_ExceptionMatches(PyExc_BufferError)) return python_error();
            PyErr_Clear();
            return not_writable(object, member);
        }
        if (!PyBuffer_IsContiguous(&export_.view(), 'C')) {
            PyErr_Format(PyExc_ValueError, "%s() needs a C-contiguous buffer; this '%.200s' is not contiguous",
                         member, Py_TYPE(object)->tp_name);
            return python_error();
        }
        return {};
    }

    std::span<std::byte> bytes() const noexcept {
        return {static_cast<std::byte*>(export_.view().buf), static_cast<std::size_t>(export_.view().len)};
    }

private:
    static PyResult<void> not_writable(PyObject* object, const char* member) noexcept {
        PyErr_Format(PyExc_TypeError, "%s() argument must be a writable buffer, not '%.200s'", member,
                     Py_TYPE(object)->tp_name);
        return python_error();
    }

    BufferExport export_;  // released, exception kept, when the scope ends
};

}  // namespace kelparine::py
