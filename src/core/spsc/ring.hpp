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
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "../error.hpp"

namespace kelparine {

inline constexpr std::size_t SPSC_HEADER_SIZE = 24;
// The data capacities a ring can be made with by capacity: the smallest power of two that
// holds a frame with a payload (4 bytes of length + at least 1), and the largest whose segment
// (header included) stays below 2^63 bytes, the most a file offset can describe.
inline constexpr std::uint64_t SPSC_MIN_CAPACITY = 8;
inline constexpr std::uint64_t SPSC_MAX_CAPACITY = std::uint64_t{1} << 62;

namespace ring_layout {
inline constexpr std::size_t kHeadOffset = 0;
inline constexpr std::size_t kTailOffset = 8;
inline constexpr std::size_t kCapacityOffset = 16;
inline constexpr std::size_t kDataOffset = SPSC_HEADER_SIZE;
inline constexpr std::uint64_t kLengthSize = 4;
static_assert(kTailOffset == kHeadOffset + 8 && kCapacityOffset == kTailOffset + 8 && kDataOffset == kCapacityOffset + 8);
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free, "ring counters must be address-free");
}  // namespace ring_layout

namespace ring_detail {
// Power of two without std::has_single_bit: that compiles to a libgcc popcount call unless the
// build targets a CPU with POPCNT, and this check runs on every push and pop.
constexpr bool is_power_of_two(std::uint64_t value) noexcept { return value != 0 && (value & (value - 1)) == 0; }

// Copies `size` bytes to or from logical position `pos`, in at most two runs.
inline void write_wrapped(std::byte* data, std::uint64_t mask, std::uint64_t pos, const std::byte* source,
                          std::uint64_t size) noexcept {
    if (size == 0) return;
    const std::uint64_t start = pos & mask;
    const std::uint64_t first = size < mask + 1 - start ? size : mask + 1 - start;
    std::memcpy(data + start, source, first);
    if (first < size) std::memcpy(data, source + first, size - first);
}

inline void read_wrapped(const std::byte* data, std::uint64_t mask, std::uint64_t pos, std::byte* out,
                         std::uint64_t size) noexcept {
    if (size == 0) return;
    const std::uint64_t start = pos & mask;
    const std::uint64_t first = size < mask + 1 - start ? size : mask + 1 - start;
    std::memcpy(out, data + start, first);
    if (first < size) std::memcpy(out + first, data, size - first);
}

// The 4-byte length prefix at logical position `pos`: one store unless it straddles the end.
inline void write_prefix(std::byte* data, std::uint64_t mask, std::uint64_t pos, std::uint32_t length) noexcept {
    const std::uint64_t start = pos & mask;
    if (start + sizeof length <= mask + 1) {
        std::memcpy(data + start, &length, sizeof length);  // little-endian, as the target is
    } else {
        write_wrapped(data, mask, pos, reinterpret_cast<const std::byte*>(&length), sizeof length);
    }
}

inline std::uint32_t read_prefix(const std::byte* data, std::uint64_t mask, std::uint64_t pos) noexcept {
    const std::uint64_t start = pos & mask;
    std::uint32_t length;
    if (start + sizeof length <= mask + 1) {
        std::memcpy(&length, data + start, sizeof length);
    } else {
        read_wrapped(data, mask, pos, reinterpret_cast<std::byte*>(&length), sizeof length);
    }
    return length;
}

// The error texts, built out of line: they are never on the fast path.
[[gnu::cold]] ShmError capacity_not_power_of_two(std::uint64_t capacity);
[[gnu::cold]] ShmError corrupt_capacity(std::uint64_t capacity, std::uint64_t mapped);
[[gnu::cold]] ShmError message_too_large(std::uint64_t frame_len, std::uint64_t capacity, std::uint64_t map_size);
[[gnu::cold]] ShmError payload_too_long(std::uint64_t length);
[[gnu::cold]] ShmError corrupt_counters(std::uint64_t published, std::uint64_t capacity);
[[gnu::cold]] ShmError corrupt_length(std::uint32_t length, std::uint64_t head, std::uint64_t published);
}  // namespace ring_detail

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
    void copy_payload(std::byte* out) const noexcept {
        ring_detail::read_wrapped(data, mask, head + ring_layout::kLengthSize, out, length);
    }
};

// Room for one frame at the producer's end of the ring, found by reserve(); nothing written yet.
// The bytes from `tail` to `end()` are free space: only the producer touches them until it
// publishes `end()` as the new tail.
struct FrameSlot {
    std::uint64_t tail;      // logical position of the length prefix
    std::uint32_t length;    // payload bytes
    std::byte* data;         // start of the data area
    std::uint64_t mask;      // capacity - 1

