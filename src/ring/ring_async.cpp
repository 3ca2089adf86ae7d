// The awaitable members of SpscRingBuffer (aget, aput, areserve, ...) and what their Python half,
// kelparine/_aio.py, needs from the extension: a Notifier per event loop (its eventfd and the
// arming of ring words with the process's waiter, core/wait/waiter.hpp) and a few helpers.
//
// Each awaitable member binds and checks its arguments as its blocking twin does (errors are
// raised at the call, before any await), then returns the coroutine of _aio.py. The coroutine
// moves messages only through the blocking members with timeout=0 (one attempt, in the loop's
// thread), so a cancelled await can only have been waiting: nothing was taken or lent.
//
// _aio.py is loaded on first use from the package directory beside the extension, registered in
// sys.modules as kelparine._aio and given the helpers as its `_native`, but never made an
// attribute of the module (whose attributes are its classes).
#include "ring_async.hpp"

#include <algorithm>
#include <unordered_map>

#include "../core/rwlock.hpp"  // spin_pause
#include "../core/text.hpp"
#include "../core/wait/waiter.hpp"
#include "../mixed/payload.hpp"
#include "../py/args.hpp"
#include "../py/instance.hpp"
#include "../py/timeout.hpp"
#include "../py/writable_buffer.hpp"
#include "../queue/queue_async.hpp"
#include "ring_parks.hpp"

