#include "mapped_view.hpp"

#include <algorithm>
#include <cstring>

#include "../core/text.hpp"
#include "../mixed/payload.hpp"
#include "../mixed/typed_list.hpp"
#include "../mixed/value_codec.hpp"
#include "../py/args.hpp"
#include "../py/gate_hooks.hpp"
#include "../py/gc_pause.hpp"
#include "../py/reopen.hpp"
#include "../py/timeout.hpp"
#include "view_docs.hpp"
#include "view_object.hpp"

namespace kelparine::view_object {
namespace {

using py::PyResult;
using py::Ref;

PyTypeObject* g_type = nullptr;


py::Failure invalid(std::string message) { return ShmError::invalid_argument(std::move(message)); }

[[gnu::cold, gnu::noinline]] py::Failure bounds_error(const ViewState& view, std::uint64_t offset,
                                                    std::uint64_t length) {
    if (length == 0) return invalid("length cannot be zero");
    return invalid(concat("out of bounds: offset=", offset, " + length=", length, " > data_size=", view.data_size()));
}

// A range inside the data area; the failure texts show the offset and length as passed.
[[gnu::always_inline]] inline PyResult<void> check_bounds(const ViewState& view, std::uint64_t offset,
                                                          std::uint64_t length) {
    // Saturating: offset + length must not wrap around to a small number.
    const std::uint64_t end = offset > UINT64_MAX - length ? UINT64_MAX : offset + length;
    if (length == 0 || end > view.data_size()) return std::unexpected(bounds_error(view, offset, length));
    return {};
}

// A copy of `bytes` bytes, with the interpreter lock given up when it is long enough to matter
// (the view's other calls from other threads wait meanwhile).
template <class Copy>
[[gnu::always_inline]] inline void copy_maybe_unlocked(ViewState& view, std::uint64_t bytes, Copy&& copy) {
    py::copy_maybe_unlocked(view.gate, kViewRole, bytes, copy);
}

// The members that never give the interpreter lock up: only a closed view is refused.
PyResult<ViewState*> observed(PyObject* self) {
    ViewState& view = state(self);
    if (auto open = py::refuse_closed(view.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
    return &view;
}

// The offset argument of write, write_mixed and read_mixed: absent or None means cursor mode.
[[gnu::always_inline]] inline PyResult<std::optional<std::uint64_t>> optional_offset(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::optional<std::uint64_t>();
    auto offset = py::to_u64(value, "offset");
    if (!offset) return std::unexpected(std::move(offset.error()));
    return std::optional<std::uint64_t>(*offset);
}

// Copies `bytes` to the data area at the explicit offset or the cursor, under the exclusive
// hold taken only around the copy and the cursor update.
PyResult<Ref> store(ViewState& view, std::span<const std::byte> bytes, std::optional<std::uint64_t> offset) {
    if (auto entered = enter(view); !entered) return std::unexpected(std::move(entered.error()));
    const std::uint64_t at = offset.value_or(view.position());
    if (auto in_bounds = check_bounds(view, at, bytes.size()); !in_bounds)
        return std::unexpected(std::move(in_bounds.error()));
    {
        auto hold = hold_exclusive(view);
        if (!hold) return std::unexpected(std::move(hold.error()));
        copy_maybe_unlocked(view, bytes.size(), [&] { std::memcpy(view.data() + at, bytes.data(), bytes.size()); });
        if (!offset) view.advance(at, bytes.size());
    }
    return Ref::none();
}

[[gnu::always_inline]] inline PyResult<Ref> new_bytes(std::uint64_t size) {
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!out) return py::python_error();
    return out;
}

// Copies straight from the segment into a bytes object allocated before the hold is taken.
[[gnu::always_inline]] inline PyResult<Ref> copy_out(ViewState& view, std::uint64_t offset, std::uint64_t length) {
    auto out = new_bytes(length);
    if (!out) return out;
    auto hold = hold_shared(view);
    if (!hold) return std::unexpected(std::move(hold.error()));
    char* into = PyBytes_AS_STRING(out->get());  // nobody else sees it yet
    copy_maybe_unlocked(view, length, [&] { std::memcpy(into, view.data() + offset, length); });
    return out;
}

PyResult<Ref> read_all(PyObject* self) {
    ViewState& view = state(self);
    if (auto entered = enter(view); !entered) return std::unexpected(std::move(entered.error()));
    return copy_out(view, 0, view.data_size());
}

constexpr py::Signature<2> kReadRange{"read_range", {"offset", "length"}, 2};
PyResult<Ref> read_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kReadRange, args, nargs, kwnames, bound)) return py::python_error();
    auto offset = py::to_u64(bound[0], "offset");
    if (!offset) return std::unexpected(std::move(offset.error()));
    auto length = py::to_u64(bound[1], "length");
    if (!length) return std::unexpected(std::move(length.error()));
    ViewState& view = state(self);
    if (auto entered = enter(view); !entered) return std::unexpected(std::move(entered.error()));
    if (auto in_bounds = check_bounds(view, *offset, *length); !in_bounds)
        return std::unexpected(std::move(in_bounds.error()));
    return copy_out(view, *offset, *length);
}