    std::uint64_t end() const noexcept { return tail + ring_layout::kLengthSize + length; }
    // Where the payload goes as one run, or nullptr when it wraps past the end of the data area.
    std::byte* contiguous_payload() const noexcept {
        const std::uint64_t start = (tail + ring_layout::kLengthSize) & mask;
        return start + length <= mask + 1 ? data + start : nullptr;
    }
    void write_prefix() const noexcept { ring_detail::write_prefix(data, mask, tail, length); }
    // Copies the payload in, in at most two runs.
    void write_payload(const std::byte* source) const noexcept {
        ring_detail::write_wrapped(data, mask, tail + ring_layout::kLengthSize, source, length);
    }
    // The whole frame: the length prefix, then the payload from `source`.
    void write(const std::byte* source) const noexcept {
        write_prefix();
        write_payload(source);
    }
};

// Process-local handle: the address of the mapping and its size. Keeps no copy of the header.
class SpscRing {
public:
    SpscRing(std::byte* base, std::uint64_t map_size) noexcept : base_(base), map_size_(map_size) {}

    // Validates the mapping and, for a creator, writes an empty header (capacity map_size - 24,
    // which must be a power of two). An opener's header is neither read nor written.
    static Status init(std::byte* base, std::uint64_t map_size, bool creator);
    // Whether a ring may be made with `capacity` data bytes: a power of two from
    // SPSC_MIN_CAPACITY to SPSC_MAX_CAPACITY, so that 24 + capacity cannot overflow.
    static Status check_capacity(std::uint64_t capacity);
    // An opener's look at the header it found: a capacity some creator wrote (not 0) that is
    // a power of two within the mapping. `name` is for the message.
    Status check_opened(std::string_view name) const;

    // Producer. true: written; false: not enough free space (nothing written).
    // Errors: the frame can never fit (message too large), a payload a 32-bit length cannot
    // describe, a corrupt capacity, or counters that cannot be right (tail - head beyond the
    // capacity: writing would overwrite unread frames).
    Result<bool> push(std::span<const std::byte> payload);

    // Producer, in steps: room for a frame of `length` payload bytes in `slot` (false: not now,
    // `slot` untouched), then the caller writes the prefix and payload into the slot and
    // publishes slot.end(). The same errors as push().
    Result<bool> reserve(std::uint64_t length, FrameSlot& slot);
    // Release store of tail: every byte written below `new_tail` becomes visible to the consumer.
    void publish_tail(std::uint64_t new_tail) noexcept;
    // The capacity, if a frame of `length` payload bytes could ever fit (the corrupt capacity,
    // "message too large" and 32-bit length checks of push), without looking at the counters.
    Result<std::uint64_t> check_frame_size(std::uint64_t length) const;

    // Consumer: the oldest frame, nullptr-free optional-like result. Empty ring: has_frame false.
    struct Peeked {
        bool has_frame;
        FrameRef frame;
    };
    Result<Peeked> peek() const;
    // The frame at `head` given a `tail` the consumer loaded with acquire ordering and the
    // capacity as checked_capacity() gave it: how a batch walks several frames behind one load
    // of each. Checks as peek() does.
    Result<Peeked> peek_at(std::uint64_t head, std::uint64_t tail, const Result<std::uint64_t>& capacity) const;
    // Frees the frame's bytes for the producer (release store of head, after the copy-out).
    void consume(const FrameRef& frame) noexcept;
    // Release store of head: the consumer is done with every byte below `new_head`.
    void publish_head(std::uint64_t new_head) noexcept;

    // The counters as each side loads them: its own relaxed, the other side's with acquire.
    std::uint64_t own_head() const noexcept { return counter(ring_layout::kHeadOffset).load(std::memory_order_relaxed); }
    std::uint64_t own_tail() const noexcept { return counter(ring_layout::kTailOffset).load(std::memory_order_relaxed); }
    std::uint64_t acquire_head() const noexcept { return counter(ring_layout::kHeadOffset).load(std::memory_order_acquire); }
    std::uint64_t acquire_tail() const noexcept { return counter(ring_layout::kTailOffset).load(std::memory_order_acquire); }

