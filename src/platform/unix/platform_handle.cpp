#include "platform_handle.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelparine {
namespace {

constexpr mode_t kCreateMode = 0666;
// Bounds the exclusive-create / open dance when another process keeps creating and removing
// the same name between our two calls.
constexpr int kCreateAttempts = 64;

// shm_open needs a C string; an embedded NUL would silently shorten the name.
Result<std::string> to_c_name(std::string_view name) {
    if (name.find('\0') != std::string_view::npos) return os_error(EINVAL);
    return std::string(name);
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
    Status lock(int fd) {
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) return os_error_from_errno();
        }
        fd_ = fd;
        return {};
    }

private:
    int fd_ = -1;
};

}  // namespace

Status validate_name(std::string_view name) {
    if (name.empty() || name.front() != '/')
        return invalid_argument("name must start with '/' (e.g. \"/my_segment\")");
    if (name.size() == 1) return invalid_argument("name must have at least one character after '/'");
    return {};
}

Result<PlatformHandle> PlatformHandle::create(std::string_view name, std::uint64_t size) {
    auto c_name = to_c_name(name);
    if (!c_name) return std::unexpected(std::move(c_name.error()));
    const char* path = c_name->c_str();

    // Exclusive creation first, so that clean-up after a failure can tell a segment this call
    // made (removed again) from one that existed before (left in place).
    OwnedFd fd;
    bool created = false;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        int raw = ::shm_open(path, O_RDWR | O_CREAT | O_EXCL, kCreateMode);
        if (raw >= 0) {
            fd = OwnedFd(raw);
            created = true;
            break;
        }
        if (errno != EEXIST) return os_error_from_errno();
        raw = ::shm_open(path, O_RDWR, 0);
        if (raw >= 0) {
            fd = OwnedFd(raw);
            break;
        }
        if (errno != ENOENT) return os_error_from_errno();
        // Removed between our two calls: try to create it again.
    }
    if (fd.get() < 0) return os_error(EEXIST);

    // Creators of one name look at the size and change it one at a time, under an advisory
    // lock on the segment, and read the size even when this call made the segment: another
    // creator may have opened and grown it between our shm_open and now. Without this, a
    // creator that assumed an empty segment cut it back to its own smaller size under a
    // process that had mapped the larger one (whose accesses past the new end then fault).
    SizeLock size_lock;
    if (auto locked = size_lock.lock(fd.get()); !locked) {
        if (created) ::shm_unlink(path);
        return std::unexpected(std::move(locked.error()));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        const int err = errno;
        if (created) ::shm_unlink(path);
        return os_error(err);
    }
    const std::uint64_t current = static_cast<std::uint64_t>(st.st_size);
    // Only a segment this call made and nobody has sized yet is ours to remove again.
    const bool ours = created && current == 0;

    auto undo = [&] {
        if (ours) {
            ::shm_unlink(path);
        } else {
            ::ftruncate(fd.get(), static_cast<off_t>(current));
        }
    };

    if (size > current) {
        // A size of 2^63 or more arrives as a negative length and the system refuses it.
        if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
            const int err = errno;
            if (ours) ::shm_unlink(path);
            return os_error(err);
        }
        // ftruncate alone leaves the new range sparse: touching it when the file system is full
        // would kill the process with SIGBUS. Reserve it now so that such a segment fails here.
        int err;
        do {
            err = ::posix_fallocate(fd.get(), static_cast<off_t>(current),
                                    static_cast<off_t>(size - current));
        } while (err == EINTR);
        if (err != 0 && err != EOPNOTSUPP && err != ENOSYS) {
            undo();
            return os_error(err);
        }
    }
    return PlatformHandle(std::move(*c_name), size, std::move(fd));
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
