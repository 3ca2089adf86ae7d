// The Queue class: construction (anonymous, named, rebuilt in a spawned child), snapshots,
// close and the multiprocessing.Queue members that have no feeder thread to act on, pickling.
#include <bit>
#include <vector>

#include "../core/platform/unix/platform_handle.hpp"
#include "../core/text.hpp"
#include "../core/wait/clock.hpp"
#include "../py/args.hpp"
#include "../py/gil_hooks.hpp"
#include "../py/object_entry.hpp"
#include "../py/reopen.hpp"
#include "../segment/shared_memory.hpp"
#include "queue_async.hpp"
#include "queue_docs.hpp"
#include "queue_object.hpp"

namespace kelparine::queue_object {

using py::PyResult;
using py::Ref;

PyTypeObject* g_type = nullptr;

namespace {

constexpr std::uint64_t kDefaultCapacity = std::uint64_t{1} << 20;
constexpr std::uint64_t kLargestCapacity = std::uint64_t{1} << 40;

}  // namespace

PyResult<std::uint64_t> to_capacity(PyObject* value) noexcept {
    if (value == nullptr) return kDefaultCapacity;
    auto bytes = py::to_u64(value, "capacity");
    if (!bytes) return bytes;
    if (*bytes > kLargestCapacity)
        return py::fail(ShmError::invalid_argument(
            concat("capacity must be at most ", kLargestCapacity, " bytes, not ", *bytes)));
    return std::bit_ceil(*bytes < queue_layout::kMinCapacity ? queue_layout::kMinCapacity : *bytes);
}

PyResult<void> enter(QueueState& s, Role role) noexcept {
    if (s.gate.closed()) [[unlikely]]
        return py::closed_error(kClassName);
    const int r = static_cast<int>(role);
    if (!s.roles[r].held()) [[unlikely]] {
        // Shared: every producer (consumer) holds the role at once; nobody takes it exclusively.
        (void)s.presence.take_role(as_presence_role(role), presence::LockKind::Shared, s.roles[r]);
        s.next_peer_look[r] = 0;
        look_for_peer(s, role);
    } else if (!s.role_seen[static_cast<int>(peer_of(role))].load(std::memory_order_relaxed)) [[unlikely]] {
        look_for_peer(s, role);
    }
    return {};
}

void look_for_peer(QueueState& s, Role role) noexcept {
    const std::int64_t now = wait::SettleClock::now();
    std::int64_t& next = s.next_peer_look[static_cast<int>(role)];
    if (now - next < 0) return;
    next = now + wait::SettleClock::about_a_millisecond();
    const Role peer = peer_of(role);
    if (s.presence.role_held(as_presence_role(peer)).value_or(false))
        s.role_seen[static_cast<int>(peer)].store(true, std::memory_order_relaxed);
}

PyResult<std::uint16_t> acquire_slot(QueueState& s) noexcept {
    MpmcQueue q = s.queue();
    if (auto slot = s.slots.acquire(q, s.presence)) [[likely]]
        return *slot;
    if (!s.presence.known()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "cannot use this queue: this process cannot hold presence on its segment (it could not "
                        "open the segment's file again through /proc/self/fd), and a queue's member slots are "
                        "held through it");
    } else {
        PyErr_Format(PyExc_RuntimeError,
                     "no member slot of this queue is free: all %d are held by live processes (one per call in "
                     "progress) or still named by records of gone ones",
                     static_cast<int>(queue_layout::kSlotCount));
    }
    return py::python_error();
}

bool is_queue(PyObject* object) noexcept { return g_type != nullptr && Py_IS_TYPE(object, g_type); }

namespace {

PyResult<Ref> anonymous_queue(std::uint64_t capacity, std::uint64_t maxsize) {
    py::GilHooks hooks;
    auto handle = PlatformHandle::create_anonymous(queue_layout::segment_size(capacity), hooks);
    if (!handle) return py::fail(std::move(handle.error()));
    auto mapping = handle->map();
    if (!mapping) return py::fail(std::move(mapping.error()));
    if (auto ready = MpmcQueue::init(mapping->base(), mapping->size(), capacity, MpmcQueue::random_key()); !ready)
        return py::fail(std::move(ready.error()));
    presence::Presence presence = presence::Presence::take(handle->fd());
    return new_queue(std::move(*mapping), std::string(), handle->take_fd(), std::move(presence), maxsize);
}

// maxsize as multiprocessing takes it: 0 or less is no bound.
PyResult<std::uint64_t> to_maxsize(PyObject* value) {
    if (value == nullptr) return 0;
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) return py::python_error();
    int overflow = 0;
    const long long bound = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (bound == -1 && PyErr_Occurred()) return py::python_error();
    if (overflow < 0 || (overflow == 0 && bound <= 0)) return 0;
    if (overflow > 0) return UINT64_MAX;
    return static_cast<std::uint64_t>(bound);
}