namespace kelparine::ring_object {
namespace {

using py::PyResult;
using py::Ref;

constexpr std::int64_t kPeerLookNs = 16 * wait::kMillisecond;  // as the blocking waits' longest slice

// The brief poll before arming. A round trip through the waiter costs two thread wake-ups per
// direction (the waiter's, then the loop's); while the peer answers within tens of microseconds
// a poll in the loop's thread (interpreter lock released) sees the answer first. It runs only
// while recent waits of this ring and role were short (the peer is active), for at most
// kPollNs; each poll that finds nothing doubles the number of awaits that then park at once
// (up to kMaxSkip), so a peer whose pace defeats the poll costs at most kPollNs per kMaxSkip
// waits; one that succeeds resets it. An idle ring never polls: its waits are long.
constexpr std::int64_t kPollNs = 50 * wait::kMicrosecond;
constexpr std::int64_t kActiveWait = 500 * wait::kMicrosecond;  // mean wait at or below which polls run
constexpr std::uint32_t kMaxSkip = 64;

using AwaitPace = RingState::AwaitPace;

void note_wait(AwaitPace& pace, std::int64_t waited) noexcept {
    waited = std::min(waited, AwaitPace::kLongWait);
    pace.mean_wait += (waited - pace.mean_wait) / 4;
}

// Polls `readiness` until it holds or `deadline` (monotonic ns) passes; the time it took, or
// -1. Loads of shared words only (Readiness::ready()), so it runs without the interpreter lock.
std::int64_t poll_until_ready(const wait::Readiness& readiness, std::int64_t started, std::int64_t deadline) noexcept {
    for (;;) {
        for (int i = 0; i < 16; ++i) {
            if (readiness.ready()) return wait::monotonic_ns() - started;
            spin_pause();
        }
        if (wait::monotonic_ns() >= deadline) return -1;
    }
}

// With the interpreter lock (released while polling): true when the awaited state came during
// a poll, so no watch is needed; else the pace records when the parked wait began.
bool poll_first(AwaitPace& pace, const wait::Readiness& readiness) noexcept {
    const std::int64_t started = wait::monotonic_ns();
    if (pace.mean_wait > kActiveWait) {
        pace.began = started;
        return false;
    }
    if (pace.skip > 0) {
        --pace.skip;
        pace.began = started;
        return false;
    }
    std::int64_t took = -1;
    Py_BEGIN_ALLOW_THREADS
    took = poll_until_ready(readiness, started, started + kPollNs);
    Py_END_ALLOW_THREADS
    if (took >= 0) {
        pace.backoff = 0;
        note_wait(pace, took);
        return true;
    }
    pace.backoff = std::min(kMaxSkip, pace.backoff == 0 ? 1 : pace.backoff * 2);
    pace.skip = pace.backoff;
    pace.began = started;  // the poll is part of the wait
    return false;
}

constexpr std::uint32_t low_half(std::uint64_t counter) noexcept { return static_cast<std::uint32_t>(counter); }
constexpr bool power_of_two(std::uint64_t v) noexcept { return v != 0 && (v & (v - 1)) == 0; }

// Readiness of a ring's words, asked by a waiter thread. The ring's mapping is pinned while the
// watch is armed. Acquire loads: the consumer's head and producer's tail are this process's own
// stores, made in the loop's thread.
struct MessageReady final : wait::Readiness {
    explicit MessageReady(SpscRing r) noexcept : ring(r) {}
    bool ready() const noexcept override { return ring.acquire_tail() != ring.acquire_head(); }
    SpscRing ring;
};

struct RoomReady final : wait::Readiness {
    RoomReady(SpscRing r, std::uint64_t frame_bytes, std::uint64_t data_bytes) noexcept
        : ring(r), frame(frame_bytes), data_size(data_bytes) {}
    bool ready() const noexcept override {
        const std::uint64_t capacity = ring.capacity();
        const std::uint64_t in_use = ring.acquire_tail() - ring.acquire_head();
        // A corrupt header: ready, and the attempt reports it.
        if (!power_of_two(capacity) || capacity > data_size || in_use > capacity) return true;
        return capacity - in_use >= frame;
    }
    SpscRing ring;
    std::uint64_t frame;
    std::uint64_t data_size;
};

// --- the Notifier: one per event loop --------------------------------------------------------

struct NotifierState {
    struct Armed {
        Ref ring;  // keeps the object; a ring's gate is pinned, so the mapping stays for the waiter
        Role role;
        bool paced;  // a wait of one ring (not a select): its length feeds the ring's AwaitPace
        bool queue;  // a Queue (whose mapping stays while the object lives): its await hold is
                     // given back at disarm, with the process generation that took it
        std::uint64_t generation;
    };
    explicit NotifierState(std::shared_ptr<wait::Mailbox> b) noexcept : box(std::move(b)) {}
    ~NotifierState() { disarm_all(); }
    void disarm_all() noexcept {
        for (auto& [token, armed] : watches) {
            wait::Waiter::instance().disarm(token);
            release(armed);
        }
        watches.clear();
    }
    static void release(Armed& armed) noexcept {
        if (armed.queue) {
            queue_object::end_await(queue_object::state(armed.ring.get()), armed.role, armed.generation);
        } else {
            state(armed.ring.get()).gate.unpin();
        }
    }
    std::shared_ptr<wait::Mailbox> box;
    std::unordered_map<std::uint64_t, Armed> watches;
};

PyTypeObject* g_notifier_type = nullptr;
NotifierState& notifier(PyObject* self) noexcept { return py::payload_of<NotifierState>(self); }

PyResult<Ref> notifier_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Notifier() takes no arguments");
        return py::python_error();
    }
    auto box = wait::Mailbox::make();
    if (!box) {
        PyErr_SetFromErrno(PyExc_OSError);
        return py::python_error();
    }
    return py::new_instance<NotifierState>(type, std::move(box));
}

PyObject* notifier_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return py::guarded([&] { return notifier_new(type, args, kwargs); });
}

PyResult<Ref> notifier_fileno(PyObject* self) {
    const NotifierState& n = notifier(self);
    if (!n.box) {
        PyErr_SetString(PyExc_ValueError, "the notifier is closed");
        return py::python_error();
    }
    return Ref::steal(PyLong_FromLong(n.box->fd()));
}

// Whether the peer of `role` is gone: no live process holds its role, after one was seen.
bool peer_gone(RingState& s, Role role) noexcept {
    const Role peer = peer_of(role);
    const std::optional<bool> held = s.presence.role_held(as_presence_role(peer));
    if (!held) return false;  // presence unknown: a wait never ends for it
    std::atomic<bool>& seen = s.role_seen[static_cast<int>(peer)];
    if (*held) {
        seen.store(true, std::memory_order_relaxed);
        return false;
    }
    return seen.load(std::memory_order_relaxed);
}


