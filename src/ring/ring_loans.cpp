// Zero-copy loans of ring memory: reserve(n) lends the producer's next n payload bytes inside
// the ring, borrow() lends the next message in place, each as a memoryview for the span of a
// with block. The loan object is the buffer's exporter and holds the ring object, so the
// mapping outlives every export; the role stays lent (other calls of the role are refused) until
// the block ends and no export of the buffer is left.
//
// Array loans (reserve_array, borrow_array; ring_arrays.cpp) lend a NumPy array instead: the
// data of an array message, 64-byte aligned. An array cannot be released as a memoryview is, so
// their loan ends with the block whatever still refers to the array; the array keeps the loan
// object, and the loan a pin on the ring's mapping, so that memory stays mapped (close() or not)
// until the last such array is gone.
#include "../core/text.hpp"
#include "../py/args.hpp"
#include "../py/gate_hooks.hpp"
#include "../py/timeout.hpp"
#include "ring_arrays.hpp"
#include "ring_loans.hpp"
#include "ring_parks.hpp"
#include "ring_transfer.hpp"

namespace kelparine::ring_object {
namespace {

using py::PyResult;
using py::Ref;

struct LoanState {
    enum class Phase : unsigned char {
        Ready,      // made by reserve()/borrow(); nothing lent yet
        Lent,       // inside the with block
        Orphaned,   // the block ended while exports were left: lent until the last one goes
        Over,
    };

    LoanState(Ref ring_object, Role loan_role, std::uint64_t payload_size, py::Timeout wait,
              std::unique_ptr<ArrayLoan> array_part) noexcept
        : ring(std::move(ring_object)), role(loan_role), size(payload_size), timeout(wait), array(std::move(array_part)) {}
    ~LoanState() {
        if (phase == Phase::Lent || phase == Phase::Orphaned) state(ring.get()).gate.end_loan(role);
        if (array && array->pinned) state(ring.get()).gate.unpin();
    }

    RingState& ring_state() const noexcept { return state(ring.get()); }
    const char* member() const noexcept {
        if (array) return role == Role::Producer ? "reserve_array" : "borrow_array";
        return role == Role::Producer ? "reserve" : "borrow";
    }