constexpr py::Signature<2> kNew{"Queue", {"maxsize", "capacity"}, 0, 1};

PyObject* queue_new(PyTypeObject* /*type*/, PyObject* args, PyObject* kwargs) noexcept {
    return py::guarded([&]() -> PyResult<Ref> {
        // tp_new gets a tuple and a dict: bound through the vector-call binder.
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        std::vector<PyObject*> flat(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + nargs);
        Ref kwnames;
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
            kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
            if (!kwnames) return py::python_error();
            Py_ssize_t pos = 0;
            Py_ssize_t i = 0;
            PyObject* key;
            PyObject* value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                PyTuple_SET_ITEM(kwnames.get(), i++, Ref::borrow(key).release());
                flat.push_back(value);
            }
        }
        std::array<PyObject*, 2> bound{};
        if (!py::bind(kNew, flat.data(), nargs, kwnames.get(), bound)) return py::python_error();
        auto maxsize = to_maxsize(bound[0]);
        if (!maxsize) return std::unexpected(std::move(maxsize.error()));
        auto capacity = to_capacity(bound[1]);
        if (!capacity) return std::unexpected(std::move(capacity.error()));
        return anonymous_queue(*capacity, *maxsize);
    });
}

// --- snapshots -------------------------------------------------------------------------------

// As multiprocessing's: the snapshots still answer after close() (the mapping stays until the
// object is freed).
PyResult<MpmcQueue> observed(PyObject* self) { return state(self).queue(); }

PyResult<Ref> qsize(PyObject* self) {
    auto q = observed(self);
    if (!q) return std::unexpected(std::move(q.error()));
    return py::from_u64(q->approx_items());
}

PyResult<Ref> empty(PyObject* self) {
    auto q = observed(self);
    if (!q) return std::unexpected(std::move(q.error()));
    return Ref::boolean(!q->looks_ready());
}

PyResult<Ref> full(PyObject* self) {
    auto q = observed(self);
    if (!q) return std::unexpected(std::move(q.error()));
    const QueueState& s = state(self);
    const bool bound_reached = s.maxsize != 0 && q->approx_items() >= s.maxsize;
    return Ref::boolean(bound_reached || !q->looks_free(queue_layout::record_size(1)));
}

PyResult<Ref> capacity(PyObject* self) {
    auto q = observed(self);
    if (!q) return std::unexpected(std::move(q.error()));
    return py::from_u64(q->capacity());
}

PyResult<Ref> others_present(PyObject* self) {
    QueueState& s = state(self);
    if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
    const std::optional<bool> present = s.presence.others_present();
    if (!present) return Ref::none();
    return Ref::boolean(*present);
}

PyResult<Ref> repr(PyObject* self) {
    const QueueState& s = state(self);
    const MpmcQueue q = s.queue();
    const std::string which = s.anonymous() ? concat("maxsize=", s.maxsize) : concat("name='", s.name, "'");
    const std::string text = concat("Queue(", which, ", capacity=", q.capacity(), ", qsize=", q.approx_items(),
                                    s.gate.closed() ? ", closed=True)" : ")");
    Ref result = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!result) return py::python_error();
    return result;
}

// --- closing ---------------------------------------------------------------------------------

PyResult<Ref> close(PyObject* self) {
    QueueState& s = state(self);
    if (s.gate.closed()) return Ref::none();
    s.gate.mark_closed();
    if (s.gate.held_by_other_threads()) {
        // This process's threads parked on the queue's words see the mark at once (a spurious
        // wake for other processes' waiters, who look again and sleep on).
        const MpmcQueue q = s.queue();
        wait::futex_wake_all(q.data_seq_address());
        wait::futex_wake_all(q.space_seq_address());
        wait::futex_wake_all(q.lock_word_address());
        py::wait_for_other_holds(s.gate);
    }
    s.roles[0].release();
    s.roles[1].release();
    drop_awaits(s);  // before the slots go: another process may take them next
    s.slots.leave();
    s.presence.reset();
    s.fd.reset();
    return Ref::none();
}

