// The awaitable members of Queue. As for the ring's (ring/ring_async.cpp), each binds and checks
// its arguments at the call, as its blocking twin does, then returns a coroutine of
// kelparine/_aio.py, which moves items only through single attempts in the loop's thread (get
// with block=False, get_many and puts with no wait): a cancelled or timed-out await was only
// ever parked, so it has taken or put nothing. aput and aput_many pickle their items at the
// call, once; the coroutine writes them from that encoding.
//
// Awaiting a queue: producers and consumers wake only sleepers whose bit is set in the waiters
// bitmap (mpmc_queue.hpp), so while any await of a process is armed on a role, the process holds
// one member slot for it with its bit announced (QueueState::awaits), and the waiter thread parks
// on the role's sequence word read after that announcement. The hold ends with the last armed
// watch, at close(), and never reaches across a fork (a child's holds are its own).
#include "queue_async.hpp"

#include <vector>

#include "../core/wait/clock.hpp"
#include "../py/args.hpp"
#include "../py/object_entry.hpp"
#include "../ring/ring_async.hpp"

namespace kelparine::queue_object {

using py::PyResult;
using py::Ref;

namespace {

QueueSide side_of(Role role) noexcept { return role == Role::Consumer ? QueueSide::Consumers : QueueSide::Producers; }

// Readiness of a queue's words, asked by a waiter thread. The mapping stays until the object
// is freed, and the Notifier holds the object while the watch is armed.
struct ItemReady final : wait::Readiness {
    explicit ItemReady(MpmcQueue q) noexcept : queue(q) {}
    bool ready() const noexcept override { return queue.looks_ready(); }
    MpmcQueue queue;
};

struct RoomReady final : wait::Readiness {
    RoomReady(MpmcQueue q, std::uint64_t need, std::uint64_t bound) noexcept : queue(q), span(need), maxsize(bound) {}
    bool ready() const noexcept override {
        return queue.looks_free(span) && (maxsize == 0 || queue.approx_items() < maxsize);
    }
    MpmcQueue queue;
    std::uint64_t span;
    std::uint64_t maxsize;
};

// Takes the role's await hold (announcing its bit with its first armed watch).
PyResult<void> hold_await(QueueState& s, Role role) {
    QueueState::AwaitHold& hold = s.awaits[static_cast<int>(role)];
    if (hold.held && hold.generation != presence::generation()) hold = {};  // the parent's, in a fork child
    if (!hold.held) {
        auto slot = acquire_slot(s);
        if (!slot) return std::unexpected(std::move(slot.error()));
        hold = {0, *slot, true, presence::generation()};
        s.queue().announce_wait(side_of(role), *slot);  // seq_cst, before the caller's check
    }
    ++hold.count;
    return {};
}

void release_hold(QueueState& s, Role role) noexcept {
    QueueState::AwaitHold& hold = s.awaits[static_cast<int>(role)];
    s.queue().retire_wait(side_of(role), hold.slot);
    s.slots.release(hold.slot);
    hold = {};
}

}  // namespace

PyResult<std::optional<wait::Watch>> arm_await(QueueState& s, Role role, std::uint64_t span, bool eof_ready,
                                               std::uint64_t& generation) {
    if (auto entered = enter(s, role); !entered) return std::unexpected(std::move(entered.error()));
    if (auto held = hold_await(s, role); !held) return std::unexpected(std::move(held.error()));
    generation = presence::generation();
    MpmcQueue q = s.queue();
    const QueueSide side = side_of(role);
    // Read after the bit was announced, then checked once more: a publish after the check moves
    // the word (its publisher sees the bit), one before it is seen by the check.
    const std::uint32_t seq = q.wait_sequence(side);
    std::unique_ptr<wait::Readiness> readiness;
    try {
        if (role == Role::Consumer) {
            readiness = std::make_unique<ItemReady>(q);
        } else {
            readiness = std::make_unique<RoomReady>(q, span, s.maxsize);
        }
    } catch (...) {
        end_await(s, role, generation);
        PyErr_NoMemory();
        return py::python_error();
    }
    if (readiness->ready()) {
        end_await(s, role, generation);
        return std::optional<wait::Watch>();
    }
    // A consumer ends only on an empty queue: a record in flight may still be committed.
    if (peer_gone(s, role) && (role == Role::Producer || q.head() == q.tail())) {
        end_await(s, role, generation);
        if (eof_ready) return std::optional<wait::Watch>();
        return std::unexpected(peer_gone_error(s, role));
    }
    // The word is woken by every publisher that sees the bit: no settling (the ring's words
    // need it, as their publishers never wake), the waiter parks on it at once.
    const std::int64_t settled = wait::SettleClock::now() - wait::SettleClock::settle();
    const std::uint32_t* word = role == Role::Consumer ? q.data_seq_address() : q.space_seq_address();
    return std::optional<wait::Watch>(wait::Watch{word, seq, settled, std::move(readiness), 16 * wait::kMillisecond});
}

void end_await(QueueState& s, Role role, std::uint64_t generation) noexcept {
    QueueState::AwaitHold& hold = s.awaits[static_cast<int>(role)];
    // Not this hold's: a watch of the parent process, or one armed before close() dropped it.
    if (!hold.held || hold.generation != generation || generation != presence::generation()) return;
    if (--hold.count == 0) release_hold(s, role);
}

void drop_awaits(QueueState& s) noexcept {
    for (Role role : {Role::Producer, Role::Consumer}) {
        const QueueState::AwaitHold& hold = s.awaits[static_cast<int>(role)];
        if (hold.held && hold.generation == presence::generation()) release_hold(s, role);
        s.awaits[static_cast<int>(role)] = {};
    }
}

bool await_look(QueueState& s, Role role) noexcept {
    if (s.gate.closed()) return true;
    const MpmcQueue q = s.queue();
    if (role == Role::Consumer) {
        const bool empty = q.head() == q.tail();
        // Something claimed and not ready: its producer may be gone, which only a get sees.
        if (!empty) return !q.looks_ready();
        return peer_gone(s, role);
    }
    return peer_gone(s, role);
}

// --- items pickled at the call of aput / aput_many ---------------------------------------------

namespace {

struct Pending {
    explicit Pending(std::vector<EncodedItem> encoded) noexcept : items(std::move(encoded)) {}
    std::vector<EncodedItem> items;
    std::size_t done = 0;  // the items before it are in the queue
};

PyTypeObject* g_pending_type = nullptr;

PyType_Slot kPendingSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<Pending>)},
    {Py_tp_doc, const_cast<char*>("Items of an aput() or aput_many(), pickled at the call (kelparine._aio).")},
    {0, nullptr},
};