    // The low 32-bit halves of head and tail (the layout is little-endian): the futex words a
    // producer waiting for room and a consumer waiting for a message park on.
    const std::uint32_t* head_word() const noexcept {
        return reinterpret_cast<const std::uint32_t*>(base_ + ring_layout::kHeadOffset);
    }
    const std::uint32_t* tail_word() const noexcept {
        return reinterpret_cast<const std::uint32_t*>(base_ + ring_layout::kTailOffset);
    }
    // The capacity if it is a power of two within the mapped data area, else an error.
    // 0 (a header no creator has written) is returned as is.
    Result<std::uint64_t> checked_capacity() const;

    // Snapshots of the header; callable from either side or a third party.
    std::uint64_t capacity() const noexcept;
    std::uint64_t used() const noexcept;
    std::uint64_t free() const noexcept;
    bool is_full() const noexcept;
    bool is_empty() const noexcept;

private:
    friend class PushBatch;
    std::atomic_ref<std::uint64_t> counter(std::size_t offset) const noexcept {
        return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(base_ + offset));
    }
    std::byte* data() const noexcept { return base_ + ring_layout::kDataOffset; }

    std::byte* base_;
    std::uint64_t map_size_;
};

// Producer: several frames written behind one acquire of head and published together with one
// release of tail (publish(end()) or the waking form). Frames are written in order and stop at
// the first that does not fit the room seen at begin.
class PushBatch {
public:
    // Errors: a corrupt capacity, or counters that cannot be right (as push).
    static Result<PushBatch> begin(SpscRing& ring);
    // Whether a frame of `length` payload bytes fits after the frames appended so far.
    bool fits(std::uint64_t length) const noexcept {
        return length <= UINT32_MAX && (tail_ - head_) + ring_layout::kLengthSize + length <= capacity_;
    }
    // Writes the frame (fits(payload.size()) must hold); it becomes visible only when published.
    void append(std::span<const std::byte> payload) noexcept {
        const FrameSlot slot{tail_, static_cast<std::uint32_t>(payload.size()), data_, capacity_ - 1};
        slot.write(payload.data());
        tail_ = slot.end();
    }
    std::uint64_t start() const noexcept { return start_; }
    std::uint64_t end() const noexcept { return tail_; }

private:
    PushBatch(std::byte* data, std::uint64_t capacity, std::uint64_t head, std::uint64_t tail) noexcept
        : data_(data), capacity_(capacity), head_(head), start_(tail), tail_(tail) {}
    std::byte* data_;
    std::uint64_t capacity_;
    std::uint64_t head_;   // as loaded once, with acquire ordering
    std::uint64_t start_;  // tail before the batch
    std::uint64_t tail_;   // tail after the frames appended so far
};

// Consumer: the frames published when the batch began (one acquire of tail), taken in order;
// head is stored once at the end (publish_head(end()) or the waking form).
class PopBatch {
public:
    explicit PopBatch(const SpscRing& ring)
        : ring_(ring), start_(ring.own_head()), head_(start_), tail_(ring.acquire_tail()),
          capacity_(ring.checked_capacity()) {}
    // The next frame, checked as peek() checks it; has_frame false once the batch is drained.
    Result<SpscRing::Peeked> next() const { return ring_.peek_at(head_, tail_, capacity_); }
    void advance(const FrameRef& frame) noexcept { head_ = frame.head + ring_layout::kLengthSize + frame.length; }
    // The most frames the batch can hold: each takes at least the 4 bytes of its length.
    std::uint64_t most_frames() const noexcept { return (tail_ - start_) / ring_layout::kLengthSize; }
    std::uint64_t start() const noexcept { return start_; }
    std::uint64_t end() const noexcept { return head_; }

private:
    const SpscRing& ring_;
    std::uint64_t start_;
    std::uint64_t head_;
    std::uint64_t tail_;
    Result<std::uint64_t> capacity_;
};

// Hot paths, inline so that the binding's push and pop compile into one function each.

[[gnu::always_inline]] inline Result<std::uint64_t> SpscRing::checked_capacity() const {
    const std::uint64_t capacity = counter(ring_layout::kCapacityOffset).load(std::memory_order_relaxed);
    const std::uint64_t mapped = map_size_ - SPSC_HEADER_SIZE;
    if (capacity != 0 && (!ring_detail::is_power_of_two(capacity) || capacity > mapped)) [[unlikely]]
        return std::unexpected(ring_detail::corrupt_capacity(capacity, mapped));
    return capacity;
}

