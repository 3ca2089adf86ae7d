#include "value_codec.hpp"

#include <climits>
#include <string>

#include "../text.hpp"

namespace kelparine {
namespace {

using py::PyResult;
using py::Ref;

constexpr std::uint64_t kLengthPrefix = 4;

// type(value).__name__ when it is a str, else the type's C name (tp_name): a metaclass can
// make __name__ anything, or raise. A failure other than an Exception (KeyboardInterrupt
// raised by a signal handler meanwhile) is passed on rather than swallowed.
PyResult<std::string> type_name(PyObject* value) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size))
            return std::string(text, static_cast<std::size_t>(size));
    }
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return py::python_error();
        PyErr_Clear();
    }
    return std::string(Py_TYPE(value)->tp_name);
}

// A failure whose message names the value's type.
template <class Message>
py::Failure failure_naming_type(PyObject* value, Message&& message) {
    auto name = type_name(value);
    if (!name) return std::move(name.error());
    return ShmError::invalid_argument(message(*name));
}

[[gnu::cold]] py::Failure unsupported_type(PyObject* value) {
    return failure_naming_type(value, [](const std::string& name) {
        return concat("unsupported type '", name, "'; supported: bool, int, float, str, bytes, bytearray");
    });
}

PyResult<void> pack_str(PyObject* value, ByteBuffer& out) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);  // strict: UnicodeEncodeError passes
    if (utf8 == nullptr) return py::python_error();
    const auto length = static_cast<std::uint64_t>(size);
    if (length > UINT32_MAX)
        return py::fail(ShmError::invalid_argument(concat("str too long: its UTF-8 form of ", length,
                                                          " bytes does not fit the 32-bit length prefix")));
    std::byte* at = out.extend(kLengthPrefix + length);
    store_le<std::uint32_t>(at, static_cast<std::uint32_t>(length));
    std::memcpy(at + kLengthPrefix, utf8, length);
    return {};
}

py::Failure not_enough(std::string_view tag_text, std::uint64_t need, std::uint64_t have) {
    return ShmError::invalid_argument(concat("not enough data to read '", tag_text, "': need ", need, ", have ", have));
}

}  // namespace

PyResult<void> pack_value(PyObject* value, ByteBuffer& out) {
    // Exact bool first: bool is a subclass of int.
    if (Py_IS_TYPE(value, &PyBool_Type)) {
        const auto byte = static_cast<std::uint8_t>(value == Py_True ? 1 : 0);
        out.append(&byte, 1);
        return {};
    }
    if (PyLong_Check(value)) {
        const long long number = PyLong_AsLongLong(value);  // OverflowError outside i64 passes
        if (number == -1 && PyErr_Occurred()) return py::python_error();
        store_le<std::int64_t>(out.extend(8), number);
        return {};
    }
    if (PyFloat_Check(value)) {
        store_le<double>(out.extend(8), PyFloat_AS_DOUBLE(value));
        return {};
    }
    if (PyUnicode_Check(value)) return pack_str(value, out);
    if (PyBytes_Check(value)) {
        out.append(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
        return {};
    }
    if (PyByteArray_Check(value)) {
        out.append(PyByteArray_AS_STRING(value), static_cast<std::size_t>(PyByteArray_GET_SIZE(value)));
        return {};
    }
    return std::unexpected(unsupported_type(value));
}

PyResult<std::span<const std::byte>> encode_value(PyObject* value, ByteBuffer& scratch) {
    if (PyBytes_Check(value))
        return std::span(reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(value)),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    if (PyByteArray_Check(value))
        return std::span(reinterpret_cast<const std::byte*>(PyByteArray_AS_STRING(value)),
                         static_cast<std::size_t>(PyByteArray_GET_SIZE(value)));
    if (auto packed = pack_value(value, scratch); !packed) return std::unexpected(std::move(packed.error()));
    return scratch.bytes();
}

py::Failure unknown_value_tag(std::string_view text) {
    return ShmError::invalid_argument(
        concat("unknown type tag '", text, "'; supported: bool, int, float, f32, f64, i32, i64, u8, u32, u64, str"));
}

PyObject* scalar_to_object(const Scalar& scalar) noexcept {
    switch (scalar.kind) {
        case Scalar::Kind::Signed: return PyLong_FromLongLong(scalar.i);
        case Scalar::Kind::Unsigned: return PyLong_FromUnsignedLongLong(scalar.u);
        case Scalar::Kind::Float: return PyFloat_FromDouble(scalar.f);
        case Scalar::Kind::Boolean: return PyBool_FromLong(scalar.b ? 1 : 0);
    }
    return nullptr;
}

PyObject* utf8_to_object(const std::byte* bytes, std::uint64_t size) noexcept {
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes), static_cast<Py_ssize_t>(size), "replace");
}

PyResult<Unpacked> unpack_one(std::span<const std::byte> data, Tag tag, std::string_view tag_text) {
    const std::uint64_t have = data.size();
    if (tag == Tag::Str) {
        if (have < kLengthPrefix)
            return py::fail(ShmError::invalid_argument("not enough data to read str length prefix"));
        const std::uint64_t length = load_le<std::uint32_t>(data.data());
        if (have < kLengthPrefix + length)
            return py::fail(ShmError::invalid_argument(
                concat("not enough data to read str payload: need ", kLengthPrefix + length, ", have ", have)));
        Ref text = Ref::steal(utf8_to_object(data.data() + kLengthPrefix, length));
        if (!text) return py::python_error();
        return Unpacked{std::move(text), kLengthPrefix + length};
    }
    const std::uint64_t width = tag_width(tag);
    if (have < width) {
        if (tag == Tag::Bool) return py::fail(ShmError::invalid_argument("not enough data to read 'bool'"));
        return std::unexpected(not_enough(tag_text, width, have));
    }
    Ref value = Ref::steal(scalar_to_object(decode_scalar(tag, data.data())));
    if (!value) return py::python_error();
    return Unpacked{std::move(value), width};
}

PyResult<Unpacked> unpack_one(std::span<const std::byte> data, std::string_view tag_text) {
    auto tag = parse_value_tag(tag_text);
    if (!tag) return std::unexpected(std::move(tag.error()));
    return unpack_one(data, *tag, tag_text);
}

}  // namespace kelparine
