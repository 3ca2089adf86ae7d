// The many-producer, many-consumer queue protocol over the layout of queue_layout.hpp.
//
// Producers never take a lock: a producer states its intent in its member slot (the position
// and size it is about to claim), claims the span with one compare-and-swap of tail, writes
// each record's header (state writing, then the stamp), its payload, and commits it (state
// committed, release). A slow producer delays only the consumers that reach its record, never
// another producer's claim.
//
// Consumers serialise on the consumer lock word and take records in order at head: a committed
// record is copied out, then head moves past it (release), which frees its space for producers.
// A record is freed only after its copy is out, so a consumer that dies holding the lock leaves
// its record for the next one; the lock names its holder's slot, so a waiting consumer that finds
// the holder's process gone takes the lock over.
//
// A producer that dies between claim and commit: the consumer at its record tells whose it is
// from the record's slot field once stamped, or from the slot intents while the header is not
// yet written (the intent covering it: a batch's later headers are written one by one), and
// skips it once that slot's process is gone (SlotLiveness). Only records that producer had not
// committed are lost. Two gone producers can both state an intent for the same
// position (one claimed it, the other's claim failed before it could clear its intent); if their
// sizes differ, the one whose end is a proven record boundary (tail, a stamped header, or an
// intent there) is the claim, which is exactly one of them (see resolve_unstamped).
//
// Waiting: a side about to sleep sets its slot's bit in its waiters bitmap (seq_cst), reads the
// sequence word it sleeps on, checks once more, and sleeps on that word (futex). The other side
// publishes (commit, or the head store), issues a full fence and loads the bitmap: either it
// sees the bit and bumps the sequence word and wakes, or the sleeper's check saw what it
// published. While nobody sleeps, a publisher pays one fence and a load of one cache line.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "../error.hpp"
#include "queue_layout.hpp"

namespace kelparine {

// Whether the process holding a member slot is alive. May answer true when unsure: a consumer
// then waits for that producer a little longer, and asks again.
class SlotLiveness {
public:
    virtual bool alive(std::uint16_t slot) noexcept = 0;

protected:
    ~SlotLiveness() = default;
};

enum class QueueSide : unsigned char { Consumers, Producers };

class MpmcQueue {
public:
    MpmcQueue(std::byte* base, std::uint64_t map_size) noexcept : base_(base), map_size_(map_size) {}

    // Writes a fresh, empty header for `capacity` data bytes (a power of two, at least 64, that
    // fits the mapping) with the stamp `key` (nonzero; random), and clears every member slot.
    static Status init(std::byte* base, std::uint64_t map_size, std::uint64_t capacity, std::uint64_t key);
    // The largest capacity a segment of `map_size` bytes holds (0 if none).
    static std::uint64_t capacity_for(std::uint64_t map_size) noexcept;
    // Checks an existing header (magic, version, capacity within the mapping, data offset).
    static Status check(const std::byte* base, std::uint64_t map_size);
    // A random nonzero stamp key.
    static std::uint64_t random_key() noexcept;

    std::uint64_t capacity() const noexcept { return word64(queue_layout::kCapacityOffset).load(std::memory_order_relaxed); }
    // The largest payload a record can carry: one record may fill the whole data area.
    std::uint64_t max_payload() const noexcept;

    // --- member slots ----------------------------------------------------------------------
    // After this process locked the slot's byte: whether the slot may be used. A slot whose
    // former holder died with a span not yet passed by the consumers is not (its records still
    // name it); one whose span is behind head is cleaned and taken.
    bool adopt_slot(std::uint16_t slot) noexcept;

    // --- producers ---------------------------------------------------------------------------
    // Claims `span` bytes (the sum of record_size() of the records to write) for `slot`.
    // false: not enough free space now (the intent is cleared). The caller checked span <=
    // capacity.
    bool try_claim(std::uint16_t slot, std::uint64_t span, std::uint64_t& start) noexcept;
    // Writes the header of a record at `pos` in the writing state, stamped. Returns the
    // position after the record.
    std::uint64_t begin_record(std::uint64_t pos, std::uint32_t length, std::uint16_t slot, std::uint8_t kind) noexcept;
    // Copies `size` payload bytes to offset `offset` of the record at `pos`.
    void write_payload(std::uint64_t pos, std::uint64_t offset, const std::byte* source, std::uint64_t size) noexcept;
    // The record's payload as up to two runs of the data area.
    struct Runs {
        std::byte* first;
        std::uint64_t first_size;
        std::byte* second;
        std::uint64_t second_size;
    };
    Runs payload_runs(std::uint64_t pos, std::uint64_t length) const noexcept;
    // Publishes the record (release): consumers may take it from now on.
    void commit_record(std::uint64_t pos, std::uint32_t length, std::uint16_t slot, std::uint8_t kind) noexcept;
    // After the last commit of a claim: clears the intent, wakes consumers that sleep. Returns
    // whether a wake was made.
    bool finish_claim(std::uint16_t slot) noexcept;

    // --- consumers ---------------------------------------------------------------------------
    std::uint32_t lock_word() const noexcept { return word32(queue_layout::kConsumerLockOffset).load(std::memory_order_acquire); }
    // Takes the free consumer lock for `slot` (acquire: sees head as its last holder left it).
    bool try_lock(std::uint16_t slot) noexcept;
    // Takes the lock over from a holder found gone, if the word still reads `observed`.
    bool steal_lock(std::uint32_t observed, std::uint16_t slot) noexcept;
    // Marks the lock as waited on before sleeping on lock_word_address() with the value it
    // then holds. false: the word no longer reads `observed`.
    bool mark_lock_waited(std::uint32_t observed) noexcept;
    // Frees the lock (release) and wakes the consumers sleeping on it.
    void unlock() noexcept;
    static std::uint16_t lock_holder(std::uint32_t word) noexcept {
        return static_cast<std::uint16_t>((word & ~queue_layout::kLockWaiters) - 1);
    }

