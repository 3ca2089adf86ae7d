#include "args.hpp"

namespace kelparine::py::detail {
namespace {

// Index of the parameter called `key`, or -1.
Py_ssize_t find_parameter(const char* const* names, std::size_t count, PyObject* key) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

}  // namespace

PyResult<std::uint64_t> to_u64_general(PyObject* value, const char* param) noexcept {
    if (PyLong_Check(value)) {
        const unsigned long long converted = PyLong_AsUnsignedLongLong(value);
        if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return python_error();
        return static_cast<std::uint64_t>(converted);
    }
    if (param != nullptr && !PyIndex_Check(value)) {
        PyErr_Format(PyExc_TypeError, "'%s' must be an integer, not '%.200s'", param, Py_TYPE(value)->tp_name);
        return python_error();
    }
    Ref index = Ref::steal(PyNumber_Index(value));  // the interpreter's TypeError for non-integers
    if (!index) return python_error();
    const unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return python_error();
    return static_cast<std::uint64_t>(converted);
}

bool bind_slow(const char* function, const char* const* names, std::size_t count, std::size_t required,
               std::size_t positional, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) noexcept {
    if (static_cast<std::size_t>(nargs) > positional && positional < count) {
        // Keyword-only parameters exist: the count names positional arguments, as CPython does.
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)", function,
                     positional, positional == 1 ? "" : "s", nargs);
        return false;
    }
    if (static_cast<std::size_t>(nargs) > count) {
        if (count == 0) {
            PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", function, nargs);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", function, count,
                         count == 1 ? "" : "s", nargs);
        }
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = find_parameter(names, count, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
            return false;
        }
        if (out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)", function,
                         names[index], index + 1);
            return false;
        }
        out[index] = args[nargs + k];
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function, names[i],
                         i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace kelparine::py::detail
