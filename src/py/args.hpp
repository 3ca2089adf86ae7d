// Argument binding for fast-call members (METH_FASTCALL | METH_KEYWORDS) and the conversions
// shared by every member. Binding failures raise TypeError in CPython's own wording.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "boundary.hpp"

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // ob_digit; included by Python.h itself from 3.11 on
#endif

namespace kelparine::py {

// A member's parameters in text-signature order; the first `required` have no default, and
// the first `positional` may be given by position (those after it are keyword-only, after the
// text signature's bare '*'). Invariant: required <= positional <= N.
template <std::size_t N>
struct Signature {
    const char* function;
    std::array<const char*, N> names;
    std::size_t required;
    std::size_t positional = N;
};

namespace detail {
// Slow path: keywords present or a positional count out of range.
bool bind_slow(const char* function, const char* const* names, std::size_t count, std::size_t required,
               std::size_t positional, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) noexcept;
}  // namespace detail

// Binds the vector-call arguments to `out` (borrowed; nullptr where an optional parameter was
// not given). Returns false with TypeError set for surplus, missing, duplicate or unknown ones.
template <std::size_t N>
inline bool bind(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, std::array<PyObject*, N>& out) noexcept {
    const auto count = static_cast<std::size_t>(nargs);
    if (kwnames == nullptr && count >= signature.required && count <= signature.positional) {
        for (std::size_t i = 0; i < N; ++i) out[i] = i < count ? args[i] : nullptr;
        return true;
    }
    return detail::bind_slow(signature.function, signature.names.data(), N, signature.required,
                             signature.positional, args, nargs, kwnames, out.data());
}

// Offsets and lengths are almost always exact ints of one internal digit; reading that digit
// directly skips the general conversion on the hot paths. Returns false when not applicable.
inline bool small_nonnegative_int(PyObject* value, std::uint64_t& out) noexcept {
    if (!PyLong_CheckExact(value)) return false;
#if PY_VERSION_HEX >= 0x030C0000
    auto* number = reinterpret_cast<PyLongObject*>(value);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    const Py_ssize_t compact = PyUnstable_Long_CompactValue(number);
    if (compact < 0) return false;
    out = static_cast<std::uint64_t>(compact);
    return true;
#else
    const Py_ssize_t digits = Py_SIZE(value);
    if (digits < 0 || digits > 1) return false;
    out = digits == 0 ? 0 : static_cast<std::uint64_t>(reinterpret_cast<PyLongObject*>(value)->ob_digit[0]);
    return true;
#endif
}

namespace detail {
PyResult<std::uint64_t> to_u64_general(PyObject* value, const char* param) noexcept;
}  // namespace detail

// An unsigned 64-bit integer from an int (bool included) or any object with __index__.
// Not an integer: TypeError naming `param`, or the interpreter's own TypeError when `param` is
// null (values inside containers, such as schema counts). Negative or too large: the
// interpreter's OverflowError.
[[gnu::always_inline]] inline PyResult<std::uint64_t> to_u64(PyObject* value, const char* param) noexcept {
    if (std::uint64_t small; small_nonnegative_int(value, small)) return small;
    return detail::to_u64_general(value, param);
}

// The strict UTF-8 form of `value`, a str (or subclass), valid while it lives; lone surrogates
// raise the interpreter's UnicodeEncodeError.
inline PyResult<std::string_view> utf8_of(PyObject* value) noexcept {
    // Compact ASCII strings (every type tag, most names) are their own UTF-8 form.
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_COMPACT_ASCII(value))
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(value)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return python_error();
    return std::string_view(data, static_cast<std::size_t>(size));
}

// A str argument as UTF-8; anything else: TypeError naming `param`.
inline PyResult<std::string_view> to_utf8(PyObject* value, const char* param) noexcept {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "'%s' must be str, not '%.200s'", param, Py_TYPE(value)->tp_name);
        return python_error();
    }
    return utf8_of(value);
}

// A schema entry's type tag as UTF-8; anything else: TypeError.
inline PyResult<std::string_view> tag_to_utf8(PyObject* value) noexcept {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "type tag must be str, not '%.200s'", Py_TYPE(value)->tp_name);
        return python_error();
    }
    return utf8_of(value);
}

// A list or list subclass; else TypeError naming `param`.
inline PyResult<PyObject*> to_list(PyObject* value, const char* param) noexcept {
    if (!PyList_Check(value)) {
        PyErr_Format(PyExc_TypeError, "'%s' must be list, not '%.200s'", param, Py_TYPE(value)->tp_name);
        return python_error();
    }
    return value;
}

// A list or tuple, or a subclass of either; else TypeError naming `param`. The message names
// list alone, as it did before tuples were accepted.
inline PyResult<PyObject*> to_list_or_tuple(PyObject* value, const char* param) noexcept {
    if (PyTuple_Check(value)) return value;
    return to_list(value, param);
}

// A Python int from an unsigned 64-bit value.
inline PyResult<Ref> from_u64(std::uint64_t value) noexcept {
    Ref result = Ref::steal(PyLong_FromUnsignedLongLong(value));
    if (!result) return python_error();
    return result;
}

}  // namespace kelparine::py
