// libFuzzer target: the value and typed-list decoders (unpack_one, unpack_mixed_counted) over
// arbitrary bytes and schemas, run inside an embedded interpreter exactly as the module runs
// them. The bytes sit in a heap block of exactly their length, so AddressSanitizer reports any
// read outside them; the interpreter allocates with plain malloc so its objects are checked too.
//
// Input: [entries u8] then per entry [tag selector u8][(literal tag bytes)][count u8], then a
// [tag selector] for unpack_one, then the data bytes.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "core/codec/byte_codec.hpp"
#include "mixed/typed_list.hpp"
#include "mixed/value_codec.hpp"

namespace {

constexpr const char* kTags[] = {"u8", "bool", "i32", "u32", "f32", "i64", "int", "u64", "f64", "float", "str"};

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    std::uint8_t u8() { return at < size ? data[at++] : 0; }
    std::string_view text(std::size_t n) {
        n = std::min(n, size - std::min(at, size));
        std::string_view out(reinterpret_cast<const char*>(data + at), n);
        at += n;
        return out;
    }
};

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// A tag: one of the eleven (mostly), or literal bytes from the input (unknown or odd text).
PyObject* tag_object(Input& in) {
    const std::uint8_t selector = in.u8();
    if (selector < 0xE0) return PyUnicode_FromString(kTags[selector % std::size(kTags)]);
    const std::string_view literal = in.text(selector & 0x0F);
    return PyUnicode_DecodeUTF8(literal.data(), static_cast<Py_ssize_t>(literal.size()), "replace");
}

// Small counts mostly; sometimes one far larger than any data.
PyObject* count_object(Input& in) {
    const std::uint8_t selector = in.u8();
    if (selector == 0xFF) return PyLong_FromUnsignedLongLong(UINT64_MAX);
    if (selector == 0xFE) return PyLong_FromUnsignedLongLong(1000000000000ULL);
    return PyLong_FromLong(selector % 24);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("PYTHONMALLOC", "malloc", 1);
    Py_Initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    Input in{bytes, size};
    const std::size_t entries = in.u8() % 8;
    PyObject* schema = PyList_New(0);
    check(schema != nullptr);
    for (std::size_t i = 0; i < entries; ++i) {
        PyObject* tag = tag_object(in);
        PyObject* count = count_object(in);
        check(tag != nullptr && count != nullptr);
        PyObject* entry = PyTuple_Pack(2, tag, count);
        Py_DECREF(tag);
        Py_DECREF(count);
        check(entry != nullptr && PyList_Append(schema, entry) == 0);
        Py_DECREF(entry);
    }
    PyObject* single_tag = tag_object(in);
    check(single_tag != nullptr);

    // The rest is the data, copied into a block of exactly its length.
    const std::size_t length = size - std::min(in.at, size);
    std::unique_ptr<std::byte[]> block(new std::byte[length == 0 ? 1 : length]);
    if (length != 0) std::memcpy(block.get(), bytes + in.at, length);
    const std::span<const std::byte> data(block.get(), length);

    {
        kelparine::ParsedSchema parsed = kelparine::ParsedSchema::parse(schema);
        auto unpacked = kelparine::unpack_mixed_counted(data, parsed);
        if (unpacked) {
            check(unpacked->consumed <= length);
            check(PyList_GET_SIZE(unpacked->list.get()) == static_cast<Py_ssize_t>(entries));
        } else {
            kelparine::py::raise(std::move(unpacked.error()));
            check(PyErr_Occurred() != nullptr);
            PyErr_Clear();
        }
    }
    {
        Py_ssize_t tag_size = 0;
        const char* tag_text = PyUnicode_AsUTF8AndSize(single_tag, &tag_size);
        if (tag_text == nullptr) {
            PyErr_Clear();
        } else {
            auto unpacked = kelparine::unpack_one(data, std::string_view(tag_text, static_cast<std::size_t>(tag_size)));
            if (unpacked) {
                check(unpacked->consumed <= length);
            } else {
                kelparine::py::raise(std::move(unpacked.error()));
                PyErr_Clear();
            }
        }
    }
    // The pure byte decoders on their own: every fixed width that fits, at every position.
    for (std::size_t at = 0; at < length; ++at) {
        for (kelparine::Tag tag : {kelparine::Tag::U8, kelparine::Tag::Bool, kelparine::Tag::I32,
                                   kelparine::Tag::U32, kelparine::Tag::F32, kelparine::Tag::I64,
                                   kelparine::Tag::U64, kelparine::Tag::F64}) {
            if (kelparine::tag_width(tag) <= length - at) (void)kelparine::decode_scalar(tag, data.data() + at);
        }
    }
    Py_DECREF(single_tag);
    Py_DECREF(schema);
    return 0;
}
