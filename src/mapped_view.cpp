#include "mapped_view.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "mixed/typed_list.hpp"
#include "mixed/value_codec.hpp"
#include "py/args.hpp"
#include "py/buffer_export.hpp"
#include "py/gc_pause.hpp"
#include "py/instance.hpp"
#include "py/signals.hpp"
#include "rwlock.hpp"
#include "text.hpp"

namespace kelparine {
namespace {

using py::PyResult;
using py::Ref;

// A view's own mapping of the whole segment and its process-local cursor into the data area.
// Invariant: 0 <= cursor <= data_size(). All accesses happen under the interpreter lock, so
// relaxed atomics suffice for the cursor.
struct ViewState {
    explicit ViewState(Mapping m) noexcept : mapping(std::move(m)) {}

    ShmRwLock lock() const noexcept { return ShmRwLock(mapping.base()); }
    std::byte* data() const noexcept { return mapping.base() + RWLOCK_SIZE; }
    std::uint64_t data_size() const noexcept { return mapping.size() - RWLOCK_SIZE; }
    std::uint64_t position() const noexcept { return cursor.load(std::memory_order_relaxed); }
    // Moves the cursor just past `by` bytes at `from`, where the operation worked. Not relative
    // to the cursor now: a signal handler run while waiting for the lock may have moved it, and
    // from + by is what the bounds checks vouched for.
    void advance(std::uint64_t from, std::uint64_t by) noexcept {
        cursor.store(from + by, std::memory_order_relaxed);
    }

