// Hooks for a wait inside a call on one or more view or ring objects: the interpreter lock is
// given up with each object's gate counting this thread in (so that close() waits for it to
// leave the mapping alone) and, for a stretch that other calls of the role must not overlap,
// with the role marked busy; Ctrl-C ends the wait.
#pragma once

#include <span>

#include "../object_gate.hpp"
#include "../wait/hooks.hpp"
#include "ref.hpp"

namespace kelparine::py {

class GateHooks final : public wait::WaitHooks {
public:
    GateHooks(std::span<ObjectGate* const> gates, ObjectGate::Role role, bool busy) noexcept
        : gates_(gates), role_(role), busy_(busy) {}
    GateHooks(const GateHooks&) = delete;
    GateHooks& operator=(const GateHooks&) = delete;

    void release() noexcept override {
        for (ObjectGate* gate : gates_) gate->leave_lock(busy_, role_);
        saved_ = PyEval_SaveThread();
    }
    void reacquire() noexcept override {
        PyEval_RestoreThread(saved_);
        for (ObjectGate* gate : gates_) gate->retake_lock(busy_, role_);
    }
    bool interrupted() noexcept override { return PyErr_CheckSignals() != 0; }

private:
    std::span<ObjectGate* const> gates_;
    ObjectGate::Role role_;
    bool busy_;
    PyThreadState* saved_ = nullptr;
};

// A stretch without the interpreter lock inside a call (a long copy): the role is marked busy
// and the thread counted in for the scope. Nothing in the scope may touch a Python object.
class LockFreeStretch {
public:
    LockFreeStretch(ObjectGate& gate, ObjectGate::Role role) noexcept : gate_(gate), role_(role) {
        gate_.leave_lock(true, role_);
        saved_ = PyEval_SaveThread();
    }
    ~LockFreeStretch() {
        PyEval_RestoreThread(saved_);
        gate_.retake_lock(true, role_);
    }
    LockFreeStretch(const LockFreeStretch&) = delete;
    LockFreeStretch& operator=(const LockFreeStretch&) = delete;

private:
    ObjectGate& gate_;
    ObjectGate::Role role_;
    PyThreadState* saved_ = nullptr;
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
