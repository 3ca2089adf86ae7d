#include <sched.h>

#include "../core/text.hpp"
#include "../core/wait/idle.hpp"
#include "../py/gate_hooks.hpp"
#include "../py/object_entry.hpp"
#include "../py/timeout.hpp"
#include "view_object.hpp"

namespace kelparine::view_object {
namespace {

using py::PyResult;

// Nobody wakes a waiter when a hold ends (the word's protocol has no waiter count), so the
// sleeps stay short: 50 us doubling to 1 ms.
constexpr wait::ParkSchedule kLockParks{50 * wait::kMicrosecond, 0, wait::kMillisecond};
constexpr int kLockYields = 4;

std::string word_meaning(std::int32_t word) {
    if (word == kWriteLocked) return "held exclusively";
    if (word > 0) return concat("held shared by ", word, word == 1 ? " reader" : " readers");
    return "corrupt or stale, clear it";
}

py::Failure lock_timed_out(const ViewState& view, std::int32_t word) {
    return ShmError::timed_out(concat(
        "timed out after ", py::seconds_text(*view.lock_timeout), " s waiting for the lock word of '", view.name,
        "', which reads ", word, " (", word_meaning(word), "); a process that died holding it leaves it so: see ",
        "tools/kelparine-inspect ", view.name, " --clear-stale-lock"));
}

template <class Guard, class Attempt>
PyResult<Guard> wait_for(ViewState& view, Attempt&& attempt) {
    std::int32_t seen = 0;
    const wait::Deadline deadline =
        view.lock_timeout ? wait::Deadline::after_ns(static_cast<std::int64_t>(*view.lock_timeout * 1e9))
                          : wait::Deadline::never();
    py::BusyHooks hooks(view.gate, kViewRole);  // this view's other calls wait meanwhile
    std::optional<Guard> taken;
    auto check = [&](bool& moved) {
        moved = false;
        if (view.gate.closed()) return wait::Check::Cancelled;  // closed meanwhile: this call ends
        std::optional<Guard> attempted = attempt(seen);
        if (!attempted) return wait::Check::Wait;
        taken.emplace(std::move(*attempted));
        return wait::Check::Ready;
    };
    // A holder on this processor gets it back at once: a few yields, then the sleeps.
    int yields = kLockYields;
    auto park = [&](std::int64_t ns) {
        if (yields-- <= 0) return wait::sleep_for(ns);
        ::sched_yield();
        return wait::FutexResult::TimedOut;
    };
    const wait::WaitResult waited = wait::wait_until(check, park, hooks, deadline, kLockParks);
    switch (waited.outcome) {
        case wait::Outcome::Ready: return std::move(*taken);
        case wait::Outcome::TimedOut: return std::unexpected(lock_timed_out(view, seen));
        case wait::Outcome::Interrupted: return py::python_error();
        case wait::Outcome::Cancelled: break;
    }
    return std::unexpected(py::closed_error(kClassName).error());
}

}  // namespace

PyResult<ShmReadGuard> wait_shared(ViewState& view) {
    const ShmRwLock lock = view.lock();
    return wait_for<ShmReadGuard>(view, [lock](std::int32_t& seen) { return lock.try_acquire_read(seen); });
}

PyResult<ShmWriteGuard> wait_exclusive(ViewState& view) {
    const ShmRwLock lock = view.lock();
    return wait_for<ShmWriteGuard>(view, [lock](std::int32_t& seen) { return lock.try_acquire_write(seen); });
}

}  // namespace kelparine::view_object