    Mapping mapping;  // unmapped when the view is deallocated
    std::atomic<std::uint64_t> cursor{0};
};

PyTypeObject* g_type = nullptr;

ViewState& state(PyObject* self) noexcept { return py::payload_of<ViewState>(self); }

py::Failure invalid(std::string message) { return ShmError::invalid_argument(std::move(message)); }

PyResult<void> check_bounds(const ViewState& view, std::uint64_t offset, std::uint64_t length) {
    if (length == 0) return std::unexpected(invalid("length cannot be zero"));
    // Saturating: offset + length must not wrap around to a small number.
    const std::uint64_t end = offset > UINT64_MAX - length ? UINT64_MAX : offset + length;
    if (end > view.data_size())
        return std::unexpected(invalid(concat("out of bounds: offset=", offset, " + length=", length,
                                              " > data_size=", view.data_size())));
    return {};
}

// The holds abandon their wait when a signal handler raises (Ctrl-C): nothing is taken then.
PyResult<ShmReadGuard> hold_shared(const ViewState& view) {
    auto guard = view.lock().acquire_read(py::SignalRaised{});
    if (!guard) return py::python_error();
    return std::move(*guard);
}

PyResult<ShmWriteGuard> hold_exclusive(const ViewState& view) {
    auto guard = view.lock().acquire_write(py::SignalRaised{});
    if (!guard) return py::python_error();
    return std::move(*guard);
}

// The offset argument of write, write_mixed and read_mixed: absent or None means cursor mode.
PyResult<std::optional<std::uint64_t>> optional_offset(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::optional<std::uint64_t>();
    auto offset = py::to_u64(value, "offset");
    if (!offset) return std::unexpected(std::move(offset.error()));
    return std::optional<std::uint64_t>(*offset);
}

// Copies `bytes` to the data area at the explicit offset or the cursor, under the exclusive
// hold taken only around the copy and the cursor update.
PyResult<Ref> store(ViewState& view, std::span<const std::byte> bytes, std::optional<std::uint64_t> offset) {
    const std::uint64_t at = offset.value_or(view.position());
    if (auto in_bounds = check_bounds(view, at, bytes.size()); !in_bounds)
        return std::unexpected(std::move(in_bounds.error()));
    {
        auto hold = hold_exclusive(view);
        if (!hold) return std::unexpected(std::move(hold.error()));
        std::memcpy(view.data() + at, bytes.data(), bytes.size());
        if (!offset) view.advance(at, bytes.size());
    }
    return Ref::none();
}

PyResult<Ref> new_bytes(std::uint64_t size) {
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!out) return py::python_error();
    return out;
}

// Copies straight from the segment into a bytes object allocated before the hold is taken.
PyResult<Ref> copy_out(const ViewState& view, std::uint64_t offset, std::uint64_t length) {
    auto out = new_bytes(length);
    if (!out) return out;
    auto hold = hold_shared(view);
    if (!hold) return std::unexpected(std::move(hold.error()));
    std::memcpy(PyBytes_AS_STRING(out->get()), view.data() + offset, length);
    return out;
}

PyResult<Ref> read_all(PyObject* self) {
    const ViewState& view = state(self);
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
    const ViewState& view = state(self);
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
    // A bytearray is copied from its own storage, and waiting for the lock runs signal
    // handlers: an export keeps any of them from resizing (freeing) it until the copy is done.
    py::BufferExport pinned;
    if (PyByteArray_Check(bound[0]) && !pinned.acquire(bound[0])) return py::python_error();
    ByteBuffer scratch;
    auto bytes = encode_value(bound[0], scratch);  // bytes/bytearray in place: one copy
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    return store(state(self), *bytes, *offset);
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
    ViewState& view = state(self);
    if (pos > view.data_size())
        return std::unexpected(invalid(concat("seek position ", pos, " exceeds data_size ", view.data_size())));
    view.cursor.store(pos, std::memory_order_relaxed);
    return Ref::none();
}

PyResult<Ref> tell(PyObject* self) { return py::from_u64(state(self).position()); }

constexpr py::Signature<1> kRead{"read", {"tag"}, 1};
PyResult<Ref> read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kRead, args, nargs, kwnames, bound)) return py::python_error();
    auto tag_text = py::to_utf8(bound[0], "tag");
    if (!tag_text) return std::unexpected(std::move(tag_text.error()));
    auto tag = parse_value_tag(*tag_text);
    if (!tag) return std::unexpected(std::move(tag.error()));

    ViewState& view = state(self);
    const std::uint64_t at = view.position();
    const std::span<const std::byte> rest(view.data() + at, view.data_size() - at);
    if (*tag != Tag::Str && tag_width(*tag) <= rest.size()) {
        // Fixed width: decode under the hold, build the object after releasing it.
        Scalar scalar;
        {
            auto hold = hold_shared(view);
            if (!hold) return std::unexpected(std::move(hold.error()));
            scalar = decode_scalar(*tag, rest.data());
            view.advance(at, tag_width(*tag));
        }
        Ref value = Ref::steal(scalar_to_object(scalar));
        if (!value) {
            view.cursor.store(at, std::memory_order_relaxed);  // failure leaves the cursor
            return py::python_error();
        }
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
    const std::uint64_t at = offset->value_or(view.position());
    if (at >= view.data_size())
        return std::unexpected(invalid("read_mixed: no data available at current cursor position"));
    // Entries are converted before the hold, and the collector is paused around it (decoding
    // allocates lists): no Python code runs while the hold is in force.
    ParsedSchema parsed = ParsedSchema::parse(*schema);
    py::GcPause no_collection;
    auto hold = hold_shared(view);
    if (!hold) return std::unexpected(std::move(hold.error()));
    auto unpacked = unpack_mixed_counted({view.data() + at, view.data_size() - at}, parsed);
    if (!unpacked) return std::unexpected(std::move(unpacked.error()));
    if (!*offset) view.advance(at, unpacked->consumed);
    return std::move(unpacked->list);
}

constexpr py::Signature<2> kWriteMixed{"write_mixed", {"items", "offset"}, 1};
PyResult<Ref> write_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kWriteMixed, args, nargs, kwnames, bound)) return py::python_error();
    auto items = py::to_list(bound[0], "items");
    if (!items) return std::unexpected(std::move(items.error()));
    auto offset = optional_offset(bound[1]);
    if (!offset) return std::unexpected(std::move(offset.error()));
    ByteBuffer packed;
    if (auto done = pack_mixed(*items, packed); !done) return std::unexpected(std::move(done.error()));
    return store(state(self), packed.bytes(), *offset);
}

PyResult<Ref> zero(PyObject* self) {
    ViewState& view = state(self);
    auto hold = hold_exclusive(view);
    if (!hold) return std::unexpected(std::move(hold.error()));
    std::memset(view.data(), 0, view.data_size());
    return Ref::none();
}

PyResult<Ref> reader_count(PyObject* self) {
    Ref count = Ref::steal(PyLong_FromLong(state(self).lock().reader_count()));
    if (!count) return py::python_error();
    return count;
}

PyResult<Ref> is_write_locked(PyObject* self) { return Ref::boolean(state(self).lock().is_write_locked()); }

PyResult<Ref> size(PyObject* self) { return py::from_u64(state(self).data_size()); }

