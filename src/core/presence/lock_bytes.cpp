#include "lock_bytes.hpp"

#include <fcntl.h>

#include <cerrno>

namespace kelparine::presence {
namespace {

struct flock one_byte(std::int64_t byte, short type) noexcept {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    lock.l_pid = 0;  // must be 0 for open-file-description locks
    return lock;
}

}  // namespace

Result<bool> try_lock(int fd, std::int64_t byte, LockKind kind) noexcept {
    struct flock lock = one_byte(byte, kind == LockKind::Shared ? F_RDLCK : F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return true;
    if (errno == EAGAIN || errno == EACCES) return false;
    return os_error_from_errno();
}

void unlock(int fd, std::int64_t byte) noexcept {
    struct flock lock = one_byte(byte, F_UNLCK);
    (void)::fcntl(fd, F_OFD_SETLK, &lock);  // cannot fail for a valid descriptor and range
}

Result<bool> held_elsewhere(int fd, std::int64_t byte) noexcept {
    struct flock lock = one_byte(byte, F_WRLCK);
    if (::fcntl(fd, F_OFD_GETLK, &lock) != 0) return os_error_from_errno();
    return lock.l_type != F_UNLCK;
}

}  // namespace kelparine::presence
