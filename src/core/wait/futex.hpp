// Futex calls on 32-bit words inside shared mappings. Every call is the shared (not private)
// form: the kernel keys the word by the segment's file and offset, so waiters and wakers in
// different processes that map the same segment meet on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kelparine::wait {

enum class FutexResult : unsigned char {
    Woken,     // a wake arrived (or a spurious return; the caller re-checks either way)
    Changed,   // the word no longer held the expected value when the call began
    TimedOut,  // the slice ended
    Signal,    // a signal handler ran in this thread (EINTR)
};

// Sleeps while *word == expected, for at most `timeout_ns` (> 0).
FutexResult futex_wait(const std::uint32_t* word, std::uint32_t expected, std::int64_t timeout_ns) noexcept;

// Wakes every waiter on `word`; returns how many there were.
int futex_wake_all(const std::uint32_t* word) noexcept;

// One word of a multi-word wait.
struct FutexWatch {
    const std::uint32_t* word;
    std::uint32_t expected;
};

// Sleeps while every watched word holds its expected value, until the absolute CLOCK_MONOTONIC
// time `deadline_ns`. Linux 5.16 and later (futex_waitv); `unsupported` is set, and nothing
// waited, where the kernel lacks it or `watches` is longer than it accepts (128).
FutexResult futex_wait_any(std::span<const FutexWatch> watches, std::int64_t deadline_ns, bool& unsupported) noexcept;

inline constexpr std::size_t kMaxFutexWatches = 128;

}  // namespace kelparine::wait
