#include "object_entry.hpp"

#include "../wait/idle.hpp"
#include "gate_hooks.hpp"
#include "gil_hooks.hpp"

namespace kelparine::py {

PyResult<void> closed_error(const char* class_name) noexcept {
    PyErr_Format(PyExc_ValueError, "%s is closed", class_name);
    return python_error();
}

namespace {

// Another thread's stretch without the lock ends after a copy or a lock wait: parked on the
// gate's word, woken by its end. No deadline: the other call bounds it.
constexpr wait::ParkSchedule kGateParks{wait::kMillisecond, 0, 20 * wait::kMillisecond};

// Waits, parked on the gate's word, until `done()` holds.
template <class Done>
wait::WaitResult wait_on_gate(ObjectGate& gate, wait::WaitHooks& hooks, Done done) noexcept {
    std::uint32_t seen = gate.load();
    auto check = [&](bool& moved) {
        const std::uint32_t now = gate.load();
        moved = now != seen;
        seen = now;
        return done() ? wait::Check::Ready : wait::Check::Wait;
    };
    auto park = [&](std::int64_t ns) { return gate.park(seen, ns); };
    return wait::wait_until(check, park, hooks, wait::Deadline::never(), kGateParks);
}

}  // namespace

PyResult<void> refuse_closed(const ObjectGate& gate, const char* class_name) noexcept {
    if (gate.closed()) return closed_error(class_name);
    return {};
}

void wait_until_unused(ObjectGate& gate) noexcept {
    gate.forget_threads_lost_in_fork();
    if (gate.idle()) return;
    GilHooks hooks(false);  // not abandoned on Ctrl-C: the object is closed already
    wait_on_gate(gate, hooks, [&] { return gate.idle(); });
}

namespace detail {

PyResult<void> enter_slow(ObjectGate& gate, ObjectGate::Role role, const char* class_name,
                          const char* lent_message) noexcept {
    gate.forget_threads_lost_in_fork();
    for (;;) {
        switch (gate.state(role)) {
            case ObjectGate::State::Free: return {};
            case ObjectGate::State::Closed: return closed_error(class_name);
            case ObjectGate::State::Lent:
                PyErr_SetString(PyExc_RuntimeError, lent_message);
                return python_error();
            case ObjectGate::State::Busy: break;
        }
        ObjectGate* gates[] = {&gate};
        GateHooks hooks(gates, role, false);
        const wait::WaitResult waited =
            wait_on_gate(gate, hooks, [&] { return gate.state(role) != ObjectGate::State::Busy; });
        if (waited.outcome == wait::Outcome::Interrupted) return python_error();
        // Ready: look again with the lock held; the other thread may have started another stretch.
    }
}

}  // namespace detail
}  // namespace kelparine::py