constexpr py::Signature<4> kArm{"arm", {"ring", "role", "need", "eof_ready"}, 4};

// A token for the watch, kept with the object it watches until disarm().
PyResult<Ref> keep_watch(NotifierState& n, wait::Watch watch, NotifierState::Armed armed) {
    const std::uint64_t token = wait::Waiter::instance().arm(n.box, std::move(watch));
    if (token == 0) {
        NotifierState::release(armed);
        PyErr_SetString(PyExc_MemoryError, "no memory or thread for the asyncio waiter");
        return py::python_error();
    }
    try {
        n.watches.emplace(token, std::move(armed));
    } catch (...) {
        wait::Waiter::instance().disarm(token);
        NotifierState::release(armed);
        PyErr_NoMemory();
        return py::python_error();
    }
    return Ref::steal(PyLong_FromUnsignedLongLong(token));
}

// arm() of a Queue: `need` is the record bytes a put needs (the producer role).
PyResult<Ref> arm_queue(NotifierState& n, PyObject* object, Role role, std::uint64_t need, bool eof_ready) {
    queue_object::QueueState& s = queue_object::state(object);
    const CallHold hold(s.gate);
    std::uint64_t generation = 0;
    auto watch = queue_object::arm_await(s, role, need, eof_ready, generation);
    if (!watch) return std::unexpected(std::move(watch.error()));
    if (!*watch) return Ref::none();
    return keep_watch(n, std::move(**watch), NotifierState::Armed{Ref::borrow(object), role, false, true, generation});
}

// arm(ring, role, need, eof_ready) -> token, or None when the ring is ready now (a message for
// the consumer role, room for a payload of `need` bytes for the producer role), or its peer is
// gone and `eof_ready`. A gone peer otherwise raises EOFError / BrokenPipeError as the blocking
// waits do; a closed ring raises ValueError. A Queue is armed likewise (arm_queue).
PyResult<Ref> notifier_arm(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 4> bound;
    if (!py::bind(kArm, args, nargs, kwnames, bound)) return py::python_error();
    NotifierState& n = notifier(self);
    const bool queue = queue_object::is_queue(bound[0]);
    if (!queue && !Py_IS_TYPE(bound[0], g_type)) {
        PyErr_SetString(PyExc_TypeError, "arm() takes an SpscRingBuffer or a Queue");
        return py::python_error();
    }
    const long role_number = PyLong_AsLong(bound[1]);
    auto need = py::to_u64(bound[2], "need");
    if (!need) return std::unexpected(std::move(need.error()));
    const int eof_ready = PyObject_IsTrue(bound[3]);
    if (eof_ready < 0 || (role_number == -1 && PyErr_Occurred())) return py::python_error();
    if (!n.box) {
        PyErr_SetString(PyExc_ValueError, "the notifier is closed");
        return py::python_error();
    }
    const Role role = role_number == 0 ? Role::Producer : Role::Consumer;
    if (queue) return arm_queue(n, bound[0], role, *need, eof_ready != 0);
    RingState& s = state(bound[0]);
    const CallHold hold(s.gate);
    if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
    // The caller produces or consumes: it holds the role, so that its peer sees it.
    if (!s.roles[static_cast<int>(role)].held()) {
        if (auto taken = take_role(s, role, presence::LockKind::Shared); !taken)
            return std::unexpected(std::move(taken.error()));
    }
    const SpscRing ring = s.ring();
    const std::uint64_t frame = *need + ring_layout::kLengthSize;
    std::unique_ptr<wait::Readiness> readiness;
    if (role == Role::Consumer) {
        readiness = std::make_unique<MessageReady>(ring);
    } else {
        readiness = std::make_unique<RoomReady>(ring, frame, s.mapping.size() - SPSC_HEADER_SIZE);
    }
    // Acquire load of the counter the peer stores: the value the watch parks on, read before
    // readiness is decided from the same state, so a store after it moves the word.
    const std::uint64_t watched = role == Role::Consumer ? ring.acquire_tail() : ring.acquire_head();
    const std::int64_t seen_at = wait::SettleClock::now();  // after the look: the settle runs from here
    if (readiness->ready()) return Ref::none();
    if (peer_gone(s, role)) {
        // A message (or room) left by the peer before it ended is always seen first.
        if (readiness->ready() || eof_ready) return Ref::none();
        return std::unexpected(report_peer_gone(s, role).error());
    }
    // One ring awaited alone may poll first; a select's rings never do (one poll would hold up
    // the others').
    const bool paced = !eof_ready;
    if (paced && poll_first(s.await_pace[static_cast<int>(role)], *readiness)) return Ref::none();
    const std::uint32_t* word = role == Role::Consumer ? ring.tail_word() : ring.head_word();
    s.gate.pin();  // unpinned by release() of the watch, on every path
    return keep_watch(n, wait::Watch{word, low_half(watched), seen_at, std::move(readiness), kPeerLookNs},
                      NotifierState::Armed{Ref::borrow(bound[0]), role, paced, false, 0});
}

