// Byte encodings of single values, free of Python: type tags, widths and little-endian numbers.
//
// Every number is little-endian and unaligned; values sit back to back with no type byte or
// padding. A string is a u32 byte count followed by that many UTF-8 bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace kelparine {

static_assert(std::endian::native == std::endian::little, "segment layouts are little-endian");

enum class Tag : std::uint8_t { U8, Bool, I32, U32, F32, I64, U64, F64, Str };

// The eleven reader tags; "int" is "i64" and "float" is "f64". Exact, case-sensitive.
inline std::optional<Tag> parse_tag(std::string_view text) noexcept {
    switch (text.size()) {
        case 2:
            if (text == "u8") return Tag::U8;
            break;
        case 3:
            if (text == "i64" || text == "int") return Tag::I64;
            if (text == "f64") return Tag::F64;
            if (text == "u64") return Tag::U64;
            if (text == "str") return Tag::Str;
            if (text == "i32") return Tag::I32;
            if (text == "u32") return Tag::U32;
            if (text == "f32") return Tag::F32;
            break;
        case 4:
            if (text == "bool") return Tag::Bool;
            break;
        case 5:
            if (text == "float") return Tag::F64;
            break;
        default:
            break;
    }
    return std::nullopt;
}

// Fixed width of a tag's encoding; for Str, the width of its count prefix.
constexpr std::uint64_t tag_width(Tag tag) noexcept {
    switch (tag) {
        case Tag::U8:
        case Tag::Bool: return 1;
        case Tag::I32:
        case Tag::U32:
        case Tag::F32:
        case Tag::Str: return 4;
        case Tag::I64:
        case Tag::U64:
        case Tag::F64: return 8;
    }
    return 0;
}

template <class T>
inline T load_le(const std::byte* in) noexcept {
    T value;
    std::memcpy(&value, in, sizeof value);  // native order is little-endian (asserted above)
    return value;
}

template <class T>
inline void store_le(std::byte* out, T value) noexcept {
    std::memcpy(out, &value, sizeof value);
}

// A fixed-width element decoded without Python: the caller turns it into an object.
struct Scalar {
    enum class Kind : std::uint8_t { Signed, Unsigned, Float, Boolean } kind;
    union {
        std::int64_t i;
        std::uint64_t u;
        double f;
        bool b;
    };
};

// Decodes a fixed-width tag (not Str) from `in`, which holds at least tag_width(tag) bytes.
inline Scalar decode_scalar(Tag tag, const std::byte* in) noexcept {
    Scalar s{};
    switch (tag) {
        case Tag::U8: s.kind = Scalar::Kind::Unsigned; s.u = load_le<std::uint8_t>(in); break;
        case Tag::Bool: s.kind = Scalar::Kind::Boolean; s.b = load_le<std::uint8_t>(in) != 0; break;
        case Tag::I32: s.kind = Scalar::Kind::Signed; s.i = load_le<std::int32_t>(in); break;
        case Tag::U32: s.kind = Scalar::Kind::Unsigned; s.u = load_le<std::uint32_t>(in); break;
        case Tag::F32: s.kind = Scalar::Kind::Float; s.f = static_cast<double>(load_le<float>(in)); break;
        case Tag::I64: s.kind = Scalar::Kind::Signed; s.i = load_le<std::int64_t>(in); break;
        case Tag::U64: s.kind = Scalar::Kind::Unsigned; s.u = load_le<std::uint64_t>(in); break;
        case Tag::F64: s.kind = Scalar::Kind::Float; s.f = load_le<double>(in); break;
        case Tag::Str: s.kind = Scalar::Kind::Unsigned; s.u = load_le<std::uint32_t>(in); break;
    }
    return s;
}

// A growable byte buffer that keeps small encodings inline, so encoding a single number or a
// short string allocates nothing. Growth throws std::bad_alloc (raised as MemoryError).
class ByteBuffer {
public:
    static constexpr std::size_t kInline = 256;

    ByteBuffer() noexcept = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    std::byte* data() noexcept { return heap_ ? heap_.get() : inline_; }
    const std::byte* data() const noexcept { return heap_ ? heap_.get() : inline_; }
    std::size_t size() const noexcept { return size_; }
    std::span<const std::byte> bytes() const noexcept { return {data(), size_}; }

    // Room for `extra` more bytes at the end; returns where they go and counts them as used.
    std::byte* extend(std::size_t extra) {
        if (extra > capacity_ - size_) grow(extra);
        std::byte* at = data() + size_;
        size_ += extra;
        return at;
    }
    void append(const void* source, std::size_t size) {
        if (size != 0) std::memcpy(extend(size), source, size);
    }
    // Drops everything after `size` bytes (used to undo a partial append).
    void truncate(std::size_t size) noexcept {
        if (size < size_) size_ = size;
    }

private:
    void grow(std::size_t extra) {
        std::size_t wanted = capacity_ * 2;
        if (wanted - size_ < extra) wanted = size_ + extra;
        auto bigger = std::make_unique_for_overwrite<std::byte[]>(wanted);
        std::memcpy(bigger.get(), data(), size_);
        heap_ = std::move(bigger);
        capacity_ = wanted;
    }

    std::unique_ptr<std::byte[]> heap_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInline;
    std::byte inline_[kInline];
};

}  // namespace kelparine