    Ref ring;  // keeps the ring object, and so its mapping, alive for every export
    Role role;
    std::uint64_t size;  // reserve(): the payload size asked for
    py::Timeout timeout;
    Phase phase = Phase::Ready;
    FrameSlot slot{};   // reserve(): where the frame goes
    FrameRef frame{};   // borrow(): the frame lent
    bool staged = false;  // the run handed out is the ring object's staging run (the ring's wraps)
    bool settle_when_free = false;  // an orphan whose block raised: a borrow still consumes
    std::byte* run = nullptr;
    std::uint64_t run_size = 0;
    Py_ssize_t exports = 0;
    Ref handed_out;  // a weak reference to the memoryview (or array) __enter__ returned
    std::unique_ptr<ArrayLoan> array;  // an array loan's own part; null for reserve() and borrow()
};

// What lending found: the memory is lent; not now (no room, no message); or look again (an
// array loan's header was parsed by Python code meanwhile).
enum class Lending : unsigned char { Lent, NotNow, Again };

PyTypeObject* g_loan_type = nullptr;

LoanState& loan(PyObject* self) noexcept { return py::payload_of<LoanState>(self); }

// The loan ends: the role is free again for other calls.
void end(LoanState& l) noexcept {
    l.phase = LoanState::Phase::Over;
    l.ring_state().gate.end_loan(l.role);
}

// Lends the producer's next `size` bytes; NotNow when there is no room now.
PyResult<Lending> lend_room(LoanState& l) {
    RingState& s = l.ring_state();
    SpscRing ring = s.ring();
    if (l.array) {
        // An array message's header depends on where its frame starts: at our own tail, which
        // only this call moves while it holds the interpreter lock.
        auto capacity = ring.checked_capacity();
        if (!capacity) return py::fail(std::move(capacity.error()));
        const arrays::Described& out = l.array->out;
        l.array->header = array_message::plan(out.dict.size(), out.ascii,
                                              array_message::payload_offset(ring.own_tail(), *capacity));
        l.size = l.array->header.size + out.kind.nbytes;
    }
    auto reserved = ring.reserve(l.size, l.slot);
    if (!reserved) return py::fail(std::move(reserved.error()));
    if (!*reserved) return Lending::NotNow;
    l.run = l.slot.contiguous_payload();
    if (l.run == nullptr) {
        // The free space wraps past the end of the data area: a staging run, copied in at exit.
        // An array's is the loan's own, with the data at the same alignment as in the ring.
        l.run = l.array ? staged_run(l.array->staging, l.size, l.array->header.size) : s.staging(Role::Producer, l.size);
        if (l.run == nullptr) {
            PyErr_NoMemory();
            return py::python_error();
        }
        l.staged = true;
    }
    l.run_size = l.size;
    if (l.array) array_message::write(l.array->header, l.array->out.dict, l.run);
    if (!s.gate.lend(Role::Producer)) return std::unexpected(py::closed_error(kClassName).error());
    l.phase = LoanState::Phase::Lent;
    return Lending::Lent;
}

// Lends the next array message's data; NotNow when the ring is empty. A message that is not an
// array message raises and stays.
PyResult<Lending> lend_array_message(LoanState& l) {
    RingState& s = l.ring_state();
    ArrayLook& look = l.array->look;
    auto found = look_for_array(s, *l.array->np, look);
    if (!found) return std::unexpected(std::move(found.error()));
    if (*found == Look::Empty) return Lending::NotNow;
    if (*found == Look::Again) return Lending::Again;
    l.frame = look.frame;
    l.run_size = look.kind.nbytes;
    if (const std::byte* in_place = data_in_place(look)) {
        l.run = const_cast<std::byte*>(in_place);  // exported read-only
    } else {
        // Wrapping (or, written by another program, not aligned): lent as an aligned copy.
        l.run = staged_run(l.array->staging, l.run_size, 0);
        if (l.run == nullptr) {
            PyErr_NoMemory();
            return py::python_error();
        }
        copy_data(s, look, l.run);  // may give the interpreter lock up: close() may run
        l.staged = true;
    }
    if (!s.gate.lend(Role::Consumer)) return std::unexpected(py::closed_error(kClassName).error());
    l.phase = LoanState::Phase::Lent;
    return Lending::Lent;
}

// Lends the next message; NotNow when the ring is empty.
PyResult<Lending> lend_message(LoanState& l) {
    if (l.array) return lend_array_message(l);
    RingState& s = l.ring_state();
    SpscRing ring = s.ring();
    auto peeked = ring.peek();
    if (!peeked) return py::fail(std::move(peeked.error()));
    if (!peeked->has_frame) return Lending::NotNow;
    l.frame = peeked->frame;
    l.run_size = l.frame.length;
    if (const std::byte* in_place = l.frame.contiguous_payload()) {
        l.run = const_cast<std::byte*>(in_place);  // exported read-only
    } else {
        // The message wraps past the end of the data area: lent as a copy.
        l.run = s.staging(Role::Consumer, l.run_size);
        if (l.run == nullptr) {
            PyErr_NoMemory();
            return py::python_error();
        }
        copy_payload(s, l.frame, l.run);  // may give the interpreter lock up: close() may run
        l.staged = true;
    }
    // Refused once the ring is closed: nothing is consumed, and no loan outlives the mapping.
    if (!s.gate.lend(Role::Consumer)) return std::unexpected(py::closed_error(kClassName).error());
    l.phase = LoanState::Phase::Lent;
    return Lending::Lent;
}

// The block ended and no export is left: publish (reserve, clean exit) or consume (borrow).
void settle(LoanState& l, bool publish) noexcept {
    RingState& s = l.ring_state();
    SpscRing ring = s.ring();
    if (l.role == Role::Consumer) {
        give_back<Handoff::Waking>(s, ring, l.frame);
    } else if (publish) {
        if (l.staged) {
            write_frame(s, l.slot, {l.run, l.run_size});  // the staging run is the object's own
        } else {
            l.slot.write_prefix();  // the payload is in place
        }
        publish_tail_and_wake(ring, l.slot.tail, l.slot.end(), s.producer);
    }
    end(l);
}

// The memoryview __enter__ handed out, if it is still alive.
Ref handed_out_view(const LoanState& l) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* view = nullptr;
    if (PyWeakref_GetRef(l.handed_out.get(), &view) <= 0) {
        PyErr_Clear();
        return Ref();
    }
    return Ref::steal(view);
#else
    PyObject* view = PyWeakref_GetObject(l.handed_out.get());
    return view == nullptr || view == Py_None ? Ref() : Ref::borrow(view);
#endif
}

PyResult<Ref> enter_loan(PyObject* self) {
    LoanState& l = loan(self);
    if (l.phase != LoanState::Phase::Ready) {
        PyErr_Format(PyExc_RuntimeError, "this %s() loan was entered already; call %s() again for another",
                     l.member(), l.member());
        return py::python_error();
    }
    RingState& s = l.ring_state();
    const CallHold hold(s.gate);  // the ring's mapping stays for this call, as for the ring's own members
    for (;;) {
        // Refuses a closed ring, and a loan of the role already outstanding (loans do not nest).
        if (auto entered = enter(s, l.role); !entered) return std::unexpected(std::move(entered.error()));
        auto lent = l.role == Role::Producer ? lend_room(l) : lend_message(l);
        if (!lent) return std::unexpected(std::move(lent.error()));
        if (*lent == Lending::Lent) break;
        if (*lent == Lending::Again) continue;
        auto waited = l.role == Role::Producer ? wait_for_room(s, l.size, l.timeout.deadline)
                                               : wait_for_message(s, l.timeout.deadline);
        if (!waited) return std::unexpected(std::move(waited.error()));
        if (!*waited)
            return py::fail(ShmError::timed_out(concat(l.member(), "() timed out after ",
                                                       py::seconds_text(l.timeout.seconds), " s ",
                                                       l.role == Role::Producer ? "waiting for room" : "with no message")));
    }
    Ref view;
    if (l.array) {
        // The array references this loan object (NumPy keeps the exporter, not the export), and
        // through it the ring object; the pin keeps the mapping for it past close().
        l.array->building = true;
        auto made = arrays::make_array(*l.array->np, l.role == Role::Producer ? l.array->out.kind : l.array->look.kind, self);
        l.array->building = false;
        if (made) {
            view = std::move(*made);
            s.gate.pin();
            l.array->pinned = true;
        }
    } else {
        view = Ref::steal(PyMemoryView_FromObject(self));
    }
    Ref weak = view ? Ref::steal(PyWeakref_NewRef(view.get(), nullptr)) : Ref();
    if (!weak) {
        end(l);  // nothing was handed out
        return py::python_error();
    }
    l.handed_out = std::move(weak);
    return view;
}

// An array loan ends with its block. The producer's array turns read-only first: a write through
// it after the block would land in a published message.
PyResult<Ref> exit_array_loan(LoanState& l, bool clean) {
    Ref array = l.role == Role::Producer ? handed_out_view(l) : Ref();
    Ref flags = array ? Ref::steal(PyObject_GetAttrString(array.get(), "flags")) : Ref();
    const bool frozen = !array || (flags && PyObject_SetAttrString(flags.get(), "writeable", Py_False) == 0);
    settle(l, clean);
    if (!frozen) return py::python_error();
    return Ref::boolean(false);
}

PyResult<Ref> exit_loan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* /*kwnames*/) {
    LoanState& l = loan(self);
    if (l.phase != LoanState::Phase::Lent) return Ref::boolean(false);
    const bool clean = nargs == 0 || args[0] == Py_None;
    if (l.array) return exit_array_loan(l, clean);
    // Release the memoryview handed out: any later use of it raises. It refuses while a buffer
    // made from it (a NumPy array, another memoryview) is alive.
    if (Ref view = handed_out_view(l); view) {
        Ref done = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
        if (!done) {
            if (!PyErr_ExceptionMatches(PyExc_BufferError)) return py::python_error();
            PyErr_Clear();
        }
    }
    if (l.exports != 0) {
        l.phase = LoanState::Phase::Orphaned;  // ends when the last export goes
        if (!clean) {
            // The block raised, and the traceback keeps its frames, and so buffers made from the
            // loan, alive: let that exception through rather than hide it behind a BufferError.
            // Nothing is published; a borrowed message is consumed once the exports are gone.
            l.settle_when_free = l.role == Role::Consumer;
            return Ref::boolean(false);
        }
        PyErr_Format(PyExc_BufferError,
                     "the %s() buffer is still exported (a NumPy array or memoryview made from it is alive), "
                     "so nothing was %s; the loan ends, with nothing %s, once those are gone",
                     l.member(), l.role == Role::Producer ? "published" : "consumed",
                     l.role == Role::Producer ? "published" : "consumed");
        return py::python_error();
    }
    settle(l, clean);
    return Ref::boolean(false);
}

