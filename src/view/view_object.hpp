// The MappedView object's own state, shared by the files that implement its members: its
// mapping of the whole segment, the segment's name (for pickling and messages), the cursor,
// the gate that serialises its calls once they give the interpreter lock up, and the bound on
// lock waits.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "../core/platform/unix/owned_fd.hpp"
#include "../core/presence/presence.hpp"
#include "../core/rwlock.hpp"
#include "../py/boundary.hpp"
#include "../py/instance.hpp"
#include "../py/object_entry.hpp"
#include "../py/object_gate.hpp"

namespace kelparine::view_object {

// A view has one role: every call that touches the mapping takes it.
inline constexpr ObjectGate::Role kViewRole = ObjectGate::Role::Producer;
inline constexpr const char kClassName[] = "MappedView";

// Invariant: 0 <= cursor <= data_size(). The cursor is changed only with the interpreter lock
// held, so relaxed atomics suffice.
struct ViewState {
    ViewState(Mapping m, std::string segment_name, presence::Presence p) noexcept
        : mapping(std::move(m)), name(std::move(segment_name)), presence(std::move(p)) {
        // Which lock word this view's calls hold, for the waits that recover stale holds.
        if (const std::optional<FileId> file = presence.file()) {
            gate.set_lock_segment(*file);
        } else {
            gate.set_lock_segment_unknown();
        }
    }

    ShmRwLock lock() const noexcept { return ShmRwLock(mapping.base()); }
    std::byte* data() const noexcept { return mapping.base() + RWLOCK_SIZE; }
    std::uint64_t data_size() const noexcept { return mapping.size() - RWLOCK_SIZE; }
    std::uint64_t position() const noexcept { return cursor.load(std::memory_order_relaxed); }
    // Moves the cursor just past `by` bytes at `from`, where the operation worked. Not relative
    // to the cursor now: a signal handler run while waiting for the lock may have moved it, and
    // from + by is what the bounds checks vouched for.
    void advance(std::uint64_t from, std::uint64_t by) noexcept { cursor.store(from + by, std::memory_order_relaxed); }

    Mapping mapping;  // unmapped once closed and no call is left in it, or when deallocated
    std::string name;
    std::atomic<std::uint64_t> cursor{0};
    ObjectGate gate{&mapping};  // unmaps when the last call leaves the closed object
    presence::Presence presence;  // this process's presence on the segment, until close()
    // The bound on each wait for the lock word, in seconds; empty: no bound.
    std::optional<double> lock_timeout;
    // Whether a wait for the lock word clears a hold it finds stale (view_lock.cpp).
    bool recover_stale = false;
};

inline ViewState& state(PyObject* self) noexcept { return py::payload_of<ViewState>(self); }

// With the interpreter lock: whether a call may touch the view now; waits (lock given up)
// while another thread of this process is inside a call on it without the lock.
[[gnu::always_inline]] inline py::PyResult<void> enter(ViewState& view) noexcept {
    return py::enter(view.gate, kViewRole, kClassName, "a view has no loans");
}

// The holds on the lock word. One attempt with the interpreter lock held; then a wait with it
// given up (spin, yield, then sleeps of up to 1 ms), during which other calls on this view
// from other threads wait their turn. Errors: the view's lock timeout ran out (TimeoutError
// naming the word seen), the view was closed meanwhile, or a signal handler raised (Ctrl-C);
// nothing is held then. With recover_stale, the wait also clears a hold it finds stale
// (view_lock.cpp says when), and goes on.
py::PyResult<ShmReadGuard> wait_shared(ViewState& view);
py::PyResult<ShmWriteGuard> wait_exclusive(ViewState& view);

// The first attempt inline: an uncontended hold costs one compare-exchange and no call.
[[gnu::always_inline]] inline py::PyResult<ShmReadGuard> hold_shared(ViewState& view) {
    std::int32_t seen;
    if (std::optional<ShmReadGuard> held = view.lock().try_acquire_read(seen)) [[likely]]
        return std::move(*held);
    return wait_shared(view);
}

[[gnu::always_inline]] inline py::PyResult<ShmWriteGuard> hold_exclusive(ViewState& view) {
    std::int32_t seen;
    if (std::optional<ShmWriteGuard> held = view.lock().try_acquire_write(seen)) [[likely]]
        return std::move(*held);
    return wait_exclusive(view);
}

}  // namespace kelparine::view_object
