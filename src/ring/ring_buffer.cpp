#include "ring_buffer.hpp"

#include "../core/text.hpp"
#include "../mixed/payload.hpp"
#include "../mixed/typed_list.hpp"
#include "../py/args.hpp"
#include "../py/reopen.hpp"
#include "../segment/shared_memory.hpp"
#include "array_docs.hpp"
#include "ring_arrays.hpp"
#include "ring_async.hpp"
#include "ring_bulk.hpp"
#include "ring_docs.hpp"
#include "ring_loans.hpp"
#include "ring_transfer.hpp"

namespace kelparine::ring_object {

using py::PyResult;
using py::Ref;

PyTypeObject* g_type = nullptr;

namespace {

// The snapshot members never give the interpreter lock up: only a closed ring is refused.
PyResult<SpscRing> observed(PyObject* self) {
    RingState& s = state(self);
    if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
    return s.ring();
}

constexpr py::Signature<1> kPush{"push", {"data"}, 1};
PyResult<Ref> push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kPush, args, nargs, kwnames, bound)) return py::python_error();
    Payload payload;  // raw bytes in place, pinned until the copy is done
    if (auto encoded = payload.encode_message(bound[0]); !encoded) return std::unexpected(std::move(encoded.error()));
    RingState& s = state(self);
    if (auto entered = enter(s, Role::Producer); !entered) return std::unexpected(std::move(entered.error()));
    auto written = write_message<Handoff::Quiet>(s, payload.bytes());
    if (!written) [[unlikely]]
        return py::fail(std::move(written.error()));
    return Ref::boolean(*written);
}

constexpr py::Signature<1> kPop{"pop", {"tag"}, 0};
PyResult<Ref> pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kPop, args, nargs, kwnames, bound)) return py::python_error();
    std::optional<std::string_view> tag;
    if (bound[0] != nullptr && bound[0] != Py_None) {
        auto text = py::to_utf8(bound[0], "tag");  // checked before the ring is looked at
        if (!text) return std::unexpected(std::move(text.error()));
        tag = *text;
    }
    RingState& s = state(self);
    if (auto entered = enter(s, Role::Consumer); !entered) return std::unexpected(std::move(entered.error()));
    auto taken = tag ? take_value<Handoff::Quiet>(s, *tag) : take_bytes<Handoff::Quiet>(s);
    if (taken && !*taken) return Ref::none();
    return taken;
}

constexpr py::Signature<1> kPopMixed{"pop_mixed", {"schema"}, 1};
PyResult<Ref> pop_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kPopMixed, args, nargs, kwnames, bound)) return py::python_error();
    auto schema = py::to_list(bound[0], "schema");
    if (!schema) return std::unexpected(std::move(schema.error()));
    // Converted before the ring is touched; a bad entry is only reported when there is a
    // message to decode.
    ParsedSchema parsed = ParsedSchema::parse(*schema);
    RingState& s = state(self);
    if (auto entered = enter(s, Role::Consumer); !entered)
        return std::unexpected(std::move(entered.error()));
    auto taken = take_mixed<Handoff::Quiet>(s, parsed);
    if (taken && !*taken) return Ref::none();
    return taken;
}

template <class Snapshot>
PyResult<Ref> count(PyObject* self, Snapshot snapshot) {
    auto ring = observed(self);
    if (!ring) return std::unexpected(std::move(ring.error()));
    return py::from_u64(snapshot(*ring));
}
PyResult<Ref> used(PyObject* self) { return count(self, [](const SpscRing& r) { return r.used(); }); }
PyResult<Ref> capacity(PyObject* self) { return count(self, [](const SpscRing& r) { return r.capacity(); }); }
PyResult<Ref> free_bytes(PyObject* self) { return count(self, [](const SpscRing& r) { return r.free(); }); }
PyResult<Ref> is_empty(PyObject* self) {
    auto ring = observed(self);
    if (!ring) return std::unexpected(std::move(ring.error()));
    return Ref::boolean(ring->is_empty());
}
PyResult<Ref> is_full(PyObject* self) {
    auto ring = observed(self);
    if (!ring) return std::unexpected(std::move(ring.error()));
    return Ref::boolean(ring->is_full());
}

PyResult<Ref> repr(PyObject* self) {
    const RingState& s = state(self);
    std::string text = "SpscRingBuffer(closed=true)";
    if (!s.gate.closed()) {
        const SpscRing ring = s.ring();
        // Separate loads: under concurrent use used + free need not equal the capacity.
        text = concat("SpscRingBuffer(capacity=", ring.capacity(), ", used=", ring.used(), ", free=", ring.free(), ")");
    }
    Ref result = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!result) return py::python_error();
    return result;
}

