// The module's single error type and the Result alias that carries it.
//
// Errors are values: every fallible core operation returns Result<T>, and a
// ShmError becomes a Python exception only at the member boundary
// (py/boundary.hpp). This header has no Python dependency.
#pragma once

#include <cerrno>
#include <expected>
#include <string>
#include <utility>

namespace kelparine {

class ShmError {
public:
    enum class Kind : unsigned char {
        Os,               // a failed system call; raised as the OSError subclass for its errno
        InvalidArgument,  // a rejected argument, size, bound, tag or datum; raised as ValueError
        TimedOut,         // a bounded wait ran out; raised as TimeoutError
        Interrupted,      // a wait abandoned because the caller asked (its exception is set)
    };

    // The error-number text for `errnum` ("ENOENT: No such file or directory").
    static ShmError os(int errnum) { return ShmError(Kind::Os, errno_text(errnum), errnum); }
    // An OS failure with a text of its own, for a refusal the system did not make itself.
    static ShmError os(int errnum, std::string message) { return ShmError(Kind::Os, std::move(message), errnum); }
    // Reads errno once; call it right after the failed call, before any clean-up.
    static ShmError os_from_errno() { return os(errno); }
    static ShmError invalid_argument(std::string message) {
        return ShmError(Kind::InvalidArgument, std::move(message));
    }
    static ShmError timed_out(std::string message) { return ShmError(Kind::TimedOut, std::move(message)); }
    static ShmError interrupted() { return ShmError(Kind::Interrupted, {}); }

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    // The error number of an Os error; 0 for the other kinds.
    int errnum() const noexcept { return errnum_; }

    // "NAME: description" for 1..133 (except 41 and 58), else "UnknownErrno: Unknown errno".
    static std::string errno_text(int errnum);

private:
    ShmError(Kind kind, std::string message, int errnum = 0)
        : kind_(kind), errnum_(errnum), message_(std::move(message)) {}

    Kind kind_;
    int errnum_;
    std::string message_;
};

template <class T>
using Result = std::expected<T, ShmError>;
using Status = Result<void>;

inline std::unexpected<ShmError> os_error(int errnum) { return std::unexpected(ShmError::os(errnum)); }
inline std::unexpected<ShmError> os_error_from_errno() { return std::unexpected(ShmError::os_from_errno()); }
inline std::unexpected<ShmError> invalid_argument(std::string message) {
    return std::unexpected(ShmError::invalid_argument(std::move(message)));
}

}  // namespace kelparine
