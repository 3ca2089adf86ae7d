// Parking and waking on a ring: a consumer waiting for a message parks on the low half of
// `tail`, a producer waiting for room on the low half of `head`, and the other side wakes it
// when it publishes. No byte is added to the layout: the futex words are the counters.
//
// Why no wake-up is lost, and why a publisher usually makes no system call
// -------------------------------------------------------------------------
// Waiter. It parks only through wait::wait_until, which (a) parks on the value v it last saw
// the watched counter hold, with FUTEX_WAIT(word, low32(v)), which sleeps only if the word
// still holds low32(v) when the kernel looks, with a full barrier before that look; and (b)
// parks on v only once its settle time has passed (wait::SettleClock) since a reading taken
// after it first saw v. A consumer waits only when the ring is empty, so it parks on a value of
// tail equal to its own head, and head stays there while it is parked. A producer waits for
// room, so it may park on any value head has held.
//
// Publisher. It stores its counter (release), issues a full fence, then decides. The store,
// fence and load on the publisher and the barrier and look in the kernel make a Dekker pair:
// either the publisher's later loads see what the waiter stored before parking, or the kernel's
// look sees the new value (FUTEX_WAIT fails with EAGAIN). Only the waking publishes (put, get
// and the other members that wait) decide; push and pop store and nothing more.
//
// Invariant: after a waking publish that stores T, no waiter stays asleep on a value below T
// (every park on one is woken, or its look fails). The ledger keeps what this side's last
// waking publish stored (`published`), so a publish may rely on the invariant of that one.
//
// Tail (consumer). After the fence the publisher loads head, h. A park on v < h is over and
// cannot start again (head only grows); a park on a value between h and the new tail starts
// after the consumer stores head there, which the load did not see, so its look sees the new
// tail. Only a park on h remains:
//   1. h is past the old tail: the consumer took frames of this publish. No wake.
//   2. h is below `published`, which is not past the old tail: the invariant of that publish
//      holds for h. No wake. While the consumer keeps pace with put this is the common case:
//      no clock reading, no system call.
//   3. h is `published`, and this side's clock reading L taken before that store is recent:
//      the consumer first saw h after that store, so it cannot park on h before its settle has
//      passed from then. The publisher reads the clock after its own store and fence: if that
//      is still within the skip window of L (shorter, in real time, than any waiter's settle:
//      wait::SettleClock), every store that moved tail off h was visible before the consumer
//      could park. No wake.
//   4. Otherwise (h is the old tail stored long ago, or a value some store that ran no decision
//      left: a push, or another object) the consumer may be asleep on h: FUTEX_WAKE.
// Head (producer). The consumer does not know which value a producer waiting for room parks on,
// so it skips only when the old head is `published` (no store since this side's last waking
// publish, whose invariant covers every value below it) and case 3's clock test passes for
// it; otherwise FUTEX_WAKE. A pop since then makes the old head differ: the next get wakes.
//
// So while the peer keeps pace (messages a few microseconds apart), put and get make no system
// call; when the peer has been idle longer, one FUTEX_WAKE per wake-up is cheap beside the idle
// time; the first waking publish after a push or pop may make one call with nobody to wake. The
// fence costs a cache-line transfer when the peer is busy on the counter's line; it is the
// price of never losing a wake-up.
//
// Limits, each bounded by the timed parks (wait::ParkSchedule): push and pop never wake, so a
// waiter parked on a value one of them left sleeps until the peer's next waking publish; a peer
// from another program following the layout never wakes anyone; a waiter from another program
// that parks without settling first may miss a skipped wake; a creator's re-initialisation
// moves the counters back under ledgers that keep the old values (case 2 ignores a value past
// the old tail, but pushes may carry tail past it again before the next put); and the low
// halves of a counter repeat after 4 GiB, so a ring of 4 GiB or more could see one frame of
// exactly 4 GiB as no change.
#pragma once

