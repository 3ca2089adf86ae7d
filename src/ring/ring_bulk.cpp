// The bulk members: pop_into/get_into copy a message into the caller's buffer (no new object
// per message), push_many/pop_many/get_many move a batch behind one acquire and one release of
// the counters, and decode it (by a tag or a schema) in the same pass.
#include <algorithm>

#include "../core/text.hpp"
#include "../mixed/payload.hpp"
#include "../py/args.hpp"
#include "../py/gc_pause.hpp"
#include "../py/timeout.hpp"
#include "../py/writable_buffer.hpp"
#include "ring_bulk.hpp"
#include "ring_parks.hpp"
#include "ring_transfer.hpp"

namespace kelparine::ring_object {
namespace {

using py::PyResult;
using py::Ref;

constexpr py::Signature<1> kPopInto{"pop_into", {"buffer"}, 1};
constexpr py::Signature<2> kGetInto{"get_into", {"buffer", "timeout"}, 1};
constexpr py::Signature<1> kPushMany{"push_many", {"items"}, 1};
constexpr py::Signature<3> kPopMany{"pop_many", {"max_messages", "tag", "schema"}, 1};
constexpr Py_ssize_t kPopManyPositional = 2;  // `schema` is keyword-only
constexpr py::Signature<4> kGetMany{"get_many", {"max_messages", "timeout", "tag", "schema"}, 1};
constexpr Py_ssize_t kGetManyPositional = 2;  // `tag` and `schema` are keyword-only

// Copies the next message into `into`: its length, or empty when the ring is empty. A message
// longer than the buffer stays in the ring.
PyResult<std::optional<std::uint64_t>> take_into(RingState& s, std::span<std::byte> into) {
    SpscRing ring = s.ring();
    auto peeked = ring.peek();
    if (!peeked) return py::fail(std::move(peeked.error()));
    if (!peeked->has_frame) return std::optional<std::uint64_t>();
    const FrameRef& frame = peeked->frame;
    if (frame.length > into.size())
        return py::fail(ShmError::invalid_argument(
            concat("message of ", frame.length, " bytes does not fit a buffer of ", into.size(), " bytes")));
    copy_payload(s, frame, into.data());  // the export pins `into`
    give_back<Handoff::Waking>(s, ring, frame);
    return std::optional<std::uint64_t>(frame.length);
}

}  // namespace

PyResult<Ref> pop_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kPopInto, args, nargs, kwnames, bound)) return py::python_error();
    py::WritableBuffer buffer;
    if (auto held = buffer.acquire(bound[0], "pop_into"); !held) return std::unexpected(std::move(held.error()));
    RingState& s = state(self);
    if (auto entered = enter(s, Role::Consumer); !entered) return std::unexpected(std::move(entered.error()));
    auto length = take_into(s, buffer.bytes());
    if (!length) return std::unexpected(std::move(length.error()));
    if (!*length) return Ref::none();
    return py::from_u64(**length);
}

PyResult<Ref> get_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kGetInto, args, nargs, kwnames, bound)) return py::python_error();
    py::WritableBuffer buffer;
    if (auto held = buffer.acquire(bound[0], "get_into"); !held) return std::unexpected(std::move(held.error()));
    auto timeout = py::to_timeout(bound[1]);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    RingState& s = state(self);
    for (;;) {
        if (auto entered = enter(s, Role::Consumer); !entered)
            return std::unexpected(std::move(entered.error()));
        auto length = take_into(s, buffer.bytes());
        if (!length) return std::unexpected(std::move(length.error()));
        if (*length) return py::from_u64(**length);
        auto waited = wait_for_message(s, timeout->deadline);
        if (!waited) return std::unexpected(std::move(waited.error()));
        if (!*waited)
            return py::fail(ShmError::timed_out(
                concat("get_into() timed out after ", py::seconds_text(timeout->seconds), " s with no message")));
    }
}

