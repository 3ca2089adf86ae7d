// The many-producer, many-consumer queue's layout in a shared segment. A program in any
// language that follows it interoperates (the layouts page has the same table and diagram).
//
//   0     magic u32 "KLPQ"  version u32  capacity u64  key u64  data_offset u64
//   64    tail u64 (claim counter)   claimed u64 (records claimed, ever)     one cache line
//   128   head u64 (freed counter)   taken u64 (records taken or skipped)    one cache line
//   192   consumer lock u32                                                  one cache line
//   256   data_seq u32   (bumped to wake consumers)                          one cache line
//   320   space_seq u32  (bumped to wake producers)                          one cache line
//   384   consumer waiters: 256 bits (4 x u64), one per member slot          one cache line
//   448   producer waiters: 256 bits (4 x u64)                               one cache line
//   512   member slots: 256 x { intent_pos u64, intent_total u64 }           4096 bytes
//   4608  data: capacity bytes (a power of two, at least 64), records back to back
//
//   record (at a 16-byte aligned logical position p; may wrap after its header):
//   +-------------------+------------+----------+--------+---------+--------------------------+
//   | stamp u64 = p^key | length u32 | slot u16 | kind u8| state u8| payload, padded to 16    |
//   +-------------------+------------+----------+--------+---------+--------------------------+
//   state: 1 writing, 2 committed.  kind: 0 skip (no item), 1.. the item's encoding.
//   The record's size is 16 + length rounded up to 16. Its header never wraps (positions and
//   the capacity are multiples of 16); its payload may, continuing at the data's start.
//
// Counters are free-running byte positions (never masked; byte p lives at data[p & (capacity-1)]),
// all little-endian. tail - head bytes are claimed and not yet freed.
//
// Why the stamp: the data area is never cleared, so the header bytes at a position a producer
// has claimed hold whatever an older record left there until the producer writes its own. A
// stamp equal to p XOR key says "this header was written for position p"; positions never
// repeat, and a random key makes old payload bytes that happen to equal it as unlikely as
// guessing 64 random bits.
//
// Member slots: a process takes a slot by holding an exclusive lock on the file byte
// kSlotByteBase + slot (presence/lock_bytes.hpp); the kernel drops it when the process ends.
// A slot names its holder in records (slot) and in the consumer lock (slot + 1), and carries
// the producer's claim intent: the position and size of the span it is about to claim, stored
// before its claim and cleared after its last commit, so that a consumer can tell whose claim
// an unstamped position is and how far to skip when that producer is gone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kelparine::queue_layout {

inline constexpr std::uint32_t kMagic = 0x51504C4B;  // "KLPQ" in little-endian bytes
inline constexpr std::uint32_t kVersion = 1;

inline constexpr std::size_t kMagicOffset = 0;
inline constexpr std::size_t kVersionOffset = 4;
inline constexpr std::size_t kCapacityOffset = 8;
inline constexpr std::size_t kKeyOffset = 16;
inline constexpr std::size_t kDataOffsetField = 24;
inline constexpr std::size_t kTailOffset = 64;
inline constexpr std::size_t kClaimedOffset = 72;
inline constexpr std::size_t kHeadOffset = 128;
inline constexpr std::size_t kTakenOffset = 136;
inline constexpr std::size_t kConsumerLockOffset = 192;
inline constexpr std::size_t kDataSeqOffset = 256;
inline constexpr std::size_t kSpaceSeqOffset = 320;
inline constexpr std::size_t kConsumerWaitersOffset = 384;
inline constexpr std::size_t kProducerWaitersOffset = 448;
inline constexpr std::size_t kSlotsOffset = 512;
inline constexpr std::size_t kSlotCount = 256;
inline constexpr std::size_t kSlotSize = 16;
inline constexpr std::size_t kWaiterWords = kSlotCount / 64;
inline constexpr std::size_t kDataOffset = kSlotsOffset + kSlotCount * kSlotSize;  // 4608

inline constexpr std::uint64_t kRecordAlign = 16;
inline constexpr std::uint64_t kHeaderSize = 16;
inline constexpr std::uint64_t kMinCapacity = 64;
inline constexpr std::uint64_t kNoIntent = ~std::uint64_t{0};

// Header word B (bytes 8..15 of a record) as one little-endian u64.
inline constexpr std::uint8_t kWriting = 1;
inline constexpr std::uint8_t kCommitted = 2;
inline constexpr std::uint8_t kKindSkip = 0;

inline constexpr std::uint64_t pack_word_b(std::uint32_t length, std::uint16_t slot, std::uint8_t kind,
                                           std::uint8_t state) noexcept {
    return std::uint64_t{length} | std::uint64_t{slot} << 32 | std::uint64_t{kind} << 48 |
           std::uint64_t{state} << 56;
}
inline constexpr std::uint32_t word_b_length(std::uint64_t b) noexcept { return static_cast<std::uint32_t>(b); }
inline constexpr std::uint16_t word_b_slot(std::uint64_t b) noexcept { return static_cast<std::uint16_t>(b >> 32); }
inline constexpr std::uint8_t word_b_kind(std::uint64_t b) noexcept { return static_cast<std::uint8_t>(b >> 48); }
inline constexpr std::uint8_t word_b_state(std::uint64_t b) noexcept { return static_cast<std::uint8_t>(b >> 56); }

// The bytes a record of `length` payload bytes occupies.
inline constexpr std::uint64_t record_size(std::uint64_t length) noexcept {
    return kHeaderSize + ((length + kRecordAlign - 1) & ~(kRecordAlign - 1));
}
// The segment size for a queue of `capacity` data bytes.
inline constexpr std::uint64_t segment_size(std::uint64_t capacity) noexcept { return kDataOffset + capacity; }

// Lock bytes of member slots, beside the presence and role bytes (presence/lock_bytes.hpp).
inline constexpr std::int64_t kSlotByteBase = (std::int64_t{1} << 62) + 64;

// The consumer lock word: 0 free, else the holder's slot + 1, with kLockWaiters set while some
// consumer sleeps on it.
inline constexpr std::uint32_t kLockWaiters = 0x8000'0000u;

static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free && std::atomic_ref<std::uint32_t>::is_always_lock_free,
              "queue words must be address-free");
static_assert(kDataOffset % 64 == 0);

}  // namespace kelparine::queue_layout
