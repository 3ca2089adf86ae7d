// An export of an object's buffer, released when the scope ends. While an export exists the
// interpreter refuses to resize a bytearray (BufferError), so a pointer into its storage stays
// valid even if Python code runs in between: a signal handler run while waiting for the lock.
#pragma once

#include "ref.hpp"

namespace kelparine::py {

class BufferExport {
public:
    BufferExport() noexcept = default;
    BufferExport(const BufferExport&) = delete;
    BufferExport& operator=(const BufferExport&) = delete;
    ~BufferExport() {
        if (held_) PyBuffer_Release(&buffer_);
    }

    // Takes the export; false with the interpreter's exception set when the object refuses.
    bool acquire(PyObject* object) noexcept {
        if (PyObject_GetBuffer(object, &buffer_, PyBUF_SIMPLE) != 0) return false;
        held_ = true;
        return true;
    }

private:
    Py_buffer buffer_{};
    bool held_ = false;
};

}  // namespace kelparine::py
