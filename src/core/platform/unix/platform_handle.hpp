// Named POSIX shared-memory segments: the name rule and the handle (name, size, descriptor).
// The only place the module calls the operating system for segments. No Python dependency.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "../../error.hpp"
#include "../../wait/hooks.hpp"
#include "owned_fd.hpp"

namespace kelparine {

// Accepts any name that starts with '/' and has at least one more byte; everything else
// (inner '/', NUL, length, character set) is left to the system.
Status validate_name(std::string_view name);

struct CreateOptions {
    // Permission bits (at most 07777). Applied exactly, umask or not, to a segment the call
    // creates. An existing segment is then reused only if it belongs to this process's user and
    // its mode grants nothing beyond these bits; otherwise EACCES and it is left untouched.
    std::optional<std::uint32_t> mode = std::nullopt;
    // An existing segment is refused with EEXIST before anything about it is looked at.
    bool exclusive = false;
};

class PlatformHandle {
public:
    // Opens or creates the segment read-write (by default mode 0666 less the umask) and makes it
    // at least `size` bytes, with all of [0, size) reserved so that touching it cannot fault for
    // want of memory. The size other processes see only ever grows, and only once the memory
    // behind it is reserved: peers may open and map it at any moment.
    // Waiting for another creator of the same name goes through `hooks` (given up while it
    // sleeps; an interrupted wait returns ShmError::interrupted()).
    // On failure, a segment this call created is removed; one that existed is left as it was.
    static Result<PlatformHandle> create(std::string_view name, std::uint64_t size, wait::WaitHooks& hooks,
                                         const CreateOptions& options = {});
    // Opens an existing segment read-write; its size comes from fstat (0 is accepted).
    static Result<PlatformHandle> open(std::string_view name);
    // An anonymous segment (memfd_create, close-on-exec) of `size` bytes, reserved as create()
    // reserves: it has no name, so nothing is left behind; it reaches other processes only as
    // a descriptor (inherited, or passed). Its name() is empty.
    static Result<PlatformHandle> create_anonymous(std::uint64_t size, wait::WaitHooks& hooks);
    // A handle on the segment descriptor `fd` (taken over; closed on failure), sized by fstat.
    static Result<PlatformHandle> adopt(OwnedFd fd);
    // shm_unlink: existing descriptors and mappings stay valid.
    static Status remove(std::string_view name);
    // A new shared read-write mapping of all `size()` bytes (size must be > 0; open only).
    Result<Mapping> map() const;
    // Closes the descriptor; idempotent. Name and size stay, and mappings made stay valid.
    void close() noexcept { fd_.reset(); }
    bool is_open() const noexcept { return fd_.get() >= 0; }

    const std::string& name() const noexcept { return name_; }
    std::uint64_t size() const noexcept { return size_; }
    int fd() const noexcept { return fd_.get(); }
    // Whether create() made the segment and sized it first: only then is it the caller's to
    // remove again when what it builds on the segment fails. False for open().
    bool made() const noexcept { return made_; }
    // Hands the descriptor over; the handle is closed after.
    OwnedFd take_fd() noexcept { return std::move(fd_); }

private:
    PlatformHandle(std::string name, std::uint64_t size, OwnedFd fd, bool made = false) noexcept
        : name_(std::move(name)), size_(size), fd_(std::move(fd)), made_(made) {}

    std::string name_;
    std::uint64_t size_;
    OwnedFd fd_;
    bool made_;
};

}  // namespace kelparine
