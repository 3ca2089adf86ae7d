#include "typed_list.hpp"

#include <algorithm>

#include "../py/args.hpp"
#include "../text.hpp"

namespace kelparine {
namespace {

using py::PyResult;
using py::Ref;

PyObject* take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

void restore_exception(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

py::Failure out_of_bounds(std::uint64_t cursor, std::uint64_t needed, std::uint64_t length) {
    return ShmError::invalid_argument(
        concat("out of bounds: cursor=", cursor, " + needed=", needed, " > data_len=", length));
}

}  // namespace

PyResult<void> pack_mixed(PyObject* items, ByteBuffer& out) {
    const std::size_t start = out.size();
    auto fail = [&](py::Failure failure) -> PyResult<void> {
        out.truncate(start);
        return std::unexpected(std::move(failure));
    };
    // Indexing re-checks the size each turn: a str subclass or __index__ could mutate the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(items, i));
        if (PyList_Check(item.get())) {
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(item.get()); ++j) {
                Ref inner = Ref::borrow(PyList_GET_ITEM(item.get(), j));
                if (auto packed = pack_value(inner.get(), out); !packed) return fail(std::move(packed.error()));
            }
        } else if (auto packed = pack_value(item.get(), out); !packed) {
            return fail(std::move(packed.error()));
        }
    }
    return {};
}

ParsedSchema ParsedSchema::parse(PyObject* schema) {
    ParsedSchema parsed;
    parsed.entries_.reserve(static_cast<std::size_t>(PyList_GET_SIZE(schema)));
    auto interpreter_failure = [&] {
        parsed.pending_exception_ = Ref::steal(take_exception());
        parsed.failed_ = true;
    };
    // The size is re-read each turn: a custom __index__ could mutate the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(schema); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(schema, i));
        if (!PyTuple_Check(entry.get())) {
            parsed.error_ = ShmError::invalid_argument("schema entries must be (type_tag, count) tuples");
            parsed.failed_ = true;
            break;
        }
        PyObject* tag_object = PyTuple_GetItem(entry.get(), 0);  // IndexError when too short
        if (tag_object == nullptr) { interpreter_failure(); break; }
        auto tag_text = py::tag_to_utf8(tag_object);
        if (!tag_text) { interpreter_failure(); break; }
        const std::optional<Tag> tag = parse_tag(*tag_text);
        if (!tag && !parsed.first_unknown_tag_) parsed.first_unknown_tag_.emplace(*tag_text);
        PyObject* count_object = PyTuple_GetItem(entry.get(), 1);
        if (count_object == nullptr) { interpreter_failure(); break; }
        auto count = py::to_u64(count_object, nullptr);
        if (!count) { interpreter_failure(); break; }
        parsed.entries_.push_back(Entry{tag, *count});
    }
    return parsed;
}

namespace {

// Decodes one element at `cursor`, advancing it; `data` holds `length` bytes.
PyResult<Ref> decode_element(Tag tag, const std::byte* data, std::uint64_t length, std::uint64_t& cursor) {
    const std::uint64_t width = tag_width(tag);
    if (width > length - cursor) return std::unexpected(out_of_bounds(cursor, width, length));
    PyObject* value;
    if (tag == Tag::Str) {
        const std::uint64_t n = load_le<std::uint32_t>(data + cursor);
        cursor += width;
        if (n > length - cursor) return std::unexpected(out_of_bounds(cursor, n, length));
        value = utf8_to_object(data + cursor, n);
        cursor += n;
    } else {
        value = scalar_to_object(decode_scalar(tag, data + cursor));
        cursor += width;
    }
    if (value == nullptr) return py::python_error();
    return Ref::steal(value);
}

}  // namespace

struct SchemaDecoder {
    static PyResult<UnpackedList> run(std::span<const std::byte> data, ParsedSchema& schema) {
        const std::uint64_t length = data.size();
        const auto entries = static_cast<Py_ssize_t>(schema.entries_.size());
        Ref result = Ref::steal(PyList_New(entries));  // slots filled in order; unfilled ones are NULL
        if (!result) return py::python_error();
        std::uint64_t cursor = 0;
        for (Py_ssize_t i = 0; i < entries; ++i) {
            const ParsedSchema::Entry& entry = schema.entries_[static_cast<std::size_t>(i)];
            if (!entry.tag)
                return py::fail(ShmError::invalid_argument(concat("unknown type tag '", *schema.first_unknown_tag_, "'")));
            const Tag tag = *entry.tag;
            Ref slot;
            if (entry.count == 1) {
                auto value = decode_element(tag, data.data(), length, cursor);
                if (!value) return std::unexpected(std::move(value.error()));
                slot = std::move(*value);
            } else {
                // Sized by what the remaining bytes can hold at most, never by the count alone:
                // an oversized count costs only the elements that are really there.
                const std::uint64_t room = (length - cursor) / tag_width(tag);
                const std::uint64_t reserve = std::min(entry.count, room);
                slot = Ref::steal(PyList_New(static_cast<Py_ssize_t>(reserve)));
                if (!slot) return py::python_error();
                for (std::uint64_t k = 0; k < entry.count; ++k) {
                    auto value = decode_element(tag, data.data(), length, cursor);
                    if (!value) return std::unexpected(std::move(value.error()));
                    // Strings can be longer than their prefix, so k < reserve always holds here.
                    PyList_SET_ITEM(slot.get(), static_cast<Py_ssize_t>(k), value->release());
                }
            }
            PyList_SET_ITEM(result.get(), i, slot.release());
        }
        if (schema.failed_) {
            if (schema.error_) return py::fail(std::move(*schema.error_));
            restore_exception(schema.pending_exception_.release());
            return py::python_error();
        }
        return UnpackedList{std::move(result), cursor};
    }
};

PyResult<UnpackedList> unpack_mixed_counted(std::span<const std::byte> data, ParsedSchema& schema) {
    return SchemaDecoder::run(data, schema);
}

}  // namespace kelparine