// disarm(token): ends the watch (no event comes for it after this); a token fired or
// disarmed already is ignored.
PyResult<Ref> notifier_disarm(PyObject* self, PyObject* token_object) {
    NotifierState& n = notifier(self);
    const unsigned long long token = PyLong_AsUnsignedLongLong(token_object);
    if (token == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return py::python_error();
    auto found = n.watches.find(token);
    if (found == n.watches.end()) return Ref::none();
    wait::Waiter::instance().disarm(token);
    if (found->second.queue) {
        NotifierState::Armed armed = std::move(found->second);
        n.watches.erase(found);
        NotifierState::release(armed);
        return Ref::none();
    }
    Ref ring = std::move(found->second.ring);
    const Role role = found->second.role;
    const bool paced = found->second.paced;
    n.watches.erase(found);
    RingState& s = state(ring.get());
    // Disarmed once the await is over (ready, timed out or cancelled): that ends its wait.
    AwaitPace& pace = s.await_pace[static_cast<int>(role)];
    if (paced && pace.began != 0) {
        note_wait(pace, wait::monotonic_ns() - pace.began);
        pace.began = 0;
    }
    s.gate.unpin();
    return Ref::none();
}

// drain() -> [(token, kind), ...]: kind 0 when the awaited state came (the watch has ended),
// 1 for a tick (the watch goes on: look() whether the ring was closed or its peer is gone).
PyResult<Ref> notifier_drain(PyObject* self) {
    NotifierState& n = notifier(self);
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return py::python_error();
    if (!n.box) return out;
    for (const wait::WaitEvent& event : n.box->take()) {
        Ref item = Ref::steal(Py_BuildValue("(Ki)", static_cast<unsigned long long>(event.token),
                                            static_cast<int>(event.kind)));
        if (!item || PyList_Append(out.get(), item.get()) != 0) return py::python_error();
    }
    return out;
}

// look(token) -> whether the armed ring was closed or its peer is gone (the await looks again).
PyResult<Ref> notifier_look(PyObject* self, PyObject* token_object) {
    NotifierState& n = notifier(self);
    const unsigned long long token = PyLong_AsUnsignedLongLong(token_object);
    if (token == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return py::python_error();
    auto found = n.watches.find(token);
    if (found == n.watches.end()) return Ref::boolean(true);
    if (found->second.queue)
        return Ref::boolean(queue_object::await_look(queue_object::state(found->second.ring.get()), found->second.role));
    RingState& s = state(found->second.ring.get());
    if (s.gate.closed()) return Ref::boolean(true);
    return Ref::boolean(peer_gone(s, found->second.role));
}

PyResult<Ref> notifier_close(PyObject* self) {
    NotifierState& n = notifier(self);
    n.disarm_all();
    n.box.reset();
    return Ref::none();
}

PyMethodDef kNotifierMethods[] = {
    {"fileno", py::as_cfunction(py::noargs_entry<g_notifier_type, notifier_fileno>), METH_NOARGS, nullptr},
    {"arm", py::as_cfunction(py::fastcall_entry<g_notifier_type, notifier_arm>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"disarm", reinterpret_cast<PyCFunction>(+[](PyObject* self, PyObject* token) noexcept -> PyObject* {
         return py::guarded([&] { return notifier_disarm(self, token); });
     }),
     METH_O, nullptr},
    {"drain", py::as_cfunction(py::noargs_entry<g_notifier_type, notifier_drain>), METH_NOARGS, nullptr},
    {"look", reinterpret_cast<PyCFunction>(+[](PyObject* self, PyObject* token) noexcept -> PyObject* {
         return py::guarded([&] { return notifier_look(self, token); });
     }),
     METH_O, nullptr},
    {"close", py::as_cfunction(py::noargs_entry<g_notifier_type, notifier_close>), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kNotifierSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(notifier_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<NotifierState>)},
    {Py_tp_doc, const_cast<char*>("One event loop's line to the process's waiter thread (kelparine._aio).")},
    {Py_tp_methods, kNotifierMethods},
    {0, nullptr},
};

PyType_Spec kNotifierSpec{
    "kelparine._aio.Notifier",
    static_cast<int>(sizeof(py::Instance<NotifierState>)),
    0,
    Py_TPFLAGS_DEFAULT,
    kNotifierSlots,
};

// --- helpers for _aio.py ----------------------------------------------------------------------

// payload_size(data) -> the bytes the message's payload takes (its frame takes 4 more).
PyObject* payload_size(PyObject* /*module*/, PyObject* data) noexcept {
    return py::guarded([&]() -> PyResult<Ref> {
        Payload encoded;
        if (auto done = encoded.encode_message(data); !done) return std::unexpected(std::move(done.error()));
        return py::from_u64(encoded.bytes().size());
    });
}

// seconds_text(x) -> the text the blocking members' timeout messages give for x seconds.
PyObject* seconds_text(PyObject* /*module*/, PyObject* value) noexcept {
    return py::guarded([&]() -> PyResult<Ref> {
        const double seconds = PyFloat_AsDouble(value);
        if (seconds == -1.0 && PyErr_Occurred()) return py::python_error();
        const std::string text = py::seconds_text(seconds);
        return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

// waiter_threads() -> how many waiter threads this process runs (tests of the sharding).
PyObject* waiter_threads(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
    return PyLong_FromSize_t(wait::Waiter::instance().threads());
}

PyMethodDef kNativeFunctions[] = {
    {"payload_size", payload_size, METH_O, nullptr},
    {"seconds_text", seconds_text, METH_O, nullptr},
    {"waiter_threads", waiter_threads, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- loading _aio.py ---------------------------------------------------------------------------

enum AioFunction : int {
    kFnAget, kFnAgetMixed, kFnAgetInto, kFnAput, kFnAreserve, kFnAborrow, kFnAselect, kFnAnext,
    kFnQueueAget, kFnQueueAput, kFnQueueAnext, kCount
};
constexpr const char* kAioNames[kCount] = {"aget", "aget_mixed", "aget_into", "aput", "areserve", "aborrow",
                                           "aselect", "anext", "queue_aget", "queue_aput", "queue_anext"};
PyObject* g_aio_functions[kCount] = {};  // strong references, kept for the process

PyResult<Ref> native_module() {
    Ref module = Ref::steal(PyModule_New("kelparine._aio._native"));
    if (!module || PyModule_AddFunctions(module.get(), kNativeFunctions) != 0) return py::python_error();
    auto type = py::make_type(g_notifier_type, kNotifierSpec);
    if (!type) return std::unexpected(std::move(type.error()));
    if (PyModule_AddObjectRef(module.get(), "Notifier", reinterpret_cast<PyObject*>(*type)) != 0)
        return py::python_error();
    if (auto added = queue_object::add_natives(module.get()); !added) return std::unexpected(std::move(added.error()));
    return module;
}

PyResult<void> load_aio() {
    Ref package = Ref::steal(PyImport_ImportModule("kelparine"));
    Ref path = package ? Ref::steal(PyObject_GetAttrString(package.get(), "__path__")) : Ref();
    Ref directory = path ? Ref::steal(PySequence_GetItem(path.get(), 0)) : Ref();
    Ref os_path = directory ? Ref::steal(PyImport_ImportModule("os.path")) : Ref();
    Ref file = os_path ? Ref::steal(PyObject_CallMethod(os_path.get(), "join", "Os", directory.get(), "_aio.py")) : Ref();
    Ref util = file ? Ref::steal(PyImport_ImportModule("importlib.util")) : Ref();
    Ref spec = util ? Ref::steal(PyObject_CallMethod(util.get(), "spec_from_file_location", "sO", "kelparine._aio",
                                                     file.get()))
                    : Ref();
    if (!spec) return py::python_error();
    if (spec.get() == Py_None) {
        PyErr_Format(PyExc_ImportError, "kelparine: cannot find the asyncio helpers at %R", file.get());
        return py::python_error();
    }
    Ref module = Ref::steal(PyObject_CallMethod(util.get(), "module_from_spec", "O", spec.get()));
    auto natives = module ? native_module() : py::PyResult<Ref>(py::python_error());
    if (!natives) return std::unexpected(std::move(natives.error()));
    if (PyObject_SetAttrString(module.get(), "_native", natives->get()) != 0) return py::python_error();
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    if (modules == nullptr || PyDict_SetItemString(modules, "kelparine._aio", module.get()) != 0)
        return py::python_error();
    Ref loader = Ref::steal(PyObject_GetAttrString(spec.get(), "loader"));
    Ref done = loader ? Ref::steal(PyObject_CallMethod(loader.get(), "exec_module", "O", module.get())) : Ref();
    if (!done) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (PyDict_DelItemString(modules, "kelparine._aio") != 0) PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return py::python_error();
    }
    PyObject* functions[kCount];
    for (int i = 0; i < kCount; ++i) {
        functions[i] = PyObject_GetAttrString(module.get(), kAioNames[i]);
        if (functions[i] == nullptr) {
            for (int j = 0; j < i; ++j) Py_DECREF(functions[j]);
            return py::python_error();
        }
    }
    for (int i = 0; i < kCount; ++i) g_aio_functions[i] = functions[i];
    return {};
}

PyResult<Ref> call_aio(AioFunction which, std::initializer_list<PyObject*> args) {
    if (g_aio_functions[which] == nullptr) {
        if (auto loaded = load_aio(); !loaded) return std::unexpected(std::move(loaded.error()));
    }
    Ref result = Ref::steal(PyObject_Vectorcall(g_aio_functions[which], const_cast<PyObject**>(args.begin()),
                                                args.size(), nullptr));
    if (!result) return py::python_error();
    return result;
}

// The timeout as _aio.py takes it: None for no bound (None or infinity), else the float seconds.
PyResult<Ref> timeout_arg(PyObject* value) {
    auto timeout = py::to_timeout(value);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    if (timeout->deadline.is_never()) return Ref::none();
    Ref seconds = Ref::steal(PyFloat_FromDouble(timeout->seconds));
    if (!seconds) return py::python_error();
    return seconds;
}

PyObject* or_none(PyObject* value) noexcept { return value == nullptr ? Py_None : value; }

constexpr py::Signature<2> kAget{"aget", {"tag", "timeout"}, 0};
constexpr py::Signature<2> kAgetMixed{"aget_mixed", {"schema", "timeout"}, 1};
constexpr py::Signature<2> kAgetInto{"aget_into", {"buffer", "timeout"}, 1};
constexpr py::Signature<2> kAput{"aput", {"data", "timeout"}, 1};
constexpr py::Signature<2> kAreserve{"areserve", {"size", "timeout"}, 1};
constexpr py::Signature<1> kAborrow{"aborrow", {"timeout"}, 0};
constexpr py::Signature<2> kAselect{"aselect", {"rings", "timeout"}, 1};

}  // namespace

PyResult<Ref> aget(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kAget, args, nargs, kwnames, bound)) return py::python_error();
    if (bound[0] != nullptr && bound[0] != Py_None) {
        if (auto text = py::to_utf8(bound[0], "tag"); !text) return std::unexpected(std::move(text.error()));
    }
    auto timeout = timeout_arg(bound[1]);
    if (!timeout) return timeout;
    if (auto open = py::refuse_closed(state(self).gate, kClassName); !open)  // as the blocking twin, at the call
        return std::unexpected(std::move(open.error()));
    return call_aio(kFnAget, {self, or_none(bound[0]), timeout->get()});
}

PyResult<Ref> aget_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kAgetMixed, args, nargs, kwnames, bound)) return py::python_error();
    if (auto schema = py::to_list(bound[0], "schema"); !schema) return std::unexpected(std::move(schema.error()));
    auto timeout = timeout_arg(bound[1]);
    if (!timeout) return timeout;
    if (auto open = py::refuse_closed(state(self).gate, kClassName); !open)  // as the blocking twin, at the call
        return std::unexpected(std::move(open.error()));
    return call_aio(kFnAgetMixed, {self, bound[0], timeout->get()});
}

PyResult<Ref> aget_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kAgetInto, args, nargs, kwnames, bound)) return py::python_error();
    {
        py::WritableBuffer buffer;  // checked now, taken again at each attempt
        if (auto held = buffer.acquire(bound[0], "get_into"); !held) return std::unexpected(std::move(held.error()));
    }
    auto timeout = timeout_arg(bound[1]);
    if (!timeout) return timeout;
    if (auto open = py::refuse_closed(state(self).gate, kClassName); !open)  // as the blocking twin, at the call
        return std::unexpected(std::move(open.error()));
    return call_aio(kFnAgetInto, {self, bound[0], timeout->get()});
}