PyResult<Ref> close(PyObject* self) {
    RingState& s = state(self);
    if (s.gate.closed()) return Ref::none();
    // Checked and marked with the interpreter lock held, as loans are lent: no loan can start
    // between the check and the mark.
    if (s.gate.any_lent()) {
        PyErr_SetString(PyExc_BufferError,
                        "cannot close SpscRingBuffer: a reserve() or borrow() loan of it is outstanding");
        return py::python_error();
    }
    const CallHold hold(s.gate);  // the mapping goes when this (or an outer call of this thread) ends
    s.gate.mark_closed();
    if (s.gate.held_by_other_threads()) {
        // Threads parked on the ring's words see the mark at once; copies finish their run.
        wait::futex_wake_all(s.ring().tail_word());
        wait::futex_wake_all(s.ring().head_word());
        py::wait_for_other_holds(s.gate);
    }
    leave_segment(s);  // no other thread is inside; this thread's outer calls see the mark
    return Ref::none();
}

PyResult<Ref> closed(PyObject* self) { return Ref::boolean(state(self).gate.closed()); }

// Pickled as its segment's name: unpickled, SharedMemory.open(name).spsc(), a new mapping in
// the opener's role, so the header is used as it is found and never reset.
PyResult<Ref> reduce(PyObject* self) {
    const RingState& s = state(self);
    if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
    return py::reduce_as_made_by(s.name, "spsc");
}

PyResult<Ref> enter_context(PyObject* self) {
    if (auto open = py::refuse_closed(state(self).gate, kClassName); !open)
        return std::unexpected(std::move(open.error()));
    return Ref::borrow(self);
}

