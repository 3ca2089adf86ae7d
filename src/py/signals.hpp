// Lets a spinning waiter notice Ctrl-C: runs pending signal handlers and reports whether one
// raised. Only polled while waiting, never while a hold is in force.
#pragma once

#include "ref.hpp"

namespace kelparine::py {

struct SignalRaised {
    bool operator()() const noexcept { return PyErr_CheckSignals() != 0; }
};

}  // namespace kelparine::py
