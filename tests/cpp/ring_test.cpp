// The ring protocol over plain process memory: exact bytes of the header and of every frame,
// wrap-around of positions and of the counters, refusals of corrupt headers and frames, and a
// producer and a consumer on two threads.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/spsc/ring.hpp"

namespace kelparine {
namespace {

// A fake segment: `map_size` bytes, 8-byte aligned like a real mapping's start.
class Segment {
public:
    explicit Segment(std::uint64_t map_size, std::uint8_t fill = 0)
        : words_((map_size + 7) / 8), size_(map_size) {
        std::memset(words_.data(), fill, words_.size() * 8);
    }
    std::byte* base() { return reinterpret_cast<std::byte*>(words_.data()); }
    std::uint64_t size() const { return size_; }
    SpscRing ring() { return SpscRing(base(), size_); }

    std::uint64_t u64(std::size_t offset) {
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | std::to_integer<std::uint64_t>(base()[offset + i]);
        return v;
    }
    void set_u64(std::size_t offset, std::uint64_t v) {
        for (int i = 0; i < 8; ++i) base()[offset + i] = static_cast<std::byte>(v >> (8 * i));
    }
    std::uint64_t head() { return u64(0); }
    std::uint64_t tail() { return u64(8); }
    void set_header(std::uint64_t head, std::uint64_t tail, std::uint64_t capacity) {
        set_u64(0, head);
        set_u64(8, tail);
        set_u64(16, capacity);
    }
    std::uint8_t data(std::size_t i) { return std::to_integer<std::uint8_t>(base()[SPSC_HEADER_SIZE + i]); }
    void set_data(std::size_t i, std::uint8_t v) { base()[SPSC_HEADER_SIZE + i] = std::byte{v}; }
    std::vector<std::uint8_t> bytes() {
        const auto* p = reinterpret_cast<const std::uint8_t*>(base());
        return {p, p + size_};
    }

private:
    std::vector<std::uint64_t> words_;
    std::uint64_t size_;
};

// A segment initialised by its creator: capacity map_size - 24, both counters 0.
Segment created(std::uint64_t map_size) {
    Segment seg(map_size, 0xA5);
    EXPECT_TRUE(SpscRing::init(seg.base(), map_size, true).has_value());
    return seg;
}

std::vector<std::byte> payload_of(std::initializer_list<int> values) {
    std::vector<std::byte> out;
    for (int v : values) out.push_back(static_cast<std::byte>(v));
    return out;
}

std::vector<std::byte> pattern(std::size_t n, unsigned seed = 1) {
    std::vector<std::byte> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::byte>(seed * 31 + i * 7);
    return out;
}

bool push_ok(SpscRing& ring, const std::vector<std::byte>& payload) {
    auto r = ring.push(payload);
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
    return r.value_or(false);
}

// pop as a consumer does it: peek, copy the payload out, then release the frame.
Result<std::optional<std::vector<std::byte>>> pop(SpscRing& ring) {
    auto peeked = ring.peek();
    if (!peeked) return std::unexpected(peeked.error());
    if (!peeked->has_frame) return std::nullopt;
    std::vector<std::byte> out(peeked->frame.length);
    peeked->frame.copy_payload(out.data());
    ring.consume(peeked->frame);
    return out;
}

std::vector<std::byte> pop_value(SpscRing& ring) {
    auto r = pop(ring);
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
    EXPECT_TRUE(r.has_value() && r->has_value());
    return r.has_value() && r->has_value() ? **r : std::vector<std::byte>{};
}

std::string error_of(const Status& s) { return s ? "" : s.error().message(); }
template <class T>
std::string error_of(const Result<T>& r) {
    return r ? "(no error)" : r.error().message();
}

// ---------------------------------------------------------------------------------------------
// Initialisation

TEST(RingInit, RefusesSegmentsNoLargerThanTheHeader) {
    for (std::uint64_t size : {0u, 1u, 23u, 24u}) {
        for (bool creator : {true, false}) {
            Segment seg(32, 0x5A);
            const auto before = seg.bytes();
            auto r = SpscRing::init(seg.base(), size, creator);
            EXPECT_EQ(error_of(r), "map_size must be > 24 bytes (spsc header)") << size;
            EXPECT_EQ(seg.bytes(), before);
        }
    }
}

TEST(RingInit, CreatorRefusesCapacityNotAPowerOfTwo) {
    struct Case {
        std::uint64_t map_size;
        const char* message;
    };
    for (const Case& c : {
             Case{4096, "data capacity (4072) must be a power of two; try 2048 or 4096"},
             Case{27, "data capacity (3) must be a power of two; try 2 or 4"},
             Case{89, "data capacity (65) must be a power of two; try 64 or 128"},
             Case{24 + 0xFFFF, "data capacity (65535) must be a power of two; try 32768 or 65536"},
         }) {
        Segment seg(c.map_size, 0x5A);
        const auto before = seg.bytes();
        EXPECT_EQ(error_of(SpscRing::init(seg.base(), c.map_size, true)), c.message);
        EXPECT_EQ(seg.bytes(), before) << "a refused init must leave the header alone";
    }
}

TEST(RingInit, CreatorWritesAnEmptyHeaderAndNothingElse) {
    for (std::uint64_t capacity : {1u, 2u, 64u, 4096u}) {
        Segment seg(24 + capacity, 0x5A);
        ASSERT_TRUE(SpscRing::init(seg.base(), seg.size(), true));
        EXPECT_EQ(seg.u64(0), 0u);
        EXPECT_EQ(seg.u64(8), 0u);
        EXPECT_EQ(seg.u64(16), capacity);
        for (std::uint64_t i = 0; i < capacity; ++i) ASSERT_EQ(seg.data(i), 0x5A) << i;
        SpscRing ring = seg.ring();
        EXPECT_EQ(ring.capacity(), capacity);
        EXPECT_EQ(ring.used(), 0u);
        EXPECT_EQ(ring.free(), capacity);
        EXPECT_TRUE(ring.is_empty());
        EXPECT_FALSE(ring.is_full());
    }
}

TEST(RingInit, CreatorInitAgainDropsPendingMessages) {
    Segment seg = created(24 + 64);
    SpscRing ring = seg.ring();
    ASSERT_TRUE(push_ok(ring, pattern(10)));
    ASSERT_TRUE(SpscRing::init(seg.base(), seg.size(), true));
    EXPECT_TRUE(ring.is_empty());
    EXPECT_EQ(seg.head(), 0u);
    EXPECT_FALSE(pop(ring)->has_value());
}

TEST(RingInit, OpenerTouchesNothingWhateverTheSize) {
    // 4096 - 24 is not a power of two: an opener does not check it.
    for (std::uint64_t size : {25u, 27u, 4096u}) {
        Segment seg(size, 0x5A);
        const auto before = seg.bytes();
        EXPECT_TRUE(SpscRing::init(seg.base(), size, false)) << size;
        EXPECT_EQ(seg.bytes(), before);
    }
}

// ---------------------------------------------------------------------------------------------
// Frames, byte for byte

TEST(RingFrames, LengthIsLittleEndianAndPayloadFollowsIt) {
    Segment seg = created(24 + 1024);
    SpscRing ring = seg.ring();
    const auto payload = pattern(0x0102);  // 258 bytes: both low bytes of the length non-zero
    ASSERT_TRUE(push_ok(ring, payload));
    EXPECT_EQ(seg.data(0), 0x02);
    EXPECT_EQ(seg.data(1), 0x01);
    EXPECT_EQ(seg.data(2), 0x00);
    EXPECT_EQ(seg.data(3), 0x00);
    for (std::size_t i = 0; i < payload.size(); ++i)
        ASSERT_EQ(seg.data(4 + i), std::to_integer<std::uint8_t>(payload[i])) << i;
    EXPECT_EQ(seg.data(4 + payload.size()), 0xA5) << "nothing written past the frame";
    EXPECT_EQ(seg.tail(), 4 + payload.size());
    EXPECT_EQ(seg.head(), 0u);
    EXPECT_EQ(ring.used(), 262u);

    ASSERT_TRUE(push_ok(ring, payload_of({0xAA, 0xBB, 0xCC})));
    EXPECT_EQ(seg.data(262), 3);
    EXPECT_EQ(seg.data(266), 0xAA);
    EXPECT_EQ(seg.tail(), 262u + 7u);

    EXPECT_EQ(pop_value(ring), payload);
    EXPECT_EQ(seg.head(), 262u);
    EXPECT_EQ(pop_value(ring), payload_of({0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(seg.head(), seg.tail());
    EXPECT_FALSE(pop(ring)->has_value());
}

TEST(RingFrames, EmptyPayloadIsAFourByteFrame) {
    Segment seg = created(24 + 64);
    SpscRing ring = seg.ring();
    ASSERT_TRUE(push_ok(ring, {}));
    EXPECT_EQ(seg.tail(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(seg.data(i), 0);
    EXPECT_FALSE(ring.is_empty());
    auto popped = pop(ring);
    ASSERT_TRUE(popped && popped->has_value());
    EXPECT_TRUE((*popped)->empty());
    EXPECT_EQ(seg.head(), 4u);
    EXPECT_TRUE(ring.is_empty());
}

TEST(RingFrames, PayloadWrapsToTheStartAfterAnIntactPrefix) {
    Segment seg = created(24 + 16);
    seg.set_header(12, 12, 16);
    SpscRing ring = seg.ring();
    const auto payload = payload_of({1, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_TRUE(push_ok(ring, payload));
    EXPECT_EQ(seg.data(12), 8);
    EXPECT_EQ(seg.data(13), 0);
    EXPECT_EQ(seg.data(14), 0);
    EXPECT_EQ(seg.data(15), 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(seg.data(i), i + 1);
    EXPECT_EQ(seg.data(8), 0xA5);
    EXPECT_EQ(seg.tail(), 24u);
    EXPECT_EQ(pop_value(ring), payload);
    EXPECT_EQ(seg.head(), 24u);
}

TEST(RingFrames, LengthPrefixSplitAcrossTheEnd) {
    Segment seg = created(24 + 16);
    seg.set_header(14, 14, 16);
    SpscRing ring = seg.ring();
    ASSERT_TRUE(push_ok(ring, payload_of({0x61, 0x62})));
    EXPECT_EQ(seg.data(14), 2);
    EXPECT_EQ(seg.data(15), 0);
    EXPECT_EQ(seg.data(0), 0);
    EXPECT_EQ(seg.data(1), 0);
    EXPECT_EQ(seg.data(2), 0x61);
    EXPECT_EQ(seg.data(3), 0x62);
    EXPECT_EQ(seg.tail(), 20u);
    EXPECT_EQ(pop_value(ring), payload_of({0x61, 0x62}));
    EXPECT_EQ(seg.head(), 20u);
}

// Every start position and every length that fits: each byte lands at its masked position.
TEST(RingFrames, EveryStartPositionAndLengthInASmallRing) {
    constexpr std::uint64_t kCap = 16;
    for (std::uint64_t start = 0; start < kCap; ++start) {
        for (std::size_t n = 0; n + 4 <= kCap; ++n) {
            Segment seg = created(24 + kCap);
            seg.set_header(start, start, kCap);
            SpscRing ring = seg.ring();
            const auto payload = pattern(n, static_cast<unsigned>(start));
            ASSERT_TRUE(push_ok(ring, payload));
            for (int i = 0; i < 4; ++i)
                ASSERT_EQ(seg.data((start + i) % kCap), i == 0 ? n : 0) << start << " " << n;
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(seg.data((start + 4 + i) % kCap), std::to_integer<std::uint8_t>(payload[i]));
            ASSERT_EQ(pop_value(ring), payload);
            ASSERT_EQ(seg.head(), start + 4 + n);
            ASSERT_TRUE(ring.is_empty());
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Room, back-pressure and the size limit

TEST(RingRoom, ExactFitFillsTheRingThenNothingMoreIsWritten) {
    Segment seg = created(24 + 64);
    SpscRing ring = seg.ring();
    ASSERT_TRUE(push_ok(ring, pattern(60)));
    EXPECT_EQ(ring.used(), 64u);
    EXPECT_EQ(ring.free(), 0u);
    EXPECT_TRUE(ring.is_full());
    const auto before = seg.bytes();
    auto r = ring.push({});
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(*r);
    EXPECT_EQ(seg.bytes(), before) << "a refused push leaves no trace";
    EXPECT_EQ(pop_value(ring), pattern(60));
    EXPECT_TRUE(ring.is_empty());
    EXPECT_FALSE(ring.is_full());
}

TEST(RingRoom, PushFailsWhenOneByteShortAndFitsOnceSpaceIsFreed) {
    Segment seg = created(24 + 64);
    SpscRing ring = seg.ring();
    ASSERT_TRUE(push_ok(ring, pattern(20)));  // 24 bytes
    ASSERT_TRUE(push_ok(ring, pattern(30)));  // 34 bytes, 6 free
    EXPECT_EQ(ring.free(), 6u);
    EXPECT_FALSE(ring.is_full());
    const auto before = seg.bytes();
    EXPECT_FALSE(*ring.push(pattern(3)));  // needs 7
    EXPECT_EQ(seg.bytes(), before);
    EXPECT_TRUE(*ring.push(pattern(2)));  // needs 6: equality fits
    EXPECT_TRUE(ring.is_full());
    EXPECT_EQ(pop_value(ring), pattern(20));
    EXPECT_TRUE(*ring.push(pattern(20)));  // wraps into the freed space
    EXPECT_EQ(pop_value(ring), pattern(30));
    EXPECT_EQ(pop_value(ring), pattern(2));
    EXPECT_EQ(pop_value(ring), pattern(20));
    EXPECT_TRUE(ring.is_empty());
}

TEST(RingRoom, MessageTooLargeNamesFrameCapacityAndMapSize) {
    Segment seg = created(24 + 64);
    SpscRing ring = seg.ring();
    const auto before = seg.bytes();
    EXPECT_EQ(error_of(ring.push(pattern(61))),
              "message too large: frame_len=65 > capacity=64                  (map_size=88)");
    EXPECT_EQ(seg.bytes(), before);
    // The size test comes before any look at the counters: same text on a full ring.
    ASSERT_TRUE(push_ok(ring, pattern(60)));
    EXPECT_EQ(error_of(ring.push(pattern(61))),
              "message too large: frame_len=65 > capacity=64                  (map_size=88)");
}

TEST(RingRoom, CapacitiesOneAndTwoHoldNoFrame) {
    for (std::uint64_t capacity : {1u, 2u}) {
        Segment seg = created(24 + capacity);
        SpscRing ring = seg.ring();
        const std::string expected = "message too large: frame_len=4 > capacity=" + std::to_string(capacity) +
                                     "                  (map_size=" + std::to_string(24 + capacity) + ")";
        EXPECT_EQ(error_of(ring.push({})), expected);
        EXPECT_FALSE(pop(ring)->has_value());
        EXPECT_TRUE(ring.is_empty());
        EXPECT_FALSE(ring.is_full());
        EXPECT_EQ(ring.free(), capacity);
    }
}

TEST(RingRoom, AllZeroHeaderIsAnEmptyRingOfCapacityZero) {
    // What an opener sees before the creator has initialised the segment.
    Segment seg(24 + 64, 0);
    SpscRing ring = seg.ring();
    EXPECT_FALSE(pop(ring)->has_value());
    EXPECT_EQ(error_of(ring.push({})),
              "message too large: frame_len=4 > capacity=0                  (map_size=88)");
    EXPECT_EQ(seg.bytes(), std::vector<std::uint8_t>(88, 0));
    EXPECT_EQ(ring.capacity(), 0u);
    EXPECT_EQ(ring.used(), 0u);
    EXPECT_EQ(ring.free(), 0u);
    EXPECT_TRUE(ring.is_empty());
    EXPECT_TRUE(ring.is_full());
}

// ---------------------------------------------------------------------------------------------
// Free-running counters

TEST(RingCounters, FarPastCapacityUsedCountsUnreadBytes) {
    Segment seg = created(24 + 64);
    const std::uint64_t start = 1'000'003;  // not a multiple of anything useful
    seg.set_header(start, start, 64);
    SpscRing ring = seg.ring();
    ASSERT_TRUE(push_ok(ring, pattern(5, 1)));
    ASSERT_TRUE(push_ok(ring, pattern(9, 2)));
    EXPECT_EQ(ring.used(), 9u + 13u);
    EXPECT_EQ(seg.tail(), start + 22);
    EXPECT_EQ(pop_value(ring), pattern(5, 1));
    EXPECT_EQ(ring.used(), 13u);
    EXPECT_EQ(pop_value(ring), pattern(9, 2));
    EXPECT_EQ(seg.head(), start + 22);
    EXPECT_EQ(ring.used(), 0u);
}

TEST(RingCounters, CountersWrapAroundTwoToTheSixtyFour) {
    Segment seg = created(24 + 64);
    const std::uint64_t start = UINT64_MAX - 7;  // 2^64 - 8
    seg.set_header(start, start, 64);
    SpscRing ring = seg.ring();
    // 2^64 - 8 masks to 56: the first frame's prefix sits at 56..59, its payload runs on to 0..5.
    ASSERT_TRUE(push_ok(ring, pattern(10, 1)));
    EXPECT_EQ(seg.tail(), 6u) << "tail wrapped to 2^64 - 8 + 14 mod 2^64";
    EXPECT_EQ(seg.data(56), 10);
    ASSERT_TRUE(push_ok(ring, pattern(10, 2)));
    EXPECT_EQ(ring.used(), 28u);
    EXPECT_EQ(ring.free(), 36u);
    EXPECT_FALSE(ring.is_empty());
    EXPECT_EQ(pop_value(ring), pattern(10, 1));
    EXPECT_EQ(seg.head(), 6u);
    EXPECT_EQ(ring.used(), 14u);
    EXPECT_EQ(pop_value(ring), pattern(10, 2));
    EXPECT_EQ(seg.head(), 20u);
    EXPECT_TRUE(ring.is_empty());
}

TEST(RingCounters, ManyWrapsKeepOrderContentAndUsedBytes) {
    Segment seg = created(24 + 64);
    SpscRing ring = seg.ring();
    std::mt19937 rng(7);
    std::deque<std::vector<std::byte>> pending;
    std::uint64_t pending_bytes = 0, popped = 0;
    while (popped < 5000) {
        if (rng() % 2) {
            const auto payload = pattern(rng() % 61, static_cast<unsigned>(rng()));
            auto r = ring.push(payload);
            ASSERT_TRUE(r.has_value());
            ASSERT_EQ(*r, pending_bytes + payload.size() + 4 <= 64);
            if (*r) {
                pending.push_back(payload);
                pending_bytes += payload.size() + 4;
            }
        } else {
            auto r = pop(ring);
            ASSERT_TRUE(r.has_value());
            ASSERT_EQ(r->has_value(), !pending.empty());
            if (!pending.empty()) {
                ASSERT_EQ(**r, pending.front());
                pending_bytes -= pending.front().size() + 4;
                pending.pop_front();
                ++popped;
            }
        }
        ASSERT_EQ(ring.used(), pending_bytes);
        ASSERT_EQ(ring.free(), 64 - pending_bytes);
    }
    EXPECT_GT(seg.tail(), 64u * 100) << "the test should wrap many times";
}

// ---------------------------------------------------------------------------------------------
// Refusals of a header or frame that no well-behaved producer wrote

TEST(RingCorruption, CapacityNotAPowerOfTwoOrLargerThanTheMappingIsRefused) {
    for (std::uint64_t capacity : {48u, 63u, 128u, 1u << 20}) {
        Segment seg(24 + 64, 0);
        seg.set_header(0, 8, capacity);
        SpscRing ring = seg.ring();
        const auto before = seg.bytes();
        const std::string push_error = error_of(ring.push(pattern(1)));
        EXPECT_EQ(push_error.rfind("corrupt ring header", 0), 0u) << push_error;
        const std::string pop_error = error_of(pop(ring));
        EXPECT_EQ(pop_error.rfind("corrupt ring header", 0), 0u) << pop_error;
        EXPECT_EQ(seg.bytes(), before);
        // The views report what the header holds.
        EXPECT_EQ(ring.capacity(), capacity);
        EXPECT_EQ(ring.used(), 8u);
    }
}

TEST(RingCorruption, LengthRunningPastTailIsRefusedAndHeadStays) {
    Segment seg = created(24 + 64);
    SpscRing ring = seg.ring();
    ASSERT_TRUE(push_ok(ring, pattern(4)));  // 8 bytes published
    seg.set_data(0, 5);                       // claims 9 bytes
    auto r = pop(ring);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message().rfind("corrupt frame: ", 0), 0u) << r.error().message();
    EXPECT_EQ(seg.head(), 0u);
    EXPECT_EQ(ring.used(), 8u);
    seg.set_data(3, 0x80);  // a length of 2^31 + 5: far past the mapping
    EXPECT_FALSE(pop(ring).has_value());
    EXPECT_EQ(seg.head(), 0u);
    seg.set_data(0, 4);  // repaired: the frame pops normally
    seg.set_data(3, 0);
    EXPECT_EQ(pop_value(ring), pattern(4));
}

TEST(RingCorruption, PublishedBytesThatCannotHoldAFrameAreRefused) {
    struct Case {
        std::uint64_t head, tail;
    };
    // tail - head beyond the capacity, below a length prefix, or negative (head past tail).
    for (const Case& c : {Case{0, 65}, Case{100, 300}, Case{0, 3}, Case{10, 4}}) {
        Segment seg = created(24 + 64);
        seg.set_header(c.head, c.tail, 64);
        SpscRing ring = seg.ring();
        const auto before = seg.bytes();
        const std::string message = error_of(pop(ring));
        EXPECT_EQ(message.rfind("corrupt ", 0), 0u) << c.head << " " << c.tail << ": " << message;
        EXPECT_EQ(seg.bytes(), before);
        // Snapshots report the header as it is; free saturates at 0.
        EXPECT_EQ(ring.used(), c.tail - c.head);
        if (c.tail - c.head > 64) {
            EXPECT_EQ(ring.free(), 0u);
            EXPECT_TRUE(ring.is_full());
        }
    }
}

// A payload a 32-bit length cannot describe is refused before any byte of it is read. The
// payload and the data area are reserved but inaccessible, so touching them would crash.
TEST(RingCorruption, PayloadBeyondThirtyTwoBitLengthIsRefused) {
    constexpr std::uint64_t kCap = 1ull << 33;
    constexpr std::uint64_t kPayload = 1ull << 32;
    const std::uint64_t map_size = SPSC_HEADER_SIZE + kCap;
    void* ring_area = mmap(nullptr, map_size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    void* payload_area = mmap(nullptr, kPayload, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (ring_area == MAP_FAILED || payload_area == MAP_FAILED) GTEST_SKIP() << "no address space for the test";
    ASSERT_EQ(mprotect(ring_area, 4096, PROT_READ | PROT_WRITE), 0);
    auto* base = static_cast<std::byte*>(ring_area);
    ASSERT_TRUE(SpscRing::init(base, map_size, true));
    SpscRing ring(base, map_size);
    auto r = ring.push({static_cast<const std::byte*>(payload_area), kPayload});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message().rfind("message too large", 0), 0u) << r.error().message();
    EXPECT_NE(r.error().message().find("4294967296"), std::string::npos) << r.error().message();
    EXPECT_TRUE(ring.is_empty());
    munmap(ring_area, map_size);
    munmap(payload_area, kPayload);
}

// ---------------------------------------------------------------------------------------------
// Two threads: one producer, one consumer, no lock

TEST(RingThreads, ProducerAndConsumerExchangeEveryMessageIntact) {
    constexpr std::uint64_t kMessages = 40000;
    Segment seg = created(24 + 256);
    std::atomic<bool> failed{false};

    // Message k: its 8-byte sequence number, then a length and contents derived from k, then
    // a one-byte sum of everything before it.
    auto make = [](std::uint64_t k) {
        const std::size_t extra = (k * 2654435761u) % 120;
        std::vector<std::byte> m(8 + extra + 1);
        std::memcpy(m.data(), &k, 8);
        std::uint8_t sum = 0;
        for (std::size_t i = 0; i < 8 + extra; ++i) {
            if (i >= 8) m[i] = static_cast<std::byte>(k + i * 13);
            sum = static_cast<std::uint8_t>(sum + std::to_integer<std::uint8_t>(m[i]));
        }
        m.back() = std::byte{sum};
        return m;
    };

    std::thread producer([&] {
        SpscRing ring = seg.ring();
        for (std::uint64_t k = 0; k < kMessages && !failed;) {
            auto r = ring.push(make(k));
            if (!r) {
                failed = true;
                return;
            }
            if (*r)
                ++k;
            else
                std::this_thread::yield();
        }
    });

    SpscRing ring = seg.ring();
    std::uint64_t received = 0;
    while (received < kMessages && !failed) {
        auto r = pop(ring);
        ASSERT_TRUE(r.has_value()) << r.error().message();
        if (!r->has_value()) {
            std::this_thread::yield();
            continue;
        }
        const auto& m = **r;
        std::uint64_t k = UINT64_MAX;
        if (m.size() >= 8) std::memcpy(&k, m.data(), 8);
        if (k != received || m != make(received)) {
            failed = true;
            ADD_FAILURE() << "message " << received << " lost, reordered or corrupted (got sequence " << k << ")";
            break;
        }
        ++received;
    }
    producer.join();
    EXPECT_EQ(received, kMessages);
    EXPECT_TRUE(ring.is_empty());
    EXPECT_GT(seg.tail(), 256u * 1000) << "the exchange should wrap the ring many times";
}

}  // namespace
}  // namespace kelparine
