// The interpreter's side of a long wait in the core: the interpreter lock is given up while the
// wait sleeps or spins, and Ctrl-C (any signal handler that raises) ends it, unless the wait
// is made uninterruptible (a close() waiting for other threads: the object is closed already,
// and the signal is handled after).
#pragma once

#include "../core/wait/hooks.hpp"
#include "ref.hpp"
#include "thread_state.hpp"

namespace kelparine::py {

class GilHooks final : public wait::WaitHooks {
public:
    explicit GilHooks(bool interruptible = true) noexcept : interruptible_(interruptible) {}
    GilHooks(const GilHooks&) = delete;
    GilHooks& operator=(const GilHooks&) = delete;

    void release() noexcept override { saved_ = save_thread(); }
    void reacquire() noexcept override { restore_thread(saved_); }
    // Runs pending signal handlers (in the main thread); true when one raised.
    bool interrupted() noexcept override { return interruptible_ && PyErr_CheckSignals() != 0; }

private:
    bool interruptible_;
    SavedThread saved_{};
};

}  // namespace kelparine::py
