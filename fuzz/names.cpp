// libFuzzer target: segment-name validation and the error-number texts, over arbitrary bytes.
//
// validate_name must accept exactly the names that start with '/' and have at least one more
// byte, whatever else they hold (NULs, more slashes, invalid UTF-8, any length), and must not
// read past the name. errno_text must give "NAME: description" or the unknown-errno text for
// every int, never reading outside its table.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/error.hpp"
#include "core/platform/unix/platform_handle.hpp"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    // A copy of exactly `size` bytes with no terminator: reading one past the end is an overflow.
    std::unique_ptr<char[]> name(new char[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(name.get(), bytes, size);
    const std::string_view text(name.get(), size);

    const auto valid = kelparine::validate_name(text);
    const bool expected = size >= 2 && text.front() == '/';
    check(valid.has_value() == expected);
    if (!valid) {
        check(valid.error().kind() == kelparine::ShmError::Kind::InvalidArgument);
        check(valid.error().message() == (size == 1 && text.front() == '/'
                                              ? "name must have at least one character after '/'"
                                              : "name must start with '/' (e.g. \"/my_segment\")"));
    }

    if (size >= 4) {
        int errnum;
        std::memcpy(&errnum, bytes, sizeof errnum);
        for (int candidate : {errnum, errnum & 0xFF, -(errnum & 0xFF)}) {
            const std::string message = kelparine::ShmError::errno_text(candidate);
            const bool known = message.size() > 3 && message[0] == 'E' && message.find(": ") != std::string::npos;
            check(known || message == "UnknownErrno: Unknown errno");
        }
    }
    return 0;
}
