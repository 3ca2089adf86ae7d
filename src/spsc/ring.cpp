#include "ring.hpp"


#include "../text.hpp"

namespace kelparine {
namespace {

using namespace ring_layout;

// Copies `size` bytes to logical position `pos`, wrapping at most once.
void write_wrapped(std::byte* data, std::uint64_t mask, std::uint64_t pos, const std::byte* source,
                   std::uint64_t size) noexcept {
    if (size == 0) return;
    const std::uint64_t start = pos & mask;
    const std::uint64_t first = std::min(size, mask + 1 - start);
    std::memcpy(data + start, source, first);
    if (first < size) std::memcpy(data, source + first, size - first);
}

void read_wrapped(const std::byte* data, std::uint64_t mask, std::uint64_t pos, std::byte* out,
                  std::uint64_t size) noexcept {
    if (size == 0) return;
    const std::uint64_t start = pos & mask;
    const std::uint64_t first = std::min(size, mask + 1 - start);
    std::memcpy(out, data + start, first);
    if (first < size) std::memcpy(out + first, data, size - first);
}

// Power of two without std::has_single_bit: that compiles to a libgcc popcount call unless
// the build targets a CPU with POPCNT, and this check runs on every push and pop.
constexpr bool is_power_of_two(std::uint64_t value) noexcept { return value != 0 && (value & (value - 1)) == 0; }

// Largest power of two not above `value` (> 0).
constexpr std::uint64_t floor_power_of_two(std::uint64_t value) noexcept {
    return std::uint64_t{1} << (63 - __builtin_clzll(value));
}

void put_u32_le(std::byte* out, std::uint32_t value) noexcept {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::byte>(value >> (8 * i));
}

std::uint32_t get_u32_le(const std::byte* in) noexcept {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(in[i]) << (8 * i);
    return value;
}

}  // namespace

void FrameRef::copy_payload(std::byte* out) const noexcept {
    read_wrapped(data, mask, head + kLengthSize, out, length);
}

Status SpscRing::init(std::byte* base, std::uint64_t map_size, bool creator) {
    if (map_size <= SPSC_HEADER_SIZE)
        return invalid_argument(concat("map_size must be > ", SPSC_HEADER_SIZE, " bytes (spsc header)"));
    if (!creator) return {};
    const std::uint64_t capacity = map_size - SPSC_HEADER_SIZE;
    if (!is_power_of_two(capacity)) {
        const std::uint64_t lower = floor_power_of_two(capacity);
        return invalid_argument(concat("data capacity (", capacity, ") must be a power of two; try ", lower,
                                       " or ", lower * 2));
    }
    // Ordinary stores: initialisation publishes nothing; peers open the ring after it returns.
    SpscRing ring(base, map_size);
    ring.counter(kHeadOffset).store(0, std::memory_order_relaxed);
    ring.counter(kTailOffset).store(0, std::memory_order_relaxed);
    ring.counter(kCapacityOffset).store(capacity, std::memory_order_relaxed);
    return {};
}

Result<std::uint64_t> SpscRing::checked_capacity() const {
    const std::uint64_t capacity = counter(kCapacityOffset).load(std::memory_order_relaxed);
    const std::uint64_t mapped = map_size_ - SPSC_HEADER_SIZE;
    if (capacity != 0 && (!is_power_of_two(capacity) || capacity > mapped))
        return invalid_argument(concat("corrupt ring header: capacity ", capacity,
                                       " is not a power of two within the mapped data area of ", mapped,
                                       " bytes"));
    return capacity;
}

Result<bool> SpscRing::push(std::span<const std::byte> payload) {
    auto capacity = checked_capacity();
    if (!capacity) return std::unexpected(std::move(capacity.error()));
    const std::uint64_t length = payload.size();
    const std::uint64_t frame_len = length + kLengthSize;
    if (frame_len > *capacity)
        return invalid_argument(concat("message too large: frame_len=", frame_len, " > capacity=", *capacity,
                                       "                  (map_size=", map_size_, ")"));
    if (length > UINT32_MAX)
        return invalid_argument(concat("message too large: a payload of ", length,
                                       " bytes cannot be described by the 32-bit length prefix"));

    // Acquire: the consumer's copy-out of everything below head is complete before we reuse it.
    const std::uint64_t head = counter(kHeadOffset).load(std::memory_order_acquire);
    const std::uint64_t tail = counter(kTailOffset).load(std::memory_order_relaxed);  // our own
    if ((tail - head) + frame_len > *capacity) return false;

    const std::uint64_t mask = *capacity - 1;
    std::byte prefix[kLengthSize];
    put_u32_le(prefix, static_cast<std::uint32_t>(length));
    write_wrapped(data(), mask, tail, prefix, kLengthSize);
    write_wrapped(data(), mask, tail + kLengthSize, payload.data(), length);
    // Release: publishes every byte of the frame before the new tail becomes visible.
    counter(kTailOffset).store(tail + frame_len, std::memory_order_release);
    return true;
}

Result<SpscRing::Peeked> SpscRing::peek() const {
    const std::uint64_t head = counter(kHeadOffset).load(std::memory_order_relaxed);  // our own
    // Acquire: every byte the producer wrote before its release store of tail is visible.
    const std::uint64_t tail = counter(kTailOffset).load(std::memory_order_acquire);
    if (head == tail) return Peeked{false, {}};

    auto capacity = checked_capacity();
    if (!capacity) return std::unexpected(std::move(capacity.error()));
    const std::uint64_t published = tail - head;
    if (published > *capacity || published < kLengthSize)
        return invalid_argument(concat("corrupt ring header: tail - head = ", published,
                                       " does not fit a capacity of ", *capacity));
    const std::uint64_t mask = *capacity - 1;
    std::byte prefix[kLengthSize];
    read_wrapped(data(), mask, head, prefix, kLengthSize);
    const std::uint32_t length = get_u32_le(prefix);
    if (kLengthSize + length > published)
        return invalid_argument(concat("corrupt frame: length ", length, " at head ", head, " runs past tail (",
                                       published, " bytes published)"));
    return Peeked{true, FrameRef{head, length, data(), mask}};
}

void SpscRing::consume(const FrameRef& frame) noexcept {
    // Release: our copy-out of the frame completes before the producer may overwrite it.
    counter(kHeadOffset).store(frame.head + kLengthSize + frame.length, std::memory_order_release);
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