int get_buffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    LoanState& l = loan(self);
    if (l.phase != LoanState::Phase::Lent) {
        PyErr_Format(PyExc_BufferError, "this %s() loan is not lending memory now", l.member());
        view->obj = nullptr;
        return -1;
    }
    alignas(64) static std::byte empty[64];
    std::byte* start = l.run;
    std::uint64_t size = l.run_size;
    if (l.array) {
        if (!l.array->building) {
            PyErr_Format(PyExc_BufferError, "a %s() loan lends its memory only as the array its with block gets",
                         l.member());
            view->obj = nullptr;
            return -1;
        }
        if (l.role == Role::Producer) {  // the data, after the header written in front of it
            start += l.array->header.size;
            size -= l.array->header.size;
        }
    }
    if (size == 0) start = empty;
    const int readonly = l.role == Role::Consumer ? 1 : 0;
    if (PyBuffer_FillInfo(view, self, start, static_cast<Py_ssize_t>(size), readonly, flags) != 0) return -1;
    if (!l.array) ++l.exports;  // an array's export is not counted: its loan ends with the block
    return 0;
}

void release_buffer(PyObject* self, Py_buffer* /*view*/) noexcept {
    LoanState& l = loan(self);
    if (l.array) return;
    // The block ended while exports were left: the role is free again once the last of them is
    // gone. Nothing is published; a borrow whose block raised consumes its message then.
    if (--l.exports == 0 && l.phase == LoanState::Phase::Orphaned) {
        if (l.settle_when_free) {
            settle(l, false);
        } else {
            end(l);
        }
    }
}

