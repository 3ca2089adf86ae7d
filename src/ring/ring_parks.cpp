#include "ring_parks.hpp"

#include <vector>

#include "../core/wait/idle.hpp"
#include "../py/gil_hooks.hpp"

namespace kelparine::ring_object {
namespace {

using py::PyResult;

constexpr std::uint32_t low_half(std::uint64_t counter) noexcept { return static_cast<std::uint32_t>(counter); }

PyResult<bool> outcome(const wait::WaitResult& waited) {
    switch (waited.outcome) {
        case wait::Outcome::Ready: return true;
        case wait::Outcome::TimedOut: return false;
        case wait::Outcome::Interrupted: return py::python_error();
        case wait::Outcome::Cancelled: break;
    }
    return std::unexpected(py::closed_error(kClassName).error());
}

// One side's wait on one ring: `ready(ring, seen)` looks at the counters and reports the
// watched counter in `seen`; the park is on that counter's word.
template <class Ready>
PyResult<bool> wait_on(RingState& s, const std::uint32_t* word, bool& silent_peer,
                       const wait::Deadline& deadline, Ready&& ready) {
    py::GilHooks hooks;  // the call's hold keeps the mapping; the role is not marked busy
    const SpscRing ring = s.ring();
    std::uint32_t seen = 0;
    bool first = true;
    auto check = [&](bool& moved) {
        // Before any access to the mapping: close() unmaps once nobody is counted in.
        if (s.gate.closed()) return wait::Check::Cancelled;
        std::uint64_t watched = 0;
        const bool is_ready = ready(ring, watched);
        moved = !first && low_half(watched) != seen;
        seen = low_half(watched);
        first = false;
        return is_ready ? wait::Check::Ready : wait::Check::Wait;
    };
    auto park = [&](std::int64_t ns) { return wait::futex_wait(word, seen, ns); };
    const wait::WaitResult waited =
        wait::wait_until(check, park, hooks, deadline, silent_peer ? kSilentPeerParks : kWakingPeerParks);
    if (waited.found_without_wake) silent_peer = true;
    return outcome(waited);
}

}  // namespace

PyResult<bool> wait_for_message(RingState& s, const wait::Deadline& deadline) {
    return wait_on(s, s.ring().tail_word(), s.silent_producer, deadline,
                   [](const SpscRing& ring, std::uint64_t& watched) {
                       watched = ring.acquire_tail();
                       return watched != ring.own_head();
                   });
}

PyResult<bool> wait_for_room(RingState& s, std::uint64_t payload_size, const wait::Deadline& deadline) {
    const std::uint64_t frame = payload_size + ring_layout::kLengthSize;
    return wait_on(s, s.ring().head_word(), s.silent_consumer, deadline,
                   [frame](const SpscRing& ring, std::uint64_t& watched) {
                       watched = ring.acquire_head();
                       const std::uint64_t in_use = ring.own_tail() - watched;
                       // A capacity that became corrupt meanwhile: ready, and the write reports it.
                       auto capacity = ring.checked_capacity();
                       return !capacity || in_use > *capacity || *capacity - in_use >= frame;
                   });
}

PyResult<bool> wait_for_any_message(std::span<RingState* const> states, const wait::Deadline& deadline) {
    std::vector<wait::FutexWatch> watches;
    watches.reserve(states.size());
    bool silent = false;
    for (RingState* s : states) {
        watches.push_back({s->ring().tail_word(), 0});
        silent = silent || s->silent_producer;
    }
    py::GilHooks hooks;  // the caller holds every ring
    bool first = true;
    bool multi_wait = watches.size() > 1;
    auto check = [&](bool& moved) {
        moved = false;
        for (RingState* s : states) {
            if (s->gate.closed()) return wait::Check::Cancelled;
        }
        bool any = false;
        for (std::size_t i = 0; i < states.size(); ++i) {
            const SpscRing ring = states[i]->ring();
            const std::uint64_t tail = ring.acquire_tail();
            moved = moved || (!first && low_half(tail) != watches[i].expected);
            watches[i].expected = low_half(tail);
            any = any || tail != ring.own_head();
        }
        first = false;
        return any ? wait::Check::Ready : wait::Check::Wait;
    };
    auto park = [&](std::int64_t ns) {
        if (watches.empty()) return wait::sleep_for(ns);
        if (multi_wait) {
            bool unsupported = false;
            const wait::FutexResult parked = wait::futex_wait_any(watches, wait::monotonic_ns() + ns, unsupported);
            if (!unsupported) return parked;
            // An older kernel: park on the first ring only; the others are seen at the end of
            // each slice, which the park schedule bounds.
            multi_wait = false;
        }
        return wait::futex_wait(watches.front().word, watches.front().expected, ns);
    };
    const wait::WaitResult waited =
        wait::wait_until(check, park, hooks, deadline, silent ? kSilentPeerParks : kWakingPeerParks);
    return outcome(waited);
}

}  // namespace kelparine::ring_object