#include <atomic>
#include <cstdint>

#include "../wait/clock.hpp"
#include "../wait/futex.hpp"
#include "../wait/idle.hpp"
#include "ring.hpp"

namespace kelparine {

// What one side of one ring object knows about its own last waking publish: the value it
// stored and a clock reading taken before that store. Process-local; never shared.
struct WakeLedger {
    static constexpr std::int64_t kUnknown = INT64_MIN;
    std::uint64_t published = 0;
    bool has_published = false;            // `published` was stored by a waking publish
    std::int64_t stored_after = kUnknown;  // a clock reading taken before `published` was stored
    std::int64_t last_reading = kUnknown;  // the latest clock reading this side has taken

    // Whether this side's last waking publish stored a value in (value, old_value], walking up
    // from `value` in the counters' modular order: the counter passed `value` no later than
    // that publish, and has not moved back since (case 2 of the argument above).
    bool stored_past(std::uint64_t value, std::uint64_t old_value) const noexcept {
        return has_published && old_value - published < old_value - value;
    }
    // Whether a waiter parked on `value` may be asleep now: false only when this side stored
    // `value` within the skip window (case 3). Reads the clock.
    bool peer_may_sleep_on(std::uint64_t value) noexcept {
        const std::int64_t now = wait::SettleClock::now();
        const bool recent = published == value && stored_after != kUnknown &&
                            now - stored_after < wait::SettleClock::skip_window();
        last_reading = now;
        return !recent;
    }
    void record(std::uint64_t value, std::int64_t reading_before_store) noexcept {
        published = value;
        has_published = true;
        stored_after = reading_before_store;
    }
};

// Publishes a new tail and wakes a consumer that may be parked where head is (cases 1 to 4
// above). Returns whether it called FUTEX_WAKE.
inline bool publish_tail_and_wake(SpscRing& ring, std::uint64_t old_tail, std::uint64_t new_tail,
                                  WakeLedger& ledger) noexcept {
    const std::int64_t before = ledger.last_reading;  // taken before this store
    ring.publish_tail(new_tail);
    // Full fence: the store above is globally visible before head is loaded (the Dekker pair).
    std::atomic_thread_fence(std::memory_order_seq_cst);
    // Acquire load of the consumer's head: where a parked consumer sleeps.
    const std::uint64_t head = ring.acquire_head();
    const bool consumer_past_old_tail = new_tail - head < new_tail - old_tail;  // case 1
    const bool wake = !consumer_past_old_tail && !ledger.stored_past(head, old_tail) &&
                      ledger.peer_may_sleep_on(head);
    if (wake) wait::futex_wake_all(ring.tail_word());
    ledger.record(new_tail, before);
    return wake;
}

// Publishes a new head and wakes a producer that may be parked on the old one or below (it
// waits for room and cannot be told how much it needs). Returns whether it called FUTEX_WAKE.
inline bool publish_head_and_wake(SpscRing& ring, std::uint64_t old_head, std::uint64_t new_head,
                                  WakeLedger& ledger) noexcept {
    const std::int64_t before = ledger.last_reading;
    ring.publish_head(new_head);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const bool wake = ledger.peer_may_sleep_on(old_head);
    if (wake) wait::futex_wake_all(ring.head_word());
    ledger.record(new_head, before);
    return wake;
}

// Parks: 1 ms slices for the first 50 ms of a wait, then doubling up to 16 ms (an idle wait
// wakes some 60 times a second, well under 1% of a core even where a timer wake-up costs tens
// of microseconds); 1 ms throughout once a ring object has seen a peer deliver without waking
// it.
inline constexpr wait::ParkSchedule kWakingPeerParks{wait::kMillisecond, 50 * wait::kMillisecond,
                                                     16 * wait::kMillisecond};
inline constexpr wait::ParkSchedule kSilentPeerParks{wait::kMillisecond, 0, wait::kMillisecond};

}  // namespace kelparine