PyResult<Ref> loan_repr(PyObject* self) {
    const LoanState& l = loan(self);
    static constexpr const char* kPhases[] = {"ready", "lent", "lent to exports left after the block", "over"};
    const std::string text = concat("<", l.member(), "() loan of ",
                                    l.role == Role::Producer && !l.array ? l.size : l.run_size, " bytes, ",
                                    kPhases[static_cast<int>(l.phase)], ">");
    Ref result = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!result) return py::python_error();
    return result;
}

PyMethodDef kLoanMethods[] = {
    {"__enter__", py::as_cfunction(py::noargs_entry<g_loan_type, enter_loan>), METH_NOARGS,
     "__enter__($self)\n--\n\nWait for the memory, lend it and return it as a memoryview (reserve(),\n"
     "borrow()) or a NumPy array (reserve_array(), borrow_array())."},
    {"__exit__", py::as_cfunction(py::fastcall_entry<g_loan_type, exit_loan>), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, *args)\n--\n\nRelease the memoryview and end the loan (publish or consume)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kLoanSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<LoanState>)},
    {Py_tp_doc, const_cast<char*>(
                    "A loan of ring memory from SpscRingBuffer.reserve() or borrow() (a memoryview)\n"
                    "or reserve_array() or borrow_array() (a NumPy array): a context manager whose\n"
                    "with block gets the memory.")},
    {Py_tp_methods, kLoanMethods},
    {Py_tp_repr, reinterpret_cast<void*>(py::repr_entry<loan_repr>)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(release_buffer)},
    {0, nullptr},
};

PyType_Spec kLoanSpec{
    "kelparine.RingLoan",
    static_cast<int>(sizeof(py::Instance<LoanState>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kLoanSlots,
};

PyResult<Ref> new_loan(PyObject* ring, Role role, std::uint64_t size, py::Timeout timeout,
                       std::unique_ptr<ArrayLoan> array = nullptr) {
    auto type = py::make_type(g_loan_type, kLoanSpec);
    if (!type) return std::unexpected(std::move(type.error()));
    return py::new_instance<LoanState>(*type, Ref::borrow(ring), role, size, timeout, std::move(array));
}

constexpr py::Signature<2> kReserve{"reserve", {"size", "timeout"}, 1};
constexpr py::Signature<1> kBorrow{"borrow", {"timeout"}, 0};

}  // namespace

PyResult<Ref> reserve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kReserve, args, nargs, kwnames, bound)) return py::python_error();
    auto size = py::to_u64(bound[0], "size");
    if (!size) return std::unexpected(std::move(size.error()));
    auto timeout = py::to_timeout(bound[1]);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    RingState& s = state(self);
    if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
    // A size that could never fit is refused at once, as push refuses it.
    if (auto size_ok = s.ring().check_frame_size(*size); !size_ok) return py::fail(std::move(size_ok.error()));
    return new_loan(self, Role::Producer, *size, *timeout);
}

PyResult<Ref> borrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kBorrow, args, nargs, kwnames, bound)) return py::python_error();
    auto timeout = py::to_timeout(bound[0]);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    if (auto open = py::refuse_closed(state(self).gate, kClassName); !open)
        return std::unexpected(std::move(open.error()));
    return new_loan(self, Role::Consumer, 0, *timeout);
}

PyResult<Ref> new_array_loan(PyObject* self, Role role, std::unique_ptr<ArrayLoan> array, py::Timeout timeout) {
    return new_loan(self, role, 0, timeout, std::move(array));
}

}  // namespace kelparine::ring_object
