// The array members of SpscRingBuffer (fast-call bodies). put_array and get_array copy an
// array in and out in one copy each; reserve_array and borrow_array lend the array in place
// (ring_loans.cpp). Every message is a .npy file whose data starts 64-byte aligned in the
// mapping (core/codec/array_header.hpp).
#include "ring_arrays.hpp"

#include <memory>
#include <vector>

#include "../core/text.hpp"
#include "../py/args.hpp"
#include "../py/buffer_export.hpp"
#include "../py/gate_hooks.hpp"
#include "../py/gc_pause.hpp"
#include "../py/timeout.hpp"
#include "ring_loans.hpp"
#include "ring_parks.hpp"
#include "ring_transfer.hpp"

namespace kelparine::ring_object {
namespace {

using py::PyResult;
using py::Ref;

constexpr py::Signature<2> kPutArray{"put_array", {"array", "timeout"}, 1};
constexpr py::Signature<1> kGetArray{"get_array", {"timeout"}, 0};
constexpr py::Signature<3> kReserveArray{"reserve_array", {"shape", "dtype", "timeout"}, 2};
constexpr py::Signature<1> kBorrowArray{"borrow_array", {"timeout"}, 0};

py::Failure timed_out(const char* member, const py::Timeout& timeout, const std::string& waiting_for) {
    return ShmError::timed_out(concat(member, "() timed out after ", py::seconds_text(timeout.seconds), " s ",
                                      waiting_for));
}

// The header's dict of the found message: in place, or copied into `scratch` where it wraps.
Result<std::string_view> header_text(const FrameRef& frame, const array_message::Header& header,
                                     std::string& scratch) {
    const std::uint64_t start = frame.head + ring_layout::kLengthSize + header.prefix;
    const std::uint64_t size = header.size - header.prefix;
    const std::uint64_t at = start & frame.mask;
    if (at + size <= frame.mask + 1) return array_message::dict_of({reinterpret_cast<const char*>(frame.data + at), size});
    scratch.resize(size);
    ring_detail::read_wrapped(frame.data, frame.mask, start, reinterpret_cast<std::byte*>(scratch.data()), size);
    return array_message::dict_of(scratch);
}

// An array argument as a NumPy array of the base class (asarray: lists, scalars and
// subclasses alike), whose attributes are NumPy's own.
PyResult<Ref> as_ndarray(const arrays::NumPy& np, PyObject* value) {
    if (Py_IS_TYPE(value, reinterpret_cast<PyTypeObject*>(np.ndarray))) return Ref::borrow(value);
    Ref array = Ref::steal(PyObject_CallOneArg(np.asarray, value));
    if (!array) return py::python_error();
    if (!Py_IS_TYPE(array.get(), reinterpret_cast<PyTypeObject*>(np.ndarray))) {
        PyErr_Format(PyExc_TypeError, "put_array() takes an array, not '%.200s'", Py_TYPE(value)->tp_name);
        return py::python_error();
    }
    return array;
}

PyResult<Ref> shape_of(PyObject* array, std::vector<std::uint64_t>& dims) {
    Ref shape = Ref::steal(PyObject_GetAttrString(array, "shape"));
    if (!shape) return py::python_error();
    if (!PyTuple_Check(shape.get())) {
        PyErr_SetString(PyExc_TypeError, "put_array(): the array's shape is not a tuple");
        return py::python_error();
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape.get()); ++i) {
        const unsigned long long extent = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(shape.get(), i));
        if (extent == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return py::python_error();
        dims.push_back(extent);
    }
    return shape;
}

// What put_array writes: the header's dict and kind, and the data as one contiguous run (the
// array's own memory, exported, or a gathered copy).
struct Outgoing {
    arrays::Described described;
    py::BufferExport source;       // the array's memory, pinned until the copy is done
    arrays::AlignedBlock gathered;  // or its elements gathered in C order
    const std::byte* data = nullptr;
};

PyResult<void> prepare(const arrays::NumPy& np, PyObject* value, Outgoing& out) {
    auto array = as_ndarray(np, value);
    if (!array) return std::unexpected(std::move(array.error()));
    Ref dtype = Ref::steal(PyObject_GetAttrString(array->get(), "dtype"));
    if (!dtype) return py::python_error();
    std::vector<std::uint64_t> dims;
    auto shape = shape_of(array->get(), dims);
    if (!shape) return std::unexpected(std::move(shape.error()));
    // C order as it is; Fortran order as it is, said so in the header; anything else gathered.
    // No format is asked for: NumPy exports datetime64 and the like only without one.
    bool fortran = false;
    if (!out.source.acquire(array->get(), PyBUF_C_CONTIGUOUS)) {
        PyErr_Clear();
        fortran = out.source.acquire(array->get(), PyBUF_F_CONTIGUOUS);
        if (!fortran) PyErr_Clear();
    }
    auto described = arrays::describe(np, "put_array", dtype.get(), std::move(*shape), dims, fortran);
    if (!described) return std::unexpected(std::move(described.error()));
    out.described = std::move(*described);
    const std::uint64_t nbytes = out.described.kind.nbytes;
    if (out.source.held() && static_cast<std::uint64_t>(out.source.view().len) == nbytes) {
        out.data = static_cast<const std::byte*>(out.source.view().buf);
        return {};
    }
    out.source.release();
    if (fortran) {
        // Not the run its export claimed: gathered in C order like any other layout.
        Ref shape_again = Ref::borrow(out.described.kind.shape.get());
        auto in_c_order = arrays::describe(np, "put_array", dtype.get(), std::move(shape_again), dims, false);
        if (!in_c_order) return std::unexpected(std::move(in_c_order.error()));
        out.described = std::move(*in_c_order);
    }
    // Gathered by NumPy into memory of our own before the ring is touched: no Python code then
    // runs between the reservation and the publication.
    out.gathered = arrays::AlignedBlock::take(nbytes);
    if (!out.gathered) {
        PyErr_NoMemory();
        return py::python_error();
    }
    auto memory = Ref::steal(
        PyMemoryView_FromMemory(reinterpret_cast<char*>(out.gathered.data()), static_cast<Py_ssize_t>(nbytes), PyBUF_WRITE));
    if (!memory) return py::python_error();
    auto target = arrays::make_array(np, out.described.kind, memory.get());
    if (!target) return std::unexpected(std::move(target.error()));
    Ref copied = Ref::steal(PyObject_CallFunctionObjArgs(np.copyto, target->get(), array->get(), nullptr));
    if (!copied) return py::python_error();
    out.data = out.gathered.data();
    return {};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Consumer side

PyResult<Look> look_for_array(RingState& s, const arrays::NumPy& np, ArrayLook& look) {
    SpscRing ring = s.ring();
    auto peeked = ring.peek();
    if (!peeked) return py::fail(std::move(peeked.error()));
    if (!peeked->has_frame) return Look::Empty;
    const FrameRef& frame = peeked->frame;
    std::byte first[array_message::kLongPrefix] = {};
    ring_detail::read_wrapped(frame.data, frame.mask, frame.head + ring_layout::kLengthSize, first,
                              std::min<std::uint64_t>(frame.length, sizeof first));
    auto header = array_message::read_prefix(first, frame.length);
    if (!header) return py::fail(std::move(header.error()));
    std::string scratch;
    auto dict = header_text(frame, *header, scratch);
    if (!dict) return py::fail(std::move(dict.error()));
    if (*dict == look.parsed_dict && look.parsed.dtype) {
        look.kind = look.parsed.share();
    } else if (const arrays::ArrayKind* known = arrays::cached_kind(*dict)) {
        look.kind = known->share();
    } else {
        // Parsed by Python code, with the message left where it is: anything may happen to the
        // ring meanwhile, so the caller looks again.
        std::string text(*dict);
        auto parsed = arrays::parse_kind(np, text, header->major);
        if (!parsed) return std::unexpected(std::move(parsed.error()));
        look.parsed_dict = std::move(text);
        look.parsed = std::move(*parsed);
        return Look::Again;
    }
    if (header->size + look.kind.nbytes != frame.length)
        return py::fail(ShmError::invalid_argument(
            concat("not an array message: its .npy header describes ", look.kind.nbytes, " bytes of data and ",
                   frame.length - header->size, " follow it")));
    look.frame = frame;
    look.header = *header;
    return Look::Found;
}

const std::byte* data_in_place(const ArrayLook& look) noexcept {
    const std::uint64_t at = look.data_position() & look.frame.mask;
    if (at + look.kind.nbytes > look.frame.mask + 1) return nullptr;
    const std::byte* data = look.frame.data + at;
    return reinterpret_cast<std::uintptr_t>(data) % array_message::kAlignment == 0 ? data : nullptr;
}

void copy_data(RingState& s, const ArrayLook& look, std::byte* into) noexcept {
    py::copy_maybe_unlocked(s.gate, Role::Consumer, look.kind.nbytes, [&] {
        ring_detail::read_wrapped(look.frame.data, look.frame.mask, look.data_position(), into, look.kind.nbytes);
    });
}

std::byte* staged_run(arrays::AlignedBlock& block, std::uint64_t size, std::uint64_t offset) noexcept {
    block = arrays::AlignedBlock::take(size + array_message::kAlignment);
    if (!block) return nullptr;
    const std::uint64_t shift = (array_message::kAlignment - offset % array_message::kAlignment) % array_message::kAlignment;
    return block.data() + shift;
}

PyResult<Ref> get_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kGetArray, args, nargs, kwnames, bound)) return py::python_error();
    auto timeout = py::to_timeout(bound[0]);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    // A closed ring is refused first, as every member refuses it, NumPy or not.
    if (auto open = py::refuse_closed(state(self).gate, kClassName); !open)
        return std::unexpected(std::move(open.error()));
    auto np = arrays::numpy("get_array");
    if (!np) return std::unexpected(std::move(np.error()));
    RingState& s = state(self);
    ArrayLook look;
    for (;;) {
        if (auto entered = enter(s, Role::Consumer); !entered) return std::unexpected(std::move(entered.error()));
        auto found = look_for_array(s, **np, look);
        if (!found) return std::unexpected(std::move(found.error()));
        if (*found == Look::Again) continue;
        if (*found == Look::Empty) {
            auto waited = wait_for_message(s, timeout->deadline);
            if (!waited) return std::unexpected(std::move(waited.error()));
            if (!*waited) return std::unexpected(timed_out("get_array", *timeout, "with no message"));
            continue;
        }
        // No Python code may run between the look and the store of head: the collector is
        // paused while the array is made (a long copy ends the pause for its stretch).
        py::GcPause no_collection;
        arrays::AlignedBlock block = arrays::AlignedBlock::take(look.kind.nbytes);
        if (!block) {
            PyErr_NoMemory();  // the message stays
            return py::python_error();
        }
        copy_data(s, look, block.data());  // the block is ours alone
        auto memory = arrays::new_array_memory(std::move(block), look.kind.nbytes);
        if (!memory) return std::unexpected(std::move(memory.error()));
        auto array = arrays::make_array(**np, look.kind, memory->get());
        if (!array) return std::unexpected(std::move(array.error()));
        SpscRing ring = s.ring();
        give_back<Handoff::Waking>(s, ring, look.frame);
        return array;
    }
}