    struct Record {
        std::uint64_t pos;
        std::uint32_t length;
        std::uint8_t kind;
        std::uint64_t end() const noexcept { return pos + queue_layout::record_size(length); }
    };
    enum class NextKind : unsigned char { Empty, Ready, Pending };
    struct Next {
        NextKind kind;
        Record record;  // Ready: the oldest item
    };
    // With the lock held: the oldest item, skipping the records of producers that are gone.
    // Pending: the record at head is being written by a live producer. Errors: a header that
    // cannot be right (the queue is corrupt; nothing is consumed).
    Result<Next> next(SlotLiveness& liveness) noexcept;
    // With the lock held: the record after `previous` if it is ready now (for batches; no
    // skipping, no liveness checks).
    bool next_after(const Record& previous, std::uint64_t tail, Record& out) const noexcept;
    void read_payload(const Record& record, std::uint64_t offset, std::byte* out, std::uint64_t size) const noexcept;
    Runs record_runs(const Record& record) const noexcept { return payload_runs(record.pos, record.length); }
    // With the lock held: frees everything below `new_head` (release), counts `records` taken,
    // and wakes producers that sleep. Returns whether a wake was made.
    bool release(std::uint64_t new_head, std::uint64_t records) noexcept;

    // Without the lock: whether the record at head looks ready to take (a hint for a consumer
    // about to sleep; it errs towards true).
    bool looks_ready() const noexcept;
    // Without the lock: whether `span` bytes look free.
    bool looks_free(std::uint64_t span) const noexcept;

    // --- waiting -----------------------------------------------------------------------------
    const std::uint32_t* lock_word_address() const noexcept { return address32(queue_layout::kConsumerLockOffset); }
    const std::uint32_t* data_seq_address() const noexcept { return address32(queue_layout::kDataSeqOffset); }
    const std::uint32_t* space_seq_address() const noexcept { return address32(queue_layout::kSpaceSeqOffset); }
    // The sequence word a side sleeps on, read after announce_wait (acquire).
    std::uint32_t wait_sequence(QueueSide side) const noexcept;
    // Sets / clears `slot`'s bit in the side's waiters bitmap (seq_cst: ordered before the
    // check that follows it, see above).
    void announce_wait(QueueSide side, std::uint16_t slot) noexcept;
    void retire_wait(QueueSide side, std::uint16_t slot) noexcept;

    // --- snapshots ---------------------------------------------------------------------------
    std::uint64_t head() const noexcept { return word64(queue_layout::kHeadOffset).load(std::memory_order_acquire); }
    std::uint64_t tail() const noexcept { return word64(queue_layout::kTailOffset).load(std::memory_order_acquire); }
    std::uint64_t used() const noexcept;
    // Items committed and not yet taken (claimed-but-unwritten records are not counted).
    std::uint64_t approx_items() const noexcept;

private:
    std::atomic_ref<std::uint64_t> word64(std::size_t offset) const noexcept {
        return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(base_ + offset));
    }
    std::atomic_ref<std::uint32_t> word32(std::size_t offset) const noexcept {
        return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(base_ + offset));
    }
    const std::uint32_t* address32(std::size_t offset) const noexcept {
        return reinterpret_cast<const std::uint32_t*>(base_ + offset);
    }
    std::byte* data() const noexcept { return base_ + queue_layout::kDataOffset; }
    std::uint64_t mask() const noexcept { return capacity() - 1; }
    std::uint64_t key() const noexcept { return word64(queue_layout::kKeyOffset).load(std::memory_order_relaxed); }
    std::atomic_ref<std::uint64_t> stamp_at(std::uint64_t pos) const noexcept {
        return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(data() + (pos & mask())));
    }
    std::atomic_ref<std::uint64_t> word_b_at(std::uint64_t pos) const noexcept {
        return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(data() + (pos & mask()) + 8));
    }
    std::atomic_ref<std::uint64_t> intent_pos(std::uint16_t slot) const noexcept {
        return word64(queue_layout::kSlotsOffset + slot * queue_layout::kSlotSize);
    }
    std::atomic_ref<std::uint64_t> intent_total(std::uint16_t slot) const noexcept {
        return word64(queue_layout::kSlotsOffset + slot * queue_layout::kSlotSize + 8);
    }
    std::atomic_ref<std::uint64_t> waiters(QueueSide side, std::size_t index) const noexcept {
        return word64((side == QueueSide::Consumers ? queue_layout::kConsumerWaitersOffset
                                                    : queue_layout::kProducerWaitersOffset) + 8 * index);
    }
    bool wake(QueueSide side) noexcept;
    // The bytes to skip from a claimed position whose header is not yet written: 0 while it may
    // still be written (a live producer's intent covers it, or none is found yet).
    std::uint64_t resolve_unstamped(std::uint64_t head, std::uint64_t tail, SlotLiveness& liveness) const noexcept;
    void skip(std::uint64_t new_head) noexcept;

    std::byte* base_;
    std::uint64_t map_size_;
};

}  // namespace kelparine
