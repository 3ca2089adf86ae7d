#include "ring.hpp"

#include "../text.hpp"

namespace kelparine {
namespace {

using namespace ring_layout;

// Largest power of two not above `value` (> 0).
constexpr std::uint64_t floor_power_of_two(std::uint64_t value) noexcept {
    return std::uint64_t{1} << (63 - __builtin_clzll(value));
}

}  // namespace

namespace ring_detail {

ShmError capacity_not_power_of_two(std::uint64_t capacity) {
    const std::uint64_t lower = floor_power_of_two(capacity);
    return ShmError::invalid_argument(
        concat("data capacity (", capacity, ") must be a power of two; try ", lower, " or ", lower * 2));
}

ShmError corrupt_capacity(std::uint64_t capacity, std::uint64_t mapped) {
    return ShmError::invalid_argument(concat("corrupt ring header: capacity ", capacity,
                                             " is not a power of two within the mapped data area of ", mapped,
                                             " bytes"));
}

ShmError message_too_large(std::uint64_t frame_len, std::uint64_t capacity, std::uint64_t map_size) {
    return ShmError::invalid_argument(concat("message too large: frame_len=", frame_len, " > capacity=", capacity,
                                             "                  (map_size=", map_size, ")"));
}

ShmError payload_too_long(std::uint64_t length) {
    return ShmError::invalid_argument(concat("message too large: a payload of ", length,
                                             " bytes cannot be described by the 32-bit length prefix"));
}

ShmError corrupt_counters(std::uint64_t published, std::uint64_t capacity) {
    return ShmError::invalid_argument(
        concat("corrupt ring header: tail - head = ", published, " does not fit a capacity of ", capacity));
}

ShmError corrupt_length(std::uint32_t length, std::uint64_t head, std::uint64_t published) {
    return ShmError::invalid_argument(concat("corrupt frame: length ", length, " at head ", head,
                                             " runs past tail (", published, " bytes published)"));
}

}  // namespace ring_detail

Status SpscRing::init(std::byte* base, std::uint64_t map_size, bool creator) {
    if (map_size <= SPSC_HEADER_SIZE)
        return invalid_argument(concat("map_size must be > ", SPSC_HEADER_SIZE, " bytes (spsc header)"));
    if (!creator) return {};
    const std::uint64_t capacity = map_size - SPSC_HEADER_SIZE;
    if (!ring_detail::is_power_of_two(capacity))
        return std::unexpected(ring_detail::capacity_not_power_of_two(capacity));
    // Ordinary stores: initialisation publishes nothing; peers open the ring after it returns.
    SpscRing ring(base, map_size);
    ring.counter(kHeadOffset).store(0, std::memory_order_relaxed);
    ring.counter(kTailOffset).store(0, std::memory_order_relaxed);
    ring.counter(kCapacityOffset).store(capacity, std::memory_order_relaxed);
    return {};
}

Status SpscRing::check_capacity(std::uint64_t capacity) {
    if (capacity < SPSC_MIN_CAPACITY)
        return invalid_argument(concat("data capacity (", capacity, ") must be a power of two of at least ",
                                       SPSC_MIN_CAPACITY, "; try ", SPSC_MIN_CAPACITY));
    if (capacity > SPSC_MAX_CAPACITY)
        return invalid_argument(concat("data capacity (", capacity, ") must be a power of two of at most ",
                                       SPSC_MAX_CAPACITY, "; try ", SPSC_MAX_CAPACITY));
    // Within the bounds the neighbours named are both valid capacities.
    if (!ring_detail::is_power_of_two(capacity))
        return std::unexpected(ring_detail::capacity_not_power_of_two(capacity));
    return {};
}

Status SpscRing::check_opened(std::string_view name) const {
    // Relaxed, like every snapshot of the capacity: the creator wrote it before anyone was told
    // the ring exists, and push and pop check it again on every call.
    if (capacity() == 0)
        return invalid_argument(concat("no ring in '", name, "' yet: its header reads capacity 0 (open it after "
                                       "SpscRingBuffer.create() or the creator's spsc() has returned)"));
    if (auto capacity = checked_capacity(); !capacity) return std::unexpected(std::move(capacity.error()));
    return {};
}

std::uint64_t SpscRing::capacity() const noexcept {
    return counter(kCapacityOffset).load(std::memory_order_relaxed);
}

std::uint64_t SpscRing::used() const noexcept {
    const std::uint64_t head = counter(kHeadOffset).load(std::memory_order_acquire);
    const std::uint64_t tail = counter(kTailOffset).load(std::memory_order_acquire);
    return tail - head;
}

std::uint64_t SpscRing::free() const noexcept {
    const std::uint64_t in_use = used();
    const std::uint64_t cap = capacity();
    return in_use <= cap ? cap - in_use : 0;
}

bool SpscRing::is_full() const noexcept { return used() >= capacity(); }

bool SpscRing::is_empty() const noexcept {
    return counter(kHeadOffset).load(std::memory_order_acquire) ==
           counter(kTailOffset).load(std::memory_order_acquire);
}

}  // namespace kelparine