constexpr py::Signature<2> kWrite{"write", {"data", "offset"}, 1};
PyResult<Ref> write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kWrite, args, nargs, kwnames, bound)) return py::python_error();
    auto offset = optional_offset(bound[1]);
    if (!offset) return std::unexpected(std::move(offset.error()));
    // Raw bytes stay in place, pinned by their export until the copy is done: waiting for the
    // lock runs signal handlers, which must not be able to resize or free them.
    Payload payload;
    if (auto encoded = payload.encode_value(bound[0]); !encoded) return std::unexpected(std::move(encoded.error()));
    return store(state(self), payload.bytes(), *offset);
}

constexpr py::Signature<1> kSeek{"seek", {"pos"}, 0};
PyResult<Ref> seek(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kSeek, args, nargs, kwnames, bound)) return py::python_error();
    std::uint64_t pos = 0;
    if (bound[0] != nullptr) {  // only omission means 0: an explicit None is not an integer
        auto converted = py::to_u64(bound[0], "pos");
        if (!converted) return std::unexpected(std::move(converted.error()));
        pos = *converted;
    }
    auto observed_view = observed(self);
    if (!observed_view) return std::unexpected(std::move(observed_view.error()));
    ViewState& view = **observed_view;
    if (pos > view.data_size())
        return std::unexpected(invalid(concat("seek position ", pos, " exceeds data_size ", view.data_size())));
    view.cursor.store(pos, std::memory_order_relaxed);
    return Ref::none();
}

PyResult<Ref> tell(PyObject* self) {
    auto view = observed(self);
    if (!view) return std::unexpected(std::move(view.error()));
    return py::from_u64((*view)->position());
}

constexpr py::Signature<1> kRead{"read", {"tag"}, 1};
PyResult<Ref> read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kRead, args, nargs, kwnames, bound)) return py::python_error();
    auto tag_text = py::to_utf8(bound[0], "tag");
    if (!tag_text) return std::unexpected(std::move(tag_text.error()));
    auto tag = parse_value_tag(*tag_text);
    if (!tag) return std::unexpected(std::move(tag.error()));

    ViewState& view = state(self);
    if (auto entered = enter(view); !entered) return std::unexpected(std::move(entered.error()));
    const std::uint64_t at = view.position();
    const std::span<const std::byte> rest(view.data() + at, view.data_size() - at);
    if (*tag != Tag::Str && tag_width(*tag) <= rest.size()) {
        // Fixed width: decode under the hold, build the object after releasing it.
        Scalar scalar;
        {
            auto hold = hold_shared(view);
            if (!hold) return std::unexpected(std::move(hold.error()));
            scalar = decode_scalar(*tag, rest.data());
        }
        Ref value = Ref::steal(scalar_to_object(scalar));
        if (!value) return py::python_error();  // the cursor has not moved
        view.advance(at, tag_width(*tag));
        return value;
    }
    auto hold = hold_shared(view);
    if (!hold) return std::unexpected(std::move(hold.error()));
    auto unpacked = unpack_one(rest, *tag, *tag_text);
    if (!unpacked) return std::unexpected(std::move(unpacked.error()));
    view.advance(at, unpacked->consumed);
    return std::move(unpacked->value);
}

