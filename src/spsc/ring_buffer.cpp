#include "ring_buffer.hpp"

#include "../mixed/typed_list.hpp"
#include "../mixed/value_codec.hpp"
#include "../py/args.hpp"
#include "../py/gc_pause.hpp"
#include "../py/instance.hpp"
#include "../text.hpp"
#include "ring.hpp"

namespace kelparine {
namespace {

using py::PyResult;
using py::Ref;

// The ring object's own mapping of the whole segment. All ring state lives in the segment.
struct RingState {
    explicit RingState(Mapping m) noexcept : mapping(std::move(m)) {}
    SpscRing ring() const noexcept { return SpscRing(mapping.base(), mapping.size()); }
    Mapping mapping;  // unmapped when the ring object is deallocated
};

PyTypeObject* g_type = nullptr;

SpscRing ring_of(PyObject* self) noexcept { return py::payload_of<RingState>(self).ring(); }

constexpr py::Signature<1> kPush{"push", {"data"}, 1};
PyResult<Ref> push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kPush, args, nargs, kwnames, bound)) return py::python_error();
    PyObject* data = bound[0];
    ByteBuffer scratch;
    std::span<const std::byte> payload;
    if (PyList_Check(data)) {
        // One level only: an element that is itself a list is refused by pack_value.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(data, i));
            if (auto packed = pack_value(item.get(), scratch); !packed)
                return std::unexpected(std::move(packed.error()));
        }
        payload = scratch.bytes();
    } else {
        auto encoded = encode_value(data, scratch);  // bytes/bytearray in place: one copy
        if (!encoded) return std::unexpected(std::move(encoded.error()));
        payload = *encoded;
    }
    auto written = ring_of(self).push(payload);
    if (!written) return py::fail(std::move(written.error()));
    return Ref::boolean(*written);
}

// A peeked frame's payload as one run: in place when it does not wrap, else copied to `scratch`.
std::span<const std::byte> payload_view(const FrameRef& frame, ByteBuffer& scratch) {
    if (const std::byte* in_place = frame.contiguous_payload()) return {in_place, frame.length};
    std::byte* out = scratch.extend(frame.length);
    frame.copy_payload(out);
    return {out, frame.length};
}

// Decoding failures consume the message, except a failed allocation: that message stays.
template <class Value>
PyResult<Value> finish_decode(SpscRing& ring, const FrameRef& frame, PyResult<Value> decoded) {
    const bool out_of_memory = !decoded && std::holds_alternative<py::PythonError>(decoded.error()) &&
                               PyErr_ExceptionMatches(PyExc_MemoryError);
    if (!out_of_memory) ring.consume(frame);
    return decoded;
}

constexpr py::Signature<1> kPop{"pop", {"tag"}, 0};
PyResult<Ref> pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kPop, args, nargs, kwnames, bound)) return py::python_error();
    std::optional<std::string_view> tag_text;
    if (bound[0] != nullptr && bound[0] != Py_None) {
        auto text = py::to_utf8(bound[0], "tag");  // checked before the ring is looked at
        if (!text) return std::unexpected(std::move(text.error()));
        tag_text = *text;
    }
    SpscRing ring = ring_of(self);
    auto peeked = ring.peek();
    if (!peeked) return py::fail(std::move(peeked.error()));
    if (!peeked->has_frame) return Ref::none();
    const FrameRef& frame = peeked->frame;

    if (!tag_text) {
        // Raw: one copy, straight from the ring into the new bytes object. If it cannot be
        // allocated the message stays in the ring.
        Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, frame.length));
        if (!out) return py::python_error();
        frame.copy_payload(reinterpret_cast<std::byte*>(PyBytes_AS_STRING(out.get())));
        ring.consume(frame);
        return out;
    }
    // Decoded in place before the frame is released to the producer.
    ByteBuffer scratch;
    auto decode = [&]() -> PyResult<Ref> {
        auto unpacked = unpack_one(payload_view(frame, scratch), *tag_text);
        if (!unpacked) return std::unexpected(std::move(unpacked.error()));
        return std::move(unpacked->value);
    };
    return finish_decode(ring, frame, decode());
}

constexpr py::Signature<1> kPopMixed{"pop_mixed", {"schema"}, 1};
PyResult<Ref> pop_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kPopMixed, args, nargs, kwnames, bound)) return py::python_error();
    auto schema = py::to_list(bound[0], "schema");
    if (!schema) return std::unexpected(std::move(schema.error()));
    // Converted before the ring is touched, and the collector is paused until the frame is
    // consumed (decoding allocates lists), so no Python code runs between peek and consume;
    // a bad entry is only reported when there is a message to decode.
    ParsedSchema parsed = ParsedSchema::parse(*schema);
    py::GcPause no_collection;
    SpscRing ring = ring_of(self);
    auto peeked = ring.peek();
    if (!peeked) return py::fail(std::move(peeked.error()));
    if (!peeked->has_frame) return Ref::none();
    ByteBuffer scratch;
    auto decode = [&]() -> PyResult<Ref> {
        auto unpacked = unpack_mixed_counted(payload_view(peeked->frame, scratch), parsed);
        if (!unpacked) return std::unexpected(std::move(unpacked.error()));
        return std::move(unpacked->list);
    };
    return finish_decode(ring, peeked->frame, decode());
}

