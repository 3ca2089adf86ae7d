#include "futex.hpp"

#include "idle.hpp"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace kelparine::wait {
namespace {

#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449
#endif
#ifndef FUTEX2_SIZE_U32
#define FUTEX2_SIZE_U32 0x02
#endif

// The kernel's struct futex_waitv (linux/futex.h since 5.16), spelled out so that older
// headers still build.
struct KernelWaitv {
    std::uint64_t val;
    std::uint64_t uaddr;
    std::uint32_t flags;
    std::uint32_t reserved;
};

FutexResult classify(long rc) noexcept {
    if (rc >= 0) return FutexResult::Woken;
    switch (errno) {
        case EAGAIN: return FutexResult::Changed;
        case ETIMEDOUT: return FutexResult::TimedOut;
        case EINTR: return FutexResult::Signal;
        default: return FutexResult::Woken;  // anything else: let the caller re-check
    }
}

timespec to_timespec(std::int64_t ns) noexcept {
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

FutexResult futex_wait(const std::uint32_t* word, std::uint32_t expected, std::int64_t timeout_ns) noexcept {
    const timespec timeout = to_timespec(timeout_ns > 0 ? timeout_ns : 1);
    return classify(::syscall(SYS_futex, word, FUTEX_WAIT, expected, &timeout, nullptr, 0));
}

int futex_wake_all(const std::uint32_t* word) noexcept {
    const long rc = ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
    return rc > 0 ? static_cast<int>(rc) : 0;
}

FutexResult futex_wait_any(std::span<const FutexWatch> watches, std::int64_t deadline_ns, bool& unsupported) noexcept {
    unsupported = false;
    if (watches.empty() || watches.size() > kMaxFutexWatches) {
        unsupported = true;
        return FutexResult::Changed;
    }
    KernelWaitv waiters[kMaxFutexWatches];
    for (std::size_t i = 0; i < watches.size(); ++i) {
        waiters[i] = KernelWaitv{watches[i].expected, reinterpret_cast<std::uintptr_t>(watches[i].word),
                                 FUTEX2_SIZE_U32, 0};
    }
    const timespec deadline = to_timespec(deadline_ns);
    const long rc = ::syscall(SYS_futex_waitv, waiters, static_cast<unsigned>(watches.size()), 0u, &deadline,
                              CLOCK_MONOTONIC);
    if (rc < 0 && (errno == ENOSYS || errno == EINVAL)) {
        unsupported = true;
        return FutexResult::Changed;
    }
    return classify(rc);
}

bool SettleClock::counter_is_the_kernels_clock() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    // The kernel keeps time with the time-stamp counter only when it found it invariant and
    // synchronised between processors.
    const int fd = ::open("/sys/devices/system/clocksource/clocksource0/current_clocksource", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char name[16] = {};
    const ssize_t got = ::read(fd, name, sizeof name - 1);
    ::close(fd);
    return got >= 3 && std::strncmp(name, "tsc", 3) == 0 && (got == 3 || name[3] == '\n');
#else
    return false;
#endif
}

FutexResult sleep_for(std::int64_t ns) noexcept {
    const timespec pause = to_timespec(ns > 0 ? ns : 1);
    if (::nanosleep(&pause, nullptr) == 0) return FutexResult::TimedOut;
    return errno == EINTR ? FutexResult::Signal : FutexResult::TimedOut;
}

}  // namespace kelparine::wait
