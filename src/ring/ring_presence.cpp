// Presence and roles on a ring: which live processes produce and consume, an exclusive claim
// of a role for those who want the one-producer-one-consumer contract checked, and iteration
// that ends at the producer's end of file.
#include "../core/wait/clock.hpp"
#include "../py/args.hpp"
#include "ring_object.hpp"

namespace kelparine::ring_object {
namespace {

using py::PyResult;
using py::Ref;

constexpr const char* kRoleNames[] = {"producer", "consumer"};

PyResult<Ref> tri_state(std::optional<bool> answer) {
    if (!answer) return Ref::none();
    return Ref::boolean(*answer);
}

PyResult<Ref> role_held(PyObject* self, Role role) {
    RingState& s = state(self);
    if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
    const std::optional<bool> held = s.presence.role_held(as_presence_role(role));
    if (held && *held) s.role_seen[static_cast<int>(role)].store(true, std::memory_order_relaxed);
    return tri_state(held);
}

constexpr py::Signature<1> kClaimRole{"claim_role", {"role"}, 1};

}  // namespace

PyResult<void> take_role(RingState& ring, Role role, presence::LockKind kind) noexcept {
    const presence::Presence::Taking taken =
        ring.presence.take_role(as_presence_role(role), kind, ring.roles[static_cast<int>(role)]).value_or(
            presence::Presence::Taking::Taken);  // an unusable lock: the role in name only
    if (taken == presence::Presence::Taking::HeldElsewhere) {
        const char* name = kRoleNames[static_cast<int>(role)];
        if (kind == presence::LockKind::Exclusive) {
            PyErr_Format(PyExc_RuntimeError,
                         "cannot claim the %s role of this ring: another live process holds it (a ring has "
                         "one producer and one consumer; for several, use one ring per pair)",
                         name);
        } else {
            PyErr_Format(PyExc_RuntimeError,
                         "another live process holds the %s role of this ring exclusively (claim_role()): a "
                         "ring has one producer and one consumer; for several, use one ring per pair",
                         name);
        }
        return py::python_error();
    }
    // One look at the peer: seen now, a later wait ends at the peer's end of file.
    ring.next_peer_look[static_cast<int>(role)] = 0;
    look_for_peer(ring, role);
    return {};
}

void look_for_peer(RingState& ring, Role role) noexcept {
    const std::int64_t now = wait::SettleClock::now();
    std::int64_t& next = ring.next_peer_look[static_cast<int>(role)];
    if (now - next < 0) return;
    next = now + wait::SettleClock::about_a_millisecond();
    const Role peer = peer_of(role);
    if (ring.presence.role_held(as_presence_role(peer)).value_or(false))
        ring.role_seen[static_cast<int>(peer)].store(true, std::memory_order_relaxed);
}

PyResult<Ref> others_present(PyObject* self) {
    RingState& s = state(self);
    if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
    return tri_state(s.presence.others_present());
}

PyResult<Ref> has_producer(PyObject* self) { return role_held(self, Role::Producer); }
PyResult<Ref> has_consumer(PyObject* self) { return role_held(self, Role::Consumer); }

PyResult<Ref> claim_role(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!py::bind(kClaimRole, args, nargs, kwnames, bound)) return py::python_error();
    auto name = py::to_utf8(bound[0], "role");
    if (!name) return std::unexpected(std::move(name.error()));
    Role role;
    if (*name == "producer") {
        role = Role::Producer;
    } else if (*name == "consumer") {
        role = Role::Consumer;
    } else {
        PyErr_Format(PyExc_ValueError, "role must be 'producer' or 'consumer', not %R", bound[0]);
        return py::python_error();
    }
    RingState& s = state(self);
    if (auto open = py::refuse_closed(s.gate, kClassName); !open) return std::unexpected(std::move(open.error()));
    if (!s.presence.known()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "cannot claim a role: this process cannot hold presence on the segment (it could not "
                        "open the segment's file again through /proc/self/fd)");
        return py::python_error();
    }
    if (auto taken = take_role(s, role, presence::LockKind::Exclusive); !taken)
        return std::unexpected(std::move(taken.error()));
    return Ref::none();
}

void leave_segment(RingState& ring) noexcept {
    ring.roles[0].release();
    ring.roles[1].release();
    ring.presence.reset();
}

// Iteration: each step is get(); the producer's end of file ends it, as a file's end does.
PyObject* next_message(PyObject* self) noexcept {
    PyObject* message = py::held_fastcall_entry<g_type, RingState, get>(self, nullptr, 0, nullptr);
    if (message == nullptr && PyErr_ExceptionMatches(PyExc_EOFError)) PyErr_Clear();
    return message;
}

}  // namespace kelparine::ring_object