PyResult<Ref> used(PyObject* self) { return py::from_u64(ring_of(self).used()); }
PyResult<Ref> capacity(PyObject* self) { return py::from_u64(ring_of(self).capacity()); }
PyResult<Ref> free_bytes(PyObject* self) { return py::from_u64(ring_of(self).free()); }
PyResult<Ref> is_empty(PyObject* self) { return Ref::boolean(ring_of(self).is_empty()); }
PyResult<Ref> is_full(PyObject* self) { return Ref::boolean(ring_of(self).is_full()); }

PyResult<Ref> repr(PyObject* self) {
    const SpscRing ring = ring_of(self);
    // Separate loads: under concurrent use used + free need not equal the capacity.
    const std::string text =
        concat("SpscRingBuffer(capacity=", ring.capacity(), ", used=", ring.used(), ", free=", ring.free(), ")");
    Ref result = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!result) return py::python_error();
    return result;
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"push", py::as_cfunction(py::fastcall_entry<g_type, push>), kFast,
     "push($self, data)\n--\n\n"
     "Append one message; True if written, False if the ring lacks room (nothing written).\n\n"
     "bytes and bytearray are the payload as they are; bool, int, float and str are encoded\n"
     "as MappedView.write() encodes them; a list is the encodings of its elements back to\n"
     "back. Producer side: one pushing caller per ring over all processes.\n"
     "Raises ValueError for unsupported values and for a message that can never fit."},
    {"pop", py::as_cfunction(py::fastcall_entry<g_type, pop>), kFast,
     "pop($self, tag=None)\n--\n\n"
     "Take the oldest message: None if the ring is empty, else its payload as bytes, or the\n"
     "first value decoded by `tag` ('int', 'float', 'str', ...). Consumer side: one popping\n"
     "caller per ring over all processes. A message whose decoding fails is consumed."},
    {"used", py::as_cfunction(py::noargs_entry<g_type, used>), METH_NOARGS,
     "used($self)\n--\n\nBytes in use: unread frames including their 4-byte length prefixes."},
    {"capacity", py::as_cfunction(py::noargs_entry<g_type, capacity>), METH_NOARGS,
     "capacity($self)\n--\n\nSize of the ring's data area in bytes, as the header holds it."},
    {"free", py::as_cfunction(py::noargs_entry<g_type, free_bytes>), METH_NOARGS,
     "free($self)\n--\n\nFree bytes; a message of n bytes needs n + 4."},
    {"is_empty", py::as_cfunction(py::noargs_entry<g_type, is_empty>), METH_NOARGS,
     "is_empty($self)\n--\n\nTrue when no message is waiting."},
    {"is_full", py::as_cfunction(py::noargs_entry<g_type, is_full>), METH_NOARGS,
     "is_full($self)\n--\n\nTrue when not a single byte is free."},
    {"pop_mixed", py::as_cfunction(py::fastcall_entry<g_type, pop_mixed>), kFast,
     "pop_mixed($self, schema)\n--\n\n"
     "Take the oldest message and decode it by `schema`, a list of (type_tag, count) tuples,\n"
     "as MappedView.read_mixed() does; None if the ring is empty."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<RingState>)},
    {Py_tp_doc, const_cast<char*>(
                    "A lock-free single-producer / single-consumer queue of messages in a shared\n"
                    "segment: a 24-byte header (head, tail, capacity) and a power-of-two data area.\n"
                    "Made by SharedMemory.spsc(); push() never blocks, pop() returns None when empty.")},
    {Py_tp_base, reinterpret_cast<void*>(&PyBaseObject_Type)},
    {Py_tp_methods, kMethods},
    {Py_tp_repr, reinterpret_cast<void*>(py::repr_entry<repr>)},
    {0, nullptr},
};

PyType_Spec kSpec{
    "builtins.SpscRingBuffer",
    static_cast<int>(sizeof(py::Instance<RingState>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

py::PyResult<PyTypeObject*> spsc_ring_buffer_type() noexcept { return py::make_type(g_type, kSpec); }

py::PyResult<py::Ref> new_spsc_ring_buffer(Mapping mapping) noexcept {
    auto type = spsc_ring_buffer_type();
    if (!type) return std::unexpected(std::move(type.error()));
    return py::new_instance<RingState>(*type, std::move(mapping));
}

}  // namespace kelparine
