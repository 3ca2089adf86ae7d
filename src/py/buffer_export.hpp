// An export of an object's buffer, released when the scope ends. While an export exists the
// interpreter refuses to resize a bytearray (BufferError), so a pointer into its storage stays
// valid even if Python code runs in between: a signal handler run while waiting for the lock.
// Only memory reached through the export itself is pinned.
#pragma once

#include "ref.hpp"

namespace kelparine::py {

class BufferExport {
public:
    BufferExport() noexcept = default;
    BufferExport(const BufferExport&) = delete;
    BufferExport& operator=(const BufferExport&) = delete;
    ~BufferExport() {
        if (release_ == Release::ByObject) {
            PyBuffer_Release(&buffer_);
        } else if (release_ == Release::ByBytearray) {
            PyByteArray_Type.tp_as_buffer->bf_releasebuffer(buffer_.obj, &buffer_);
            Py_CLEAR(buffer_.obj);
        }
    }

    // Takes the export; false with the interpreter's exception set when the object refuses.
    bool acquire(PyObject* object) noexcept {
        if (PyObject_GetBuffer(object, &buffer_, PyBUF_SIMPLE) != 0) return false;
        release_ = Release::ByObject;
        return true;
    }

    // Takes the export of a bytearray (or subclass) made by bytearray's own slots: a subclass's
    // __buffer__ (PEP 688) may export some other object's memory, leaving the bytearray free to
    // resize, so it is bypassed, and the export is ended through bytearray's slot as well.
    bool acquire_bytearray(PyObject* object) noexcept {
        if (PyByteArray_Type.tp_as_buffer->bf_getbuffer(object, &buffer_, PyBUF_SIMPLE) != 0) return false;
        release_ = Release::ByBytearray;
        return true;
    }

private:
    enum class Release : unsigned char { None, ByObject, ByBytearray };
    Py_buffer buffer_{};
    Release release_ = Release::None;
};

}  // namespace kelparine::py
