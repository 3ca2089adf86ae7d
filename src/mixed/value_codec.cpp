#include "value_codec.hpp"

#include <climits>
#include <optional>
#include <string>

#include "../core/codec/buffer_format.hpp"
#include "../core/text.hpp"

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
        return concat("unsupported type '", name,
                      "'; supported: bool, int, float, str, bytes, bytearray, and objects exporting a C-contiguous "
                      "buffer");
    });
}

[[gnu::cold]] py::Failure not_contiguous(PyObject* value) {
    return failure_naming_type(value, [](const std::string& name) {
        return concat("buffer of type '", name,
                      "' is not C-contiguous; pass a contiguous copy (bytes(x), numpy.ascontiguousarray(x))");
    });
}

[[gnu::cold]] py::Failure holds_objects(PyObject* value) {
    return failure_naming_type(value, [](const std::string& name) {
        return concat("buffer of type '", name,
                      "' holds Python object pointers (format 'O'), which mean nothing in another process");
    });
}

void pack_bool(bool value, ByteBuffer& out) {
    const auto byte = static_cast<std::uint8_t>(value ? 1 : 0);
    out.append(&byte, 1);
}

// `number` is an int or a subclass; OverflowError outside i64 passes.
[[gnu::always_inline]] inline PyResult<void> pack_int(PyObject* number, ByteBuffer& out) {
    const long long value = PyLong_AsLongLong(number);
    if (value == -1 && PyErr_Occurred()) return py::python_error();
    store_le<std::int64_t>(out.extend(8), value);
    return {};
}

void pack_double(double value, ByteBuffer& out) { store_le<double>(out.extend(8), value); }

// A number read from a buffer element, encoded as the Python number it stands for would be.
PyResult<void> pack_scalar(const Scalar& number, ByteBuffer& out) {
    switch (number.kind) {
        case Scalar::Kind::Boolean: pack_bool(number.b, out); return {};
        case Scalar::Kind::Signed: store_le<std::int64_t>(out.extend(8), number.i); return {};
        case Scalar::Kind::Float: pack_double(number.f, out); return {};
        case Scalar::Kind::Unsigned: break;
    }
    if (number.u <= static_cast<std::uint64_t>(INT64_MAX)) {
        store_le<std::int64_t>(out.extend(8), static_cast<std::int64_t>(number.u));
        return {};
    }
    // Beyond i64: the OverflowError an int of that value gets.
    Ref as_int = Ref::steal(PyLong_FromUnsignedLongLong(number.u));
    if (!as_int) return py::python_error();
    return pack_int(as_int.get(), out);
}

// Step 6 of encode_value: any other buffer exporter. The export is asked for with strides and
// format so that non-contiguous and object buffers can be told apart and refused.
PyResult<void> encode_buffer(PyObject* value, ByteBuffer& out, py::BufferExport& pin) {
    if (!pin.acquire(value, PyBUF_FULL_RO)) return py::python_error();
    const Py_buffer& view = pin.view();
    const std::string_view format = view.format != nullptr ? view.format : "B";
    if (view.ndim == 0 && view.len == view.itemsize) {
        if (const std::optional<Scalar> number = single_number(format, pin.bytes())) {
            pin.release();
            return pack_scalar(*number, out);
        }
    }
    if (format_has_objects(format)) {
        pin.release();
        return std::unexpected(holds_objects(value));
    }
    if (PyBuffer_IsContiguous(&view, 'C') == 0) {
        pin.release();
        return std::unexpected(not_contiguous(value));
    }
    return {};
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

// Raw bytes of an exporter other than bytes and bytearray: kept pinned in `pin` when given,
// else copied into `out` at once and the export ended.
PyResult<void> encode_other_buffer(PyObject* value, ByteBuffer& out, py::BufferExport* pin) {
    if (pin != nullptr) return encode_buffer(value, out, *pin);
    py::BufferExport local;
    if (auto encoded = encode_buffer(value, out, local); !encoded) return encoded;
    if (local.held()) out.append(local.view().buf, static_cast<std::size_t>(local.view().len));
    return {};
}

// The order of checks of encode_value. Raw bytes go to `pin` when given, else are appended.
// bool, int, float, str, bytes and bytearray are told apart first, cheaply (the types cannot
// be combined in one class, so testing bytes first changes nothing), and their encoding runs
// no Python code: a bytearray copied at once needs no export. Inlined into both callers, so
// that each is specialised for a null or a real `pin`.
[[gnu::always_inline]] inline PyResult<void> encode(PyObject* value, ByteBuffer& out, py::BufferExport* pin) {
    if (PyBytes_Check(value)) {
        if (pin != nullptr) pin->hold_bytes(value);
        else out.append(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
        return {};
    }
    if (Py_IS_TYPE(value, &PyBool_Type)) {
        pack_bool(value == Py_True, out);
        return {};
    }
    if (PyLong_Check(value)) return pack_int(value, out);
    if (PyUnicode_Check(value)) return pack_str(value, out);
    if (PyFloat_Check(value)) {
        pack_double(PyFloat_AS_DOUBLE(value), out);
        return {};
    }
    // A subclass's __buffer__ may export another object's memory: the bytearray's own storage
    // is pinned instead, through bytearray's own export (no resizing while it lasts).
    if (PyByteArray_Check(value)) {
        if (pin == nullptr) {
            out.append(PyByteArray_AS_STRING(value), static_cast<std::size_t>(PyByteArray_GET_SIZE(value)));
        } else if (!pin->acquire_bytearray(value)) {
            return py::python_error();
        }
        return {};
    }
    if (PyObject_CheckBuffer(value)) return encode_other_buffer(value, out, pin);
    if (PyIndex_Check(value)) {
        Ref number = Ref::steal(PyNumber_Index(value));
        if (!number) return py::python_error();
        return pack_int(number.get(), out);
    }
    if (Py_TYPE(value)->tp_as_number != nullptr && Py_TYPE(value)->tp_as_number->nb_float != nullptr) {
        Ref number = Ref::steal(PyNumber_Float(value));
        if (!number) return py::python_error();
        pack_double(PyFloat_AS_DOUBLE(number.get()), out);
        return {};
    }
    return std::unexpected(unsupported_type(value));
}

}  // namespace

PyResult<void> encode_value(PyObject* value, ByteBuffer& out, py::BufferExport& pin) { return encode(value, out, &pin); }

PyResult<void> pack_value(PyObject* value, ByteBuffer& out) { return encode(value, out, nullptr); }

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
