#include "payload.hpp"

namespace kelparine {

py::PyResult<void> PayloadBatch::append_message(PyObject* data) {
    // Room for the entry first, so that nothing can fail after the message is encoded.
    if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.capacity() * 2 + 8);
    if (PyBytes_CheckExact(data)) {
        if (held_.size() == held_.capacity()) held_.reserve(held_.capacity() * 2 + 8);
        held_.push_back(Py_NewRef(data));
        entries_.push_back(Entry{reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(data)), nullptr, 0,
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(data))});
        return {};
    }
    const std::size_t start = encoded_.size();
    if (is_sequence(data)) {
        if (auto packed = pack_flat(data, encoded_); !packed) return packed;
        entries_.push_back(Entry{nullptr, nullptr, start, encoded_.size() - start});
        return {};
    }
    py::BufferExport& pin = pins_.emplace_back();
    if (auto encoded = encode_value(data, encoded_, pin); !encoded) {
        pins_.pop_back();
        return encoded;
    }
    if (pin.held()) {
        entries_.push_back(Entry{nullptr, &pin, 0, 0});
    } else {
        pins_.pop_back();
        entries_.push_back(Entry{nullptr, nullptr, start, encoded_.size() - start});
    }
    return {};
}

}  // namespace kelparine