[[gnu::always_inline]] inline Result<std::uint64_t> SpscRing::check_frame_size(std::uint64_t length) const {
    auto capacity = checked_capacity();
    if (!capacity) [[unlikely]]
        return capacity;
    const std::uint64_t frame_len = length + ring_layout::kLengthSize;
    if (frame_len > *capacity) [[unlikely]]
        return std::unexpected(ring_detail::message_too_large(frame_len, *capacity, map_size_));
    if (length > UINT32_MAX) [[unlikely]]
        return std::unexpected(ring_detail::payload_too_long(length));
    return capacity;
}

[[gnu::always_inline]] inline Result<bool> SpscRing::reserve(std::uint64_t length, FrameSlot& slot) {
    using namespace ring_layout;
    auto capacity = check_frame_size(length);
    if (!capacity) [[unlikely]]
        return std::unexpected(std::move(capacity.error()));
    const std::uint64_t frame_len = length + kLengthSize;

    // Acquire: the consumer's copy-out of everything below head is complete before we reuse it.
    const std::uint64_t head = counter(kHeadOffset).load(std::memory_order_acquire);
    const std::uint64_t tail = counter(kTailOffset).load(std::memory_order_relaxed);  // our own
    // Never more in use than the capacity: otherwise the free space computed below would
    // overlap unread frames (a foreign write, or a late head store after a re-initialisation).
    if (tail - head > *capacity) [[unlikely]]
        return std::unexpected(ring_detail::corrupt_counters(tail - head, *capacity));
    if ((tail - head) + frame_len > *capacity) return false;
    slot = FrameSlot{tail, static_cast<std::uint32_t>(length), data(), *capacity - 1};
    return true;
}

inline Result<PushBatch> PushBatch::begin(SpscRing& ring) {
    auto capacity = ring.checked_capacity();
    if (!capacity) return std::unexpected(std::move(capacity.error()));
    const std::uint64_t head = ring.acquire_head();
    const std::uint64_t tail = ring.own_tail();
    if (tail - head > *capacity) return std::unexpected(ring_detail::corrupt_counters(tail - head, *capacity));
    return PushBatch(ring.data(), *capacity, head, tail);
}

inline void SpscRing::publish_tail(std::uint64_t new_tail) noexcept {
    // Release: publishes every byte of the frames below new_tail before the tail is visible.
    counter(ring_layout::kTailOffset).store(new_tail, std::memory_order_release);
}

[[gnu::always_inline]] inline Result<bool> SpscRing::push(std::span<const std::byte> payload) {
    FrameSlot slot{};
    auto reserved = reserve(payload.size(), slot);
    if (!reserved) [[unlikely]]
        return std::unexpected(std::move(reserved.error()));
    if (!*reserved) return false;
    slot.write(payload.data());
    publish_tail(slot.end());
    return true;
}

[[gnu::always_inline]] inline Result<SpscRing::Peeked> SpscRing::peek() const {
    using namespace ring_layout;
    const std::uint64_t head = counter(kHeadOffset).load(std::memory_order_relaxed);  // our own
    // Acquire: every byte the producer wrote before its release store of tail is visible.
    const std::uint64_t tail = counter(kTailOffset).load(std::memory_order_acquire);
    if (head == tail) return Peeked{false, {}};
    return peek_at(head, tail, checked_capacity());
}

[[gnu::always_inline]] inline Result<SpscRing::Peeked> SpscRing::peek_at(std::uint64_t head, std::uint64_t tail,
                                                                         const Result<std::uint64_t>& capacity) const {
    using namespace ring_layout;
    if (head == tail) return Peeked{false, {}};
    if (!capacity) [[unlikely]]
        return std::unexpected(capacity.error());
    const std::uint64_t published = tail - head;
    if (published > *capacity || published < kLengthSize) [[unlikely]]
        return std::unexpected(ring_detail::corrupt_counters(published, *capacity));
    const std::uint64_t mask = *capacity - 1;
    const std::uint32_t length = ring_detail::read_prefix(data(), mask, head);
    if (kLengthSize + length > published) [[unlikely]]
        return std::unexpected(ring_detail::corrupt_length(length, head, published));
    return Peeked{true, FrameRef{head, length, data(), mask}};
}

inline void SpscRing::consume(const FrameRef& frame) noexcept {
    publish_head(frame.head + ring_layout::kLengthSize + frame.length);
}

inline void SpscRing::publish_head(std::uint64_t new_head) noexcept {
    // Release: our copy-out of the frames below new_head completes before the producer may
    // overwrite them.
    counter(ring_layout::kHeadOffset).store(new_head, std::memory_order_release);
}

static_assert(std::endian::native == std::endian::little, "the ring layout is little-endian");

}  // namespace kelparine
