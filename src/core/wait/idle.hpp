// The idle strategy shared by every wait of the module: spin, then yield the processor, then
// park with back-off, giving up the caller's lock (the interpreter lock) once the wait is more
// than momentary, and asking the caller at intervals whether to stop (Ctrl-C).
//
//   1. Spin with the caller's lock held, kHeldSpins checks: catches a peer that is about to
//      deliver without the cost of giving up and retaking the lock.
//   2. Release the lock; spin with the pause hint until the watched state has stood still for
//      SettleClock::settle(). Never sched_yield: with another process runnable on this processor it gives
//      the processor away for a whole time slice (milliseconds), far longer than the settle.
//   3. Park: `park(slice)` sleeps at most `slice` (a futex wait on the watched word, or a plain
//      sleep), slices following the ParkSchedule, until the state is ready, the deadline passes,
//      the caller is interrupted or the object is closed.
//
// The settle is part of the ring's wake-up protocol (spsc/ring_wake.hpp): a waiter never parks
// on a value it has seen for less than SettleClock::settle(), which is what lets a publisher
// skip the wake-up call when it published the previous value within its shorter skip window.
#pragma once

#include <cstdint>

#include "../rwlock.hpp"  // spin_pause
#include "clock.hpp"
#include "deadline.hpp"
#include "futex.hpp"
#include "hooks.hpp"

namespace kelparine::wait {

inline constexpr unsigned kHeldSpins = 64;
// The caller is asked whether to stop at least this often (and at once after a signal).
inline constexpr std::int64_t kInterruptCheckNs = 20 * kMillisecond;

// What a check of the watched state found.
enum class Check : unsigned char { Wait, Ready, Cancelled };

enum class Outcome : unsigned char { Ready, TimedOut, Interrupted, Cancelled };

struct WaitResult {
    Outcome outcome;
    // The state became ready after a park slice ran out, with no wake-up: the peer does not
    // wake waiters (it only polls, or is not this module).
    bool found_without_wake = false;
};

// Park slices: `first_ns` while the wait is younger than `young_ns`, then doubling up to
// `max_ns`. Every slice is a bound on how late a change nobody wakes us for is noticed.
struct ParkSchedule {
    std::int64_t first_ns;
    std::int64_t young_ns;
    std::int64_t max_ns;
};

// Waits until `check(moved)` says Ready or Cancelled, or the deadline passes, or the caller is
// interrupted. `check` sets `moved` when the watched value differs from what its previous call
// saw; `park(slice_ns)` sleeps on the value the last check saw. Both run with the caller's lock
// given up, except during phase 1, and must not need it. Returns with the lock held.
template <class CheckFn, class ParkFn>
WaitResult wait_until(CheckFn&& check, ParkFn&& park, WaitHooks& hooks, const Deadline& deadline,
                      const ParkSchedule& schedule) {
    bool moved = false;
    Check state = check(moved);
    if (state != Check::Wait) return {state == Check::Ready ? Outcome::Ready : Outcome::Cancelled};
    if (deadline.is_immediate()) return {Outcome::TimedOut};

    for (unsigned spin = 0; spin < kHeldSpins; ++spin) {
        spin_pause();
        state = check(moved);
        if (state != Check::Wait) return {state == Check::Ready ? Outcome::Ready : Outcome::Cancelled};
    }

    hooks.release();
    const std::int64_t started = monotonic_ns();
    const std::int64_t settle = SettleClock::settle();
    // Read after the last check: no earlier than the moment the watched value was first seen.
    std::int64_t settled_since = SettleClock::now();
    std::int64_t next_interrupt_check = started + kInterruptCheckNs;
    std::int64_t slice = schedule.first_ns;
    bool parked_out = false;  // the last park slice ran out
    WaitResult result{Outcome::TimedOut};
    for (;;) {
        state = check(moved);
        if (state != Check::Wait) {
            result.outcome = state == Check::Ready ? Outcome::Ready : Outcome::Cancelled;
            result.found_without_wake = parked_out && state == Check::Ready;
            break;
        }
        const std::int64_t now = monotonic_ns();
        const std::int64_t ticks = SettleClock::now();
        if (moved) settled_since = ticks;
        if (deadline.expired(now)) break;
        if (now >= next_interrupt_check) {
            hooks.reacquire();
            if (hooks.interrupted()) return {Outcome::Interrupted};
            hooks.release();
            next_interrupt_check = now + kInterruptCheckNs;
        }
        if (ticks - settled_since < settle) {
            parked_out = false;
            for (int i = 0; i < 32; ++i) spin_pause();
            continue;
        }
        const FutexResult parked = park(deadline.remaining(now, slice));
        parked_out = parked == FutexResult::TimedOut;
        if (parked == FutexResult::Signal) next_interrupt_check = 0;
        if (now - started >= schedule.young_ns && slice < schedule.max_ns)
            slice = slice * 2 < schedule.max_ns ? slice * 2 : schedule.max_ns;
    }
    hooks.reacquire();
    return result;
}

// A plain sleep of `ns`, as a park for waits that no one wakes (the view's lock word).
FutexResult sleep_for(std::int64_t ns) noexcept;

}  // namespace kelparine::wait