constexpr py::Signature<2> kReadMixed{"read_mixed", {"schema", "offset"}, 1};
PyResult<Ref> read_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kReadMixed, args, nargs, kwnames, bound)) return py::python_error();
    auto schema = py::to_list(bound[0], "schema");  // checked before the offset
    if (!schema) return std::unexpected(std::move(schema.error()));
    auto offset = optional_offset(bound[1]);
    if (!offset) return std::unexpected(std::move(offset.error()));

    ViewState& view = state(self);
    if (auto entered = enter(view); !entered) return std::unexpected(std::move(entered.error()));
    const std::uint64_t at = offset->value_or(view.position());
    if (at >= view.data_size())
        return std::unexpected(invalid("read_mixed: no data available at current cursor position"));
    // Entries are converted before the hold, and the collector is paused while it is in force
    // (decoding allocates lists): no Python code runs under the hold. The pause starts once the
    // hold is taken, as the wait for it gives the interpreter lock up.
    ParsedSchema parsed = ParsedSchema::parse(*schema);
    auto hold = hold_shared(view);
    if (!hold) return std::unexpected(std::move(hold.error()));
    py::GcPause no_collection;  // ends before the hold does
    auto unpacked = unpack_mixed_counted({view.data() + at, view.data_size() - at}, parsed);
    if (!unpacked) return std::unexpected(std::move(unpacked.error()));
    if (!*offset) view.advance(at, unpacked->consumed);
    return std::move(unpacked->list);
}

constexpr py::Signature<2> kWriteMixed{"write_mixed", {"items", "offset"}, 1};
PyResult<Ref> write_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kWriteMixed, args, nargs, kwnames, bound)) return py::python_error();
    auto items = py::to_list_or_tuple(bound[0], "items");
    if (!items) return std::unexpected(std::move(items.error()));
    auto offset = optional_offset(bound[1]);
    if (!offset) return std::unexpected(std::move(offset.error()));
    ByteBuffer packed;
    if (auto done = pack_mixed(*items, packed); !done) return std::unexpected(std::move(done.error()));
    return store(state(self), packed.bytes(), *offset);
}

PyResult<Ref> zero(PyObject* self) {
    ViewState& view = state(self);
    if (auto entered = enter(view); !entered) return std::unexpected(std::move(entered.error()));
    auto hold = hold_exclusive(view);
    if (!hold) return std::unexpected(std::move(hold.error()));
    copy_maybe_unlocked(view, view.data_size(), [&] { std::memset(view.data(), 0, view.data_size()); });
    return Ref::none();
}

PyResult<Ref> reader_count(PyObject* self) {
    auto view = observed(self);
    if (!view) return std::unexpected(std::move(view.error()));
    Ref count = Ref::steal(PyLong_FromLong((*view)->lock().reader_count()));
    if (!count) return py::python_error();
    return count;
}

PyResult<Ref> is_write_locked(PyObject* self) {
    auto view = observed(self);
    if (!view) return std::unexpected(std::move(view.error()));
    return Ref::boolean((*view)->lock().is_write_locked());
}

PyResult<Ref> size(PyObject* self) {
    auto view = observed(self);
    if (!view) return std::unexpected(std::move(view.error()));
    return py::from_u64((*view)->data_size());
}

