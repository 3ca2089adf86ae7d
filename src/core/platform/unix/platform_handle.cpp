#include "platform_handle.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "../../text.hpp"
#include "../../wait/idle.hpp"

namespace kelparine {
namespace {

constexpr mode_t kCreateMode = 0666;
constexpr mode_t kModeBits = 07777;
// Bounds the exclusive-create / open dance when another process keeps creating and removing
// the same name between our two calls.
constexpr int kCreateAttempts = 64;
// Waiting for another process's sizing lock: it is held for a few system calls by a creator,
// or indefinitely by anyone who can open the segment. Nobody wakes us, so the slices bound how
// late a release is noticed; Ctrl-C is noticed within kInterruptCheckNs either way.
constexpr wait::ParkSchedule kSizeLockSchedule{wait::kMillisecond, 50 * wait::kMillisecond,
                                               10 * wait::kMillisecond};

// shm_open needs a C string; an embedded NUL would silently shorten the name.
Result<std::string> to_c_name(std::string_view name) {
    if (name.find('\0') != std::string_view::npos) return os_error(EINVAL);
    return std::string(name);
}

std::string octal(unsigned value) {
    char digits[16];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, 8);
    return concat("0o", std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// An exclusive flock on a segment's descriptor, released when the scope ends (or by the
// system if the process dies holding it). Held only around a few system calls.
class SizeLock {
public:
    SizeLock() noexcept = default;
    SizeLock(const SizeLock&) = delete;
    SizeLock& operator=(const SizeLock&) = delete;
    ~SizeLock() {
        if (fd_ >= 0) ::flock(fd_, LOCK_UN);
    }
    // Polls without blocking: a blocking flock could not be given up for Ctrl-C, and would
    // have to be made with the caller's lock held or abandoned mid-call.
    Status lock(int fd, wait::WaitHooks& hooks) {
        int error = 0;
        auto check = [&](bool& moved) {
            moved = false;
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return wait::Check::Ready;
            if (errno == EWOULDBLOCK || errno == EINTR) return wait::Check::Wait;
            error = errno;
            return wait::Check::Cancelled;
        };
        auto park = [](std::int64_t ns) { return wait::sleep_for(ns); };
        switch (wait::wait_until(check, park, hooks, wait::Deadline::never(), kSizeLockSchedule).outcome) {
            case wait::Outcome::Ready:
                fd_ = fd;
                return {};
            case wait::Outcome::Cancelled:
                return os_error(error);
            case wait::Outcome::Interrupted:
            case wait::Outcome::TimedOut:  // no deadline: cannot happen
                break;
        }
        return std::unexpected(ShmError::interrupted());
    }

private:
    int fd_ = -1;
};

// With an explicit mode, reuse is for a segment this user owns that grants no more than asked:
// otherwise a "private" segment could be one that someone else prepared and can read.
Status check_reusable(int fd, std::string_view name, mode_t mode) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return os_error_from_errno();
    const mode_t found = st.st_mode & kModeBits;
    if (st.st_uid == ::geteuid() && (found & ~mode) == 0) return {};
    return std::unexpected(ShmError::os(
        EACCES, concat("EACCES: Permission denied: '", name, "' is owned by uid ", st.st_uid, " with mode ",
                       octal(found), "; create(mode=", octal(mode), ") reuses only a segment of its own user (uid ",
                       ::geteuid(), ") whose mode grants no more than that")));
}

// Reserves all of [0, size). On tmpfs, fallocate makes the new size visible only once every
// page of the range is reserved, and on failure gives back what it reserved: the size peers
// can see never moves before the memory is there, and never moves back. It also reserves holes
// below the current size (a segment made sparse elsewhere), and never shrinks.
// The caller's lock is given up meanwhile (a large reservation takes a while); a signal handler
// that asks to stop ends it, which the kernel then rolls back.
Status reserve(int fd, std::uint64_t size, std::uint64_t current, wait::WaitHooks& hooks) {
    if (size == 0) return {};  // nothing to reserve (fallocate refuses an empty range)
    for (;;) {
        hooks.release();
        // A size of 2^63 or more arrives as a negative length and is refused with EINVAL.
        const int err = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
        hooks.reacquire();
        if (err == 0) return {};
        if (err == EINTR) {
            if (hooks.interrupted()) return std::unexpected(ShmError::interrupted());
            continue;
        }
        if (err != EOPNOTSUPP && err != ENOSYS) return os_error(err);
        // A file system without fallocate: the size can only be set, and stays sparse.
        if (size > current && ::ftruncate(fd, static_cast<off_t>(size)) != 0) return os_error_from_errno();
        return {};
    }
}

}  // namespace

Status validate_name(std::string_view name) {
    if (name.empty() || name.front() != '/')
        return invalid_argument("name must start with '/' (e.g. \"/my_segment\")");
    if (name.size() == 1) return invalid_argument("name must have at least one character after '/'");
    return {};
}

Result<PlatformHandle> PlatformHandle::create(std::string_view name, std::uint64_t size, wait::WaitHooks& hooks,
                                              const CreateOptions& options) {
    auto c_name = to_c_name(name);
    if (!c_name) return std::unexpected(std::move(c_name.error()));
    const char* path = c_name->c_str();
    const mode_t create_mode = options.mode ? static_cast<mode_t>(*options.mode) : kCreateMode;

    // Exclusive creation first, so that clean-up after a failure can tell a segment this call
    // made (removed again) from one that existed before (left in place). The umask can only
    // take bits away from create_mode, so the segment never grants more than asked, even
    // before the fchmod below.
    OwnedFd fd;
    bool created = false;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        int raw = ::shm_open(path, O_RDWR | O_CREAT | O_EXCL, create_mode);
        if (raw >= 0) {
            fd = OwnedFd(raw);
            created = true;
            break;
        }
        if (errno != EEXIST || options.exclusive) return os_error_from_errno();
        raw = ::shm_open(path, O_RDWR, 0);
        if (raw >= 0) {
            fd = OwnedFd(raw);
            break;
        }
        if (errno != ENOENT) return os_error_from_errno();
        // Removed between our two calls: try to create it again.
    }
    if (fd.get() < 0) return os_error(EEXIST);

