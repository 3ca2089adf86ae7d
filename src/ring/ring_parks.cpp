#include "ring_parks.hpp"

#include <vector>

#include "../core/wait/idle.hpp"
#include "../py/gil_hooks.hpp"

namespace kelparine::ring_object {
namespace {

using py::PyResult;

constexpr std::uint32_t low_half(std::uint64_t counter) noexcept { return static_cast<std::uint32_t>(counter); }

// Whether the peer role a wait needs has ended: held by no live process, after this object
// saw it held. Looked at before each park (a system call, made only once the peer has stopped
// keeping pace), and before the ring is read again: a message the peer published before it
// ended is always seen first.
class PeerWatch {
public:
    PeerWatch(RingState& s, Role peer) noexcept : s_(s), peer_(peer) {}
    bool gone() const noexcept { return gone_; }
    void look() noexcept {
        const std::optional<bool> held = s_.presence.role_held(as_presence_role(peer_));
        if (!held) return;  // presence unknown: a wait never ends for it
        std::atomic<bool>& seen = s_.role_seen[static_cast<int>(peer_)];
        if (*held) {
            seen.store(true, std::memory_order_relaxed);
        } else if (seen.load(std::memory_order_relaxed)) {
            gone_ = true;
        }
    }

private:
    RingState& s_;
    Role peer_;
    bool gone_ = false;
};

}  // namespace

py::PyResult<void> report_peer_gone(RingState& s, Role waiting_role) {
    // Reported once per peer: the next wait waits for a peer to come (a restarted producer,
    // a new consumer), as a wait started before its first peer does.
    s.role_seen[static_cast<int>(peer_of(waiting_role))].store(false, std::memory_order_relaxed);
    if (waiting_role == Role::Consumer) {
        PyErr_SetString(PyExc_EOFError,
                        "the ring's producer is gone: no live process holds its producer role, and every "
                        "message it published has been taken");
    } else {
        PyErr_SetString(PyExc_BrokenPipeError,
                        "the ring's consumer is gone: no live process holds its consumer role, so the "
                        "message could never be taken");
    }
    return py::python_error();
}

namespace {

// Ready: true; timed out: false; the peer gone: EOFError for a consumer, BrokenPipeError for a
// producer (as a pipe's ends report it).
PyResult<bool> outcome(const wait::WaitResult& waited, RingState& s, Role waiting_role) {
    switch (waited.outcome) {
        case wait::Outcome::Ready: return true;
        case wait::Outcome::TimedOut: return false;
        case wait::Outcome::Interrupted: return py::python_error();
        case wait::Outcome::Cancelled: break;
    }
    if (s.gate.closed()) return std::unexpected(py::closed_error(kClassName).error());
    return std::unexpected(report_peer_gone(s, waiting_role).error());
}

// One side's wait on one ring: `ready(ring, seen)` looks at the counters and reports the
// watched counter in `seen`; the park is on that counter's word.
template <class Ready>
PyResult<bool> wait_on(RingState& s, Role role, const std::uint32_t* word, bool& silent_peer,
                       const wait::Deadline& deadline, Ready&& ready) {
    py::GilHooks hooks;  // the call's hold keeps the mapping; the role is not marked busy
    const SpscRing ring = s.ring();
    PeerWatch peer(s, peer_of(role));
    std::uint32_t seen = 0;
    bool first = true;
    auto check = [&](bool& moved) {
        if (s.gate.closed()) return wait::Check::Cancelled;
        std::uint64_t watched = 0;
        const bool is_ready = ready(ring, watched);
        moved = !first && low_half(watched) != seen;
        seen = low_half(watched);
        first = false;
        if (is_ready) return wait::Check::Ready;
        return peer.gone() ? wait::Check::Cancelled : wait::Check::Wait;
    };
    auto park = [&](std::int64_t ns) {
        peer.look();
        if (peer.gone()) return wait::FutexResult::Changed;  // the next check reports it
        const wait::FutexResult parked = wait::futex_wait(word, seen, ns);
        if (parked != wait::FutexResult::TimedOut) peer.look();  // woken or moved: most likely by a live peer
        return parked;
    };
    const wait::WaitResult waited =
        wait::wait_until(check, park, hooks, deadline, silent_peer ? kSilentPeerParks : kWakingPeerParks);
    if (waited.found_without_wake) silent_peer = true;
    return outcome(waited, s, role);
}

}  // namespace

PyResult<bool> wait_for_message(RingState& s, const wait::Deadline& deadline) {
    return wait_on(s, Role::Consumer, s.ring().tail_word(), s.silent_producer, deadline,
                   [](const SpscRing& ring, std::uint64_t& watched) {
                       watched = ring.acquire_tail();
                       return watched != ring.own_head();
                   });
}

PyResult<bool> wait_for_room(RingState& s, std::uint64_t payload_size, const wait::Deadline& deadline) {
    const std::uint64_t frame = payload_size + ring_layout::kLengthSize;
    return wait_on(s, Role::Producer, s.ring().head_word(), s.silent_consumer, deadline,
                   [frame](const SpscRing& ring, std::uint64_t& watched) {
                       watched = ring.acquire_head();
                       const std::uint64_t in_use = ring.own_tail() - watched;
                       // A capacity that became corrupt meanwhile: ready, and the write reports it.
                       auto capacity = ring.checked_capacity();
                       return !capacity || in_use > *capacity || *capacity - in_use >= frame;
                   });
}

PyResult<bool> wait_for_any_message(std::span<RingState* const> states, const wait::Deadline& deadline,
                                    std::vector<bool>& ended, std::span<queue_object::Selected> queues) {
    std::vector<wait::FutexWatch> watches;
    std::vector<PeerWatch> producers;
    watches.reserve(states.size() + queues.size());
    producers.reserve(states.size());
    bool silent = false;
    for (RingState* s : states) {
        watches.push_back({s->ring().tail_word(), 0});
        producers.emplace_back(*s, Role::Producer);
        silent = silent || s->silent_producer;
    }
    // A queue's word is its data sequence, armed (its waiter bit set) before each park.
    for (queue_object::Selected& queue : queues) watches.push_back({queue.word(), 0});
    ended.assign(states.size(), false);
    py::GilHooks hooks;  // the caller holds every ring and queue
    bool first = true;
    bool multi_wait = watches.size() > 1;
    // A ring whose producer is gone is ready too: its get() then reports the end of file.
    auto check = [&](bool& moved) {
        moved = false;
        for (RingState* s : states) {
            if (s->gate.closed()) return wait::Check::Cancelled;
        }
        for (const queue_object::Selected& queue : queues) {
            if (queue.state().gate.closed()) return wait::Check::Cancelled;
        }
        bool any = false;
        for (std::size_t i = 0; i < states.size(); ++i) {
            const SpscRing ring = states[i]->ring();
            const std::uint64_t tail = ring.acquire_tail();
            moved = moved || (!first && low_half(tail) != watches[i].expected);
            watches[i].expected = low_half(tail);
            ended[i] = producers[i].gone();
            any = any || tail != ring.own_head() || ended[i];
        }
        for (const queue_object::Selected& queue : queues) any = any || queue.ready();
        first = false;
        return any ? wait::Check::Ready : wait::Check::Wait;
    };
    auto park = [&](std::int64_t ns) {
        bool any_gone = false;
        for (PeerWatch& producer : producers) {
            producer.look();
            any_gone = any_gone || producer.gone();
        }
        bool in_flight = false;
        for (std::size_t i = 0; i < queues.size(); ++i) {
            // Armed, then checked once more: an item committed after the check bumps the
            // sequence (its producer sees the bit), one before it is seen here.
            watches[states.size() + i].expected = queues[i].arm();
            any_gone = any_gone || queues[i].ready() || queues[i].look();
            in_flight = in_flight || queues[i].in_flight();
        }
        if (any_gone) return wait::FutexResult::Changed;
        if (in_flight && ns > queue_object::kStuckSliceNs) ns = queue_object::kStuckSliceNs;
        wait::FutexResult parked;
        if (watches.empty()) return wait::sleep_for(ns);
        if (multi_wait) {
            bool unsupported = false;
            parked = wait::futex_wait_any(watches, wait::monotonic_ns() + ns, unsupported);
            if (unsupported) {
                // An older kernel: park on the first word only; the others are seen at the end
                // of each slice, which the park schedule bounds.
                multi_wait = false;
                parked = wait::futex_wait(watches.front().word, watches.front().expected, ns);
            }
        } else {
            parked = wait::futex_wait(watches.front().word, watches.front().expected, ns);
        }
        if (parked == wait::FutexResult::TimedOut && in_flight) {
            for (queue_object::Selected& queue : queues)
                if (queue.in_flight()) queue.stuck();
        }
        return parked;
    };
    const wait::WaitResult waited =
        wait::wait_until(check, park, hooks, deadline, silent ? kSilentPeerParks : kWakingPeerParks);
    switch (waited.outcome) {
        case wait::Outcome::Ready: return true;
        case wait::Outcome::TimedOut: return false;
        case wait::Outcome::Interrupted: return py::python_error();
        case wait::Outcome::Cancelled: break;  // only ever for a closed ring or queue
    }
    for (const queue_object::Selected& queue : queues) {
        if (queue.state().gate.closed()) return std::unexpected(py::closed_error(queue_object::kClassName).error());
    }
    return std::unexpected(py::closed_error(kClassName).error());
}

}  // namespace kelparine::ring_object
