// Parking and waking on a ring: a consumer waiting for a message parks on the low half of
// `tail`, a producer waiting for room on the low half of `head`, and the other side wakes it
// when it publishes. No byte is added to the layout: the futex words are the counters.
//
// Why no wake-up is lost, and why a publisher usually makes no system call
// -------------------------------------------------------------------------
// Waiter (consumer; the producer's case is the same with head and tail swapped). It parks only
// through wait::wait_until, which (a) parks on the value v it last saw tail hold, with
// FUTEX_WAIT(tail_word, low32(v)), which sleeps only if the word still holds low32(v) when the
// kernel looks, with a full barrier before that look; and (b) parks on v only once its settle
// time has passed (wait::SettleClock) since a reading taken after it first saw v.
//
// Publisher. It stores the new tail (release), issues a full fence, then decides:
//   1. It loads head. If head != the old tail, the consumer had not caught up with the frames
//      before this one, so it cannot be parked on the old tail; and a consumer parked on an
//      older value v would have been parked before v was overwritten, when the put that moved
//      tail from v ran this same decision (below). No wake.
//   2. Otherwise the consumer may be parked on the old tail. If this object itself published
//      the old tail, it knows a clock reading L taken before that store (the ledger). The
//      consumer first saw the old tail after that store, so it cannot park on it before its
//      settle has passed from then. The publisher reads the clock after its own store and
//      fence: if that is still within the skip window of L (shorter, in real time, than any
//      waiter's settle: wait::SettleClock), its new tail was visible before the consumer could
//      park, so the kernel's look at the word will see it change (FUTEX_WAIT fails with
//      EAGAIN): no wake needed. In every other case it calls FUTEX_WAKE.
// The store/fence/load on the publisher and the barrier/look in the kernel make a Dekker pair:
// either the publisher sees the consumer's head (case 2 applies), or the kernel sees the new
// tail. So while the peer keeps pace (messages a few microseconds apart), put and get make no
// system call; when the peer has been idle longer, one FUTEX_WAKE per wake-up is cheap beside
// the idle time. The fence costs a cache-line transfer when the peer is busy on the counter's
// line; it is the price of never losing a wake-up.
//
// Limits, each bounded by the timed parks (wait::ParkSchedule): a peer that only uses push and
// pop, or another program following the layout, never wakes anyone; a waiter from another
// program that parks without settling first may miss a skipped wake; and the low halves of a
// counter repeat after 4 GiB, so a ring of 4 GiB or more could see one frame of exactly 4 GiB
// as no change.
#pragma once

#include <atomic>
#include <cstdint>

#include "../wait/clock.hpp"
#include "../wait/futex.hpp"
#include "../wait/idle.hpp"
#include "ring.hpp"

namespace kelparine {

// What one side of one ring object knows about its own last store: the value it stored and a
// clock reading taken before that store. Process-local; never shared.
struct WakeLedger {
    static constexpr std::int64_t kUnknown = INT64_MIN;
    std::uint64_t published = 0;
    std::int64_t stored_after = kUnknown;  // a clock reading taken before `published` was stored
    std::int64_t last_reading = kUnknown;  // the latest clock reading this side has taken

    // Whether a waiter parked on `old_value` may be asleep now: false only when this side
    // stored `old_value` within the skip window (see the argument above). Reads the clock.
    bool peer_may_sleep_on(std::uint64_t old_value) noexcept {
        const std::int64_t now = wait::SettleClock::now();
        const bool recent = published == old_value && stored_after != kUnknown &&
                            now - stored_after < wait::SettleClock::skip_window();
        last_reading = now;
        return !recent;
    }
    void record(std::uint64_t value, std::int64_t reading_before_store) noexcept {
        published = value;
        stored_after = reading_before_store;
    }
};

// Publishes a new tail and wakes a consumer that may be parked on the old one.
inline void publish_tail_and_wake(SpscRing& ring, std::uint64_t old_tail, std::uint64_t new_tail,
                                  WakeLedger& ledger) noexcept {
    const std::int64_t before = ledger.last_reading;  // taken before this store
    ring.publish_tail(new_tail);
    // Full fence: the store above is globally visible before head is loaded (the Dekker pair).
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (ring.acquire_head() == old_tail && ledger.peer_may_sleep_on(old_tail))
        wait::futex_wake_all(ring.tail_word());
    ledger.record(new_tail, before);
}

// Publishes a new head and wakes a producer that may be parked on the old one (waiting for
// room: it cannot be told how much room it needs, so every publish decides on the clock).
inline void publish_head_and_wake(SpscRing& ring, std::uint64_t old_head, std::uint64_t new_head,
                                  WakeLedger& ledger) noexcept {
    const std::int64_t before = ledger.last_reading;
    ring.publish_head(new_head);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (ledger.peer_may_sleep_on(old_head)) wait::futex_wake_all(ring.head_word());
    ledger.record(new_head, before);
}

// Parks: 1 ms slices for the first 50 ms of a wait, then doubling up to 16 ms (an idle wait
// wakes some 60 times a second, well under 1% of a core even where a timer wake-up costs tens
// of microseconds); 1 ms throughout once a ring object has seen a peer deliver without waking
// it.
inline constexpr wait::ParkSchedule kWakingPeerParks{wait::kMillisecond, 50 * wait::kMillisecond,
                                                     16 * wait::kMillisecond};
inline constexpr wait::ParkSchedule kSilentPeerParks{wait::kMillisecond, 0, wait::kMillisecond};

}  // namespace kelparine
