// Single-producer / single-consumer ring of length-prefixed messages in a shared segment.
//
//   offset 0        8        16         24
//          +--------+--------+----------+------------------------------------+
//          |  head  |  tail  | capacity |  data: capacity bytes (power of 2) |
//          +--------+--------+----------+------------------------------------+
//   head, tail, capacity: u64 little-endian, naturally aligned.
//
//   frame:  +-------------+---------------------+
//           | length u32  |  payload (length B) |      frame_len = length + 4
//           +-------------+---------------------+
//
// head and tail are free-running byte counters (never masked, they wrap modulo 2^64); the
// byte at logical position p lives at data[p & (capacity - 1)]. Frames follow each other with
// no padding and may wrap anywhere, even inside the length prefix. tail - head bytes are in use.
//
// Thread contract: at most one producer (push) and one consumer (peek/consume) at a time over
// all processes. The producer alone writes tail and the free bytes; the consumer alone writes
// head. Each side loads its own counter relaxed and the other side's with acquire, and
// publishes with a release store: no read-modify-write and no fence on either counter.
//
// Any header is tolerated: push and pop refuse a capacity that is not a power of two within
// the mapped data area, and pop refuses a frame whose length runs past tail, so nothing
// outside the mapping is ever touched whatever another process wrote there.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "../error.hpp"

namespace kelparine {

inline constexpr std::size_t SPSC_HEADER_SIZE = 24;

namespace ring_layout {
inline constexpr std::size_t kHeadOffset = 0;
inline constexpr std::size_t kTailOffset = 8;
inline constexpr std::size_t kCapacityOffset = 16;
inline constexpr std::size_t kDataOffset = SPSC_HEADER_SIZE;
inline constexpr std::uint64_t kLengthSize = 4;
static_assert(kTailOffset == kHeadOffset + 8 && kCapacityOffset == kTailOffset + 8 && kDataOffset == kCapacityOffset + 8);
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free, "ring counters must be address-free");
}  // namespace ring_layout

// A frame found at head by the consumer, checked to lie within what the producer published.
struct FrameRef {
    std::uint64_t head;      // logical position of the length prefix
    std::uint32_t length;    // payload bytes
    const std::byte* data;   // start of the data area
    std::uint64_t mask;      // capacity - 1

    // The payload as one run, or nullptr when it wraps past the end of the data area.
    const std::byte* contiguous_payload() const noexcept {
        const std::uint64_t start = (head + ring_layout::kLengthSize) & mask;
        return start + length <= mask + 1 ? data + start : nullptr;
    }
    // Copies the payload out in at most two runs.
    void copy_payload(std::byte* out) const noexcept;
};

// Process-local handle: the address of the mapping and its size. Keeps no copy of the header.
class SpscRing {
public:
    SpscRing(std::byte* base, std::uint64_t map_size) noexcept : base_(base), map_size_(map_size) {}

    // Validates the mapping and, for a creator, writes an empty header (capacity map_size - 24,
    // which must be a power of two). An opener's header is neither read nor written.
    static Status init(std::byte* base, std::uint64_t map_size, bool creator);

    // Producer. true: written; false: not enough free space (nothing written).
    // Errors: the frame can never fit (message too large), a payload a 32-bit length cannot
    // describe, or a corrupt capacity.
    Result<bool> push(std::span<const std::byte> payload);

    // Consumer: the oldest frame, nullptr-free optional-like result. Empty ring: has_frame false.
    struct Peeked {
        bool has_frame;
        FrameRef frame;
    };
    Result<Peeked> peek() const;
    // Frees the frame's bytes for the producer (release store of head, after the copy-out).
    void consume(const FrameRef& frame) noexcept;

    // Snapshots of the header; callable from either side or a third party.
    std::uint64_t capacity() const noexcept;
    std::uint64_t used() const noexcept;
    std::uint64_t free() const noexcept;
    bool is_full() const noexcept;
    bool is_empty() const noexcept;

    std::uint64_t map_size() const noexcept { return map_size_; }

private:
    std::atomic_ref<std::uint64_t> counter(std::size_t offset) const noexcept {
        return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(base_ + offset));
    }
    std::byte* data() const noexcept { return base_ + ring_layout::kDataOffset; }
    // The capacity if it is a power of two within the mapped data area, else an error.
    // 0 (a header no creator has written) is returned as is.
    Result<std::uint64_t> checked_capacity() const;

    std::byte* base_;
    std::uint64_t map_size_;
};

}  // namespace kelparine
