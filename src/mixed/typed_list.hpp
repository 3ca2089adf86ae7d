// Typed lists: many values packed back to back, and their decoding against a schema of
// (type_tag, count) tuples.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "value_codec.hpp"

namespace kelparine {

// Lists and tuples (subclasses included) are read through their own storage: a __len__,
// __iter__ or __getitem__ of a subclass is never called.
inline bool is_sequence(PyObject* object) noexcept { return PyList_Check(object) || PyTuple_Check(object); }

// Appends the encodings of `items` (a list or tuple; one level of inner lists or tuples is
// flattened), as write_mixed stores them. On failure `out` is truncated back to its old size.
py::PyResult<void> pack_mixed(PyObject* items, ByteBuffer& out);

// Appends the encodings of `items` (a list or tuple of single values, none of them a list or
// tuple), as one ring message holds them. On failure `out` is truncated back to its old size.
py::PyResult<void> pack_flat(PyObject* items, ByteBuffer& out);

// A schema converted ahead of decoding, so that no Python code (a custom __index__, say) runs
// while the caller holds the segment lock. A conversion failure is kept and reported at its
// entry's turn, so errors surface in the same order as an entry-by-entry decode.
class ParsedSchema {
public:
    // Never fails itself short of memory: failures are recorded for decode time.
    static ParsedSchema parse(PyObject* schema);

    ParsedSchema(ParsedSchema&&) noexcept = default;

    // The failure that decoding any data by this schema would meet in the schema itself (an
    // entry that is not a (type_tag, count) tuple, a tag that is not a str or not known, a
    // count that is not an integer), for callers that refuse a bad schema before looking at
    // data. Reports it once: a held exception moves out to the interpreter.
    py::PyResult<void> take_failure();

private:
    friend struct SchemaDecoder;
    struct Entry {
        std::optional<Tag> tag;  // empty: not a known tag (decoding stops there)
        std::uint64_t count;
    };
    ParsedSchema() = default;

    std::vector<Entry> entries_;
    std::optional<std::string> first_unknown_tag_;  // the text of the first unknown tag, for its message
    std::optional<ShmError> error_;  // failure at entry entries_.size(), if any
    py::Ref pending_exception_;  // the interpreter's failure, if any
    bool failed_ = false;
};

struct UnpackedList {
    py::Ref list;
    std::uint64_t consumed;
};

// Decodes `data` by `schema`: one entry per schema entry (a bare value for count 1, else a
// list). Reads nothing outside `data`; only calls the interpreter to build results.
py::PyResult<UnpackedList> unpack_mixed_counted(std::span<const std::byte> data, ParsedSchema& schema);

}  // namespace kelparine
