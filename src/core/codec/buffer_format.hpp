// Reading buffer-protocol format strings (the struct module's syntax, as NumPy, array, ctypes
// and memoryview export them), free of Python: the number held by a single element, and
// whether a format holds object pointers.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

#include "byte_codec.hpp"

namespace kelparine {

namespace detail {

// IEEE 754 binary16 to binary64, exactly (every half is a double); a NaN keeps its sign and
// payload, as a hardware conversion would.
inline double half_to_double(std::uint16_t half) noexcept {
    const bool negative = (half & 0x8000u) != 0;
    const unsigned exponent = (half >> 10) & 0x1Fu;
    const unsigned fraction = half & 0x3FFu;
    if (exponent == 0x1F) {
        const std::uint64_t bits = (std::uint64_t{negative} << 63) | (std::uint64_t{0x7FF} << 52) |
                                   (std::uint64_t{fraction} << 42);
        return std::bit_cast<double>(bits);
    }
    const double magnitude = exponent == 0 ? std::ldexp(static_cast<double>(fraction), -24)
                                           : std::ldexp(static_cast<double>(fraction | 0x400u), static_cast<int>(exponent) - 25);
    return negative ? -magnitude : magnitude;
}

// The element's bytes in little-endian order (at most 16 of them).
inline std::array<std::byte, 16> little_endian(std::span<const std::byte> item, bool big_endian) noexcept {
    std::array<std::byte, 16> out{};
    std::copy(item.begin(), item.end(), out.begin());
    if (big_endian) std::reverse(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(item.size()));
    return out;
}

}  // namespace detail

// The number a single buffer element holds, when its format is one bare number code (with an
// optional byte-order prefix): '?' a bool; b h i l q n and their capitals an integer (its
// width is the exporter's itemsize, so standard and native sizes both work); e f d a float of
// 2, 4 or 8 bytes, and 'g' this platform's native long double. `item` is the element's bytes.
// Anything else (a count, a struct, chars, pointers, a width that does not fit the code) is
// not a number: nullopt.
inline std::optional<Scalar> single_number(std::string_view format, std::span<const std::byte> item) noexcept {
    bool big_endian = false;
    bool native = true;
    if (!format.empty() && std::string_view("@=<>!").find(format.front()) != std::string_view::npos) {
        big_endian = format.front() == '>' || format.front() == '!';
        native = format.front() == '@';
        format.remove_prefix(1);
    }
    if (format.size() != 1) return std::nullopt;
    const char code = format.front();
    const std::size_t width = item.size();
    Scalar number{};
    switch (code) {
        case '?':
            if (width != 1) return std::nullopt;
            number.kind = Scalar::Kind::Boolean;
            number.b = item[0] != std::byte{0};
            return number;
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': {
            if (width != 1 && width != 2 && width != 4 && width != 8) return std::nullopt;
            const auto bytes = detail::little_endian(item, big_endian);
            std::uint64_t bits = load_le<std::uint64_t>(bytes.data());  // zero-extended
            const bool is_signed = code >= 'a';
            if (is_signed && width < 8) {
                const unsigned shift = 64 - static_cast<unsigned>(width) * 8;
                bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(bits << shift) >> shift);
            }
            number.kind = is_signed ? Scalar::Kind::Signed : Scalar::Kind::Unsigned;
            if (is_signed) number.i = static_cast<std::int64_t>(bits);
            else number.u = bits;
            return number;
        }
        case 'g':  // long double: native only, and only as wide as this platform's
            if (!native || width != sizeof(long double)) return std::nullopt;
            number.kind = Scalar::Kind::Float;
            number.f = static_cast<double>(load_le<long double>(item.data()));
            return number;
        case 'e': case 'f': case 'd': {
            if (width != (code == 'e' ? 2u : code == 'f' ? 4u : 8u)) return std::nullopt;
            const auto bytes = detail::little_endian(item, big_endian);
            number.kind = Scalar::Kind::Float;
            if (width == 2) number.f = detail::half_to_double(load_le<std::uint16_t>(bytes.data()));
            else if (width == 4) number.f = static_cast<double>(load_le<float>(bytes.data()));
            else number.f = load_le<double>(bytes.data());
            return number;
        }
        default:
            return std::nullopt;
    }
}

// True when `format` has an 'O' code anywhere (object pointers, meaningless in another
// process), struct members included; field names (":name:") are skipped.
inline bool format_has_objects(std::string_view format) noexcept {
    bool in_name = false;
    for (const char c : format) {
        if (c == ':') in_name = !in_name;
        else if (c == 'O' && !in_name) return true;
    }
    return false;
}

}  // namespace kelparine
