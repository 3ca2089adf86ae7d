#include "object_entry.hpp"

#include "../wait/idle.hpp"
#include "gate_hooks.hpp"

namespace kelparine::py {

namespace {

PyResult<void> closed_error(const char* class_name) noexcept {
    PyErr_Format(PyExc_ValueError, "%s is closed", class_name);
    return python_error();
}

// Another thread's stretch without the lock ends after a copy or a lock wait: parked on the
// gate's word, woken by its end. No deadline: the other call bounds it.
constexpr wait::ParkSchedule kGateParks{wait::kMillisecond, 0, 20 * wait::kMillisecond};

}  // namespace

PyResult<void> refuse_closed(const ObjectGate& gate, const char* class_name) noexcept {
    if (gate.closed()) return closed_error(class_name);
    return {};
}

namespace {

class UninterruptedHooks final : public wait::WaitHooks {
public:
    void release() noexcept override { saved_ = PyEval_SaveThread(); }
    void reacquire() noexcept override { PyEval_RestoreThread(saved_); }
    bool interrupted() noexcept override { return false; }

private:
    PyThreadState* saved_ = nullptr;
};

}  // namespace

void wait_until_unused(ObjectGate& gate) noexcept {
    gate.forget_threads_lost_in_fork();
    if (gate.idle()) return;
    UninterruptedHooks hooks;
    std::uint32_t seen = gate.load();
    auto check = [&](bool& moved) {
        const std::uint32_t now = gate.load();
        moved = now != seen;
        seen = now;
        return gate.idle() ? wait::Check::Ready : wait::Check::Wait;
    };
    auto park = [&](std::int64_t ns) { return gate.park(seen, ns); };
    wait::wait_until(check, park, hooks, wait::Deadline::never(), kGateParks);
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
        std::uint32_t seen = gate.load();
        auto check = [&](bool& moved) {
            const std::uint32_t now = gate.load();
            moved = now != seen;
            seen = now;
            return gate.state(role) == ObjectGate::State::Busy ? wait::Check::Wait : wait::Check::Ready;
        };
        auto park = [&](std::int64_t ns) { return gate.park(seen, ns); };
        const wait::WaitResult waited = wait::wait_until(check, park, hooks, wait::Deadline::never(), kGateParks);
        if (waited.outcome == wait::Outcome::Interrupted) return python_error();
        // Ready: look again with the lock held; the other thread may have started another stretch.
    }
}

}  // namespace detail
}  // namespace kelparine::py