PyResult<Ref> aput(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kAput, args, nargs, kwnames, bound)) return py::python_error();
    auto timeout = timeout_arg(bound[1]);
    if (!timeout) return timeout;
    if (auto open = py::refuse_closed(state(self).gate, kClassName); !open)  // as the blocking twin, at the call
        return std::unexpected(std::move(open.error()));
    return call_aio(kFnAput, {self, bound[0], timeout->get()});
}

PyResult<Ref> areserve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kAreserve, args, nargs, kwnames, bound)) return py::python_error();
    auto size = py::to_u64(bound[0], "size");
    if (!size) return std::unexpected(std::move(size.error()));
    auto timeout = timeout_arg(bound[1]);
    if (!timeout) return timeout;
    RingState& s = state(self);
    if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
    // A size that could never fit is refused at once, as reserve() refuses it.
    if (auto size_ok = s.ring().check_frame_size(*size); !size_ok) return py::fail(std::move(size_ok.error()));
    return call_aio(kFnAreserve, {self, bound[0], timeout->get()});
}

PyResult<Ref> aborrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kAborrow, args, nargs, kwnames, bound)) return py::python_error();
    auto timeout = timeout_arg(bound[0]);
    if (!timeout) return timeout;
    if (auto open = py::refuse_closed(state(self).gate, kClassName); !open)
        return std::unexpected(std::move(open.error()));
    return call_aio(kFnAborrow, {self, timeout->get()});
}

