// Keeps the cyclic garbage collector from starting on its own while a scope is active.
//
// Allocating a container (a list, say) can start a collection, and a collection runs the
// finalizers of unreachable cycles: arbitrary Python code. Inside a hold on the segment lock,
// or between peeking a ring frame and consuming it, such code could wait for the hold its own
// thread has (a deadlock no other process can end) or pop the very frame being decoded (the
// message delivered twice). Collections resume when the scope ends; a collector the script had
// disabled stays disabled.
#pragma once

#include "ref.hpp"

namespace kelparine::py {

class GcPause {
public:
    GcPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

}  // namespace kelparine::py