// `recover_stale` is keyword-only.
constexpr py::Signature<2> kSetLockTimeout{"set_lock_timeout", {"seconds", "recover_stale"}, 1, 1};
PyResult<Ref> set_lock_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kSetLockTimeout, args, nargs, kwnames, bound)) return py::python_error();
    auto view = observed(self);
    if (!view) return std::unexpected(std::move(view.error()));
    auto timeout = py::to_timeout(bound[0], "seconds");
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    bool recover_stale = false;
    if (bound[1] != nullptr) {
        const int truth = PyObject_IsTrue(bound[1]);
        if (truth < 0) return py::python_error();
        recover_stale = truth != 0;
    }
    // Both settings change together, after every argument converted: an error changes neither.
    if (timeout->deadline.is_never()) {
        (*view)->lock_timeout.reset();
    } else {
        (*view)->lock_timeout = timeout->seconds;
    }
    (*view)->recover_stale = recover_stale;
    return Ref::none();
}

PyResult<Ref> lock_timeout(PyObject* self) {
    auto view = observed(self);
    if (!view) return std::unexpected(std::move(view.error()));
    if (!(*view)->lock_timeout) return Ref::none();
    Ref seconds = Ref::steal(PyFloat_FromDouble(*(*view)->lock_timeout));
    if (!seconds) return py::python_error();
    return seconds;
}

PyResult<Ref> close(PyObject* self) {
    ViewState& view = state(self);
    const CallHold hold(view.gate);  // the mapping goes when this (or an outer call of this thread) ends
    if (!view.gate.mark_closed()) return Ref::none();
    py::wait_for_other_holds(view.gate);
    view.presence.reset();
    return Ref::none();
}

PyResult<Ref> closed(PyObject* self) { return Ref::boolean(state(self).gate.closed()); }

PyResult<Ref> others_present(PyObject* self) {
    auto view = observed(self);
    if (!view) return std::unexpected(std::move(view.error()));
    const std::optional<bool> present = (*view)->presence.others_present();
    if (!present) return Ref::none();
    return Ref::boolean(*present);
}

// Pickled as its segment's name: unpickled, SharedMemory.open(name).map(), a new mapping in the
// opener's role (the lock word is never reset), with its own cursor at 0.
PyResult<Ref> reduce(PyObject* self) {
    auto view = observed(self);
    if (!view) return std::unexpected(std::move(view.error()));
    return py::reduce_as_made_by((*view)->name, "map");
}

PyResult<Ref> enter_context(PyObject* self) {
    auto view = observed(self);
    if (!view) return std::unexpected(std::move(view.error()));
    return Ref::borrow(self);
}

PyResult<Ref> exit_context(PyObject* self, PyObject* const* /*args*/, Py_ssize_t /*nargs*/, PyObject* /*kwnames*/) {
    if (auto closed_now = close(self); !closed_now) return closed_now;
    return Ref::boolean(false);
}