// ---------------------------------------------------------------------------------------------
// Producer side

PyResult<Ref> put_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kPutArray, args, nargs, kwnames, bound)) return py::python_error();
    auto timeout = py::to_timeout(bound[1]);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    // A closed ring is refused first, as every member refuses it, NumPy or not.
    if (auto open = py::refuse_closed(state(self).gate, kClassName); !open)
        return std::unexpected(std::move(open.error()));
    auto np = arrays::numpy("put_array");
    if (!np) return std::unexpected(std::move(np.error()));
    Outgoing out;  // Python code runs here (asarray, numpy.lib.format), before the ring is looked at
    if (auto prepared = prepare(**np, bound[0], out); !prepared) return std::unexpected(std::move(prepared.error()));
    const std::string& dict = out.described.dict;
    const std::uint64_t nbytes = out.described.kind.nbytes;
    RingState& s = state(self);
    if (auto entered = enter(s, Role::Producer); !entered) return std::unexpected(std::move(entered.error()));
    // A message that could not fit even into the empty ring is refused at once, as put refuses it.
    if (auto fits = s.ring().check_frame_size(array_message::largest_header(dict.size(), out.described.ascii) + nbytes);
        !fits)
        return py::fail(std::move(fits.error()));
    std::string header_bytes;
    for (;;) {
        SpscRing ring = s.ring();
        auto capacity = ring.checked_capacity();
        if (!capacity) return py::fail(std::move(capacity.error()));
        // The header depends on where the frame starts: at our own tail, which only we move.
        const std::uint64_t tail = ring.own_tail();
        const array_message::Header header =
            array_message::plan(dict.size(), out.described.ascii, array_message::payload_offset(tail, *capacity));
        const std::uint64_t size = header.size + nbytes;
        FrameSlot slot{};
        auto reserved = ring.reserve(size, slot);
        if (!reserved) return py::fail(std::move(reserved.error()));
        if (*reserved && slot.tail == tail) {
            header_bytes.resize(header.size);
            array_message::write(header, dict, reinterpret_cast<std::byte*>(header_bytes.data()));
            slot.write_prefix();
            const std::uint64_t payload = slot.tail + ring_layout::kLengthSize;
            ring_detail::write_wrapped(slot.data, slot.mask, payload, reinterpret_cast<const std::byte*>(header_bytes.data()),
                                       header.size);
            py::copy_maybe_unlocked(s.gate, Role::Producer, nbytes, [&] {  // `out` pins or owns the data
                ring_detail::write_wrapped(slot.data, slot.mask, payload + header.size, out.data, nbytes);
            });
            publish_tail_and_wake(ring, slot.tail, slot.end(), s.producer);
            return Ref::none();
        }
        if (!*reserved) {
            auto waited = wait_for_room(s, size, timeout->deadline);
            if (!waited) return std::unexpected(std::move(waited.error()));
            if (!*waited)
                return std::unexpected(timed_out("put_array", *timeout,
                                                 concat("for room: the message needs ", size + ring_layout::kLengthSize,
                                                        " bytes of the ring and ", ring.free(), " are free")));
        }
        // After a wait, or a tail that moved under us: enter again and plan again.
        if (auto entered = enter(s, Role::Producer); !entered) return std::unexpected(std::move(entered.error()));
    }
}