// multiprocessing.Queue's contract: join_thread() only after close() (its feeder thread ends
// then). There is no feeder thread here: every put has written its item when it returns.
PyResult<Ref> join_thread(PyObject* self) {
    if (!state(self).gate.closed()) {
        Ref shown = Ref::steal(PyObject_Repr(self));
        if (!shown) return py::python_error();
        PyErr_Format(PyExc_AssertionError, "Queue %U not closed", shown.get());
        return py::python_error();
    }
    return Ref::none();
}

PyResult<Ref> cancel_join_thread(PyObject* /*self*/) { return Ref::none(); }

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

// --- pickling --------------------------------------------------------------------------------

PyResult<Ref> call_module(const char* module_name, const char* function, PyObject* arg) {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return py::python_error();
    Ref result = Ref::steal(arg == nullptr ? PyObject_CallMethod(module.get(), function, nullptr)
                                           : PyObject_CallMethod(module.get(), function, "O", arg));
    if (!result) return py::python_error();
    return result;
}

// A named queue pickles by name (SharedMemory.open(name).queue()). An anonymous one exists only
// as its descriptor, which only a process being spawned can be handed (multiprocessing passes
// it along as it passes its own objects' descriptors); elsewhere it is refused, as
// multiprocessing refuses its own queues.
PyResult<Ref> reduce(PyObject* self) {
    const QueueState& s = state(self);
    if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
    if (!s.anonymous()) return py::reduce_as_made_by(s.name, "queue");
    auto popen = call_module("multiprocessing.context", "get_spawning_popen", nullptr);
    if (!popen) return popen;
    if (popen->get() == Py_None) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Queue objects should only be shared between processes through inheritance");
        return py::python_error();
    }
    Ref fd = Ref::steal(PyLong_FromLong(s.fd.get()));
    if (!fd) return py::python_error();
    auto dup = call_module("multiprocessing.reduction", "DupFd", fd.get());
    if (!dup) return dup;
    Ref rebuild = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(g_type), "_rebuild"));
    if (!rebuild) return py::python_error();
    Ref result = Ref::steal(Py_BuildValue("(O(OK))", rebuild.get(), dup->get(),
                                          static_cast<unsigned long long>(s.maxsize)));
    if (!result) return py::python_error();
    return result;
}

constexpr py::Signature<2> kRebuild{"_rebuild", {"fd", "maxsize"}, 2};

// In the spawned child: the descriptor multiprocessing passed, taken over.
PyResult<Ref> rebuild(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kRebuild, args, nargs, kwnames, bound)) return py::python_error();
    Ref detached = Ref::steal(PyObject_CallMethod(bound[0], "detach", nullptr));
    if (!detached) return py::python_error();
    const long fd = PyLong_AsLong(detached.get());
    if (fd == -1 && PyErr_Occurred()) return py::python_error();
    OwnedFd owned(static_cast<int>(fd));
    auto maxsize = py::to_u64(bound[1], "maxsize");
    if (!maxsize) return std::unexpected(std::move(maxsize.error()));
    auto handle = PlatformHandle::adopt(std::move(owned));
    if (!handle) return py::fail(std::move(handle.error()));
    auto mapping = handle->map();
    if (!mapping) return py::fail(std::move(mapping.error()));
    if (auto ready = MpmcQueue::check(mapping->base(), mapping->size()); !ready)
        return py::fail(std::move(ready.error()));
    presence::Presence presence = presence::Presence::take(handle->fd());
    return new_queue(std::move(*mapping), std::string(), handle->take_fd(), std::move(presence), *maxsize);
}

PyObject* rebuild_entry(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::guarded([&] { return rebuild(cls, args, nargs, kwnames); });
}

PyObject* create_entry(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::guarded([&] { return create_named_queue(args, nargs, kwnames); });
}

