// The array message: an ordinary ring message whose payload is a NumPy .npy file, laid out so
// that the array's data starts 64-byte aligned in the mapping wherever the frame falls.
//
//   payload: +-----------+-------+-----------+--------------------------+-----+----+------+
//            | \x93NUMPY | major | minor = 0 | header_len               | dict | sp | \n | data |
//            +-----------+-------+-----------+--------------------------+-----+----+------+
//              6 bytes     1       1           u16 LE (1.0), u32 LE (2.0, 3.0)
//
//   dict:  {'descr': '<f4', 'fortran_order': False, 'shape': (1000, 1000), }
//
// header_len counts the dict, the spaces and the newline. The writer chooses the number of
// spaces so that 24 + ((frame + 4) & (capacity - 1)) + header size, the offset of the data in
// the mapping, is a multiple of 64 (frame: the stream position of the length prefix). A reader
// needs no such computation: header_len says where the data starts, as in any .npy file.
// Version 1.0 when the dict is ASCII and short enough for a u16 length, 2.0 for longer ASCII
// dicts, 3.0 (UTF-8) otherwise. The data follows the header to the end of the payload: the
// dtype's itemsize times the product of the shape, in C order or, with 'fortran_order': True,
// in Fortran order.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "../error.hpp"
#include "../spsc/ring.hpp"
#include "../text.hpp"

namespace kelparine::array_message {

inline constexpr std::uint64_t kAlignment = 64;
inline constexpr std::string_view kMagic{"\x93NUMPY", 6};
// Magic, version and header_len: 10 bytes for version 1.0, 12 for 2.0 and 3.0.
inline constexpr std::uint64_t kShortPrefix = 10;
inline constexpr std::uint64_t kLongPrefix = 12;

// Where, in the mapping, the payload of the frame whose length prefix is at stream position
// `frame` starts (capacity: a power of two).
constexpr std::uint64_t payload_offset(std::uint64_t frame, std::uint64_t capacity) noexcept {
    return SPSC_HEADER_SIZE + ((frame + ring_layout::kLengthSize) & (capacity - 1));
}

struct Header {
    std::uint8_t major = 1;    // 1, 2 or 3 (minor is always 0)
    std::uint64_t prefix = 0;  // magic, version and header_len
    std::uint64_t size = 0;    // prefix, dict, spaces and newline: the offset of the data in the payload
};

// The largest dict a version 1.0 header takes, whatever the padding: its u16 header_len counts
// the dict, up to 63 spaces and the newline.
inline constexpr std::uint64_t kLargestShortDict = 0xFFFF - (kAlignment - 1) - 1;

// The header for a dict of `dict_size` bytes (`ascii`: no byte above 0x7F) in a payload that
// starts `payload_at` bytes into the mapping.
constexpr Header plan(std::uint64_t dict_size, bool ascii, std::uint64_t payload_at) noexcept {
    Header header;
    header.major = !ascii ? 3 : dict_size <= kLargestShortDict ? 1 : 2;
    header.prefix = header.major == 1 ? kShortPrefix : kLongPrefix;
    const std::uint64_t unpadded = header.prefix + dict_size + 1;
    const std::uint64_t spaces = (kAlignment - (payload_at + unpadded) % kAlignment) % kAlignment;
    header.size = unpadded + spaces;
    return header;
}

// The most a header for a dict of `dict_size` bytes can take, wherever its frame falls.
constexpr std::uint64_t largest_header(std::uint64_t dict_size, bool ascii) noexcept {
    const Header header = plan(dict_size, ascii, 0);
    return header.prefix + dict_size + 1 + (kAlignment - 1);
}

// Writes the header (header.size bytes) for `dict` to `out`.
inline void write(const Header& header, std::string_view dict, std::byte* out) noexcept {
    std::memcpy(out, kMagic.data(), kMagic.size());
    out[6] = static_cast<std::byte>(header.major);
    out[7] = std::byte{0};
    const std::uint64_t length = header.size - header.prefix;
    for (std::uint64_t i = 0; i < header.prefix - 8; ++i) out[8 + i] = static_cast<std::byte>(length >> (8 * i));
    std::memcpy(out + header.prefix, dict.data(), dict.size());
    std::memset(out + header.prefix + dict.size(), ' ', header.size - header.prefix - dict.size() - 1);
    out[header.size - 1] = std::byte{'\n'};
}

// The header of a payload of `payload_size` bytes from its first bytes (`first`: at least
// min(12, payload_size) of them). Errors (ValueError): not the .npy magic, a version other than
// 1.0, 2.0 and 3.0, a header that runs past the payload.
inline Result<Header> read_prefix(std::span<const std::byte> first, std::uint64_t payload_size) {
    if (payload_size < kShortPrefix || std::memcmp(first.data(), kMagic.data(), kMagic.size()) != 0)
        return invalid_argument("not an array message: it does not start with the .npy magic \\x93NUMPY");
    Header header;
    header.major = static_cast<std::uint8_t>(first[6]);
    const auto minor = static_cast<unsigned>(first[7]);
    if (header.major < 1 || header.major > 3 || minor != 0)
        return invalid_argument(concat("not an array message: .npy version ", unsigned{header.major}, ".", minor,
                                       " is not 1.0, 2.0 or 3.0"));
    header.prefix = header.major == 1 ? kShortPrefix : kLongPrefix;
    if (payload_size < header.prefix)
        return invalid_argument(concat("not an array message: ", payload_size, " bytes hold no .npy header"));
    std::uint64_t length = 0;
    for (std::uint64_t i = 0; i < header.prefix - 8; ++i) length |= std::uint64_t{std::to_integer<unsigned>(first[8 + i])} << (8 * i);
    header.size = header.prefix + length;
    if (header.size > payload_size)
        return invalid_argument(concat("not an array message: its .npy header of ", header.size,
                                       " bytes runs past the message's ", payload_size));
    return header;
}

// The dict of a header's text (the bytes after the prefix): without the spaces and the newline
// that end it. Error (ValueError): no newline at the end.
inline Result<std::string_view> dict_of(std::string_view text) {
    if (text.empty() || text.back() != '\n')
        return invalid_argument("not an array message: its .npy header does not end with a newline");
    text.remove_suffix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// The dict NumPy writes: keys in sorted order, the shape as a Python tuple; `descr` is the
// repr of numpy.lib.format.dtype_to_descr(dtype).
inline std::string dict_text(std::string_view descr, bool fortran_order, std::span<const std::uint64_t> shape) {
    std::string out = concat("{'descr': ", descr, ", 'fortran_order': ", fortran_order ? "True" : "False",
                             ", 'shape': (");
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i != 0) out += ", ";
        out += concat(shape[i]);
    }
    out += shape.size() == 1 ? ",), }" : "), }";
    return out;
}

// itemsize times the product of the shape; nullopt when it does not fit 64 bits.
inline std::optional<std::uint64_t> data_size(std::uint64_t itemsize, std::span<const std::uint64_t> shape) noexcept {
    for (std::uint64_t extent : shape)
        if (extent == 0) return 0;
    std::uint64_t total = itemsize;
    for (std::uint64_t extent : shape) {
        if (total != 0 && extent > UINT64_MAX / total) return std::nullopt;
        total *= extent;
    }
    return total;
}

}  // namespace kelparine::array_message
