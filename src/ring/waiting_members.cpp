// The waiting members: put, get and get_mixed block until the ring lets them proceed, and
// select waits for the first of several rings to hold a message. Waits follow wait::wait_until
// (spin, then park on the counter's futex word with the interpreter lock given up) and wake
// the peer as ring_wake.hpp describes.
#include <memory>
#include <vector>

#include "../core/text.hpp"
#include "../mixed/payload.hpp"
#include "../py/args.hpp"
#include "../py/gate_hooks.hpp"
#include "../py/timeout.hpp"
#include "ring_parks.hpp"
#include "ring_transfer.hpp"

namespace kelparine::ring_object {
namespace {

using py::PyResult;
using py::Ref;

constexpr py::Signature<2> kPut{"put", {"data", "timeout"}, 1};
constexpr py::Signature<2> kGet{"get", {"tag", "timeout"}, 0};
constexpr py::Signature<2> kGetMixed{"get_mixed", {"schema", "timeout"}, 1};
constexpr py::Signature<2> kSelect{"select", {"rings", "timeout"}, 1};

py::Failure timed_out(const char* member, const py::Timeout& timeout, const char* waiting_for) {
    return ShmError::timed_out(concat(member, "() timed out after ", py::seconds_text(timeout.seconds), " s ",
                                      waiting_for));
}

// Repeats `attempt` (with the interpreter lock held) until it produces a value, waiting for a
// message in between. `attempt` yields a null Ref when the ring is empty.
template <class Attempt>
PyResult<Ref> take_waiting(RingState& s, const char* member, const py::Timeout& timeout, Attempt&& attempt) {
    for (;;) {
        if (auto entered = enter(s, Role::Consumer); !entered) return std::unexpected(std::move(entered.error()));
        PyResult<Ref> taken = attempt();
        if (!taken || *taken) return taken;
        auto waited = wait_for_message(s, timeout.deadline);
        if (!waited) return std::unexpected(std::move(waited.error()));
        if (!*waited) return std::unexpected(timed_out(member, timeout, "with no message"));
    }
}

}  // namespace

PyResult<Ref> put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kPut, args, nargs, kwnames, bound)) return py::python_error();
    auto timeout = py::to_timeout(bound[1]);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    Payload encoded;  // raw bytes in place, pinned until the copy is done
    if (auto done = encoded.encode_message(bound[0]); !done) return std::unexpected(std::move(done.error()));
    const std::span<const std::byte> payload = encoded.bytes();
    RingState& s = state(self);
    if (auto entered = enter(s, Role::Producer); !entered) return std::unexpected(std::move(entered.error()));
    // A frame that could not fit even into the empty ring is refused by the first attempt, at
    // once, as push refuses it.
    for (;;) {
        auto written = write_message<Handoff::Waking>(s, payload);
        if (!written) return py::fail(std::move(written.error()));
        if (*written) return Ref::none();
        auto waited = wait_for_room(s, payload.size(), timeout->deadline);
        if (!waited) return std::unexpected(std::move(waited.error()));
        if (!*waited) {
            const SpscRing ring = s.ring();
            return std::unexpected(timed_out(
                "put", *timeout,
                concat("for room: the message needs ", payload.size() + ring_layout::kLengthSize,
                       " bytes of the ring and ", ring.free(), " are free").c_str()));
        }
        if (auto entered = enter(s, Role::Producer); !entered) return std::unexpected(std::move(entered.error()));
    }
}

PyResult<Ref> get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kGet, args, nargs, kwnames, bound)) return py::python_error();
    std::optional<std::string_view> tag;
    if (bound[0] != nullptr && bound[0] != Py_None) {
        auto text = py::to_utf8(bound[0], "tag");  // checked before the ring is looked at
        if (!text) return std::unexpected(std::move(text.error()));
        tag = *text;
    }
    auto timeout = py::to_timeout(bound[1]);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    RingState& s = state(self);
    return take_waiting(s, "get", *timeout, [&] {
        return tag ? take_value<Handoff::Waking>(s, *tag) : take_bytes<Handoff::Waking>(s);
    });
}

