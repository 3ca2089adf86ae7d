#include <sched.h>

#include "../core/platform/unix/proc_maps.hpp"
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

// Stale holds. A hold is stale once no live holder is left; the word records no holders, so a
// wait with recover_stale infers it from three facts, all required:
//   (1) no other process is present on the segment (presence: exact for users of this module;
//       unknown never counts as absent),
//   (2) no other process maps the segment as far as /proc shows (a program that follows the
//       layout without this module holds no presence, and its holds must be respected),
//   (3) no other thread of this process is inside a call on a view of the segment (the gates'
//       CallHolds: every hold is taken and released inside such a call).
// Then it clears the word only if it still reads what the wait's last attempt saw (clear_if,
// one compare-exchange: a changed word means a live holder), and the next attempt takes it.
// Decided at the wait's periodic checks, with the interpreter lock held, at most every
// kStaleDecisionNs. (3) is exact only under that lock, and (1) and (3) are asked again after
// the /proc scan (which runs with the lock given up), just before the clear.
// Limits: two threads of this process waiting on one stale hold see each other in (3), so
// neither recovers it. A holder needs the word cleared first, so only an unconditional clear
// (a creator's map()) followed by a new exclusive hold, both between the last look at (1) and
// the compare-exchange, could be mistaken for the dead hold.
constexpr std::int64_t kStaleDecisionNs = 100 * wait::kMillisecond;

enum class Finding : unsigned char { Undecided, Stale, OthersPresent, LocalCall, Mapped, Unknown };

// The lock wait's hooks: a busy stretch's, and with recover_stale the decision on stale holds.
class LockWaitHooks final : public wait::WaitHooks {
public:
    // `seen`: the word's value at the wait's last attempt, updated by the wait as it goes.
    LockWaitHooks(ViewState& view, const std::int32_t& seen) noexcept
        : busy_(view.gate, kViewRole), view_(view), seen_(seen), recover_(view.recover_stale) {}

    void release() noexcept override { busy_.release(); }
    void reacquire() noexcept override { busy_.reacquire(); }
    bool interrupted() noexcept override {
        if (busy_.interrupted()) return true;  // a signal handler raised first
        if (recover_) decide();
        return false;
    }

    bool recovering() const noexcept { return recover_; }
    Finding finding() const noexcept { return finding_; }
    pid_t mapper() const noexcept { return mapper_; }

private:
    void decide() noexcept {
        const std::int64_t now = wait::monotonic_ns();
        if (decided_once_ && now - last_decision_ < kStaleDecisionNs) return;
        decided_once_ = true;
        last_decision_ = now;
        const std::int32_t seen = seen_;
        // Empty once closed (a signal handler may have closed the view): the wait ends anyway.
        const std::optional<FileId> file = view_.presence.file();
        if (seen == kUnlocked || !file || view_.gate.closed()) return;
        finding_ = judge(*file);
        if (finding_ == Finding::Stale) (void)view_.lock().clear_if(seen);
    }

    Finding judge(FileId file) noexcept {
        if (ObjectGate::lock_segment_in_calls_of_other_threads(file)) return Finding::LocalCall;  // (3)
        if (const Finding present = presence_finding(); present != Finding::Stale) return present;  // (1)
        busy_.release();  // reading every process's maps takes a while: other threads run meanwhile
        const MappedBy mapped = other_process_mapping(file);  // (2)
        busy_.reacquire();
        if (!mapped.known || view_.gate.closed()) return Finding::Unknown;
        if (mapped.pid != 0) {
            mapper_ = mapped.pid;
            return Finding::Mapped;
        }
        // Again, as late as possible: a call or a process may have arrived during the scan.
        if (ObjectGate::lock_segment_in_calls_of_other_threads(file)) return Finding::LocalCall;
        return presence_finding();
    }

    Finding presence_finding() const noexcept {
        const std::optional<bool> present = view_.presence.others_present();
        if (!present) return Finding::Unknown;
        return *present ? Finding::OthersPresent : Finding::Stale;
    }

    py::BusyHooks busy_;  // this view's other calls wait meanwhile
    ViewState& view_;
    const std::int32_t& seen_;
    const bool recover_;
    bool decided_once_ = false;
    std::int64_t last_decision_ = 0;
    Finding finding_ = Finding::Undecided;
    pid_t mapper_ = 0;
};

// What presence says about the hold, for the timeout's message; empty when unknown.
std::string presence_note(const ViewState& view, const LockWaitHooks& hooks) {
    const std::optional<bool> present = view.presence.others_present();
    if (!present) return {};
    if (*present) return "; other processes are present on the segment, so the hold may be live";
    constexpr std::string_view kAlone = "; no other process is present on the segment, ";
    if (!hooks.recovering())
        return concat(kAlone, "so the hold is likely stale: set_lock_timeout(..., recover_stale=True) recovers it");
    switch (hooks.finding()) {
        case Finding::LocalCall:
            return concat(kAlone, "but another thread of this process is in a call on it, so the hold may be live");
        case Finding::Mapped:
            return concat(kAlone, "but process ", hooks.mapper(), " maps it, so the hold may be live");
        default:
            return concat(kAlone, "so the hold is likely stale: a longer timeout gives recover_stale time to clear it");
    }
}

py::Failure lock_timed_out(const ViewState& view, std::int32_t word, const LockWaitHooks& hooks) {
    return ShmError::timed_out(concat(
        "timed out after ", py::seconds_text(*view.lock_timeout), " s waiting for the lock word of '", view.name,
        "', which reads ", word, " (", word_meaning(word), "); a process that died holding it leaves it so: see ",
        "tools/kelparine-inspect ", view.name, " --clear-stale-lock", presence_note(view, hooks)));
}

template <class Guard, class Attempt>
PyResult<Guard> wait_for(ViewState& view, Attempt&& attempt) {
    std::int32_t seen = 0;
    const wait::Deadline deadline =
        view.lock_timeout ? wait::Deadline::after_ns(static_cast<std::int64_t>(*view.lock_timeout * 1e9))
                          : wait::Deadline::never();
    LockWaitHooks hooks(view, seen);
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
        case wait::Outcome::TimedOut: return std::unexpected(lock_timed_out(view, seen, hooks));
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