PyResult<Ref> repr(PyObject* self) {
    const ViewState& view = state(self);
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
    {"read_all", py::as_cfunction(py::noargs_entry<g_type, read_all>), METH_NOARGS,
     "read_all($self)\n--\n\n"
     "Return the whole data area as bytes, copied under a shared hold of the lock."},
    {"read_range", py::as_cfunction(py::fastcall_entry<g_type, read_range>), kFast,
     "read_range($self, offset, length)\n--\n\n"
     "Return `length` bytes at data offset `offset`, copied under a shared hold.\n"
     "The cursor is not used or moved.\n\n"
     "Raises ValueError \"length cannot be zero\" or \"out of bounds: ...\"."},
    {"write", py::as_cfunction(py::fastcall_entry<g_type, write>), kFast,
     "write($self, data, offset=None)\n--\n\n"
     "Encode `data` and copy it into the data area under the exclusive hold.\n\n"
     "bytes and bytearray are written as they are; bool takes 1 byte, int (signed 64-bit)\n"
     "and float 8 bytes, str a 4-byte byte count and its UTF-8 bytes. Without `offset`\n"
     "(or with None) the write starts at the cursor and moves it past the bytes written.\n"
     "On any error nothing is written and the cursor stays where it was."},
    {"seek", py::as_cfunction(py::fastcall_entry<g_type, seek>), kFast,
     "seek($self, pos=0)\n--\n\n"
     "Move the cursor to `pos` (0 to size()). Raises ValueError past the end."},
    {"tell", py::as_cfunction(py::noargs_entry<g_type, tell>), METH_NOARGS,
     "tell($self)\n--\n\nThe cursor: a position in the data area."},
    {"read", py::as_cfunction(py::fastcall_entry<g_type, read>), kFast,
     "read($self, tag)\n--\n\n"
     "Decode one value at the cursor and move the cursor past it.\n\n"
     "`tag` is one of 'u8', 'bool', 'i32', 'u32', 'f32', 'i64'/'int', 'u64', 'f64'/'float',\n"
     "'str'. Example: view.seek(); view.write(42); view.seek(); view.read('int') -> 42."},
    {"read_mixed", py::as_cfunction(py::fastcall_entry<g_type, read_mixed>), kFast,
     "read_mixed($self, schema, offset=None)\n--\n\n"
     "Decode a typed list by `schema`, a list of (type_tag, count) tuples: one result per\n"
     "entry, a bare value for count 1 and a list otherwise. Without `offset` it reads at the\n"
     "cursor and moves it past what was decoded."},
    {"write_mixed", py::as_cfunction(py::fastcall_entry<g_type, write_mixed>), kFast,
     "write_mixed($self, items, offset=None)\n--\n\n"
     "Encode the values of the list `items` back to back (inner lists are flattened one\n"
     "level) and write them as write() does."},
    {"zero", py::as_cfunction(py::noargs_entry<g_type, zero>), METH_NOARGS,
     "zero($self)\n--\n\nSet every byte of the data area to 0 under the exclusive hold."},
    {"reader_count", py::as_cfunction(py::noargs_entry<g_type, reader_count>), METH_NOARGS,
     "reader_count($self)\n--\n\nShared holds in force right now, over all processes (a snapshot)."},
    {"is_write_locked", py::as_cfunction(py::noargs_entry<g_type, is_write_locked>), METH_NOARGS,
     "is_write_locked($self)\n--\n\nTrue while some process holds the exclusive lock (a snapshot)."},
    {"size", py::as_cfunction(py::noargs_entry<g_type, size>), METH_NOARGS,
     "size($self)\n--\n\nThe size of the data area: the segment size less the 4-byte lock word."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<ViewState>)},
    {Py_tp_doc, const_cast<char*>(
                    "Locked random access to a shared segment: a 4-byte reader-writer lock word, then\n"
                    "the data area. Reads take a shared hold, writes the exclusive one; each view has\n"
                    "its own cursor. Made by SharedMemory.map(); unmaps its mapping when collected.")},
    {Py_tp_base, reinterpret_cast<void*>(&PyBaseObject_Type)},
    {Py_tp_methods, kMethods},
    {Py_tp_repr, reinterpret_cast<void*>(py::repr_entry<repr>)},
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

py::PyResult<PyTypeObject*> mapped_view_type() noexcept { return py::make_type(g_type, kSpec); }

py::PyResult<py::Ref> new_mapped_view(Mapping mapping) noexcept {
    auto type = mapped_view_type();
    if (!type) return std::unexpected(std::move(type.error()));
    return py::new_instance<ViewState>(*type, std::move(mapping));
}

}  // namespace kelparine