PyResult<Ref> repr(PyObject* self) {
    const ViewState& view = state(self);
    if (view.gate.closed()) {
        Ref result = Ref::steal(PyUnicode_FromString("MappedView(closed=true)"));
        if (!result) return py::python_error();
        return result;
    }
    // Two separate loads of the word, without any hold: a snapshot, not a consistent pair.
    const std::string text = concat("MappedView(data_size=", view.data_size(), ", readers=",
                                    view.lock().reader_count(), ", write_locked=",
                                    view.lock().is_write_locked(), ")");
    Ref result = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!result) return py::python_error();
    return result;
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"read_all", py::as_cfunction(py::held_noargs_entry<g_type, ViewState, read_all>), METH_NOARGS,
     "read_all($self)\n--\n\n"
     "Return a copy of the whole data area (size() bytes) as bytes.\n\n"
     "The copy is taken under a shared hold. The cursor is not used."},
    {"read_range", py::as_cfunction(py::held_fastcall_entry<g_type, ViewState, read_range>), kFast,
     "read_range($self, offset, length)\n--\n\n"
     "Return a copy of `length` bytes at data offset `offset`.\n\n"
     "The copy is taken under a shared hold. The cursor is not used. A range\n"
     "that ends exactly at the end of the data area is valid.\n\n"
     "Raises:\n"
     "    ValueError: \"length cannot be zero\"; \"out of bounds: offset=60 +\n"
     "        length=8 > data_size=64\" (for instance) past the end.\n"
     "    TypeError, OverflowError: an argument that is not an int, or is\n"
     "        negative.\n\n"
     "Example:\n\n"
     "    >>> view.write(b\"hello\", 10)\n"
     "    >>> view.read_range(10, 5)\n"
     "    b'hello'"},
    {"write", py::as_cfunction(py::held_fastcall_entry<g_type, ViewState, write>), kFast,
     "write($self, data, offset=None)\n--\n\n"
     "Encode `data` and copy it into the data area.\n\n"
     "Encodings (little-endian, no type byte, no padding):\n\n"
     "    bool              1 byte, 0x01 or 0x00 (also NumPy's bool_)\n"
     "    int               8 bytes, signed 64-bit two's complement (also\n"
     "                      NumPy integers and other objects with __index__)\n"
     "    float             8 bytes, IEEE 754 binary64 (also NumPy floats and\n"
     "                      other objects with __float__)\n"
     "    str               4-byte count n of UTF-8 bytes, then the n bytes\n"
     "    bytes, bytearray  the bytes themselves, without a length; likewise\n"
     "                      any C-contiguous buffer (memoryview, NumPy array,\n"
     "                      array.array, mmap): its raw bytes, in place\n\n"
     "A 0-dimensional buffer holding one bool, integer or float (a NumPy\n"
     "scalar, a 0-d array) is that number. A buffer stays exported until the\n"
     "copy is done, so it cannot be resized or freed meanwhile; for a\n"
     "bytearray subclass, bytearray's own bytes are written.\n\n"
     "With `offset` omitted or None the bytes go to the cursor, which moves\n"
     "past them; with an explicit `offset` they go there and the cursor stays.\n"
     "The value is encoded and checked before the exclusive hold is taken, and\n"
     "the hold lasts for the copy only. On any error nothing is written and\n"
     "the cursor does not move.\n\n"
     "Raises:\n"
     "    ValueError: \"unsupported type 'NoneType'; supported: bool, int,\n"
     "        float, str, bytes, bytearray, and objects exporting a\n"
     "        C-contiguous buffer\" (for instance); \"buffer of type\n"
     "        'ndarray' is not C-contiguous; ...\"; \"buffer of type 'ndarray'\n"
     "        holds Python object pointers (format 'O'), ...\"; \"length cannot\n"
     "        be zero\" for an empty bytes; \"out of bounds: ...\" when the\n"
     "        encoded value does not fit before the end of the data area.\n"
     "    OverflowError: an integer outside the signed 64-bit range, or a\n"
     "        negative `offset`.\n"
     "    UnicodeEncodeError: a str holding lone surrogates.\n"
     "    BufferError, TypeError, ...: whatever the value's __buffer__,\n"
     "        __index__ or __float__ raises.\n\n"
     "Example:\n\n"
     "    >>> view.write(42)            # 8 bytes at the cursor\n"
     "    >>> view.write(\"hé\", 100)     # 03 00 00 00 68 c3 a9 at offset 100\n"
     "    >>> view.tell()\n"
     "    8"},
    {"seek", py::as_cfunction(py::held_fastcall_entry<g_type, ViewState, seek>), kFast,
     "seek($self, pos=0)\n--\n\n"
     "Move the cursor to data offset `pos` (0 to size(), inclusive).\n\n"
     "seek() without an argument rewinds to 0. Takes no lock.\n\n"
     "Raises:\n"
     "    ValueError: \"seek position 70 exceeds data_size 64\" (for instance);\n"
     "        the cursor stays where it was.\n"
     "    TypeError: `pos` is not an int (None included).\n"
     "    OverflowError: `pos` is negative."},
    {"tell", py::as_cfunction(py::held_noargs_entry<g_type, ViewState, tell>), METH_NOARGS,
     "tell($self)\n--\n\n"
     "Return the cursor, a data offset from 0 to size().\n\n"
     "The next read(), and the next write(), write_mixed() or read_mixed()\n"
     "without an offset, start there. The cursor belongs to this view object\n"
     "alone."},
    {"read", py::as_cfunction(py::held_fastcall_entry<g_type, ViewState, read>), kFast,
     "read($self, tag)\n--\n\n"
     "Decode one value at the cursor; move the cursor past it.\n\n"
     "The bytes carry no type, so `tag` names the encoding:\n\n"
     "    'bool'            1 byte; any nonzero byte is True\n"
     "    'u8'              1 byte, unsigned\n"
     "    'i32', 'u32'      4 bytes, signed / unsigned\n"
     "    'f32'             4 bytes, IEEE 754 binary32\n"
     "    'int', 'i64'      8 bytes, signed\n"
     "    'u64'             8 bytes, unsigned\n"
     "    'float', 'f64'    8 bytes, IEEE 754 binary64\n"
     "    'str'             4-byte count n, then n bytes of UTF-8 (ill-formed\n"
     "                      sequences become U+FFFD)\n\n"
     "The value is decoded under a shared hold. On an error the cursor stays.\n\n"
     "Raises:\n"
     "    ValueError: \"unknown type tag 'i16'; supported: bool, int, float,\n"
     "        f32, f64, i32, i64, u8, u32, u64, str\" (for instance); \"not\n"
     "        enough data to read 'int': need 8, have 3\" and the like when the\n"
     "        value would run past the end of the data area.\n"
     "    TypeError: `tag` is not a str.\n\n"
     "Example:\n\n"
     "    >>> view.write(42); view.write(\"hi\"); view.seek()\n"
     "    >>> view.read(\"int\"), view.read(\"str\"), view.tell()\n"
     "    (42, 'hi', 14)"},
    {"read_mixed", py::as_cfunction(py::held_fastcall_entry<g_type, ViewState, read_mixed>), kFast,
     "read_mixed($self, schema, offset=None)\n--\n\n"
     "Decode a run of values described by `schema`; return them as a list.\n\n"
     "`schema` is a list of (type_tag, count) tuples, read in order with the\n"
     "tags of read(). Each entry gives one item of the result: the bare value\n"
     "for a count of 1, otherwise a list of `count` values (empty for 0).\n"
     "With `offset` omitted or None, reading starts at the cursor, which\n"
     "moves past the bytes decoded; with an explicit `offset` the cursor\n"
     "stays. Decoding runs under a shared hold; on an error the cursor stays.\n\n"
     "Raises:\n"
     "    ValueError: \"read_mixed: no data available at current cursor\n"
     "        position\" when the start is at the end of the data area;\n"
     "        \"out of bounds: cursor=8 + needed=4 > data_len=10\" (positions\n"
     "        counted from the start of this read) when the schema asks for\n"
     "        more bytes than remain; \"unknown type tag 'i16'\"; \"schema\n"
     "        entries must be (type_tag, count) tuples\".\n"
     "    TypeError: `schema` is not a list, a tag is not a str, or a count is\n"
     "        not an int.\n"
     "    IndexError: an entry has fewer than two elements.\n"
     "    OverflowError: a negative count or `offset`.\n\n"
     "Example:\n\n"
     "    >>> view.write_mixed([1, [2.5, 3.5], \"hi\"], 0)\n"
     "    >>> view.read_mixed([(\"int\", 1), (\"float\", 2), (\"str\", 1)], 0)\n"
     "    [1, [2.5, 3.5], 'hi']"},
    {"write_mixed", py::as_cfunction(py::held_fastcall_entry<g_type, ViewState, write_mixed>), kFast,
     "write_mixed($self, items, offset=None)\n--\n\n"
     "Encode the values of the list or tuple `items` back to back; write them as one block.\n\n"
     "Each element is encoded as write() encodes it, and an element that is\n"
     "itself a list or tuple contributes its own elements (one level deep).\n"
     "Nothing separates or describes the values, so the reader's schema must\n"
     "match what was written. Buffers are copied as their elements are\n"
     "encoded. The cursor and `offset` work as for write(), and on any error\n"
     "nothing is written.\n\n"
     "Raises:\n"
     "    ValueError: \"length cannot be zero\" for an empty list; \"unsupported\n"
     "        type 'list'; supported: ...\" for an element that cannot be\n"
     "        encoded (None, a list or tuple inside an inner one); the buffer\n"
     "        errors of write(); \"out of bounds: ...\" when the block does\n"
     "        not fit.\n"
     "    TypeError: `items` is neither a list nor a tuple (the message names\n"
     "        list).\n"
     "    OverflowError, UnicodeEncodeError, ...: as for write().\n\n"
     "Example, a worker's record in slot 1 of a table of 32-byte slots:\n\n"
     "    >>> view.write_mixed([7, 0.25, True, \"done\"], offset=1 * 32)\n"
     "    >>> view.read_mixed([(\"i64\", 1), (\"f64\", 1), (\"bool\", 1), (\"str\", 1)], 32)\n"
     "    [7, 0.25, True, 'done']"},
    {"zero", py::as_cfunction(py::held_noargs_entry<g_type, ViewState, zero>), METH_NOARGS,
     "zero($self)\n--\n\n"
     "Set every byte of the data area to 0 under the exclusive hold.\n\n"
     "The lock word and the cursor are left as they are."},
    {"reader_count", py::as_cfunction(py::held_noargs_entry<g_type, ViewState, reader_count>), METH_NOARGS,
     "reader_count($self)\n--\n\n"
     "Return the number of shared holds in force, over all processes.\n\n"
     "A snapshot of the lock word (its value when positive, else 0), taken\n"
     "without any hold. Holds last for one call only, so this is normally 0;\n"
     "a count that stays above 0 while nothing reads is a hold left behind by\n"
     "a process that died. The creator's map() clears it (so does\n"
     "tools/kelparine-inspect --clear-stale-lock)."},
    {"is_write_locked", py::as_cfunction(py::held_noargs_entry<g_type, ViewState, is_write_locked>), METH_NOARGS,
     "is_write_locked($self)\n--\n\n"
     "Return True if the lock word shows the exclusive hold right now.\n\n"
     "A snapshot (the word equals -1), taken without any hold. True for\n"
     "longer than a write takes means a writer died while holding the lock;\n"
     "the creator's map() clears it."},
    {"set_lock_timeout", py::as_cfunction(py::held_fastcall_entry<g_type, ViewState, set_lock_timeout>), kFast,
     docs::kSetLockTimeout},
    {"lock_timeout", py::as_cfunction(py::held_noargs_entry<g_type, ViewState, lock_timeout>), METH_NOARGS, docs::kLockTimeout},
    {"close", py::as_cfunction(py::held_noargs_entry<g_type, ViewState, close>), METH_NOARGS, docs::kClose},
    {"closed", py::as_cfunction(py::held_noargs_entry<g_type, ViewState, closed>), METH_NOARGS, docs::kClosed},
    {"__enter__", py::as_cfunction(py::held_noargs_entry<g_type, ViewState, enter_context>), METH_NOARGS, docs::kEnter},
    {"__exit__", py::as_cfunction(py::held_fastcall_entry<g_type, ViewState, exit_context>), kFast, docs::kExit},
    {"__reduce__", py::as_cfunction(py::held_noargs_entry<g_type, ViewState, reduce>), METH_NOARGS, docs::kReduce},
    {"size", py::as_cfunction(py::held_noargs_entry<g_type, ViewState, size>), METH_NOARGS,
     "size($self)\n--\n\n"
     "Return the size of the data area in bytes.\n\n"
     "That is the segment size less the 4-byte lock word; valid offsets run\n"
     "from 0 to size() - 1."},
    {"others_present", py::as_cfunction(py::held_noargs_entry<g_type, ViewState, others_present>), METH_NOARGS,
     docs::kOthersPresent},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<ViewState>)},
    {Py_tp_doc, const_cast<char*>(
                    "Locked random access to a shared segment.\n\n"
                    "    byte 0      4                                        4 + size()\n"
                    "         +------+------------------------------------------+\n"
                    "         | lock |  data area: size() bytes                 |\n"
                    "         +------+------------------------------------------+\n\n"
                    "Made by SharedMemory.map(). The first 4 bytes of the segment are a\n"
                    "reader-writer lock word shared by every process that maps the segment;\n"
                    "offsets given to a view count from the start of the data area. Reads\n"
                    "take a shared hold of the lock and write(), write_mixed() and zero()\n"
                    "the exclusive hold, for the duration of the copy only, so a read never\n"
                    "sees half of another process's write.\n\n"
                    "Waiting for the lock spins briefly, then backs off (yield, then sleeps\n"
                    "of up to 1 ms) with the interpreter lock given up, so other threads run\n"
                    "meanwhile; set_lock_timeout() bounds the wait. A signal whose handler\n"
                    "raises, such as Ctrl-C in the main thread, ends the wait with that\n"
                    "exception and leaves nothing held. Calls on one view object from\n"
                    "several threads take turns; close() (or a with block) unmaps at once.\n\n"
                    "Each view has its own cursor (tell(), seek()). write(), write_mixed()\n"
                    "and read_mixed() start at the cursor and move it when `offset` is\n"
                    "omitted or None, and start at `offset` leaving the cursor alone\n"
                    "otherwise; read() always reads at the cursor.\n\n"
                    "Values are stored little-endian with no type information: bool in 1\n"
                    "byte, int in 8 (signed), float in 8 (binary64), str as a 4-byte byte\n"
                    "count and UTF-8, bytes and bytearray as they are. A reader names the\n"
                    "type with a tag: 'bool', 'int' or 'i64', 'float' or 'f64', 'str'; and\n"
                    "'u8', 'i32', 'u32', 'f32', 'u64' for data written by other programs.\n\n"
                    "Example:\n\n"
                    "    >>> view = SharedMemory.create(\"/telemetry\", 4 + 64).map()\n"
                    "    >>> view\n"
                    "    MappedView(data_size=64, readers=0, write_locked=false)\n"
                    "    >>> view.write(3.5)\n"
                    "    >>> view.write_mixed([7, \"ok\"])\n"
                    "    >>> view.tell()\n"
                    "    22\n"
                    "    >>> view.seek()\n"
                    "    >>> view.read(\"float\"), view.read_mixed([(\"i64\", 1), (\"str\", 1)])\n"
                    "    (3.5, [7, 'ok'])\n"
                    "    >>> SharedMemory.remove(\"/telemetry\")")},
    {Py_tp_base, reinterpret_cast<void*>(&PyBaseObject_Type)},
    {Py_tp_methods, kMethods},
    {Py_tp_repr, reinterpret_cast<void*>(py::held_repr_entry<ViewState, repr>)},
    {0, nullptr},
};

PyType_Spec kSpec{
    "builtins.MappedView",
    static_cast<int>(sizeof(py::Instance<ViewState>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace
}  // namespace kelparine::view_object

namespace kelparine {

py::PyResult<PyTypeObject*> mapped_view_type() noexcept {
    return py::make_type(view_object::g_type, view_object::kSpec);
}

py::PyResult<py::Ref> new_mapped_view(Mapping mapping, std::string_view name, presence::Presence presence) {
    auto type = mapped_view_type();
    if (!type) return std::unexpected(std::move(type.error()));
    return py::new_instance<view_object::ViewState>(*type, std::move(mapping), std::string(name), std::move(presence));
}

}  // namespace kelparine
