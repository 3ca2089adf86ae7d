// The value codec with Python objects: pack_value encodes one value chosen by its Python type,
// unpack_one decodes one value named by a type tag.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "../py/boundary.hpp"
#include "byte_codec.hpp"

namespace kelparine {

// Appends the encoding of `value` to `out`: exact bool (1 byte), int (i64), float (f64),
// str (u32 count + UTF-8), bytes/bytearray (as is). On failure `out` is unchanged.
py::PyResult<void> pack_value(PyObject* value, ByteBuffer& out);

// The payload bytes for `value` with a single copy: bytes and bytearray (and subclasses) are
// returned in place, valid while `value` lives and the interpreter lock is held; anything else
// is encoded into `scratch`.
py::PyResult<std::span<const std::byte>> encode_value(PyObject* value, ByteBuffer& scratch);

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
