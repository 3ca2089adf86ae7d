// Stretches of a call on a view or ring object run with the interpreter lock given up and the
// call's role marked busy, so that other calls of the role from this process's other threads
// wait until the stretch ends (a long copy, a view's wait for its lock word). The mapping
// itself is kept by the call's CallHold, not by these.
#pragma once

#include "../core/wait/hooks.hpp"
#include "object_gate.hpp"
#include "ref.hpp"
#include "thread_state.hpp"

namespace kelparine::py {

// Hooks for a wait during which the role stays busy; Ctrl-C ends the wait.
class BusyHooks final : public wait::WaitHooks {
public:
    BusyHooks(ObjectGate& gate, ObjectGate::Role role) noexcept : gate_(gate), role_(role) {}
    BusyHooks(const BusyHooks&) = delete;
    BusyHooks& operator=(const BusyHooks&) = delete;

    void release() noexcept override {
        gate_.mark_busy(role_);
        saved_ = save_thread();
    }
    void reacquire() noexcept override {
        restore_thread(saved_);
        gate_.clear_busy(role_);
    }
    bool interrupted() noexcept override { return PyErr_CheckSignals() != 0; }

private:
    ObjectGate& gate_;
    ObjectGate::Role role_;
    SavedThread saved_{};
};

// A stretch without the interpreter lock inside a call (a long copy), the role busy for the
// scope. Nothing in the scope may touch a Python object.
class LockFreeStretch {
public:
    LockFreeStretch(ObjectGate& gate, ObjectGate::Role role) noexcept : gate_(gate), role_(role) {
        gate_.mark_busy(role_);
        saved_ = save_thread();
    }
    ~LockFreeStretch() {
        restore_thread(saved_);
        gate_.clear_busy(role_);
    }
    LockFreeStretch(const LockFreeStretch&) = delete;
    LockFreeStretch& operator=(const LockFreeStretch&) = delete;

private:
    ObjectGate& gate_;
    ObjectGate::Role role_;
    SavedThread saved_{};
};

// Copies at least this long give up the interpreter lock while they run: below it, giving the
// lock up and taking it back costs more than the other threads gain.
inline constexpr std::size_t kLockFreeCopyBytes = 256 * 1024;

// Runs `copy`, which moves `bytes` bytes of the object's mapping, in a LockFreeStretch of `role`
// when it is that long (so it must not touch a Python object, and its buffers must be pinned or
// seen by no other thread).
template <class Copy>
[[gnu::always_inline]] inline void copy_maybe_unlocked(ObjectGate& gate, ObjectGate::Role role, std::uint64_t bytes,
                                                       Copy&& copy) {
    if (bytes >= kLockFreeCopyBytes) [[unlikely]] {
        LockFreeStretch unlocked(gate, role);
        copy();
    } else {
        copy();
    }
}

}  // namespace kelparine::py
