// The bytes one message or value becomes, held ready for a copy into a segment.
//
// Raw bytes (bytes, bytearray, any C-contiguous buffer) are not copied here: the payload holds
// their exporter's export, so they stay valid and unresized for as long as the payload lives,
// even while the interpreter lock is released for the copy or for a wait. Everything else is
// encoded into the payload's own buffer (which keeps short encodings inline).
//
// Ownership: create, fill and destroy a payload with the interpreter lock held, inside the
// member call that copies it out; bytes() may be read without the lock in between. It is
// never copied or moved (an export stays at the address it was made at): a batch of them lives
// in a PayloadBatch.
#pragma once

#include <cstddef>
#include <deque>
#include <span>
#include <vector>

#include "../core/codec/byte_codec.hpp"
#include "../py/boundary.hpp"
#include "../py/buffer_export.hpp"
#include "typed_list.hpp"
#include "value_codec.hpp"

namespace kelparine {

class Payload {
public:
    Payload() noexcept = default;
    Payload(const Payload&) = delete;
    Payload& operator=(const Payload&) = delete;

    // MappedView.write(): one value, by encode_value's order of checks. Fill a payload once.
    py::PyResult<void> encode_value(PyObject* value) {
        if (PyBytes_CheckExact(value)) {  // the commonest payload, without a call
            pin_.hold_bytes(value);
            return {};
        }
        return kelparine::encode_value(value, encoded_, pin_);
    }
    // SpscRingBuffer.push() and put(): one value, or a list or tuple of single values back to
    // back (copied at once; a list or tuple inside is refused). Fill a payload once.
    py::PyResult<void> encode_message(PyObject* data) {
        if (is_sequence(data)) return pack_flat(data, encoded_);
        return encode_value(data);
    }

    // Empty until filled.
    std::span<const std::byte> bytes() const noexcept { return pin_.held() ? pin_.bytes() : encoded_.bytes(); }

private:
    py::BufferExport pin_;
    ByteBuffer encoded_;
};

// The payloads of many messages (push_many), each encoded as Payload::encode_message does, all
// before any is written. Encodings share one buffer; raw bytes stay pinned, each by its own
// export, until the batch is destroyed. Same ownership rules as Payload.
class PayloadBatch {
public:
    PayloadBatch() = default;
    PayloadBatch(const PayloadBatch&) = delete;
    PayloadBatch& operator=(const PayloadBatch&) = delete;
    ~PayloadBatch() {
        for (PyObject* bytes : held_) Py_DECREF(bytes);
    }

    void reserve(std::size_t messages) {
        entries_.reserve(messages);
        held_.reserve(messages);
    }
    // Encodes one more message; on failure the batch is as it was.
    py::PyResult<void> append_message(PyObject* data);

    std::size_t size() const noexcept { return entries_.size(); }
    // The bytes of message `i` (< size()); valid until the batch is destroyed or appended to.
    std::span<const std::byte> operator[](std::size_t i) const noexcept {
        const Entry& entry = entries_[i];
        if (entry.in_place != nullptr) return {entry.in_place, entry.size};
        if (entry.pinned != nullptr) return entry.pinned->bytes();
        return {encoded_.data() + entry.offset, entry.size};
    }

private:
    struct Entry {
        const std::byte* in_place;       // a bytes object's own storage, held in held_
        const py::BufferExport* pinned;  // both null: the bytes are encoded_[offset, offset + size)
        std::size_t offset;
        std::size_t size;
    };
    ByteBuffer encoded_;
    std::deque<py::BufferExport> pins_;  // a deque never moves its elements when it grows
    // Strong references to the exact bytes objects among the messages, the commonest kind:
    // bytes never change, so holding the object keeps its storage valid, as an export would,
    // for the cost of a reference count.
    std::vector<PyObject*> held_;
    std::vector<Entry> entries_;
};

}  // namespace kelparine
