// libFuzzer target: the ring's consumer and producer over arbitrary header and data bytes.
//
// The segment is a heap block of exactly map_size bytes, so AddressSanitizer reports any byte
// read or written outside it, whatever capacity, head, tail and length prefixes the input
// holds. In model mode the ring is initialised as a creator would and every pop is checked
// against a queue of what was pushed.
//
// Input: [mode u8][data size u16][24 header bytes][fill u8] then operations:
//   op % 4 == 0  pop: peek, copy the payload out (in place or wrapped), consume
//   op % 4 == 1  push a payload of next-byte length, taken from the input
//   op % 4 == 2  push a payload of a length near the largest frame that fits
//   op % 4 == 3  the read-only views
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "core/spsc/ring.hpp"

namespace {

using kelparine::SpscRing;

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    bool empty() const { return at >= size; }
    std::uint8_t u8() { return at < size ? data[at++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::span<const std::byte> take(std::size_t n) {
        n = std::min(n, size - std::min(at, size));
        std::span<const std::byte> out(reinterpret_cast<const std::byte*>(data + at), n);
        at += n;
        return out;
    }
};

void check(bool condition) {
    if (!condition) __builtin_trap();
}

std::uint64_t load_u64(const std::byte* at) {
    std::uint64_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    Input in{bytes, size};
    const std::uint8_t mode = in.u8();
    const bool model_mode = (mode & 3) == 0;
    std::uint64_t data_size = 1 + in.u16() % 4096;
    // A creator's ring needs a power-of-two data area.
    if (model_mode) data_size = std::bit_floor(data_size);
    const std::uint64_t map_size = kelparine::SPSC_HEADER_SIZE + data_size;

    // Exactly map_size bytes: anything past the end is a heap overflow for ASan.
    std::unique_ptr<std::byte[]> segment(new std::byte[map_size]);
    std::byte* base = segment.get();
    std::memset(base, in.u8(), map_size);
    auto header = in.take(kelparine::SPSC_HEADER_SIZE);
    std::memcpy(base, header.data(), header.size());

    if (model_mode) {
        check(SpscRing::init(base, map_size, true).has_value());
        // Start the counters anywhere, even just below the 64-bit wrap: only differences matter.
        const std::uint64_t start = (mode & 4) ? UINT64_MAX - (in.u16() % 64) : in.u16();
        std::memcpy(base, &start, 8);
        std::memcpy(base + 8, &start, 8);
    } else if ((mode & 3) == 1) {
        // A plausible header: a power-of-two capacity, counters a little apart.
        const std::uint64_t capacity = std::uint64_t{1} << (in.u8() % 13);
        const std::uint64_t head = load_u64(base);
        const std::uint64_t tail = head + in.u16() % (capacity + 8);
        std::memcpy(base + 8, &tail, 8);
        std::memcpy(base + 16, &capacity, 8);
    } else if ((mode & 3) == 2) {
        // Any map size goes through init: only creators of power-of-two areas succeed.
        const bool ok = SpscRing::init(base, map_size, (mode & 4) != 0).has_value();
        check(ok == ((mode & 4) == 0 || std::has_single_bit(data_size)));
    }
    // mode 3: the raw header bytes as given.

    SpscRing ring(base, map_size);
    std::deque<std::vector<std::byte>> model;

    for (int ops = 0; ops < 256 && !in.empty(); ++ops) {
        const std::uint8_t op = in.u8();
        switch (op % 4) {
            case 0: {
                auto peeked = ring.peek();
                if (!peeked) {
                    check(!model_mode);
                    break;
                }
                if (!peeked->has_frame) {
                    check(!model_mode || model.empty());
                    break;
                }
                const kelparine::FrameRef& frame = peeked->frame;
                check(frame.length + std::uint64_t{4} <= ring.used());
                std::vector<std::byte> out(frame.length);
                frame.copy_payload(out.data());
                if (const std::byte* in_place = frame.contiguous_payload(); in_place && frame.length != 0) {
                    check(std::memcmp(in_place, out.data(), frame.length) == 0);
                }
                const std::uint64_t before = ring.used();
                ring.consume(frame);
                check(ring.used() == before - 4 - frame.length);
                if (model_mode) {
                    check(!model.empty() && model.front() == out);
                    model.pop_front();
                }
                break;
            }
            case 1:
            case 2: {
                std::size_t length = in.u8();
                if (op % 4 == 2) {
                    // The largest payload that fits, or a few bytes either side of it.
                    const std::uint64_t largest = std::min<std::uint64_t>(ring.capacity(), 8192);
                    const std::uint64_t near = largest >= 4 ? largest - 4 : 0;
                    length = static_cast<std::size_t>(near + length % 3) - (near >= 1 ? 1 : 0);
                }
                std::vector<std::byte> payload(length);
                auto given = in.take(length);
                if (!given.empty()) std::memcpy(payload.data(), given.data(), given.size());
                const std::uint64_t before = ring.used();
                auto pushed = ring.push(payload);
                if (!pushed) {
                    check(!model_mode || payload.size() + 4 > ring.capacity());
                    break;
                }
                if (*pushed) {
                    check(ring.used() == before + 4 + payload.size());
                    if (model_mode) model.push_back(std::move(payload));
                } else if (model_mode) {
                    check(before + 4 + payload.size() > ring.capacity());
                }
                break;
            }
            case 3: {
                const std::uint64_t used = ring.used(), free = ring.free(), capacity = ring.capacity();
                check(free <= capacity);
                check(ring.is_empty() == (used == 0));
                check(ring.is_full() == (used >= capacity));
                if (model_mode) {
                    std::uint64_t bytes = 0;
                    for (const auto& m : model) bytes += 4 + m.size();
                    check(used == bytes && used + free == capacity);
                }
                break;
            }
        }
    }
    return 0;
}
