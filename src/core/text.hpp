// Message building: concatenate text pieces and decimal numbers.
// Messages are fixed English templates; numbers are plain decimal, booleans "true"/"false".
#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace kelparine {

namespace detail {
inline void append_piece(std::string& out, std::string_view piece) { out.append(piece); }
inline void append_piece(std::string& out, const char* piece) { out.append(piece); }
inline void append_piece(std::string& out, const std::string& piece) { out.append(piece); }
inline void append_piece(std::string& out, bool value) { out.append(value ? "true" : "false"); }
template <std::integral Int>
    requires(!std::same_as<Int, bool> && !std::same_as<Int, char>)
void append_piece(std::string& out, Int value) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, end);
}
}  // namespace detail

template <class... Pieces>
std::string concat(const Pieces&... pieces) {
    std::string out;
    (detail::append_piece(out, pieces), ...);
    return out;
}

}  // namespace kelparine
