// The clocks of the waits. CLOCK_MONOTONIC (read through the vDSO, no system call where the
// kernel's clock source allows it) for deadlines and park slices; and settle ticks for the one
// decision every put and get makes, which must be cheap.
#pragma once

#include <time.h>

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace kelparine::wait {

inline std::int64_t monotonic_ns() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

inline constexpr std::int64_t kMicrosecond = 1'000;
inline constexpr std::int64_t kMillisecond = 1'000'000;
inline constexpr std::int64_t kSecond = 1'000'000'000;

// Settle ticks: how long a waiter has watched a value before it may park, and how recently a
// publisher stored the previous value (spsc/ring_wake.hpp). The processor's time-stamp counter
// where the kernel keeps time with it (so it runs at a constant rate and agrees between
// processors), at a third of the cost of clock_gettime; else nanoseconds of the monotonic
// clock. Only differences of one thread's own readings are compared, never readings of two
// processes, so the counter needs no calibration. What matters is that a publisher's skip
// window is shorter, in real time, than a waiter's settle, whichever clock each process uses:
//
//                   waiter settles     publisher skips within
//   counter         60'000 ticks       15'000 ticks
//   nanoseconds     20 us              5 us
//
// Same clock: 15'000 < 60'000 and 5 us < 20 us. A counter publisher beside a nanosecond
// waiter: 15'000 ticks < 20 us for any counter above 0.75 GHz. A nanosecond publisher beside a
// counter waiter: 5 us < 60'000 ticks for any counter below 12 GHz.
class SettleClock {
public:
    static std::int64_t now() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        if (counter()) [[likely]]
            return static_cast<std::int64_t>(__rdtsc());
#endif
        return monotonic_ns();
    }
    static std::int64_t settle() noexcept { return counter() ? 60'000 : 20 * kMicrosecond; }
    static std::int64_t skip_window() noexcept { return counter() ? 15'000 : 5 * kMicrosecond; }
    // Roughly a millisecond (0.5 to 2 ms for counters of 1 to 4 GHz), for rate limits.
    static std::int64_t about_a_millisecond() noexcept { return counter() ? 2'000'000 : kMillisecond; }

private:
    static bool counter() noexcept {
        static const bool use = counter_is_the_kernels_clock();
        return use;
    }
    static bool counter_is_the_kernels_clock() noexcept;  // read once, from sysfs
};

}  // namespace kelparine::wait
