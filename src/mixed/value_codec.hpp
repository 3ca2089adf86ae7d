// The value codec with Python objects: encode_value and pack_value encode one value chosen by
// its Python type, unpack_one decodes one value named by a type tag.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "../core/codec/byte_codec.hpp"
#include "../py/boundary.hpp"
#include "../py/buffer_export.hpp"

namespace kelparine {

// Encodes one value, checked in this order:
//   1. exact bool: 1 byte;  2. int and subclasses: i64;  3. float and subclasses: f64;
//   4. str and subclasses: u32 count + UTF-8;
//   5. bytes, bytearray and subclasses: raw bytes, their own (never a subclass's __buffer__);
//   6. other buffer exporters: a 0-dimensional bool, integer or float element as that number
//      (NumPy scalars, 0-d arrays); object pointers (format 'O') refused; otherwise a
//      C-contiguous buffer as raw bytes, a non-contiguous one refused;
//   7. __index__: int;  __float__: float;
//   8. anything else: the unsupported-type ValueError.
// Numbers and strings are appended to `out`. Raw bytes are not copied: `pin` (which must hold
// nothing) then holds them (pin.held(), pin.bytes()), valid and unresized, even with the
// interpreter lock released, until it is released. Steps 6 and 7 may run Python code
// (__buffer__, __index__, __float__). On failure `out` is unchanged and `pin` holds nothing.
py::PyResult<void> encode_value(PyObject* value, ByteBuffer& out, py::BufferExport& pin);

// Appends the encoding of `value` to `out`, raw bytes copied at once (their export ends
// before this returns). On failure `out` is unchanged.
py::PyResult<void> pack_value(PyObject* value, ByteBuffer& out);

[[gnu::cold]] py::Failure unknown_value_tag(std::string_view text);

// The tag, or the codec's "unknown type tag" error.
inline py::PyResult<Tag> parse_value_tag(std::string_view text) {
    if (auto tag = parse_tag(text)) [[likely]]
        return *tag;
    return std::unexpected(unknown_value_tag(text));
}

struct Unpacked {
    py::Ref value;
    std::uint64_t consumed;
};

// Decodes one value from the front of `data`; nothing before or after it is read.
py::PyResult<Unpacked> unpack_one(std::span<const std::byte> data, Tag tag, std::string_view tag_text);
py::PyResult<Unpacked> unpack_one(std::span<const std::byte> data, std::string_view tag_text);

// The Python object for a decoded fixed-width element, and for a string's bytes (lenient UTF-8:
// each maximal ill-formed subpart becomes U+FFFD, as the 'replace' error handler does).
PyObject* scalar_to_object(const Scalar& scalar) noexcept;
PyObject* utf8_to_object(const std::byte* bytes, std::uint64_t size) noexcept;

}  // namespace kelparine
