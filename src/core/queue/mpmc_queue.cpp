#include "mpmc_queue.hpp"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "../text.hpp"
#include "../wait/futex.hpp"

namespace kelparine {
namespace {

using namespace queue_layout;

constexpr bool is_power_of_two(std::uint64_t value) noexcept { return value != 0 && (value & (value - 1)) == 0; }

// Position a is at or past position b, for free-running counters less than 2^63 apart.
constexpr bool at_or_past(std::uint64_t a, std::uint64_t b) noexcept { return static_cast<std::int64_t>(a - b) >= 0; }

ShmError corrupt(std::string detail) { return ShmError::invalid_argument(concat("corrupt queue: ", detail)); }

}  // namespace

Status MpmcQueue::init(std::byte* base, std::uint64_t map_size, std::uint64_t capacity, std::uint64_t key) {
    if (!is_power_of_two(capacity) || capacity < kMinCapacity || segment_size(capacity) > map_size)
        return invalid_argument(concat("queue capacity ", capacity, " must be a power of two of at least ",
                                       kMinCapacity, " bytes within the segment"));
    // Ordinary stores: a new queue is made before any peer maps it (an anonymous queue before it
    // is handed on, a named one by its creator before it returns), like a ring's header.
    std::memset(base, 0, kDataOffset);
    MpmcQueue queue(base, map_size);
    queue.word32(kMagicOffset).store(kMagic, std::memory_order_relaxed);
    queue.word32(kVersionOffset).store(kVersion, std::memory_order_relaxed);
    queue.word64(kCapacityOffset).store(capacity, std::memory_order_relaxed);
    queue.word64(kKeyOffset).store(key == 0 ? 1 : key, std::memory_order_relaxed);
    queue.word64(kDataOffsetField).store(kDataOffset, std::memory_order_relaxed);
    for (std::uint16_t slot = 0; slot < kSlotCount; ++slot)
        queue.intent_pos(slot).store(kNoIntent, std::memory_order_relaxed);
    // Release: a thread of this process that maps the header after this sees it whole.
    std::atomic_thread_fence(std::memory_order_release);
    return {};
}

std::uint64_t MpmcQueue::capacity_for(std::uint64_t map_size) noexcept {
    if (map_size < segment_size(kMinCapacity)) return 0;
    const std::uint64_t room = map_size - kDataOffset;
    return std::uint64_t{1} << (63 - __builtin_clzll(room));
}

Status MpmcQueue::check(const std::byte* base, std::uint64_t map_size) {
    if (map_size < segment_size(kMinCapacity))
        return invalid_argument(concat("a queue needs a segment of at least ", segment_size(kMinCapacity),
                                       " bytes; this one has ", map_size));
    MpmcQueue queue(const_cast<std::byte*>(base), map_size);
    const std::uint32_t magic = queue.word32(kMagicOffset).load(std::memory_order_acquire);
    if (magic != kMagic) return invalid_argument("the segment does not hold a queue (no queue header)");
    const std::uint32_t version = queue.word32(kVersionOffset).load(std::memory_order_relaxed);
    if (version != kVersion)
        return invalid_argument(concat("the segment holds a queue of layout version ", version,
                                       "; this module reads version ", kVersion));
    const std::uint64_t capacity = queue.capacity();
    if (!is_power_of_two(capacity) || capacity < kMinCapacity || segment_size(capacity) > map_size ||
        queue.word64(kDataOffsetField).load(std::memory_order_relaxed) != kDataOffset)
        return std::unexpected(corrupt(concat("capacity ", capacity, " does not fit a segment of ", map_size, " bytes")));
    return {};
}

std::uint64_t MpmcQueue::random_key() noexcept {
    std::uint64_t key = 0;
    if (getrandom(&key, sizeof key, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof key)) {
        // No entropy yet (early boot): the clock and the process still make keys differ.
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        key = (static_cast<std::uint64_t>(now.tv_nsec) << 32) ^ static_cast<std::uint64_t>(now.tv_sec) ^
              (static_cast<std::uint64_t>(getpid()) * 0x9E3779B97F4A7C15ull);
    }
    return key == 0 ? 1 : key;
}

std::uint64_t MpmcQueue::max_payload() const noexcept {
    const std::uint64_t room = capacity() - kHeaderSize;
    return room < UINT32_MAX ? room : (UINT32_MAX & ~(kRecordAlign - 1));
}

bool MpmcQueue::adopt_slot(std::uint16_t slot) noexcept {
    // The slot's byte lock is ours, so no live process writes its intent; a consumer may clean
    // it concurrently only to kNoIntent, which the compare-and-swap below tolerates.
    std::uint64_t pos = intent_pos(slot).load(std::memory_order_acquire);
    if (pos != kNoIntent) {
        const std::uint64_t total = intent_total(slot).load(std::memory_order_relaxed);
        // The former holder's span is still ahead of head: its records still name this slot,
        // and a consumer must find the slot gone to skip them.
        if (!at_or_past(head(), pos + total)) return false;
        intent_pos(slot).compare_exchange_strong(pos, kNoIntent, std::memory_order_acq_rel);
    }
    // The former holder may have died holding the consumer lock: with the slot taken again it
    // would look held for ever. Freeing it loses nothing (head moves only after a copy is out).
    std::uint32_t word = lock_word();
    if (word != 0 && lock_holder(word) == slot &&
        word32(kConsumerLockOffset).compare_exchange_strong(word, 0, std::memory_order_acq_rel) &&
        (word & kLockWaiters))
        wait::futex_wake_all(lock_word_address());
    // The former holder may have died asleep: its bits would make every publisher wake.
    const std::uint64_t bit = std::uint64_t{1} << (slot % 64);
    waiters(QueueSide::Consumers, slot / 64).fetch_and(~bit, std::memory_order_relaxed);
    waiters(QueueSide::Producers, slot / 64).fetch_and(~bit, std::memory_order_relaxed);
    return true;
}

bool MpmcQueue::try_claim(std::uint16_t slot, std::uint64_t span, std::uint64_t& start) noexcept {
    const std::uint64_t cap = capacity();
    std::uint64_t t = word64(kTailOffset).load(std::memory_order_acquire);
    for (;;) {
        // Acquire: the consumers' copies out of the space below head are done.
        const std::uint64_t h = word64(kHeadOffset).load(std::memory_order_acquire);
        if (t - h > cap || t - h + span > cap) {
            // Full (or tail read before a newer head: try again from the top only if it moved).
            intent_pos(slot).store(kNoIntent, std::memory_order_release);
            const std::uint64_t again = word64(kTailOffset).load(std::memory_order_acquire);
            if (again == t) return false;
            t = again;
            continue;
        }
        // The intent, then the claim: seq_cst so that a consumer that sees tail past t (it loads
        // tail with acquire after this compare-and-swap) also sees the intent.
        intent_total(slot).store(span, std::memory_order_relaxed);
        intent_pos(slot).store(t, std::memory_order_seq_cst);
        if (word64(kTailOffset).compare_exchange_weak(t, t + span, std::memory_order_seq_cst,
                                                      std::memory_order_acquire)) {
            start = t;
            return true;
        }
        // Lost the race: t now holds the newer tail; the intent is rewritten before the next try.
    }
}

std::uint64_t MpmcQueue::begin_record(std::uint64_t pos, std::uint32_t length, std::uint16_t slot,
                                      std::uint8_t kind) noexcept {
    // Word B first, then the stamp with release: a consumer that acquires the stamp sees this
    // record's word B (or its later commit), never an older record's bytes.
    word_b_at(pos).store(pack_word_b(length, slot, kind, kWriting), std::memory_order_relaxed);
    stamp_at(pos).store(pos ^ key(), std::memory_order_release);
    return pos + record_size(length);
}

MpmcQueue::Runs MpmcQueue::payload_runs(std::uint64_t pos, std::uint64_t length) const noexcept {
    const std::uint64_t cap = capacity();
    const std::uint64_t start = (pos + kHeaderSize) & (cap - 1);
    const std::uint64_t first = length < cap - start ? length : cap - start;
    return Runs{data() + start, first, data(), length - first};
}

void MpmcQueue::write_payload(std::uint64_t pos, std::uint64_t offset, const std::byte* source,
                              std::uint64_t size) noexcept {
    if (size == 0) return;
    const std::uint64_t cap = capacity();
    const std::uint64_t start = (pos + kHeaderSize + offset) & (cap - 1);
    const std::uint64_t first = size < cap - start ? size : cap - start;
    std::memcpy(data() + start, source, first);
    if (first < size) std::memcpy(data(), source + first, size - first);
}

void MpmcQueue::commit_record(std::uint64_t pos, std::uint32_t length, std::uint16_t slot, std::uint8_t kind) noexcept {
    // Counted before it can be taken, so `claimed` never trails `taken`; one record at a time,
    // so a producer that goes in the middle of a batch leaves the count exact. Relaxed: a
    // statistic (qsize and the approximate item bound).
    word64(kClaimedOffset).fetch_add(1, std::memory_order_relaxed);
    // Release: every payload byte is visible to a consumer that acquires the committed state.
    word_b_at(pos).store(pack_word_b(length, slot, kind, kCommitted), std::memory_order_release);
}

bool MpmcQueue::finish_claim(std::uint16_t slot) noexcept {
    // Release: a process that adopts this slot later sees the commits before the cleared intent.
    intent_pos(slot).store(kNoIntent, std::memory_order_release);
    return wake(QueueSide::Consumers);
}

bool MpmcQueue::wake(QueueSide side) noexcept {
    // The fence orders this side's publish (a commit or a head store) before the bitmap loads,
    // against the sleeper's seq_cst bit set before its last check (see the header comment).
    std::atomic_thread_fence(std::memory_order_seq_cst);
    std::uint64_t any = 0;
    for (std::size_t i = 0; i < kWaiterWords; ++i) any |= waiters(side, i).load(std::memory_order_relaxed);
    if (any == 0) return false;
    const std::size_t offset = side == QueueSide::Consumers ? kDataSeqOffset : kSpaceSeqOffset;
    // Release: a sleeper that wakes and reads the sequence word sees what was published.
    word32(offset).fetch_add(1, std::memory_order_release);
    wait::futex_wake_all(address32(offset));
    return true;
}

bool MpmcQueue::try_lock(std::uint16_t slot) noexcept {
    std::uint32_t expected = 0;
    // Acquire: head and the freed space as the previous holder left them.
    return word32(kConsumerLockOffset).compare_exchange_strong(expected, std::uint32_t{slot} + 1u,
                                                                std::memory_order_acquire, std::memory_order_relaxed);
}

bool MpmcQueue::steal_lock(std::uint32_t observed, std::uint16_t slot) noexcept {
    // Keeps the waiters bit: the others asleep on the word are still asleep.
    const std::uint32_t mine = (std::uint32_t{slot} + 1u) | (observed & kLockWaiters);
    return word32(kConsumerLockOffset).compare_exchange_strong(observed, mine, std::memory_order_acquire,
                                                                std::memory_order_relaxed);
}

bool MpmcQueue::mark_lock_waited(std::uint32_t observed) noexcept {
    if (observed & kLockWaiters) return true;
    return word32(kConsumerLockOffset).compare_exchange_strong(observed, observed | kLockWaiters,
                                                                std::memory_order_relaxed);
}

void MpmcQueue::unlock() noexcept {
    // Release: head and the copies out are visible to the next holder.
    const std::uint32_t was = word32(kConsumerLockOffset).exchange(0, std::memory_order_release);
    if (was & kLockWaiters) wait::futex_wake_all(lock_word_address());
}

void MpmcQueue::skip(std::uint64_t new_head) noexcept {
    // Release, like a normal free: the skipped span is space for producers again, and one may
    // be asleep for it.
    word64(kHeadOffset).store(new_head, std::memory_order_release);
    wake(QueueSide::Producers);
}

std::uint64_t MpmcQueue::resolve_unstamped(std::uint64_t head, std::uint64_t tail, SlotLiveness& liveness) const noexcept {
    // The claim that covers `head` stated its intent (its start and size) before its
    // compare-and-swap and keeps it until its last commit; tail past head (loaded with acquire)
    // makes it visible. Its start is head itself, or earlier when the producer wrote the first
    // records of a batch and went before this one's header.
    struct Candidate {
        std::uint64_t start, total;
    };
    Candidate found[kSlotCount];
    std::size_t count = 0;
    for (std::uint16_t slot = 0; slot < kSlotCount; ++slot) {
        const std::uint64_t start = intent_pos(slot).load(std::memory_order_acquire);
        if (start == kNoIntent) continue;
        const std::uint64_t total = intent_total(slot).load(std::memory_order_relaxed);
        // The intent may have been rewritten between the two loads: keep it only if unchanged.
        if (intent_pos(slot).load(std::memory_order_acquire) != start) continue;
        if (head - start >= total || total > tail - start) continue;  // does not cover head
        if (liveness.alive(slot)) return 0;  // its producer may yet write the header, or move on
        found[count++] = Candidate{start, total};
    }
    // Gone producers' intents: the claim covering head is the latest to start. An intent left by
    // a claim that failed starts where a real claim started, so it is older, or starts at the
    // same place; then the real one is the one whose end is where the next claim began (tail, an
    // intent, or a stamped header): a failed claim's end lies inside the real claim, where none
    // of these can be.
    std::uint64_t nearest = UINT64_MAX;  // head - start of the latest start
    for (std::size_t i = 0; i < count; ++i)
        if (head - found[i].start < nearest) nearest = head - found[i].start;
    std::uint64_t best_end_distance = 0;  // from head; 0: none found
    std::size_t tied = 0;
    for (std::size_t i = 0; i < count; ++i) tied += head - found[i].start == nearest;
    for (std::size_t i = 0; i < count; ++i) {
        if (head - found[i].start != nearest) continue;
        const std::uint64_t end = found[i].start + found[i].total;
        const std::uint64_t distance = end - head;
        if (best_end_distance != 0 && distance >= best_end_distance) continue;
        bool boundary = tied == 1 || end == tail;
        for (std::uint16_t slot = 0; !boundary && slot < kSlotCount; ++slot)
            boundary = intent_pos(slot).load(std::memory_order_acquire) == end;
        if (!boundary) boundary = stamp_at(end).load(std::memory_order_acquire) == (end ^ key());
        if (boundary) best_end_distance = distance;
    }
    return best_end_distance;
}

Result<MpmcQueue::Next> MpmcQueue::next(SlotLiveness& liveness) noexcept {
    const std::uint64_t cap = capacity();
    // Relaxed: head is written only by the lock's holder, and taking the lock acquired it.
    std::uint64_t h = word64(kHeadOffset).load(std::memory_order_relaxed);
    for (;;) {
        // Acquire: the intents of every claim below tail (they were stored before its claim).
        const std::uint64_t t = word64(kTailOffset).load(std::memory_order_acquire);
        if (h == t) return Next{NextKind::Empty, {}};
        if (t - h > cap) return std::unexpected(corrupt(concat("tail - head = ", t - h, " exceeds the capacity ", cap)));
        // Acquire: pairs with the producer's release store of the stamp.
        if (stamp_at(h).load(std::memory_order_acquire) == (h ^ key())) {
            const std::uint64_t b = word_b_at(h).load(std::memory_order_acquire);
            const Record record{h, word_b_length(b), word_b_kind(b)};
            if (record_size(record.length) > t - h)
                return std::unexpected(corrupt(concat("a record of ", record.length, " bytes at ", h, " runs past tail")));
            const std::uint8_t state = word_b_state(b);
            if (state == kCommitted) {
                if (record.kind != kKindSkip) return Next{NextKind::Ready, record};
            } else if (state != kWriting) {
                return std::unexpected(corrupt(concat("record at ", h, " has state ", unsigned{state})));
            } else if (liveness.alive(word_b_slot(b))) {
                return Next{NextKind::Pending, record};
            }
            // A skip record, or one whose producer is gone before committing it: pass it.
            h = record.end();
            skip(h);
            continue;
        }
        const std::uint64_t span = resolve_unstamped(h, t, liveness);
        if (span == 0) {
            // The header may have been written since the stamp was loaded: look again once.
            if (stamp_at(h).load(std::memory_order_acquire) == (h ^ key())) continue;
            return Next{NextKind::Pending, Record{h, 0, kKindSkip}};
        }
        h += span;
        skip(h);
    }
}

bool MpmcQueue::next_after(const Record& previous, std::uint64_t tail, Record& out) const noexcept {
    const std::uint64_t h = previous.end();
    if (h == tail || tail - h > capacity()) return false;
    if (stamp_at(h).load(std::memory_order_acquire) != (h ^ key())) return false;
    const std::uint64_t b = word_b_at(h).load(std::memory_order_acquire);
    if (word_b_state(b) != kCommitted || word_b_kind(b) == kKindSkip) return false;
    out = Record{h, word_b_length(b), word_b_kind(b)};
    return record_size(out.length) <= tail - h;
}

void MpmcQueue::read_payload(const Record& record, std::uint64_t offset, std::byte* out, std::uint64_t size) const noexcept {
    if (size == 0) return;
    const std::uint64_t cap = capacity();
    const std::uint64_t start = (record.pos + kHeaderSize + offset) & (cap - 1);
    const std::uint64_t first = size < cap - start ? size : cap - start;
    std::memcpy(out, data() + start, first);
    if (first < size) std::memcpy(out + first, data(), size - first);
}

bool MpmcQueue::release(std::uint64_t new_head, std::uint64_t records) noexcept {
    // Only the lock's holder writes `taken`: a plain load and store, relaxed (a statistic).
    auto taken = word64(kTakenOffset);
    taken.store(taken.load(std::memory_order_relaxed) + records, std::memory_order_relaxed);
    // Release: the copies out of the records below new_head are done before producers reuse it.
    word64(kHeadOffset).store(new_head, std::memory_order_release);
    return wake(QueueSide::Producers);
}

bool MpmcQueue::looks_ready() const noexcept {
    const std::uint64_t h = head();
    const std::uint64_t t = tail();
    if (h == t) return false;
    if (t - h > capacity()) return true;  // let the locked path report it
    const bool stamped = stamp_at(h).load(std::memory_order_acquire) == (h ^ key());
    const bool committed = stamped && word_b_state(word_b_at(h).load(std::memory_order_acquire)) == kCommitted;
    // A head that moved meanwhile may have read another record's bytes: call it ready.
    return committed || head() != h;
}

bool MpmcQueue::looks_free(std::uint64_t span) const noexcept {
    const std::uint64_t t = tail();
    const std::uint64_t h = head();
    return t - h <= capacity() && t - h + span <= capacity();
}

std::uint32_t MpmcQueue::wait_sequence(QueueSide side) const noexcept {
    // Acquire: pairs with the publisher's release increment.
    return word32(side == QueueSide::Consumers ? kDataSeqOffset : kSpaceSeqOffset).load(std::memory_order_acquire);
}

void MpmcQueue::announce_wait(QueueSide side, std::uint16_t slot) noexcept {
    // seq_cst: ordered before the sleeper's last check (the Dekker pair with wake()).
    waiters(side, slot / 64).fetch_or(std::uint64_t{1} << (slot % 64), std::memory_order_seq_cst);
}

void MpmcQueue::retire_wait(QueueSide side, std::uint16_t slot) noexcept {
    waiters(side, slot / 64).fetch_and(~(std::uint64_t{1} << (slot % 64)), std::memory_order_relaxed);
}

std::uint64_t MpmcQueue::used() const noexcept {
    const std::uint64_t h = head();
    const std::uint64_t t = tail();
    return t - h;
}

std::uint64_t MpmcQueue::approx_items() const noexcept {
    const std::uint64_t taken = word64(kTakenOffset).load(std::memory_order_relaxed);
    const std::uint64_t claimed = word64(kClaimedOffset).load(std::memory_order_relaxed);
    return claimed > taken ? claimed - taken : 0;
}

}  // namespace kelparine
