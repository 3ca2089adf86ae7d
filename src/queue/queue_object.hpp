// The Queue object's own state, shared by the files that implement its members: the mapping,
// the segment's name (empty for an anonymous queue) or descriptor (an anonymous queue's memfd,
// handed to spawned children), the gate that keeps the mapping for every call, this process's
// presence on the segment with the roles its calls took, and its share of the member slots.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "../core/platform/unix/owned_fd.hpp"
#include "../core/presence/presence.hpp"
#include "../core/queue/member_slots.hpp"
#include "../core/queue/mpmc_queue.hpp"
#include "../py/boundary.hpp"
#include "../py/instance.hpp"
#include "../py/object_gate.hpp"

namespace kelparine::queue_object {

using Role = ObjectGate::Role;

struct QueueState {
    QueueState(Mapping m, std::string segment_name, OwnedFd memfd, presence::Presence p, std::uint64_t bound) noexcept
        : mapping(std::move(m)),
          name(std::move(segment_name)),
          fd(std::move(memfd)),
          presence(std::move(p)),
          slots(member_slots::Membership::join(presence)),
          maxsize(bound) {}
    MpmcQueue queue() const noexcept { return MpmcQueue(mapping.base(), mapping.size()); }
    bool anonymous() const noexcept { return name.empty(); }

    Mapping mapping;  // unmapped once closed and no call is left in it, or when deallocated
    std::string name;
    OwnedFd fd;
    ObjectGate gate{&mapping};
    // Declared before the slots and roles, which use its description: destroyed after them.
    presence::Presence presence;
    member_slots::Membership slots;
    presence::RoleHold roles[2];
    // Whether a live process was seen holding each role: a wait ends at the peer's end only
    // after the peer was seen. Relaxed: only ever set by waits, reset when an end is reported.
    std::atomic<bool> role_seen[2] = {false, false};
    std::int64_t next_peer_look[2] = {0, 0};
    std::uint64_t maxsize;  // 0: bounded by bytes only
};

inline QueueState& state(PyObject* self) noexcept { return py::payload_of<QueueState>(self); }

inline constexpr const char kClassName[] = "Queue";

inline presence::Role as_presence_role(Role role) noexcept { return static_cast<presence::Role>(role); }
inline Role peer_of(Role role) noexcept { return role == Role::Producer ? Role::Consumer : Role::Producer; }

extern PyTypeObject* g_type;

// With the interpreter lock: refuses a closed queue; takes `role` at the object's first call
// of it (and again after a fork), and looks for the peer role until it has been seen.
py::PyResult<void> enter(QueueState& s, Role role) noexcept;
// Looks for the peer of `role` (about once a millisecond at most); a peer seen makes a later
// wait end at the peer's end.
void look_for_peer(QueueState& s, Role role) noexcept;

// A member slot for the duration of one call; returned with the interpreter lock held.
class SlotLease {
public:
    SlotLease(QueueState& s, std::uint16_t slot) noexcept : s_(s), slot_(slot) {}
    ~SlotLease() { s_.slots.release(slot_); }
    SlotLease(const SlotLease&) = delete;
    SlotLease& operator=(const SlotLease&) = delete;
    std::uint16_t slot() const noexcept { return slot_; }

private:
    QueueState& s_;
    std::uint16_t slot_;
};
py::PyResult<std::uint16_t> acquire_slot(QueueState& s) noexcept;

// Members implemented in queue_transfer.cpp.
py::PyResult<py::Ref> put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> put_nowait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> get_nowait(PyObject* self);
py::PyResult<py::Ref> put_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
py::PyResult<py::Ref> get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// A queue's data capacity from an int: rounded up to a power of two of at least 64 bytes.
py::PyResult<std::uint64_t> to_capacity(PyObject* value) noexcept;

// For SpscRingBuffer.select(): whether `object` is a Queue.
bool is_queue(PyObject* object) noexcept;

}  // namespace kelparine::queue_object

namespace kelparine {

py::PyResult<PyTypeObject*> queue_type() noexcept;
// A Queue object over `mapping` (a queue header already written or checked) of the segment
// `name` (empty: anonymous, `memfd` its descriptor).
py::PyResult<py::Ref> new_queue(Mapping mapping, std::string name, OwnedFd memfd, presence::Presence presence,
                                std::uint64_t maxsize);

}  // namespace kelparine
