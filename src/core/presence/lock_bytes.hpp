// Presence and roles as open-file-description locks on bytes of a segment's file far beyond any
// data: no byte of any layout is used, the kernel drops a process's locks when the last
// descriptor of their open file description closes (so when the process ends, however it
// ends), and every process that can open the file can test them, across PID namespaces that
// share the file system.
//
// The convention, which any program may follow (see the layouts page):
//   kPresenceByte  each process that has the segment open or mapped holds a shared (read) lock
//   kRoleByte(P)   each process holding a ring's producer role holds a shared lock; one that
//   kRoleByte(C)   took the role exclusively holds an exclusive (write) lock instead
// A test is F_OFD_GETLK for an exclusive lock of the byte: it reports a lock of another open
// file description, never one of the description it is asked through.
//
// Open-file-description locks, not process-associated record locks: a process loses the latter
// when it closes any descriptor of the file. Locks of one description never conflict with
// each other, so one process shares one description per segment (presence/registry.hpp).
#pragma once

#include <cstdint>

#include "../error.hpp"

namespace kelparine::presence {

inline constexpr std::int64_t kPresenceByte = std::int64_t{1} << 62;
enum class Role : unsigned { Producer = 0, Consumer = 1 };
constexpr std::int64_t role_byte(Role role) noexcept { return kPresenceByte + 1 + static_cast<std::int64_t>(role); }

enum class LockKind : unsigned char { Shared, Exclusive };

// Takes a lock of `kind` on `byte` through `fd`'s description without waiting. false: another
// description holds a conflicting lock.
Result<bool> try_lock(int fd, std::int64_t byte, LockKind kind) noexcept;
// Drops this description's lock on `byte`.
void unlock(int fd, std::int64_t byte) noexcept;
// Whether a description other than `fd`'s holds any lock on `byte`.
Result<bool> held_elsewhere(int fd, std::int64_t byte) noexcept;

}  // namespace kelparine::presence