PyResult<Ref> push_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kPushMany, args, nargs, kwnames, bound)) return py::python_error();
    RingState& s = state(self);
    if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
    // Every item is encoded before anything is written. The size is read again on each turn
    // and each item is held while it is encoded: encoding runs Python code (__index__,
    // __buffer__) that may change the caller's list.
    Ref sequence = Ref::steal(PySequence_Fast(bound[0], "'items' must be an iterable of messages"));
    if (!sequence) return py::python_error();
    PayloadBatch batch_items;
    batch_items.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get())));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
        Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(sequence.get(), i));
        if (auto done = batch_items.append_message(item.get()); !done) return std::unexpected(std::move(done.error()));
    }
    if (auto entered = enter(s, Role::Producer); !entered) return std::unexpected(std::move(entered.error()));
    SpscRing ring = s.ring();
    auto capacity = ring.checked_capacity();
    if (!capacity) return py::fail(std::move(capacity.error()));
    std::size_t total = 0;
    for (std::size_t i = 0; i < batch_items.size(); ++i) {
        const std::size_t size = batch_items[i].size();
        // Any message that could never fit refuses the whole batch, with push's error.
        if (size + ring_layout::kLengthSize > *capacity || size > UINT32_MAX) [[unlikely]]
            return py::fail(std::move(ring.check_frame_size(size).error()));
        total += size;
    }
    auto batch = PushBatch::begin(ring);
    if (!batch) return py::fail(std::move(batch.error()));
    std::size_t written = 0;
    auto write_all = [&] {
        for (; written < batch_items.size() && batch->fits(batch_items[written].size()); ++written)
            batch->append(batch_items[written]);
    };
    py::copy_maybe_unlocked(s.gate, Role::Producer, total, write_all);  // every item is pinned or ours
    if (written != 0) publish_tail_and_wake(ring, batch->start(), batch->end(), s.producer);
    return py::from_u64(written);
}

namespace {

// How each message of a batch comes out: bytes, its first value by `tag`, or decoded by `schema`.
struct Decoding {
    std::optional<std::string_view> tag;
    std::optional<ParsedSchema> schema;
    bool decodes() const noexcept { return tag || schema; }
};

// Reads `tag` and `schema` (absent or None: not given) before the ring is looked at. Both
// given, a tag that is not a str, or a schema that is not a list or has a bad entry raise, and
// nothing is taken: a schema's own failure would fail every message alike.
PyResult<void> read_decoding(const char* member, PyObject* tag, PyObject* schema, Decoding& out) {
    const bool has_tag = tag != nullptr && tag != Py_None;
    const bool has_schema = schema != nullptr && schema != Py_None;
    if (has_tag && has_schema) {
        PyErr_Format(PyExc_TypeError, "%s() takes 'tag' or 'schema', not both", member);
        return py::python_error();
    }
    if (has_tag) {
        auto text = py::to_utf8(tag, "tag");
        if (!text) return std::unexpected(std::move(text.error()));
        out.tag = *text;
    }
    if (has_schema) {
        auto list = py::to_list(schema, "schema");
        if (!list) return std::unexpected(std::move(list.error()));
        out.schema.emplace(ParsedSchema::parse(*list));  // any Python code it runs, runs here
        if (auto valid = out.schema->take_failure(); !valid) return valid;
    }
    return {};
}

// Takes up to `limit` messages behind one look at tail and one store of head (which wakes a
// waiting producer); an empty list when the ring is empty. Called after enter(Consumer).
//
// Each message comes out as pop(tag) or pop_mixed(schema) would return it. A failure at the
// first frame is the call's own: a decoding error consumes that message, as pop(tag) and
// pop_mixed() do; a corrupt frame or a failed allocation leaves it. A failure after some
// messages were taken ends the batch before the failing frame, which the next call meets.
PyResult<Ref> take_batch(RingState& s, std::uint64_t limit, Decoding& decoding) {
    // No Python code may run between the first look at the frames and the store of head. A long
    // copy gives the interpreter lock up with the pause ended for the stretch (py::save_thread).
    py::GcPause no_collection;
    SpscRing ring = s.ring();
    // The list is made at the most messages the batch can hold, and cut to what was taken.
    PopBatch batch(ring);
    const std::uint64_t room = std::min(limit, std::min<std::uint64_t>(batch.most_frames(), PY_SSIZE_T_MAX / 8));
    Ref taken = Ref::steal(PyList_New(static_cast<Py_ssize_t>(room)));
    if (!taken) return py::python_error();
    ByteBuffer scratch;
    std::optional<py::Failure> failure;
    std::uint64_t n = 0;
    for (; n < room; ++n) {
        auto peeked = batch.next();
        if (!peeked) {
            failure = py::Failure(std::move(peeked.error()));
            break;
        }
        if (!peeked->has_frame) break;
        const FrameRef& frame = peeked->frame;
        PyResult<Ref> value = Ref();
        if (decoding.schema) {
            scratch.truncate(0);
            auto unpacked = unpack_mixed_counted(payload_view(frame, scratch), *decoding.schema);
            if (unpacked) {
                value = std::move(unpacked->list);
            } else {
                value = std::unexpected(std::move(unpacked.error()));
            }
        } else if (decoding.tag) {
            scratch.truncate(0);
            auto unpacked = unpack_one(payload_view(frame, scratch), *decoding.tag);
            if (unpacked) {
                value = std::move(unpacked->value);
            } else {
                value = std::unexpected(std::move(unpacked.error()));
            }
        } else {
            value = Ref::steal(PyBytes_FromStringAndSize(nullptr, frame.length));
            if (!*value) {
                value = py::python_error();
            } else {
                copy_payload(s, frame, reinterpret_cast<std::byte*>(PyBytes_AS_STRING((*value).get())));
            }
        }
        if (!value) {
            const bool out_of_memory = std::holds_alternative<py::PythonError>(value.error()) &&
                                       PyErr_ExceptionMatches(PyExc_MemoryError);
            if (n == 0 && decoding.decodes() && !out_of_memory) batch.advance(frame);
            failure = std::move(value.error());
            break;
        }
        PyList_SET_ITEM(taken.get(), static_cast<Py_ssize_t>(n), value->release());
        batch.advance(frame);
    }
    if (batch.end() != batch.start()) publish_head_and_wake(ring, batch.start(), batch.end(), s.consumer);
    if (failure && n == 0) return std::unexpected(std::move(*failure));
    if (failure && std::holds_alternative<py::PythonError>(*failure)) PyErr_Clear();
    // Slots past what was taken (a failure ended the batch early) are cut off the end.
    if (n < room && PyList_SetSlice(taken.get(), static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(room), nullptr) != 0)
        return py::python_error();
    return taken;
}

}  // namespace