PyResult<Ref> aselect(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kAselect, args, nargs, kwnames, bound)) return py::python_error();
    Ref sequence = Ref::steal(PySequence_Fast(bound[0], "'rings' must be a list or tuple of SpscRingBuffer"));
    if (!sequence) return py::python_error();
    Ref rings = Ref::steal(PySequence_Tuple(sequence.get()));
    if (!rings) return py::python_error();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(rings.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(rings.get(), i);
        if (!Py_IS_TYPE(item, g_type) && !queue_object::is_queue(item)) {
            PyErr_Format(PyExc_TypeError, "select() takes SpscRingBuffer objects, not '%.200s'", Py_TYPE(item)->tp_name);
            return py::python_error();
        }
    }
    auto timeout = timeout_arg(bound[1]);
    if (!timeout) return timeout;
    return call_aio(kFnAselect, {rings.get(), timeout->get()});
}

PyObject* next_message_awaitable(PyObject* self) noexcept {
    return py::guarded([&] { return call_aio(kFnAnext, {self}); });
}

PyResult<Ref> call_queue_aio(QueueAio which, std::initializer_list<PyObject*> args) {
    return call_aio(static_cast<AioFunction>(kFnQueueAget + static_cast<int>(which)), args);
}

PyResult<Ref> aio_timeout(PyObject* value) { return timeout_arg(value); }

}  // namespace kelparine::ring_object
