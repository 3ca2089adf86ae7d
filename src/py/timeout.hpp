// The `timeout` argument of the waiting members, as queue.Queue takes it: None (or omitted)
// waits for as long as it takes; a number of seconds >= 0 bounds the wait, 0 being a single
// attempt; infinity is the same as None.
#pragma once

#include "../core/wait/deadline.hpp"
#include "boundary.hpp"

namespace kelparine::py {

struct Timeout {
    wait::Deadline deadline;
    double seconds;  // as given (infinity for None), for messages
};

// Errors: TypeError for something that is not a number; ValueError for a negative number or NaN.
PyResult<Timeout> to_timeout_slow(PyObject* value, const char* param) noexcept;
[[gnu::always_inline]] inline PyResult<Timeout> to_timeout(PyObject* value, const char* param = "timeout") noexcept {
    if (value == nullptr || value == Py_None) return Timeout{wait::Deadline::never(), __builtin_huge_val()};
    return to_timeout_slow(value, param);
}

// "0.5" for 0.5 seconds: the shortest text that reads back as the same double.
std::string seconds_text(double seconds);

}  // namespace kelparine::py
