// Items as records: how a Python object becomes a record's payload and back.
//
//   kind 1  raw bytes: bytes, bytearray, memoryview and other buffer objects, as they are;
//           they come back as bytes.
//   kind 2  a pickle (protocol 5) with no out-of-band buffer.
//   kind 3  a pickle with out-of-band buffers (PickleBuffer, NumPy arrays), each copied once:
//             u64 pickle length  u64 buffer count n  n x u64 buffer length   (padded to 16)
//             pickle bytes (padded to 16)  buffer 0 (padded to 16)  ...  buffer n-1
//           all little-endian; payload offsets of 16 keep the buffers 16-byte aligned.
#pragma once

#include <cstdint>
#include <vector>

#include "../core/queue/mpmc_queue.hpp"
#include "../py/boundary.hpp"

namespace kelparine::queue_object {

inline constexpr std::uint8_t kKindBytes = 1;
inline constexpr std::uint8_t kKindPickle = 2;
inline constexpr std::uint8_t kKindPickleBuffers = 3;

// One item ready to be written: its buffers pinned until it is destroyed (with the interpreter
// lock held). write() touches no Python object, so it may run without the lock.
class EncodedItem {
public:
    EncodedItem() noexcept = default;
    EncodedItem(EncodedItem&& other) noexcept;
    EncodedItem& operator=(EncodedItem&&) = delete;
    EncodedItem(const EncodedItem&) = delete;
    ~EncodedItem();

    // Pickling errors are raised here (nothing is enqueued).
    py::PyResult<void> encode(PyObject* item);
    std::uint8_t kind() const noexcept { return kind_; }
    std::uint64_t length() const noexcept { return length_; }
    void write(MpmcQueue& queue, std::uint64_t pos) const noexcept;

private:
    std::uint8_t kind_ = kKindBytes;
    std::uint64_t length_ = 0;
    py::Ref source_;  // the object whose buffer `main_` is (the item or its pickle)
    Py_buffer main_{};
    bool has_main_ = false;
    std::vector<Py_buffer> buffers_;  // kind 3: the out-of-band buffers, contiguous
    std::vector<py::Ref> buffer_sources_;
    std::uint64_t header_size_ = 0;
};

// The payload as copied out of the record: bytes (kinds 1 and 2) or a bytearray (kind 3, so that
// arrays over its buffers are writable, as unpickled ones are).
py::PyResult<py::Ref> new_payload_object(std::uint8_t kind, std::uint64_t length, std::byte*& data);
// The item from its copied payload (unpickles: runs Python code; call with no lock held).
py::PyResult<py::Ref> decode(std::uint8_t kind, py::Ref payload);

}  // namespace kelparine::queue_object