PyObject* open_entry(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::guarded([&] { return open_named_queue(args, nargs, kwnames); });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"put", py::as_cfunction(py::held_fastcall_entry<g_type, QueueState, put>), kFast, docs::kPut},
    {"get", py::as_cfunction(py::held_fastcall_entry<g_type, QueueState, get>), kFast, docs::kGet},
    {"put_nowait", py::as_cfunction(py::held_fastcall_entry<g_type, QueueState, put_nowait>), kFast, docs::kPutNowait},
    {"get_nowait", py::as_cfunction(py::held_noargs_entry<g_type, QueueState, get_nowait>), METH_NOARGS,
     docs::kGetNowait},
    {"put_many", py::as_cfunction(py::held_fastcall_entry<g_type, QueueState, put_many>), kFast, docs::kPutMany},
    {"get_many", py::as_cfunction(py::held_fastcall_entry<g_type, QueueState, get_many>), kFast, docs::kGetMany},
    {"aget", py::as_cfunction(py::held_fastcall_entry<g_type, QueueState, aget>), kFast, docs::kAget},
    {"aput", py::as_cfunction(py::held_fastcall_entry<g_type, QueueState, aput>), kFast, docs::kAput},
    {"aget_many", py::as_cfunction(py::held_fastcall_entry<g_type, QueueState, aget_many>), kFast, docs::kAgetMany},
    {"aput_many", py::as_cfunction(py::held_fastcall_entry<g_type, QueueState, aput_many>), kFast, docs::kAputMany},
    {"qsize", py::as_cfunction(py::held_noargs_entry<g_type, QueueState, qsize>), METH_NOARGS, docs::kQsize},
    {"empty", py::as_cfunction(py::held_noargs_entry<g_type, QueueState, empty>), METH_NOARGS, docs::kEmpty},
    {"full", py::as_cfunction(py::held_noargs_entry<g_type, QueueState, full>), METH_NOARGS, docs::kFull},
    {"capacity", py::as_cfunction(py::held_noargs_entry<g_type, QueueState, capacity>), METH_NOARGS,
     docs::kCapacity},
    {"others_present", py::as_cfunction(py::held_noargs_entry<g_type, QueueState, others_present>), METH_NOARGS,
     docs::kOthersPresent},
    {"close", py::as_cfunction(py::held_noargs_entry<g_type, QueueState, close>), METH_NOARGS, docs::kClose},
    {"join_thread", py::as_cfunction(py::held_noargs_entry<g_type, QueueState, join_thread>), METH_NOARGS,
     docs::kJoinThread},
    {"cancel_join_thread", py::as_cfunction(py::held_noargs_entry<g_type, QueueState, cancel_join_thread>),
     METH_NOARGS, docs::kCancelJoinThread},
    {"__enter__", py::as_cfunction(py::held_noargs_entry<g_type, QueueState, enter_context>), METH_NOARGS,
     docs::kEnter},
    {"__exit__", py::as_cfunction(py::held_fastcall_entry<g_type, QueueState, exit_context>), kFast, docs::kExit},
    {"__reduce__", py::as_cfunction(py::held_noargs_entry<g_type, QueueState, reduce>), METH_NOARGS, docs::kReduce},
    {"create", py::as_cfunction(create_entry), kFast | METH_STATIC, docs::kCreate},
    {"open", py::as_cfunction(open_entry), kFast | METH_STATIC, docs::kOpen},
    // A class method, so that pickle finds it as the attribute of kelparine.Queue.
    {"_rebuild", py::as_cfunction(rebuild_entry), kFast | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<QueueState>)},
    {Py_tp_doc, const_cast<char*>(docs::kClass)},
    {Py_tp_base, reinterpret_cast<void*>(&PyBaseObject_Type)},
    {Py_tp_new, reinterpret_cast<void*>(queue_new)},
    {Py_tp_methods, kMethods},
    {Py_tp_repr, reinterpret_cast<void*>(py::held_repr_entry<QueueState, repr>)},
    {Py_am_aiter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_am_anext, reinterpret_cast<void*>(next_item_awaitable)},
    {0, nullptr},
};

// Named in the module, so that pickle finds the class (and _rebuild) as kelparine.Queue.
PyType_Spec kSpec{
    "kelparine.Queue",
    static_cast<int>(sizeof(py::Instance<QueueState>)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace
}  // namespace kelparine::queue_object

namespace kelparine {

py::PyResult<PyTypeObject*> queue_type() noexcept { return py::make_type(queue_object::g_type, queue_object::kSpec); }

py::PyResult<py::Ref> new_queue(Mapping mapping, std::string name, OwnedFd memfd, presence::Presence presence,
                                std::uint64_t maxsize) {
    auto type = queue_type();
    if (!type) return std::unexpected(std::move(type.error()));
    return py::new_instance<queue_object::QueueState>(*type, std::move(mapping), std::move(name), std::move(memfd),
                                                      std::move(presence), maxsize);
}

}  // namespace kelparine
