// A process's member slots on queue segments (queue_layout.hpp): which slots it holds, and which
// of them are idle, shared by every Queue object of the process on one segment.
//
// A slot is held by an exclusive lock on its byte (kSlotByteBase + slot), taken through the
// process's one open file description of the segment (presence.hpp), so the kernel drops it
// when the process ends. Every put, get or wait uses a slot of its own for its duration: the
// threads of one process each need their own, since a slot names one writer of records and one
// holder of the consumer lock. Slots are kept locked when a call is done with them (idle), so
// that the next call takes one without a system call.
//
// Several objects of one process on one segment share the description, and F_OFD_GETLK never
// reports the asking description's own locks: so the pool is per segment (keyed by the file),
// and it answers liveness for its own slots itself.
//
// Fork: a child's description is a new one (presence::Presence::after_fork_in_child) holding
// no slot lock; the pool forgets the parent's slots at the child's first use (the generation).
//
// Not thread-safe: callers serialise every call (the binding holds the interpreter lock), but
// alive() may be asked by a thread that holds the consumer lock without that lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "../presence/presence.hpp"
#include "mpmc_queue.hpp"

namespace kelparine::member_slots {

class Pool;

// One Queue object's share of its segment's pool. Move-only; leaving drops the pool with its
// last member (its slot locks are released, so other processes see those slots free).
class Membership {
public:
    Membership() noexcept = default;
    // Joins (or starts) the pool of the segment `presence` is on. Unjoined when the file is
    // unknown or memory is short: acquire() then finds no slot.
    static Membership join(const presence::Presence& presence) noexcept;
    Membership(Membership&& other) noexcept;
    Membership& operator=(Membership&& other) noexcept;
    Membership(const Membership&) = delete;
    Membership& operator=(const Membership&) = delete;
    ~Membership() { leave(); }
    void leave() noexcept;

    // A slot for one call: an idle one, else a newly locked and adopted one (this process's
    // first calls, or more threads at once than before). Empty when none can be had: presence
    // is unknown, or all kSlotCount are held by live processes or still named by gone ones.
    std::optional<std::uint16_t> acquire(MpmcQueue& queue, const presence::Presence& presence) noexcept;
    // The call is done with `slot`; it stays this process's, idle.
    void release(std::uint16_t slot) noexcept;
    // Liveness as SlotLiveness needs it; valid after an acquire() of this process generation.
    SlotLiveness& liveness() noexcept;

private:
    Pool* pool_ = nullptr;
};

}  // namespace kelparine::member_slots
