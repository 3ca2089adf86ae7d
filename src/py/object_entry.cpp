#include "object_entry.hpp"

#include "../core/wait/idle.hpp"
#include "gil_hooks.hpp"
#include "thread_state.hpp"

namespace kelparine::py {

PyResult<void> closed_error(const char* class_name) noexcept {
    PyErr_Format(PyExc_ValueError, "%s is closed", class_name);
    return python_error();
}

PyResult<void> refuse_closed(const ObjectGate& gate, const char* class_name) noexcept {
    if (gate.closed()) return closed_error(class_name);
    return {};
}

namespace {

// Another thread's stretch without the lock ends after a copy or a lock wait: parked on the
// gate's word, woken by its end. No deadline: the other call bounds it.
constexpr wait::ParkSchedule kGateParks{wait::kMillisecond, 0, 20 * wait::kMillisecond};

}  // namespace

void wait_for_other_holds(ObjectGate& gate) noexcept {
    // Checked with the lock held (the list is the lock's); a hold leaving the closed gate
    // changes the word after this thread read `seen`, so the park cannot miss it.
    while (gate.held_by_other_threads()) {
        const std::uint32_t seen = gate.load();
        const SavedThread saved = save_thread();
        gate.park(seen, kGateParks.max_ns);
        restore_thread(saved);
    }
}

namespace detail {

PyResult<void> enter_slow(ObjectGate& gate, ObjectGate::Role role, const char* class_name,
                          const char* lent_message) noexcept {
    for (;;) {
        switch (gate.state(role)) {
            case ObjectGate::State::Free: return {};
            case ObjectGate::State::Closed: return closed_error(class_name);
            case ObjectGate::State::Lent:
                PyErr_SetString(PyExc_RuntimeError, lent_message);
                return python_error();
            case ObjectGate::State::Busy: break;
        }
        // Parked on the gate's word until the other thread's stretch ends; Ctrl-C ends it.
        GilHooks hooks;
        std::uint32_t seen = gate.load();
        auto check = [&](bool& moved) {
            const std::uint32_t now = gate.load();
            moved = now != seen;
            seen = now;
            return gate.state(role) != ObjectGate::State::Busy ? wait::Check::Ready : wait::Check::Wait;
        };
        auto park = [&](std::int64_t ns) { return gate.park(seen, ns); };
        const wait::WaitResult waited = wait::wait_until(check, park, hooks, wait::Deadline::never(), kGateParks);
        if (waited.outcome == wait::Outcome::Interrupted) return python_error();
        // Ready: look again with the lock held; the other thread may have started another stretch.
    }
}

}  // namespace detail
}  // namespace kelparine::py
