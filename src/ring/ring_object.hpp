// The SpscRingBuffer object's own state, shared by the files that implement its members: the
// mapping, the segment's name (for pickling and messages), the gate that keeps calls of one
// role from overlapping once they give the interpreter lock up, and what each side knows for
// its wake-up decisions, and its presence on the segment with the roles its calls took.
#pragma once

#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "../core/platform/unix/owned_fd.hpp"
#include "../core/presence/presence.hpp"
#include "../core/spsc/ring.hpp"
#include "../core/spsc/ring_wake.hpp"
#include "../py/boundary.hpp"
#include "../py/instance.hpp"
#include "../py/object_entry.hpp"
#include "../py/object_gate.hpp"

namespace kelparine::ring_object {

using Role = ObjectGate::Role;

struct RingState {
    RingState(Mapping m, std::string segment_name, presence::Presence p) noexcept
        : mapping(std::move(m)), name(std::move(segment_name)), presence(std::move(p)) {}
    SpscRing ring() const noexcept { return SpscRing(mapping.base(), mapping.size()); }

    Mapping mapping;  // unmapped once closed and no call is left in it, or when deallocated
    std::string name;
    ObjectGate gate{&mapping};  // unmaps when the last call leaves the closed object
    WakeLedger producer;  // this object's waking stores of tail
    WakeLedger consumer;  // this object's waking stores of head
    // This process's presence on the segment, and the roles this object's calls took (the
    // first producing or consuming call takes its role; close() releases both).
    presence::Presence presence;
    presence::RoleHold roles[2];
    // Whether a live process was seen holding each role: a wait ends at the peer's end of file
    // only after the peer was seen (a consumer started before its producer waits for it).
    // Relaxed: waits of several threads may set it; it only ever becomes true.
    std::atomic<bool> role_seen[2] = {false, false};
    // While the peer is unseen, each side's calls look for it at most this often (settle
    // ticks): a short-lived peer whose messages never made this side wait is still seen.
    std::int64_t next_peer_look[2] = {0, 0};
    // Learned from waits: the peer on the other side delivered without waking us (it only
    // polls, or is not this module), so parks stay short.
    bool silent_producer = false;
    bool silent_consumer = false;
    // The pace of each role's awaits (ring_async.cpp): whether the next one that finds nothing
    // first polls briefly in the loop's thread. Touched only with the interpreter lock held.
    struct AwaitPace {
        static constexpr std::int64_t kLongWait = 4'000'000;  // ns; longer waits count as this
        std::int64_t began = 0;               // monotonic ns when the parked await began; 0: none
        std::int64_t mean_wait = kLongWait;   // running mean of recent waits, ns
        std::uint32_t skip = 0;               // awaits that park at once before the next poll
        std::uint32_t backoff = 0;            // `skip` after the next poll that finds nothing
    };
    AwaitPace await_pace[2];

    // The staging run of each role's loan where the ring's run wraps, kept for the next loan
    // (a role has one loan at a time): large messages wrap once per trip round the ring, and a
    // fresh allocation each time would cost page faults as well as the copy. Null on failure.
    std::byte* staging(Role role, std::uint64_t size) noexcept {
        Staging& run = staging_runs[static_cast<int>(role)];
        if (run.size < size) {
            run.bytes.reset(new (std::nothrow) std::byte[size]);
            run.size = run.bytes ? size : 0;
        }
        return run.bytes.get();
    }
    struct Staging {
        std::unique_ptr<std::byte[]> bytes;
        std::uint64_t size = 0;
    };
    Staging staging_runs[2];
};

inline RingState& state(PyObject* self) noexcept { return py::payload_of<RingState>(self); }

inline constexpr const char kClassName[] = "SpscRingBuffer";

inline presence::Role as_presence_role(Role role) noexcept { return static_cast<presence::Role>(role); }
inline Role peer_of(Role role) noexcept { return role == Role::Producer ? Role::Consumer : Role::Producer; }

// Takes `role` for this object (RuntimeError when another live process holds it exclusively,
// or, for an exclusive claim, at all), and looks at the peer role once: a peer seen now makes
// a later wait end at its end of file.
py::PyResult<void> take_role(RingState& ring, Role role, presence::LockKind kind) noexcept;

// A call of `role` whose peer is still unseen: looks for it, about once a millisecond at most.
void look_for_peer(RingState& ring, Role role) noexcept;

// With the interpreter lock: whether a producer (consumer) call may go ahead; see
// py/object_entry.hpp. The call then holds its role.
[[gnu::always_inline]] inline py::PyResult<void> enter(RingState& ring, Role role) noexcept {
    static constexpr const char* kLent[] = {
        "a reserve() loan of this ring object is outstanding (its with block is running, or a buffer made "
        "from it is still alive)",
        "a borrow() loan of this ring object is outstanding (its with block is running, or a buffer made "
        "from it is still alive)",
    };
    if (auto open = py::enter(ring.gate, role, kClassName, kLent[static_cast<int>(role)]); !open) [[unlikely]]
        return open;
    // Once per object and role (and again after a fork): no system call while it is held.
    if (!ring.roles[static_cast<int>(role)].held()) [[unlikely]]
        return take_role(ring, role, presence::LockKind::Shared);
    if (!ring.role_seen[static_cast<int>(peer_of(role))].load(std::memory_order_relaxed)) [[unlikely]]
        look_for_peer(ring, role);
    return {};
}

// The type object, created once per process.
extern PyTypeObject* g_type;

// Members implemented outside ring_buffer.cpp (fast-call bodies).
py::PyResult<py::Ref> put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> get_mixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> select(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Presence and roles (ring_presence.cpp).
py::PyResult<py::Ref> others_present(PyObject* self);
py::PyResult<py::Ref> has_producer(PyObject* self);
py::PyResult<py::Ref> has_consumer(PyObject* self);
py::PyResult<py::Ref> claim_role(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* next_message(PyObject* self) noexcept;
// close()'s last step: the object's roles and presence end.
void leave_segment(RingState& ring) noexcept;

}  // namespace kelparine::ring_object