PyResult<Ref> exit_context(PyObject* self, PyObject* const* /*args*/, Py_ssize_t /*nargs*/, PyObject* /*kwnames*/) {
    auto closed_now = close(self);
    if (!closed_now) return closed_now;
    return Ref::boolean(false);
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"push", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, push>), kFast,
     "push($self, data)\n--\n\n"
     "Append one message; return True if written, False if there is no room.\n\n"
     "False means the ring lacks room right now and nothing was written: try\n"
     "again after the consumer has popped. The payload is `data` encoded as\n"
     "MappedView.write() encodes it (bytes, bytearray and other C-contiguous\n"
     "buffers such as memoryview, NumPy arrays, array.array and mmap as they\n"
     "are, bool in 1 byte, int and float in 8, NumPy scalars and __index__ or\n"
     "__float__ objects as int or float, str as a 4-byte count and UTF-8).\n"
     "A list or tuple gives the encodings of its elements back to back, to be\n"
     "read with pop_mixed(); each element must be a single value (unlike\n"
     "MappedView.write_mixed(), a list or tuple inside is refused). The\n"
     "message takes len(payload) + 4 bytes of the ring.\n\n"
     "Producer side: one caller at a time may push to a ring, counted over all\n"
     "processes.\n\n"
     "Raises:\n"
     "    ValueError: \"message too large: frame_len=... > capacity=...\" for a\n"
     "        message that could not fit even into the empty ring;\n"
     "        \"unsupported type 'list'; supported: ...\" (for instance) for a\n"
     "        value that cannot be encoded; the buffer errors of\n"
     "        MappedView.write().\n"
     "    OverflowError, UnicodeEncodeError, ...: as for MappedView.write().\n\n"
     "On any error the ring is left unchanged."},
    {"pop", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, pop>), kFast,
     "pop($self, tag=None)\n--\n\n"
     "Take the oldest message; None if the ring is empty.\n\n"
     "Without `tag` the payload is returned as bytes. With `tag` ('int',\n"
     "'float', 'str', ... as for MappedView.read()) the first value of the\n"
     "payload is decoded and returned; any bytes after it are dropped.\n\n"
     "Consumer side: one caller at a time may pop (pop() or pop_mixed()) from\n"
     "a ring, counted over all processes.\n\n"
     "Raises:\n"
     "    TypeError: `tag` is neither None nor a str (even on an empty ring).\n"
     "    ValueError: decoding errors such as \"not enough data to read 'int':\n"
     "        need 8, have 3\"; the message has been taken and is lost.\n"
     "    ValueError: \"corrupt ring header: ...\" or \"corrupt frame: ...\" when\n"
     "        the header or a length prefix cannot be right (the segment was\n"
     "        overwritten, or two producers or consumers were at work);\n"
     "        nothing is taken.\n\n"
     "Example:\n\n"
     "    >>> ring.push(\"hi\"), ring.push(\"hi\")\n"
     "    (True, True)\n"
     "    >>> ring.pop(), ring.pop(\"str\")\n"
     "    (b'\\x02\\x00\\x00\\x00hi', 'hi')"},
    {"used", py::as_cfunction(py::held_noargs_entry<g_type, RingState, used>), METH_NOARGS,
     "used($self)\n--\n\n"
     "Return the bytes in use: the unread frames, each 4 + its payload.\n\n"
     "A snapshot of tail - head; under concurrent use it may be stale as soon\n"
     "as it is returned."},
    {"capacity", py::as_cfunction(py::held_noargs_entry<g_type, RingState, capacity>), METH_NOARGS,
     "capacity($self)\n--\n\n"
     "Return the size of the ring's data area in bytes, from its header.\n\n"
     "A power of two: the segment size less the 24-byte header. It reads 0 on\n"
     "a segment whose creator has not called spsc() yet."},
    {"free", py::as_cfunction(py::held_noargs_entry<g_type, RingState, free_bytes>), METH_NOARGS,
     "free($self)\n--\n\n"
     "Return the free bytes: capacity() - used(), never below 0.\n\n"
     "A message of n bytes needs n + 4 free bytes."},
    {"is_empty", py::as_cfunction(py::held_noargs_entry<g_type, RingState, is_empty>), METH_NOARGS,
     "is_empty($self)\n--\n\n"
     "Return True if no message is waiting (head equals tail)."},
    {"is_full", py::as_cfunction(py::held_noargs_entry<g_type, RingState, is_full>), METH_NOARGS,
     "is_full($self)\n--\n\n"
     "Return True if not a single byte is free.\n\n"
     "A ring with 1 to 3 free bytes is not full, yet no push can succeed\n"
     "there: every frame needs at least 4 bytes."},
    {"pop_mixed", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, pop_mixed>), kFast,
     "pop_mixed($self, schema)\n--\n\n"
     "Take the oldest message and decode it by `schema`; None if the ring is empty.\n\n"
     "`schema` is a list of (type_tag, count) tuples, as for\n"
     "MappedView.read_mixed(): one result item per entry, the bare value for a\n"
     "count of 1, a list otherwise. Bytes left after the schema are dropped.\n"
     "Consumer side, like pop().\n\n"
     "Raises:\n"
     "    TypeError: `schema` is not a list (even on an empty ring).\n"
     "    ValueError, TypeError, IndexError, OverflowError: the decoding\n"
     "        errors of MappedView.read_mixed(), such as \"out of bounds:\n"
     "        cursor=8 + needed=8 > data_len=12\"; the message has been taken\n"
     "        and is lost.\n"
     "    ValueError: \"corrupt ring header: ...\" or \"corrupt frame: ...\", as\n"
     "        for pop(); nothing is taken.\n\n"
     "Example:\n\n"
     "    >>> ring.push([7, 0.5, 1.5, \"ok\"])\n"
     "    True\n"
     "    >>> ring.pop_mixed([(\"i64\", 1), (\"f64\", 2), (\"str\", 1)])\n"
     "    [7, [0.5, 1.5], 'ok']"},
    {"put", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, put>), kFast, docs::kPut},
    {"get", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, get>), kFast, docs::kGet},
    {"get_mixed", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, get_mixed>), kFast, docs::kGetMixed},
    {"select", py::as_cfunction(py::static_fastcall_entry<select>), kFast | METH_STATIC, docs::kSelect},
    {"pop_into", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, pop_into>), kFast, docs::kPopInto},
    {"get_into", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, get_into>), kFast, docs::kGetInto},
    {"push_many", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, push_many>), kFast, docs::kPushMany},
    {"pop_many", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, pop_many>), kFast, docs::kPopMany},
    {"get_many", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, get_many>), kFast, docs::kGetMany},
    {"reserve", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, reserve>), kFast, docs::kReserve},
    {"borrow", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, borrow>), kFast, docs::kBorrow},
    {"put_array", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, put_array>), kFast, docs::kPutArray},
    {"get_array", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, get_array>), kFast, docs::kGetArray},
    {"reserve_array", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, reserve_array>), kFast,
     docs::kReserveArray},
    {"borrow_array", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, borrow_array>), kFast,
     docs::kBorrowArray},
    {"close", py::as_cfunction(py::held_noargs_entry<g_type, RingState, close>), METH_NOARGS, docs::kClose},
    {"closed", py::as_cfunction(py::held_noargs_entry<g_type, RingState, closed>), METH_NOARGS, docs::kClosed},
    {"__enter__", py::as_cfunction(py::held_noargs_entry<g_type, RingState, enter_context>), METH_NOARGS, docs::kEnter},
    {"__exit__", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, exit_context>), kFast, docs::kExit},
    {"__reduce__", py::as_cfunction(py::held_noargs_entry<g_type, RingState, reduce>), METH_NOARGS, docs::kReduce},
    {"others_present", py::as_cfunction(py::held_noargs_entry<g_type, RingState, others_present>), METH_NOARGS,
     docs::kOthersPresent},
    {"has_producer", py::as_cfunction(py::held_noargs_entry<g_type, RingState, has_producer>), METH_NOARGS,
     docs::kHasProducer},
    {"has_consumer", py::as_cfunction(py::held_noargs_entry<g_type, RingState, has_consumer>), METH_NOARGS,
     docs::kHasConsumer},
    {"claim_role", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, claim_role>), kFast, docs::kClaimRole},
    // Static makers: no ring object is involved until they return one.
    {"create", py::as_cfunction(py::static_fastcall_entry<create_ring>), kFast | METH_STATIC, docs::kCreate},
    {"open", py::as_cfunction(py::static_fastcall_entry<open_ring>), kFast | METH_STATIC, docs::kOpen},
    {"aget", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, aget>), kFast, docs::kAget},
    {"aget_mixed", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, aget_mixed>), kFast, docs::kAgetMixed},
    {"aget_into", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, aget_into>), kFast, docs::kAgetInto},
    {"aput", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, aput>), kFast, docs::kAput},
    {"areserve", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, areserve>), kFast, docs::kAreserve},
    {"aborrow", py::as_cfunction(py::held_fastcall_entry<g_type, RingState, aborrow>), kFast, docs::kAborrow},
    {"aselect", py::as_cfunction(py::static_fastcall_entry<aselect>), kFast | METH_STATIC, docs::kAselect},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<RingState>)},
    {Py_tp_doc, const_cast<char*>(
                    "A lock-free single-producer / single-consumer queue of messages.\n\n"
                    "    byte 0      8      16         24                     24 + capacity\n"
                    "         +------+------+----------+----------------------------+\n"
                    "         | head | tail | capacity |  data: frames, wrapping    |\n"
                    "         +------+------+----------+----------------------------+\n"
                    "    frame: u32 little-endian payload length n, then n payload bytes\n\n"
                    "Made by SpscRingBuffer.create() and SpscRingBuffer.open() (or a\n"
                    "handle's SharedMemory.spsc()). The ring lives entirely in the segment:\n"
                    "producer and consumer coordinate only through the head and tail\n"
                    "counters, with no lock. push() returns False when the ring lacks room\n"
                    "and pop() returns None when it is empty, without ever waiting or\n"
                    "making a system call; put() and get() wait instead (asleep, with the\n"
                    "interpreter lock given up, woken by the other side), with a timeout,\n"
                    "and select() waits for the first of several rings.\n\n"
                    "Contract: at any time at most one caller pushes and at most one caller\n"
                    "pops, counted over all processes that map the ring. Two producers or two\n"
                    "consumers corrupt the ring without any error. used(), free(),\n"
                    "capacity(), is_empty(), is_full() and repr() may be called from anywhere.\n\n"
                    "Messages carry no type information: the consumer must know what the\n"
                    "producer pushed (raw bytes, one value, or a list matching a schema).\n\n"
                    "Example:\n\n"
                    "    >>> ring = SpscRingBuffer.create(\"/jobs\", 1024)\n"
                    "    >>> ring.push([1, 2.5, True, \"hi\"]), ring.push(b\"raw\")\n"
                    "    (True, True)\n"
                    "    >>> ring\n"
                    "    SpscRingBuffer(capacity=1024, used=34, free=990)\n"
                    "    >>> ring.pop_mixed([(\"int\", 1), (\"float\", 1), (\"bool\", 1), (\"str\", 1)])\n"
                    "    [1, 2.5, True, 'hi']\n"
                    "    >>> ring.pop(), ring.pop()\n"
                    "    (b'raw', None)\n"
                    "    >>> SharedMemory.remove(\"/jobs\")")},
    {Py_tp_base, reinterpret_cast<void*>(&PyBaseObject_Type)},
    {Py_tp_methods, kMethods},
    {Py_tp_repr, reinterpret_cast<void*>(py::held_repr_entry<RingState, repr>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(next_message)},
    {Py_am_aiter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_am_anext, reinterpret_cast<void*>(next_message_awaitable)},
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

}  // namespace kelparine::ring_object

namespace kelparine {

py::PyResult<PyTypeObject*> spsc_ring_buffer_type() noexcept {
    return py::make_type(ring_object::g_type, ring_object::kSpec);
}

py::PyResult<py::Ref> new_spsc_ring_buffer(Mapping mapping, std::string_view name, presence::Presence presence) {
    auto type = spsc_ring_buffer_type();
    if (!type) return std::unexpected(std::move(type.error()));
    return py::new_instance<ring_object::RingState>(*type, std::move(mapping), std::string(name), std::move(presence));
}

}  // namespace kelparine
