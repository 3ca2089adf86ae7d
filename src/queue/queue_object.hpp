// The Queue object's own state, shared by the files that implement its members: the mapping,
// the segment's name (empty for an anonymous queue) or descriptor (an anonymous queue's memfd,
// handed to spawned children), the gate that keeps the mapping for every call, this process's
// presence on the segment with the roles its calls took, and its share of the member slots.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "../core/platform/unix/owned_fd.hpp"
#include "../core/presence/presence.hpp"
#include "../core/queue/member_slots.hpp"
#include "../core/queue/mpmc_queue.hpp"
#include "../py/boundary.hpp"
#include "../py/instance.hpp"
#include "../py/object_gate.hpp"
#include "queue_items.hpp"

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

    Mapping mapping;  // kept until the object is freed: qsize(), empty() and full() work after close()
    std::string name;
    OwnedFd fd;
    ObjectGate gate{nullptr};
    // Declared before the slots and roles, which use its description: destroyed after them.
    presence::Presence presence;
    member_slots::Membership slots;
    presence::RoleHold roles[2];
    // Whether a live process was seen holding each role: a wait ends at the peer's end only
    // after the peer was seen. Relaxed: only ever set by waits, reset when an end is reported.
    std::atomic<bool> role_seen[2] = {false, false};
    // Whether this object has reported the end of each role: from then on only a peer it sees
    // itself counts, not the queue's record that one was once there.
    std::atomic<bool> end_reported[2] = {false, false};
    std::int64_t next_peer_look[2] = {0, 0};
    std::uint64_t maxsize;  // 0: bounded by bytes only
    // The awaits of this process's event loops on each role (queue_async.cpp): while any is
    // armed, one member slot per role is held, its waiter bit set, so that the other side's
    // existing wake reaches the process's waiter thread. `generation` is the process
    // generation that took the slot (a fork child's awaits never touch the parent's).
    struct AwaitHold {
        std::uint32_t count = 0;
        std::uint16_t slot = 0;
        bool held = false;
        std::uint64_t generation = 0;
    };
    AwaitHold awaits[2];
};

inline QueueState& state(PyObject* self) noexcept { return py::payload_of<QueueState>(self); }

inline constexpr const char kClassName[] = "Queue";

inline presence::Role as_presence_role(Role role) noexcept { return static_cast<presence::Role>(role); }
inline Role peer_of(Role role) noexcept { return role == Role::Producer ? Role::Consumer : Role::Producer; }

extern PyTypeObject* g_type;

// How late a gone producer's record at head, or a gone holder of the consumer lock, is noticed.
inline constexpr std::int64_t kStuckSliceNs = 10'000'000;

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

// Whether the peer of `role` has ended: held by no live process, after it was seen.
bool peer_gone(QueueState& s, Role role) noexcept;
// The error a wait of `role` raises at its peer's end (EOFError or BrokenPipeError), reported once.
py::Failure peer_gone_error(QueueState& s, Role role);
// One attempt to put `items` (no wait): how many went in.
py::PyResult<std::size_t> put_now(QueueState& s, std::span<const EncodedItem> items);
// An item no record of this queue can carry: ValueError (also for a closed queue).
py::PyResult<void> check_fits(const QueueState& s, const EncodedItem& item);

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

// One queue among the objects a select() waits on: a consumer (it takes the consumer role and
// a member slot for the wait), ready when an item looks ready, or when the queue is empty and
// its producers are gone (its get() then raises EOFError). Made and ended with the
// interpreter lock held; the other members run without it.
class Selected {
public:
    explicit Selected(QueueState& s) noexcept : s_(&s) {}
    Selected(Selected&& other) noexcept;
    Selected& operator=(Selected&&) = delete;
    ~Selected();
    py::PyResult<void> begin() noexcept;
    QueueState& state() const noexcept { return *s_; }
    bool ready() const noexcept;
    // Before a park: announces the wait, and returns the sequence to park on (on word()).
    std::uint32_t arm() noexcept;
    const std::uint32_t* word() const noexcept;
    // Looks for the producers once (a system call); true when they are gone and it is empty.
    bool look() noexcept;
    bool ended() const noexcept { return ended_; }
    // Whether something claimed is not yet ready (its producer may be gone: parks stay short).
    bool in_flight() const noexcept;
    // A short park ran out with something in flight: ready, so that its get() looks with the
    // lock (where a gone producer's record is skipped).
    void stuck() noexcept { retry_ = true; }

private:
    QueueState* s_;
    bool retry_ = false;
    std::uint16_t slot_ = 0;
    bool leased_ = false;
    bool announced_ = false;
    bool ended_ = false;
};

}  // namespace kelparine::queue_object

namespace kelparine {

py::PyResult<PyTypeObject*> queue_type() noexcept;
// A Queue object over `mapping` (a queue header already written or checked) of the segment
// `name` (empty: anonymous, `memfd` its descriptor).
py::PyResult<py::Ref> new_queue(Mapping mapping, std::string name, OwnedFd memfd, presence::Presence presence,
                                std::uint64_t maxsize);

}  // namespace kelparine
