#include "queue_items.hpp"

#include <cstring>

#include "../core/text.hpp"

namespace kelparine::queue_object {
namespace {

using py::PyResult;
using py::Ref;

constexpr std::uint64_t pad16(std::uint64_t n) noexcept { return (n + 15) & ~std::uint64_t{15}; }

// The pickle module's functions and the NumPy array type, looked up once (kept for the life of
// the process, as the module's types are).
struct Pickling {
    PyObject* dumps = nullptr;
    PyObject* loads = nullptr;
    PyObject* pickle_buffer = nullptr;
    PyObject* dumps_kwnames = nullptr;  // ("protocol", "buffer_callback")
    PyObject* loads_kwnames = nullptr;  // ("buffers",)
    PyObject* protocol = nullptr;       // 5
};

PyResult<const Pickling*> pickling() {
    static Pickling cached;
    if (cached.dumps != nullptr) return &cached;
    Ref module = Ref::steal(PyImport_ImportModule("pickle"));
    if (!module) return py::python_error();
    Ref dumps = Ref::steal(PyObject_GetAttrString(module.get(), "dumps"));
    Ref loads = dumps ? Ref::steal(PyObject_GetAttrString(module.get(), "loads")) : Ref();
    Ref buffer = loads ? Ref::steal(PyObject_GetAttrString(module.get(), "PickleBuffer")) : Ref();
    Ref dumps_names = Ref::steal(Py_BuildValue("(ss)", "protocol", "buffer_callback"));
    Ref loads_names = Ref::steal(Py_BuildValue("(s)", "buffers"));
    Ref protocol = Ref::steal(PyLong_FromLong(5));
    if (!buffer || !dumps_names || !loads_names || !protocol) return py::python_error();
    cached.loads = loads.release();
    cached.pickle_buffer = buffer.release();
    cached.dumps_kwnames = dumps_names.release();
    cached.loads_kwnames = loads_names.release();
    cached.protocol = protocol.release();
    cached.dumps = dumps.release();
    return &cached;
}

// NumPy arrays are buffers too, but travel pickled (with their data out of band) so that they
// come back as arrays. NumPy is never imported here: an array exists only once it is.
bool is_numpy_array(PyObject* item) noexcept {
    static PyObject* ndarray = nullptr;
    if (ndarray == nullptr) {
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* numpy = PyDict_GetItemString(modules, "numpy");  // borrowed
        if (numpy == nullptr) return false;
        ndarray = PyObject_GetAttrString(numpy, "ndarray");
        if (ndarray == nullptr) {
            PyErr_Clear();
            return false;
        }
    }
    return PyObject_TypeCheck(item, reinterpret_cast<PyTypeObject*>(ndarray));
}

bool travels_raw(PyObject* item, const Pickling& p) noexcept {
    if (PyBytes_CheckExact(item) || PyByteArray_CheckExact(item) || PyMemoryView_Check(item)) return true;
    if (!PyObject_CheckBuffer(item)) return false;
    return !PyObject_TypeCheck(item, reinterpret_cast<PyTypeObject*>(p.pickle_buffer)) && !is_numpy_array(item);
}

}  // namespace

EncodedItem::EncodedItem(EncodedItem&& other) noexcept
    : kind_(other.kind_),
      length_(other.length_),
      source_(std::move(other.source_)),
      main_(other.main_),
      has_main_(std::exchange(other.has_main_, false)),
      buffers_(std::move(other.buffers_)),
      buffer_sources_(std::move(other.buffer_sources_)),
      header_size_(other.header_size_) {
    other.buffers_.clear();
}

EncodedItem::~EncodedItem() {
    if (has_main_) PyBuffer_Release(&main_);
    for (Py_buffer& view : buffers_) PyBuffer_Release(&view);
}

PyResult<void> EncodedItem::encode(PyObject* item) {
    auto p = pickling();
    if (!p) return std::unexpected(std::move(p.error()));
    if (travels_raw(item, **p)) {
        kind_ = kKindBytes;
        source_ = Ref::borrow(item);
        if (PyObject_GetBuffer(item, &main_, PyBUF_SIMPLE) != 0) {
            // Not contiguous (a strided memoryview): its bytes in order, copied.
            PyErr_Clear();
            source_ = Ref::steal(PyBytes_FromObject(item));
            if (!source_ || PyObject_GetBuffer(source_.get(), &main_, PyBUF_SIMPLE) != 0) return py::python_error();
        }
        has_main_ = true;
        length_ = static_cast<std::uint64_t>(main_.len);
        return {};
    }
    Ref collected = Ref::steal(PyList_New(0));
    if (!collected) return py::python_error();
    Ref append = Ref::steal(PyObject_GetAttrString(collected.get(), "append"));
    if (!append) return py::python_error();
    PyObject* args[] = {item, (*p)->protocol, append.get()};
    source_ = Ref::steal(PyObject_Vectorcall((*p)->dumps, args, 1, (*p)->dumps_kwnames));
    if (!source_) return py::python_error();
    if (PyObject_GetBuffer(source_.get(), &main_, PyBUF_SIMPLE) != 0) return py::python_error();
    has_main_ = true;
    const Py_ssize_t count = PyList_GET_SIZE(collected.get());
    if (count == 0) {
        kind_ = kKindPickle;
        length_ = static_cast<std::uint64_t>(main_.len);
        return {};
    }
    kind_ = kKindPickleBuffers;
    buffers_.reserve(static_cast<std::size_t>(count));
    buffer_sources_.reserve(static_cast<std::size_t>(count));
    header_size_ = pad16(16 + 8 * static_cast<std::uint64_t>(count));
    length_ = header_size_ + pad16(static_cast<std::uint64_t>(main_.len));
    for (Py_ssize_t i = 0; i < count; ++i) {
        // raw(): the buffer's bytes as one contiguous run (BufferError if it has none).
        Ref raw = Ref::steal(PyObject_CallMethod(PyList_GET_ITEM(collected.get(), i), "raw", nullptr));
        if (!raw) return py::python_error();
        Py_buffer view;
        if (PyObject_GetBuffer(raw.get(), &view, PyBUF_SIMPLE) != 0) return py::python_error();
        buffers_.push_back(view);
        buffer_sources_.push_back(std::move(raw));
        if (i + 1 < count) length_ += pad16(static_cast<std::uint64_t>(view.len));
        else length_ += static_cast<std::uint64_t>(view.len);
    }
    return {};
}

void EncodedItem::write(MpmcQueue& queue, std::uint64_t pos) const noexcept {
    const auto* main = static_cast<const std::byte*>(main_.buf);
    const auto main_size = static_cast<std::uint64_t>(main_.len);
    if (kind_ != kKindPickleBuffers) {
        queue.write_payload(pos, 0, main, main_size);
        return;
    }
    // The header: little-endian u64s (this module runs on little-endian hosts only).
    std::uint64_t header[2] = {main_size, buffers_.size()};
    queue.write_payload(pos, 0, reinterpret_cast<const std::byte*>(header), sizeof header);
    std::uint64_t offset = sizeof header;
    for (const Py_buffer& view : buffers_) {
        const std::uint64_t size = static_cast<std::uint64_t>(view.len);
        queue.write_payload(pos, offset, reinterpret_cast<const std::byte*>(&size), 8);
        offset += 8;
    }
    offset = header_size_;
    queue.write_payload(pos, offset, main, main_size);
    offset += pad16(main_size);
    for (const Py_buffer& view : buffers_) {
        queue.write_payload(pos, offset, static_cast<const std::byte*>(view.buf), static_cast<std::uint64_t>(view.len));
        offset += pad16(static_cast<std::uint64_t>(view.len));
    }
}

PyResult<Ref> new_payload_object(std::uint8_t kind, std::uint64_t length, std::byte*& data) {
    const auto size = static_cast<Py_ssize_t>(length);
    if (kind == kKindPickleBuffers) {
        Ref bytes = Ref::steal(PyByteArray_FromStringAndSize(nullptr, size));
        if (!bytes) return py::python_error();
        data = reinterpret_cast<std::byte*>(PyByteArray_AS_STRING(bytes.get()));
        return bytes;
    }
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!bytes) return py::python_error();
    data = reinterpret_cast<std::byte*>(PyBytes_AS_STRING(bytes.get()));
    return bytes;
}

