// Keeps the cyclic garbage collector from starting on its own while a scope is active.
//
// Allocating a container (a list, say) can start a collection, and a collection runs the
// finalizers of unreachable cycles: arbitrary Python code. Inside a hold on the segment lock,
// or between peeking a ring frame and consuming it, such code could wait for the hold its own
// thread has (a deadlock no other process can end) or pop the very frame being decoded (the
// message delivered twice).
//
// The collector switch is per interpreter, so a pause is made invisible to other threads: it is
// only in force while its thread holds the interpreter lock. A pause starts with the lock held
// (after any wait for a hold, not before), and every stretch that gives the lock up inside one
// ends it for the stretch (py::save_thread and py::restore_thread). Pauses nest: a count, touched only under the interpreter
// lock, lets the outermost one switch the collector off and the last to end restore what the
// program had (a collector the program disabled stays disabled, and a gc.disable() or enable()
// made by another thread during a suspension is what the pause finds when it resumes).
#pragma once

#include "ref.hpp"

namespace kelparine::py {

namespace gc_pause_detail {
// Pauses in force, and whether the collector was on when the outermost began. Read and written
// only with the interpreter lock held, by the one thread whose pauses these are (the module
// claims no support for an interpreter with a lock of its own, so that lock is process-wide).
inline int depth = 0;
inline bool was_enabled = false;

inline void begin(int pauses) noexcept {
    if (depth == 0) was_enabled = PyGC_Disable() != 0;
    depth += pauses;
}
inline void end(int pauses) noexcept {
    depth -= pauses;
    if (depth == 0 && was_enabled) PyGC_Enable();
}
}  // namespace gc_pause_detail

// Construct only with the interpreter lock held; give the lock up inside the scope only through
// py::save_thread.
class GcPause {
public:
    GcPause() noexcept { gc_pause_detail::begin(1); }
    ~GcPause() { gc_pause_detail::end(1); }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
};

}  // namespace kelparine::py
