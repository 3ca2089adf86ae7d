// An export of an object's buffer, released when the scope ends (or by release()).
//
// While an export exists its exporter must keep the memory where it is: a bytearray, an
// array.array or a NumPy array refuses to resize (BufferError), an mmap to close. A pointer into
// the exported memory therefore stays valid whatever Python code runs in between (a signal
// handler or a finalizer run while waiting for a lock) and while the interpreter lock is
// released, until the export ends. Only memory reached through the export itself is pinned.
//
// Never moved: some exporters may keep state at the address of the Py_buffer they filled in.
// Create, use and destroy it with the interpreter lock held.
#pragma once

#include <cstddef>
#include <span>

#include "ref.hpp"
#include "saved_exception.hpp"

namespace kelparine::py {

class BufferExport {
public:
    BufferExport() noexcept = default;
    BufferExport(const BufferExport&) = delete;
    BufferExport& operator=(const BufferExport&) = delete;
    ~BufferExport() { release(); }

    // Takes the export `object` makes for `flags` (its __buffer__, for a class defining one);
    // false with the interpreter's exception set when it refuses. Nothing must be held.
    bool acquire(PyObject* object, int flags = PyBUF_SIMPLE) noexcept {
        if (PyObject_GetBuffer(object, &buffer_, flags) != 0) return false;
        release_ = Release::ByObject;
        return true;
    }

    // Takes the export of a bytearray (or subclass) made by bytearray's own slots: a subclass's
    // __buffer__ (PEP 688) may export some other object's memory, leaving the bytearray free to
    // resize, so it is bypassed, and the export is ended through bytearray's slot as well.
    // Nothing must be held.
    bool acquire_bytearray(PyObject* object) noexcept {
        if (PyByteArray_Type.tp_as_buffer->bf_getbuffer(object, &buffer_, PyBUF_SIMPLE) != 0) return false;
        release_ = Release::ByBytearray;
        return true;
    }

    // Pins the storage of a bytes object (or subclass) by a strong reference alone: bytes never
    // move or change, and no __buffer__ of a subclass is consulted. Nothing must be held.
    void hold_bytes(PyObject* object) noexcept {
        buffer_.buf = PyBytes_AS_STRING(object);
        buffer_.len = PyBytes_GET_SIZE(object);
        buffer_.obj = Py_NewRef(object);
        release_ = Release::Reference;
    }

    void release() noexcept {
        if (release_ == Release::ByObject) {
            // Ending the export may run Python code (__release_buffer__): never with a
            // failure's exception set, which is kept for the caller.
            if (PyErr_Occurred() != nullptr) {
                SavedException failure;
                PyBuffer_Release(&buffer_);
            } else {
                PyBuffer_Release(&buffer_);
            }
        } else if (release_ != Release::None) {
            if (release_ == Release::ByBytearray) PyByteArray_Type.tp_as_buffer->bf_releasebuffer(buffer_.obj, &buffer_);
            Py_CLEAR(buffer_.obj);
        }
        release_ = Release::None;
    }

    bool held() const noexcept { return release_ != Release::None; }
    // The buffer as acquire() received it (format, shape and strides as asked for by `flags`).
    const Py_buffer& view() const noexcept { return buffer_; }
    // The exported bytes (buf, len); meaningful as one run only for a contiguous export.
    std::span<const std::byte> bytes() const noexcept {
        return {static_cast<const std::byte*>(buffer_.buf), static_cast<std::size_t>(buffer_.len)};
    }

private:
    enum class Release : unsigned char { None, ByObject, ByBytearray, Reference };
    Py_buffer buffer_;  // filled in by each acquisition; not read before one
    Release release_ = Release::None;
};

}  // namespace kelparine::py
