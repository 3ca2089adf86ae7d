#include "typed_list.hpp"

#include <algorithm>

#include "../core/text.hpp"
#include "../py/args.hpp"
#include "../py/saved_exception.hpp"

namespace kelparine {
namespace {

using py::PyResult;
using py::Ref;

py::Failure out_of_bounds(std::uint64_t cursor, std::uint64_t needed, std::uint64_t length) {
    return ShmError::invalid_argument(
        concat("out of bounds: cursor=", cursor, " + needed=", needed, " > data_len=", length));
}

// A list or tuple read through its own storage. The size is re-read at every step, and each
// element is held while it is encoded: encoding can run Python code (__index__, __float__,
// __buffer__) that empties a list.
class Items {
public:
    explicit Items(PyObject* sequence) noexcept : sequence_(sequence), is_list_(PyList_Check(sequence)) {}
    Py_ssize_t size() const noexcept { return is_list_ ? PyList_GET_SIZE(sequence_) : PyTuple_GET_SIZE(sequence_); }
    Ref operator[](Py_ssize_t i) const noexcept {
        return Ref::borrow(is_list_ ? PyList_GET_ITEM(sequence_, i) : PyTuple_GET_ITEM(sequence_, i));
    }

private:
    PyObject* sequence_;
    bool is_list_;
};

// Appends the values of `items`; with kFlatten, an element that is a list or tuple
// contributes its own elements instead (which are single values).
template <bool kFlatten>
PyResult<void> pack_items(PyObject* sequence, ByteBuffer& out) {
    const Items items(sequence);
    for (Py_ssize_t i = 0; i < items.size(); ++i) {
        Ref item = items[i];
        if constexpr (kFlatten) {
            if (is_sequence(item.get())) {
                if (auto packed = pack_items<false>(item.get(), out); !packed) return packed;
                continue;
            }
        }
        if (auto packed = pack_value(item.get(), out); !packed) return packed;
    }
    return {};
}

// On failure `out` is cut back to what it held before.
template <bool kFlatten>
PyResult<void> pack_items_or_nothing(PyObject* sequence, ByteBuffer& out) {
    const std::size_t start = out.size();
    auto packed = pack_items<kFlatten>(sequence, out);
    if (!packed) out.truncate(start);
    return packed;
}

}  // namespace

PyResult<void> pack_mixed(PyObject* items, ByteBuffer& out) { return pack_items_or_nothing<true>(items, out); }

PyResult<void> pack_flat(PyObject* items, ByteBuffer& out) { return pack_items_or_nothing<false>(items, out); }

ParsedSchema ParsedSchema::parse(PyObject* schema) {
    ParsedSchema parsed;
    parsed.entries_.reserve(static_cast<std::size_t>(PyList_GET_SIZE(schema)));
    auto interpreter_failure = [&] {
        parsed.pending_exception_ = Ref::steal(py::take_exception());
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

PyResult<void> ParsedSchema::take_failure() {
    // In decoding order: an unknown tag is met at its entry, which comes before the entry whose
    // conversion failed (parsing stopped there).
    if (first_unknown_tag_)
        return py::fail(ShmError::invalid_argument(concat("unknown type tag '", *first_unknown_tag_, "'")));
    if (!failed_) return {};
    failed_ = false;
    if (error_) return py::fail(std::move(*error_));
    py::restore_exception(pending_exception_.release());
    return py::python_error();
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
            py::restore_exception(schema.pending_exception_.release());
            return py::python_error();
        }
        return UnpackedList{std::move(result), cursor};
    }
};

PyResult<UnpackedList> unpack_mixed_counted(std::span<const std::byte> data, ParsedSchema& schema) {
    return SchemaDecoder::run(data, schema);
}

}  // namespace kelparine
