// When a wait must give up: never, at once (a single attempt), or at a point on the monotonic
// clock.
#pragma once

#include <cstdint>
#include <limits>

#include "clock.hpp"

namespace kelparine::wait {

class Deadline {
public:
    static Deadline never() noexcept { return Deadline(kNever); }
    // `ns` from now; 0 means a single attempt, with no waiting at all.
    static Deadline after_ns(std::int64_t ns) noexcept {
        if (ns <= 0) return Deadline(kNow);
        const std::int64_t start = monotonic_ns();
        return Deadline(ns >= kNever - start ? kNever - 1 : start + ns);
    }

    bool is_never() const noexcept { return at_ == kNever; }
    bool is_immediate() const noexcept { return at_ == kNow; }
    bool expired(std::int64_t now) const noexcept { return at_ != kNever && now >= at_; }
    // Nanoseconds left at `now` (0 when expired), or `cap` when that is sooner or there is no
    // deadline.
    std::int64_t remaining(std::int64_t now, std::int64_t cap) const noexcept {
        if (at_ == kNever) return cap;
        const std::int64_t left = at_ > now ? at_ - now : 0;
        return left < cap ? left : cap;
    }

private:
    static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
    static constexpr std::int64_t kNow = std::numeric_limits<std::int64_t>::min();
    explicit Deadline(std::int64_t at) noexcept : at_(at) {}
    std::int64_t at_;
};

}  // namespace kelparine::wait