PyType_Spec kPendingSpec{
    "kelparine._aio.PendingItems",
    static_cast<int>(sizeof(py::Instance<Pending>)),
    0,
    Py_TPFLAGS_DEFAULT,
    kPendingSlots,
};

// Every item encoded and checked before any is written, as put_many does.
PyResult<Ref> pending_items(QueueState& s, PyObject* const* items, Py_ssize_t count) {
    auto type = py::make_type(g_pending_type, kPendingSpec);
    if (!type) return std::unexpected(std::move(type.error()));
    std::vector<EncodedItem> encoded;
    try {
        encoded = std::vector<EncodedItem>(static_cast<std::size_t>(count));
    } catch (...) {
        PyErr_NoMemory();
        return py::python_error();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        EncodedItem& item = encoded[static_cast<std::size_t>(i)];
        if (auto done = item.encode(items[i]); !done) return std::unexpected(std::move(done.error()));
        if (auto fits = check_fits(s, item); !fits) return std::unexpected(std::move(fits.error()));
    }
    if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
    return py::new_instance<Pending>(*type, std::move(encoded));
}

// queue_put(queue, pending) -> the record bytes the next item needs, 0 once every item is in.
// One attempt, no wait: as many as fit go in.
PyObject* queue_put(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return py::guarded([&]() -> PyResult<Ref> {
        if (nargs != 2 || !is_queue(args[0]) || g_pending_type == nullptr || !Py_IS_TYPE(args[1], g_pending_type)) {
            PyErr_SetString(PyExc_TypeError, "queue_put() takes a Queue and its pending items");
            return py::python_error();
        }
        QueueState& s = state(args[0]);
        const CallHold hold(s.gate);
        Pending& pending = py::payload_of<Pending>(args[1]);
        const std::span<const EncodedItem> rest = std::span<const EncodedItem>(pending.items).subspan(pending.done);
        if (!rest.empty()) {
            auto put = put_now(s, rest);
            if (!put) return std::unexpected(std::move(put.error()));
            pending.done += *put;
        }
        if (pending.done == pending.items.size()) return py::from_u64(0);
        return py::from_u64(queue_layout::record_size(pending.items[pending.done].length()));
    });
}