    if (options.mode) {
        if (created) {
            if (::fchmod(fd.get(), create_mode) != 0) {
                const int err = errno;
                ::shm_unlink(path);
                return os_error(err);
            }
        } else if (auto reusable = check_reusable(fd.get(), name, create_mode); !reusable) {
            return std::unexpected(std::move(reusable.error()));
        }
    }

    // Creators of one name size it one at a time, under an advisory lock on the segment, and
    // read the size even when this call made the segment: another creator may have opened and
    // sized it between our shm_open and now, and a segment somebody else has sized is no
    // longer ours to remove when our own sizing fails.
    SizeLock size_lock;
    if (auto locked = size_lock.lock(fd.get(), hooks); !locked) {
        // Without the lock, "nobody has sized it" is the best sign that a segment this call
        // made is still its own to remove.
        struct stat st {};
        if (created && ::fstat(fd.get(), &st) == 0 && st.st_size == 0) ::shm_unlink(path);
        return std::unexpected(std::move(locked.error()));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        const int err = errno;
        if (created) ::shm_unlink(path);
        return os_error(err);
    }
    const std::uint64_t current = static_cast<std::uint64_t>(st.st_size);
    if (auto reserved = reserve(fd.get(), size, current, hooks); !reserved) {
        // Only a segment this call made and nobody has sized yet is ours to remove again.
        // Anything else keeps its size: nothing here ever cuts a segment back.
        if (created && current == 0) ::shm_unlink(path);
        return std::unexpected(std::move(reserved.error()));
    }
    return PlatformHandle(std::move(*c_name), size, std::move(fd), created && current == 0);
}

Result<PlatformHandle> PlatformHandle::open(std::string_view name) {
    auto c_name = to_c_name(name);
    if (!c_name) return std::unexpected(std::move(c_name.error()));
    OwnedFd fd(::shm_open(c_name->c_str(), O_RDWR, 0));
    if (fd.get() < 0) return os_error_from_errno();
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return os_error_from_errno();  // fd closed by its owner
    return PlatformHandle(std::move(*c_name), static_cast<std::uint64_t>(st.st_size), std::move(fd));
}

Result<PlatformHandle> PlatformHandle::create_anonymous(std::uint64_t size, wait::WaitHooks& hooks) {
    OwnedFd fd(::memfd_create("kelparine-queue", MFD_CLOEXEC));
    if (fd.get() < 0) return os_error_from_errno();
    if (auto reserved = reserve(fd.get(), size, 0, hooks); !reserved) return std::unexpected(std::move(reserved.error()));
    return PlatformHandle(std::string(), size, std::move(fd));
}

Result<PlatformHandle> PlatformHandle::adopt(OwnedFd fd) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return os_error_from_errno();
    return PlatformHandle(std::string(), static_cast<std::uint64_t>(st.st_size), std::move(fd));
}

Status PlatformHandle::remove(std::string_view name) {
    auto c_name = to_c_name(name);
    if (!c_name) return std::unexpected(std::move(c_name.error()));
    if (::shm_unlink(c_name->c_str()) != 0) return os_error_from_errno();
    return {};
}

Result<Mapping> PlatformHandle::map() const {
    void* base = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), 0);
    if (base == MAP_FAILED) return os_error_from_errno();
    return Mapping(static_cast<std::byte*>(base), size_);
}

}  // namespace kelparine