namespace {

ShmError bad_payload(std::string detail) {
    return ShmError::invalid_argument(concat("corrupt queue item: ", detail));
}

}  // namespace

PyResult<Ref> decode(std::uint8_t kind, Ref payload) {
    if (kind == kKindBytes) return payload;
    auto p = pickling();
    if (!p) return std::unexpected(std::move(p.error()));
    if (kind == kKindPickle) {
        Ref item = Ref::steal(PyObject_CallOneArg((*p)->loads, payload.get()));
        if (!item) return py::python_error();
        return item;
    }
    if (kind != kKindPickleBuffers) return py::fail(bad_payload(concat("unknown record kind ", unsigned{kind})));
    const auto* data = reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(payload.get()));
    const auto length = static_cast<std::uint64_t>(PyByteArray_GET_SIZE(payload.get()));
    std::uint64_t head[2];
    if (length < 16) return py::fail(bad_payload("shorter than its header"));
    std::memcpy(head, data, 16);
    const std::uint64_t pickle_size = head[0];
    const std::uint64_t count = head[1];
    if (count > (length - 16) / 8) return py::fail(bad_payload("buffer count past its end"));
    const std::uint64_t header_size = pad16(16 + 8 * count);
    Ref view = Ref::steal(PyMemoryView_FromObject(payload.get()));
    if (!view) return py::python_error();
    auto slice = [&](std::uint64_t start, std::uint64_t size) -> Ref {
        Ref lo = Ref::steal(PyLong_FromUnsignedLongLong(start));
        Ref hi = Ref::steal(PyLong_FromUnsignedLongLong(start + size));
        if (!lo || !hi) return Ref();
        Ref range = Ref::steal(PySlice_New(lo.get(), hi.get(), nullptr));
        if (!range) return Ref();
        return Ref::steal(PyObject_GetItem(view.get(), range.get()));
    };
    std::uint64_t offset = header_size;
    if (offset > length || pickle_size > length - offset) return py::fail(bad_payload("pickle past its end"));
    Ref pickled = slice(offset, pickle_size);
    if (!pickled) return py::python_error();
    offset += pad16(pickle_size);
    Ref buffers = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!buffers) return py::python_error();
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t size;
        std::memcpy(&size, data + 16 + 8 * i, 8);
        if (offset > length || size > length - offset) return py::fail(bad_payload("buffer past its end"));
        Ref part = slice(offset, size);
        if (!part) return py::python_error();
        PyList_SET_ITEM(buffers.get(), static_cast<Py_ssize_t>(i), part.release());
        offset += pad16(size);
    }
    PyObject* args[] = {pickled.get(), buffers.get()};
    Ref item = Ref::steal(PyObject_Vectorcall((*p)->loads, args, 1, (*p)->loads_kwnames));
    if (!item) return py::python_error();
    return item;
}

}  // namespace kelparine::queue_object