PyResult<Ref> get_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kGetMixed, args, nargs, kwnames, bound)) return py::python_error();
    auto schema = py::to_list(bound[0], "schema");
    if (!schema) return std::unexpected(std::move(schema.error()));
    auto timeout = py::to_timeout(bound[1]);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    // Converted once, before any waiting: no Python code runs between peek and consume.
    ParsedSchema parsed = ParsedSchema::parse(*schema);
    RingState& s = state(self);
    return take_waiting(s, "get_mixed", *timeout, [&] { return take_mixed<Handoff::Waking>(s, parsed); });
}

PyResult<Ref> select(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound;
    if (!py::bind(kSelect, args, nargs, kwnames, bound)) return py::python_error();
    // A tuple of its own, holding every ring for the whole call: the caller's list may be
    // cleared or grown by another thread while the wait runs without the interpreter lock.
    Ref sequence = Ref::steal(PySequence_Fast(bound[0], "'rings' must be a list or tuple of SpscRingBuffer"));
    if (!sequence) return py::python_error();
    Ref rings = Ref::steal(PySequence_Tuple(sequence.get()));
    if (!rings) return py::python_error();
    auto timeout = py::to_timeout(bound[1]);
    if (!timeout) return std::unexpected(std::move(timeout.error()));
    const Py_ssize_t count = PyTuple_GET_SIZE(rings.get());
    PyObject** items = &PyTuple_GET_ITEM(rings.get(), 0);
    std::vector<RingState*> states;
    std::vector<queue_object::Selected> queues;  // Queue objects, waited on beside the rings
    states.reserve(static_cast<std::size_t>(count));
    queues.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (queue_object::is_queue(items[i])) {
            queue_object::QueueState& q = queue_object::state(items[i]);
            queues.emplace_back(q);
            if (auto began = queues.back().begin(); !began) return std::unexpected(std::move(began.error()));
            continue;
        }
        if (!Py_IS_TYPE(items[i], g_type)) {
            PyErr_Format(PyExc_TypeError, "select() takes SpscRingBuffer objects, not '%.200s'",
                         Py_TYPE(items[i])->tp_name);
            return py::python_error();
        }
        RingState& s = state(items[i]);
        if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
        // A selecting process consumes: it holds the consumer role (and so sees its producer).
        if (!s.roles[static_cast<int>(Role::Consumer)].held()) {
            if (auto taken = take_role(s, Role::Consumer, presence::LockKind::Shared); !taken)
                return std::unexpected(std::move(taken.error()));
        }
        states.push_back(&s);
    }
    // Each ring's and queue's mapping stays for the call, as for a member of its own.
    std::unique_ptr<CallHold[]> holds(new CallHold[states.size() + queues.size()]);
    for (std::size_t i = 0; i < states.size(); ++i) holds[i].attach(states[i]->gate);
    for (std::size_t i = 0; i < queues.size(); ++i) holds[states.size() + i].attach(queues[i].state().gate);
    std::vector<bool> ended;
    auto waited = wait_for_any_message(states, timeout->deadline, ended, queues);
    if (!waited) return std::unexpected(std::move(waited.error()));
    Ref ready = Ref::steal(PyList_New(0));
    if (!ready) return py::python_error();
    if (!*waited) return ready;  // timed out
    std::size_t ring_index = 0;
    std::size_t queue_index = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        bool is_ready;
        if (queue_object::is_queue(items[i])) {
            const queue_object::Selected& q = queues[queue_index++];
            if (auto open = py::refuse_closed(q.state().gate, queue_object::kClassName); !open)
                return std::unexpected(std::move(open.error()));
            is_ready = q.ready();
        } else {
            const RingState& s = *states[ring_index];
            if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
            is_ready = !s.ring().is_empty() || ended[ring_index];
            ++ring_index;
        }
        if (is_ready && PyList_Append(ready.get(), items[i]) != 0) return py::python_error();
    }
    return ready;
}

}  // namespace kelparine::ring_object