// ---------------------------------------------------------------------------------------------
// Loans

PyResult<Ref> reserve_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 3> bound;
    if (!py::bind(kReserveArray, args, nargs, kwnames, bound)) return py::python_error();
    auto timeout = py::to_timeout(bound[2]);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    // A closed ring is refused first, as every member refuses it, NumPy or not.
    if (auto open = py::refuse_closed(state(self).gate, kClassName); !open)
        return std::unexpected(std::move(open.error()));
    auto np = arrays::numpy("reserve_array");
    if (!np) return std::unexpected(std::move(np.error()));
    std::vector<std::uint64_t> dims;
    auto shape = arrays::to_shape(bound[0], dims);
    if (!shape) return std::unexpected(std::move(shape.error()));
    auto converted = arrays::to_dtype(**np, bound[1]);
    if (!converted) return std::unexpected(std::move(converted.error()));
    Ref dtype = std::move(*converted);
    // A subarray dtype ('(2,3)f8'): NumPy makes its arrays with the subarray's extents appended
    // to the shape and the base dtype, and so does this.
    Ref subarray = Ref::steal(PyObject_GetAttrString(dtype.get(), "subdtype"));
    if (!subarray) return py::python_error();
    if (subarray.get() != Py_None) {
        Ref full = Ref::steal(PySequence_Concat(shape->get(), PyTuple_GET_ITEM(subarray.get(), 1)));
        if (!full) return py::python_error();
        shape = arrays::to_shape(full.get(), dims);
        if (!shape) return std::unexpected(std::move(shape.error()));
        dtype = Ref::borrow(PyTuple_GET_ITEM(subarray.get(), 0));
    }
    auto described = arrays::describe(**np, "reserve_array", dtype.get(), std::move(*shape), dims, false);
    if (!described) return std::unexpected(std::move(described.error()));
    RingState& s = state(self);
    if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
    // A message that could never fit is refused at once, as reserve() refuses it.
    const std::uint64_t largest = array_message::largest_header(described->dict.size(), described->ascii) + described->kind.nbytes;
    if (auto fits = s.ring().check_frame_size(largest); !fits) return py::fail(std::move(fits.error()));
    auto array = std::make_unique<ArrayLoan>();
    array->np = *np;
    array->out = std::move(*described);
    return new_array_loan(self, Role::Producer, std::move(array), *timeout);
}

PyResult<Ref> borrow_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kBorrowArray, args, nargs, kwnames, bound)) return py::python_error();
    auto timeout = py::to_timeout(bound[0]);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    // A closed ring is refused first, as every member refuses it, NumPy or not.
    if (auto open = py::refuse_closed(state(self).gate, kClassName); !open)
        return std::unexpected(std::move(open.error()));
    auto np = arrays::numpy("borrow_array");
    if (!np) return std::unexpected(std::move(np.error()));
    auto array = std::make_unique<ArrayLoan>();
    array->np = *np;
    return new_array_loan(self, Role::Consumer, std::move(array), *timeout);
}

}  // namespace kelparine::ring_object
