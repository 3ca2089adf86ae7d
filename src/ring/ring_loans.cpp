// Zero-copy loans of ring memory: reserve(n) lends the producer's next n payload bytes inside
// the ring, borrow() lends the next message in place, each as a memoryview for the span of a
// with block. The loan object is the buffer's exporter and holds the ring object, so the
// mapping outlives every export; the role stays lent (other calls of the role are refused) until
// the block ends and no export of the buffer is left.
#include "../core/text.hpp"
#include "../py/args.hpp"
#include "../py/gate_hooks.hpp"
#include "../py/timeout.hpp"
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

    LoanState(Ref ring_object, Role loan_role, std::uint64_t payload_size, py::Timeout wait) noexcept
        : ring(std::move(ring_object)), role(loan_role), size(payload_size), timeout(wait) {}
    ~LoanState() {
        if (phase == Phase::Lent || phase == Phase::Orphaned) state(ring.get()).gate.end_loan(role);
    }

    RingState& ring_state() const noexcept { return state(ring.get()); }
    const char* member() const noexcept { return role == Role::Producer ? "reserve" : "borrow"; }

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
    Ref handed_out;  // a weak reference to the memoryview __enter__ returned
};

PyTypeObject* g_loan_type = nullptr;

LoanState& loan(PyObject* self) noexcept { return py::payload_of<LoanState>(self); }

// The loan ends: the role is free again for other calls.
void end(LoanState& l) noexcept {
    l.phase = LoanState::Phase::Over;
    l.ring_state().gate.end_loan(l.role);
}

// Lends the producer's next `size` bytes; false when there is no room now.
PyResult<bool> lend_room(LoanState& l) {
    RingState& s = l.ring_state();
    SpscRing ring = s.ring();
    auto reserved = ring.reserve(l.size, l.slot);
    if (!reserved) return py::fail(std::move(reserved.error()));
    if (!*reserved) return false;
    l.run = l.slot.contiguous_payload();
    if (l.run == nullptr) {
        // The free space wraps past the end of the data area: a staging run, copied in at exit.
        l.run = s.staging(Role::Producer, l.size);
        if (l.run == nullptr) {
            PyErr_NoMemory();
            return py::python_error();
        }
        l.staged = true;
    }
    l.run_size = l.size;
    if (!s.gate.lend(Role::Producer)) return std::unexpected(py::closed_error(kClassName).error());
    l.phase = LoanState::Phase::Lent;
    return true;
}

// Lends the next message; false when the ring is empty.
PyResult<bool> lend_message(LoanState& l) {
    RingState& s = l.ring_state();
    SpscRing ring = s.ring();
    auto peeked = ring.peek();
    if (!peeked) return py::fail(std::move(peeked.error()));
    if (!peeked->has_frame) return false;
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
    return true;
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
        if (*lent) break;
        auto waited = l.role == Role::Producer ? wait_for_room(s, l.size, l.timeout.deadline)
                                               : wait_for_message(s, l.timeout.deadline);
        if (!waited) return std::unexpected(std::move(waited.error()));
        if (!*waited)
            return py::fail(ShmError::timed_out(concat(l.member(), "() timed out after ",
                                                       py::seconds_text(l.timeout.seconds), " s ",
                                                       l.role == Role::Producer ? "waiting for room" : "with no message")));
    }
    Ref view = Ref::steal(PyMemoryView_FromObject(self));
    Ref weak = view ? Ref::steal(PyWeakref_NewRef(view.get(), nullptr)) : Ref();
    if (!weak) {
        end(l);  // nothing was handed out
        return py::python_error();
    }
    l.handed_out = std::move(weak);
    return view;
}

PyResult<Ref> exit_loan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* /*kwnames*/) {
    LoanState& l = loan(self);
    if (l.phase != LoanState::Phase::Lent) return Ref::boolean(false);
    const bool clean = nargs == 0 || args[0] == Py_None;
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
    static std::byte empty[1];
    void* start = l.run_size != 0 ? static_cast<void*>(l.run) : static_cast<void*>(empty);
    const int readonly = l.role == Role::Consumer ? 1 : 0;
    if (PyBuffer_FillInfo(view, self, start, static_cast<Py_ssize_t>(l.run_size), readonly, flags) != 0) return -1;
    ++l.exports;
    return 0;
}

void release_buffer(PyObject* self, Py_buffer* /*view*/) noexcept {
    LoanState& l = loan(self);
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
                                    l.role == Role::Producer ? l.size : l.run_size, " bytes, ",
                                    kPhases[static_cast<int>(l.phase)], ">");
    Ref result = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!result) return py::python_error();
    return result;
}

PyMethodDef kLoanMethods[] = {
    {"__enter__", py::as_cfunction(py::noargs_entry<g_loan_type, enter_loan>), METH_NOARGS,
     "__enter__($self)\n--\n\nWait for the memory, lend it and return it as a memoryview."},
    {"__exit__", py::as_cfunction(py::fastcall_entry<g_loan_type, exit_loan>), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, *args)\n--\n\nRelease the memoryview and end the loan (publish or consume)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kLoanSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<LoanState>)},
    {Py_tp_doc, const_cast<char*>(
                    "A loan of ring memory from SpscRingBuffer.reserve() or borrow(): a context\n"
                    "manager whose with block gets the memory as a memoryview.")},
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

PyResult<Ref> new_loan(PyObject* ring, Role role, std::uint64_t size, py::Timeout timeout) {
    auto type = py::make_type(g_loan_type, kLoanSpec);
    if (!type) return std::unexpected(std::move(type.error()));
    return py::new_instance<LoanState>(*type, Ref::borrow(ring), role, size, timeout);
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

}  // namespace kelparine::ring_object
