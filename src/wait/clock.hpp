// The one clock every wait and every wake decision reads: CLOCK_MONOTONIC, which is the same
// clock in every process of the host (a reading taken in one process can be compared with a
// reading taken in another). Read through the vDSO: no system call where the kernel's clock
// source allows it.
#pragma once

#include <time.h>

#include <cstdint>

namespace kelparine::wait {

inline std::int64_t monotonic_ns() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

inline constexpr std::int64_t kMicrosecond = 1'000;
inline constexpr std::int64_t kMillisecond = 1'000'000;
inline constexpr std::int64_t kSecond = 1'000'000'000;

}  // namespace kelparine::wait
