// A process's presence on the segments it has open or mapped, and its roles on rings, kept by
// the kernel as locks on bytes of the segment's file (lock_bytes.hpp).
//
// All objects of one process on one segment (handles, views, rings) share one open file
// description of the process's own: locks of one description never conflict with each other,
// so a test through it sees exactly the other processes. Each object holds a Presence; the
// description closes, and the kernel drops the locks, when the process's last one goes. A
// role is held per object (RoleHold) and per process on the description: the lock is taken by
// the process's first holder and dropped with its last.
//
// Fork: a child inherits its parent's descriptors, and with them the parent's locks for as long
// as it keeps them. after_fork_in_child() gives every segment a description of the child's own
// with the child's presence, closes the inherited one (the parent's locks stay the parent's),
// and forgets the roles: the child takes its own at its first producing or consuming call.
// Until the child has done so (right after fork, before it runs anything else), a lock the
// parent takes on the shared description is held through the child's copy too.
//
// Presence is best effort: where the file cannot be opened again (no /proc), an object has no
// presence, its tests answer "unknown", and waits behave as they would without presence.
//
// Not thread-safe: callers serialise every call (the binding holds the interpreter lock).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "../error.hpp"
#include "../platform/unix/file_id.hpp"
#include "lock_bytes.hpp"

namespace kelparine::presence {

struct Site;

namespace detail {
inline std::uint64_t g_generation = 0;  // changed only in a fork child, before it runs anything
}  // namespace detail

// The forks since the process started: a RoleHold taken before the latest fork is void.
inline std::uint64_t generation() noexcept { return detail::g_generation; }

class RoleHold {
public:
    RoleHold() noexcept = default;
    RoleHold(RoleHold&& other) noexcept;
    RoleHold& operator=(RoleHold&& other) noexcept;
    RoleHold(const RoleHold&) = delete;
    RoleHold& operator=(const RoleHold&) = delete;
    ~RoleHold() { release(); }

    // Held in this process as it is now (the fast path of every producing or consuming call).
    // A hold without a site is held in name only (no presence, or the lock could not be
    // taken): calls go ahead without a system call each time, and nothing is released.
    [[gnu::always_inline]] bool held() const noexcept { return held_ && generation_ == generation(); }
    void release() noexcept;

private:
    friend class Presence;
    Site* site_ = nullptr;
    Role role_ = Role::Producer;
    std::uint64_t generation_ = 0;
    bool held_ = false;
};

class Presence {
public:
    Presence() noexcept = default;
    // Presence on the segment `segment_fd` is a descriptor of (any description of it).
    static Presence take(int segment_fd) noexcept;
    Presence(Presence&& other) noexcept;
    Presence& operator=(Presence&& other) noexcept;
    Presence(const Presence&) = delete;
    Presence& operator=(const Presence&) = delete;
    ~Presence() { reset(); }
    void reset() noexcept;

    bool known() const noexcept { return site_ != nullptr; }
    // The segment's file, also where presence is unknown; empty only if fstat failed or after
    // reset().
    std::optional<FileId> file() const noexcept { return file_; }
    // Whether another process is present on the segment; empty when presence is unknown.
    std::optional<bool> others_present() const noexcept;
    // Whether any live process (this one included) holds `role`; empty when unknown.
    std::optional<bool> role_held(Role role) const noexcept;
    // Whether another process holds `role` exclusively (so this one may not take it).
    std::optional<bool> role_held_elsewhere(Role role) const noexcept;

    enum class Taking : unsigned char { Taken, HeldElsewhere };
    // Takes `role` for one object into `into` (kept as it is if held already). Shared: refused
    // only while another process holds it exclusively. Exclusive: refused while another process
    // holds it at all. Without presence the role is taken in name only.
    Result<Taking> take_role(Role role, LockKind kind, RoleHold& into) const noexcept;
    // Whether this process holds `role` exclusively.
    bool holds_exclusively(Role role) const noexcept;
    // The process's own open file description of the segment (-1 when presence is unknown),
    // through which other per-process locks on the segment's bytes are taken (queue member
    // slots). It changes in a fork child (after_fork_in_child): ask again after a fork.
    int description() const noexcept;

    // In a child process after fork, before it runs anything else (see above).
    static void after_fork_in_child() noexcept;

private:
    Site* site_ = nullptr;
    std::optional<FileId> file_;
};

}  // namespace kelparine::presence
