#include "timeout.hpp"

#include <charconv>
#include <cmath>
#include <string>

namespace kelparine::py {

PyResult<Timeout> to_timeout_slow(PyObject* value, const char* param) noexcept {
    // Numbers only: int (bool included), float, and whatever converts through __float__ or
    // __index__, as time.sleep() takes them. A str is refused, not parsed.
    if (!PyNumber_Check(value) || PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a number or None, not '%.200s'", param,
                     Py_TYPE(value)->tp_name);
        return python_error();
    }
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) return python_error();
    if (std::isnan(seconds)) {
        PyErr_Format(PyExc_ValueError, "%s must be a non-negative number of seconds or None, not NaN", param);
        return python_error();
    }
    if (seconds < 0) {
        PyErr_Format(PyExc_ValueError, "%s must be a non-negative number of seconds or None, not %R", param,
                     value);
        return python_error();
    }
    if (std::isinf(seconds) || seconds >= 9.0e9) return Timeout{wait::Deadline::never(), seconds};
    return Timeout{wait::Deadline::after_ns(static_cast<std::int64_t>(std::ceil(seconds * 1e9))), seconds};
}

std::string seconds_text(double seconds) {
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, seconds);
    return ec == std::errc() ? std::string(text, end) : std::string("?");
}

}  // namespace kelparine::py