PyResult<Ref> pop_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > kPopManyPositional) {
        PyErr_Format(PyExc_TypeError, "pop_many() takes at most %zd positional arguments (%zd given)",
                     kPopManyPositional, nargs);
        return py::python_error();
    }
    std::array<PyObject*, 3> bound;
    if (!py::bind(kPopMany, args, nargs, kwnames, bound)) return py::python_error();
    auto limit = py::to_u64(bound[0], "max_messages");
    if (!limit) return std::unexpected(std::move(limit.error()));
    Decoding decoding;
    if (auto read = read_decoding("pop_many", bound[1], bound[2], decoding); !read)
        return std::unexpected(std::move(read.error()));
    RingState& s = state(self);
    if (auto entered = enter(s, Role::Consumer); !entered) return std::unexpected(std::move(entered.error()));
    return take_batch(s, *limit, decoding);
}

PyResult<Ref> get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > kGetManyPositional) {
        PyErr_Format(PyExc_TypeError, "get_many() takes at most %zd positional arguments (%zd given)",
                     kGetManyPositional, nargs);
        return py::python_error();
    }
    std::array<PyObject*, 4> bound;
    if (!py::bind(kGetMany, args, nargs, kwnames, bound)) return py::python_error();
    auto limit = py::to_u64(bound[0], "max_messages");
    if (!limit) return std::unexpected(std::move(limit.error()));
    auto timeout = py::to_timeout(bound[1]);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    Decoding decoding;  // parsed once, before any waiting
    if (auto read = read_decoding("get_many", bound[2], bound[3], decoding); !read)
        return std::unexpected(std::move(read.error()));
    RingState& s = state(self);
    // Waits only for the first message; the batch is whatever is there once one is.
    for (;;) {
        if (auto entered = enter(s, Role::Consumer); !entered)
            return std::unexpected(std::move(entered.error()));
        auto taken = take_batch(s, *limit, decoding);
        if (!taken || *limit == 0 || PyList_GET_SIZE(taken->get()) != 0) return taken;
        auto waited = wait_for_message(s, timeout->deadline);
        if (!waited) return std::unexpected(std::move(waited.error()));
        if (!*waited)
            return py::fail(ShmError::timed_out(
                concat("get_many() timed out after ", py::seconds_text(timeout->seconds), " s with no message")));
    }
}

}  // namespace kelparine::ring_object