// queue_done(pending) -> how many items are in the queue.
PyObject* queue_done(PyObject* /*module*/, PyObject* pending) noexcept {
    if (g_pending_type == nullptr || !Py_IS_TYPE(pending, g_pending_type)) {
        PyErr_SetString(PyExc_TypeError, "queue_done() takes pending items");
        return nullptr;
    }
    return PyLong_FromSize_t(py::payload_of<Pending>(pending).done);
}

// queue_in_flight(queue) -> whether something claimed at head is not ready (its producer may be
// gone: aselect then reports the queue, so that its get skips the record, as select() does).
PyObject* queue_in_flight(PyObject* /*module*/, PyObject* object) noexcept {
    if (!is_queue(object)) {
        PyErr_SetString(PyExc_TypeError, "queue_in_flight() takes a Queue");
        return nullptr;
    }
    const MpmcQueue q = state(object).queue();
    return PyBool_FromLong(q.head() != q.tail() && !q.looks_ready());
}

PyMethodDef kNatives[] = {
    {"queue_in_flight", queue_in_flight, METH_O, nullptr},
    {"queue_put", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(queue_put)), METH_FASTCALL, nullptr},
    {"queue_done", queue_done, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr py::Signature<1> kAget{"aget", {"timeout"}, 0};
constexpr py::Signature<2> kAput{"aput", {"obj", "timeout"}, 1};
constexpr py::Signature<2> kAgetMany{"aget_many", {"max_items", "timeout"}, 1};
constexpr py::Signature<2> kAputMany{"aput_many", {"items", "timeout"}, 1};

}  // namespace

PyResult<void> add_natives(PyObject* module) {
    if (PyModule_AddFunctions(module, kNatives) != 0) return py::python_error();
    return {};
}

PyResult<Ref> aget(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kAget, args, nargs, kwnames, bound)) return py::python_error();
    auto timeout = ring_object::aio_timeout(bound[0]);
    if (!timeout) return timeout;
    if (auto open = py::refuse_closed(state(self).gate, kClassName); !open)  // as the blocking twin, at the call
        return std::unexpected(std::move(open.error()));
    return ring_object::call_queue_aio(ring_object::QueueAio::Aget, {self, Py_None, timeout->get()});
}

PyResult<Ref> aget_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kAgetMany, args, nargs, kwnames, bound)) return py::python_error();
    auto max_items = py::to_u64(bound[0], "max_items");
    if (!max_items) return std::unexpected(std::move(max_items.error()));
    if (*max_items == 0) return py::fail(ShmError::invalid_argument("max_items must be at least 1"));
    auto timeout = ring_object::aio_timeout(bound[1]);
    if (!timeout) return timeout;
    if (auto open = py::refuse_closed(state(self).gate, kClassName); !open)
        return std::unexpected(std::move(open.error()));
    auto count = py::from_u64(*max_items);
    if (!count) return count;
    return ring_object::call_queue_aio(ring_object::QueueAio::Aget, {self, count->get(), timeout->get()});
}

PyResult<Ref> aput(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kAput, args, nargs, kwnames, bound)) return py::python_error();
    auto timeout = ring_object::aio_timeout(bound[1]);
    if (!timeout) return timeout;
    auto pending = pending_items(state(self), &bound[0], 1);
    if (!pending) return pending;
    return ring_object::call_queue_aio(ring_object::QueueAio::Aput, {self, pending->get(), timeout->get(), Py_False});
}

PyResult<Ref> aput_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kAputMany, args, nargs, kwnames, bound)) return py::python_error();
    auto timeout = ring_object::aio_timeout(bound[1]);
    if (!timeout) return timeout;
    Ref sequence = Ref::steal(PySequence_Fast(bound[0], "'items' must be an iterable"));
    if (!sequence) return py::python_error();
    auto pending = pending_items(state(self), PySequence_Fast_ITEMS(sequence.get()),
                                 PySequence_Fast_GET_SIZE(sequence.get()));
    if (!pending) return pending;
    return ring_object::call_queue_aio(ring_object::QueueAio::Aput, {self, pending->get(), timeout->get(), Py_True});
}

PyObject* next_item_awaitable(PyObject* self) noexcept {
    return py::guarded([&] { return ring_object::call_queue_aio(ring_object::QueueAio::Anext, {self}); });
}

}  // namespace kelparine::queue_object
