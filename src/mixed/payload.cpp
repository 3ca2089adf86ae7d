#include "payload.hpp"

namespace kelparine {

py::PyResult<void> PayloadBatch::append_message(PyObject* data) {
    // Room for the entry first, so that nothing can fail after the message is encoded.
    if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.capacity() * 2 + 8);
    const std::size_t start = encoded_.size();
    if (is_sequence(data)) {
        if (auto packed = pack_flat(data, encoded_); !packed) return packed;
        entries_.push_back(Entry{nullptr, start, encoded_.size() - start});
        return {};
    }
    py::BufferExport& pin = pins_.emplace_back();
    if (auto encoded = encode_value(data, encoded_, pin); !encoded) {
        pins_.pop_back();
        return encoded;
    }
    if (pin.held()) {
        entries_.push_back(Entry{&pin, 0, 0});
    } else {
        pins_.pop_back();
        entries_.push_back(Entry{nullptr, start, encoded_.size() - start});
    }
    return {};
}

}  // namespace kelparine
