// Threaded stress of the C++ core without Python: the lock word and the ring on a plain heap
// block, shared by threads instead of processes. Under ThreadSanitizer (scripts/sanitize.sh)
// this checks the memory orderings themselves: a hold or a frame that did not order its bytes
// would show up as a data race on the data area.
//
//   core_stress [SECONDS] [READERS] [WRITERS]
//
// Lock: writers fill the whole data area with one byte under the exclusive hold; readers copy
// it under a shared hold and count reads that are not uniform (torn). Ring: one producer and
// one consumer thread pass sequence-numbered frames of random sizes through 64-byte and 4 KiB
// rings; the consumer checks number, size and contents of every frame. Queue: producer threads
// claim records concurrently and consumer threads take them under the consumer lock, through a
// 4 KiB queue; every record is checked for producer order, size and contents.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "core/queue/mpmc_queue.hpp"
#include "core/rwlock.hpp"
#include "core/spsc/ring.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct LockFigures {
    std::uint64_t reads = 0, writes = 0, torn = 0;
    std::int32_t word_after = 0;
};

LockFigures stress_lock(double seconds, int readers, int writers) {
    constexpr std::size_t kDataSize = 4096;
    // Aligned like the start of a mapping: the word must be naturally aligned.
    auto block = std::make_unique<std::uint64_t[]>((kelparine::RWLOCK_SIZE + kDataSize) / 8 + 1);
    std::byte* base = reinterpret_cast<std::byte*>(block.get());
    std::byte* data = base + kelparine::RWLOCK_SIZE;
    const kelparine::ShmRwLock lock(base);
    lock.init_unlocked();

    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> reads{0}, writes{0}, torn{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            std::uint64_t count = 0;
            unsigned char byte = static_cast<unsigned char>(w + 1);
            while (!stop.load(std::memory_order_relaxed)) {
                {
                    auto hold = lock.acquire_write();
                    std::memset(data, byte, kDataSize);
                }
                byte = static_cast<unsigned char>(byte + writers);
                ++count;
                // The lock has no fairness: a writer that re-acquired at once would keep the
                // cache line and shut the readers out. Pause between writes as real ones do.
                for (int i = 0; i < 256; ++i) kelparine::spin_pause();
            }
            writes += count;
        });
    }
    for (int r = 0; r < readers; ++r) {
        threads.emplace_back([&] {
            std::vector<std::byte> copy(kDataSize);
            std::uint64_t count = 0, bad = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                {
                    auto hold = lock.acquire_read();
                    std::memcpy(copy.data(), data, kDataSize);
                }
                ++count;
                for (std::size_t i = 1; i < kDataSize; ++i) {
                    if (copy[i] != copy[0]) {
                        ++bad;
                        break;
                    }
                }
            }
            reads += count;
            torn += bad;
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& thread : threads) thread.join();
    std::int32_t word;
    std::memcpy(&word, base, sizeof word);
    return {reads.load(), writes.load(), torn.load(), word};
}

struct RingFigures {
    std::uint64_t capacity = 0, messages = 0, bytes = 0, bad = 0;
};

// Payload of message `seq`: its number, then bytes derived from it; `size` from the same seed.
std::size_t message_size(std::uint64_t seq, std::uint64_t largest) {
    std::uint64_t x = seq * 0x9E3779B97F4A7C15ULL;
    x ^= x >> 29;
    return static_cast<std::size_t>(x % 8 == 0 ? x % (largest + 1) : x % (std::min<std::uint64_t>(largest, 40) + 1));
}

void fill_message(std::uint64_t seq, std::vector<std::byte>& out) {
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::byte>((seq >> (8 * (i % 8))) + i);
}

RingFigures stress_ring(double seconds, std::uint64_t capacity) {
    const std::uint64_t map_size = kelparine::SPSC_HEADER_SIZE + capacity;
    auto block = std::make_unique<std::uint64_t[]>(map_size / 8 + 1);
    std::byte* base = reinterpret_cast<std::byte*>(block.get());
    if (!kelparine::SpscRing::init(base, map_size, true)) std::abort();
    const std::uint64_t largest = capacity - 4;

    std::atomic<bool> stop{false}, done{false};
    std::atomic<std::uint64_t> produced{0};
    std::thread producer([&] {
        kelparine::SpscRing ring(base, map_size);
        std::vector<std::byte> payload;
        std::uint64_t seq = 0, full = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            payload.resize(message_size(seq, largest));
            fill_message(seq, payload);
            auto pushed = ring.push(payload);
            if (!pushed) std::abort();
            if (*pushed) {
                ++seq;
            } else if (++full % 64 == 0) {
                std::this_thread::yield();  // the consumer may be waiting for this core
            }
        }
        produced = seq;
        done.store(true, std::memory_order_release);
    });
    RingFigures figures{capacity, 0, 0, 0};
    std::thread consumer([&] {
        kelparine::SpscRing ring(base, map_size);
        std::vector<std::byte> expected, got;
        std::uint64_t seq = 0;
        std::uint64_t empty = 0;
        bool finished = false;  // the producer had stopped before this empty look
        for (;;) {
            auto peeked = ring.peek();
            if (!peeked) {
                ++figures.bad;
                break;
            }
            if (!peeked->has_frame) {
                if (finished) break;
                finished = done.load(std::memory_order_acquire);
                if (++empty % 64 == 0) std::this_thread::yield();
                continue;
            }
            got.resize(peeked->frame.length);
            peeked->frame.copy_payload(got.data());
            ring.consume(peeked->frame);
            expected.resize(message_size(seq, largest));
            fill_message(seq, expected);
            if (got != expected) ++figures.bad;
            figures.bytes += got.size();
            ++seq;
        }
        figures.messages = seq;
    });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    producer.join();
    consumer.join();
    if (figures.messages != produced.load()) ++figures.bad;
    return figures;
}

}  // namespace

struct QueueFigures {
    std::uint64_t records = 0, bad = 0;
};

struct EveryoneAlive final : kelparine::SlotLiveness {
    bool alive(std::uint16_t) noexcept override { return true; }
};

QueueFigures stress_queue(double seconds, int producers, int consumers) {
    constexpr std::uint64_t kCapacity = 4096;
    const std::uint64_t map_size = kelparine::queue_layout::segment_size(kCapacity);
    auto block = std::make_unique<std::uint64_t[]>(map_size / 8);
    std::byte* base = reinterpret_cast<std::byte*>(block.get());
    if (!kelparine::MpmcQueue::init(base, map_size, kCapacity, 0x1234)) std::abort();

    std::atomic<bool> stop{false};
    std::atomic<int> producing{producers};
    std::atomic<std::uint64_t> bad{0}, taken{0};
    std::vector<std::uint64_t> last(producers, 0);  // guarded by the consumer lock
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p] {
            kelparine::MpmcQueue queue(base, map_size);
            std::mt19937_64 rng(p);
            std::vector<std::byte> payload(600);
            const auto slot = static_cast<std::uint16_t>(p);
            for (std::uint64_t seq = 1; !stop.load(std::memory_order_relaxed);) {
                const std::uint32_t length = 16 + static_cast<std::uint32_t>(rng() % 500);
                std::uint64_t pos = 0;
                if (!queue.try_claim(slot, kelparine::queue_layout::record_size(length), pos)) continue;
                std::memcpy(payload.data(), &seq, 8);
                std::memcpy(payload.data() + 8, &p, sizeof p);
                for (std::uint32_t i = 16; i < length; ++i) payload[i] = static_cast<std::byte>(seq * 7 + i);
                queue.begin_record(pos, length, slot, 1);
                queue.write_payload(pos, 0, payload.data(), length);
                queue.commit_record(pos, length, slot, 1);
                queue.finish_claim(slot);
                ++seq;
            }
            producing.fetch_sub(1);
        });
    for (int c = 0; c < consumers; ++c)
        threads.emplace_back([&, c] {
            kelparine::MpmcQueue queue(base, map_size);
            EveryoneAlive alive;
            std::vector<std::byte> out(600);
            const auto slot = static_cast<std::uint16_t>(200 + c);
            for (;;) {
                const bool finished = producing.load() == 0;
                if (!queue.try_lock(slot)) continue;
                auto next = queue.next(alive);
                bool empty = true;
                if (!next) {
                    bad.fetch_add(1);
                } else if (next->kind == kelparine::MpmcQueue::NextKind::Ready) {
                    empty = false;
                    const auto& record = next->record;
                    queue.read_payload(record, 0, out.data(), record.length);
                    std::uint64_t seq;
                    int p;
                    std::memcpy(&seq, out.data(), 8);
                    std::memcpy(&p, out.data() + 8, sizeof p);
                    bool ok = p >= 0 && p < producers && seq == last[p] + 1;
                    for (std::uint32_t i = 16; ok && i < record.length; ++i)
                        ok = out[i] == static_cast<std::byte>(seq * 7 + i);
                    if (!ok) bad.fetch_add(1);
                    if (p >= 0 && p < producers) last[p] = seq;
                    queue.release(record.end(), 1);
                    taken.fetch_add(1, std::memory_order_relaxed);
                } else if (next->kind == kelparine::MpmcQueue::NextKind::Pending) {
                    empty = false;
                }
                queue.unlock();
                if (finished && empty) break;
            }
        });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& thread : threads) thread.join();
    return QueueFigures{taken.load(), bad.load()};
}

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const int readers = argc > 2 ? std::atoi(argv[2]) : 3;
    const int writers = argc > 3 ? std::atoi(argv[3]) : 2;
    int status = 0;

    const LockFigures lock = stress_lock(seconds, readers, writers);
    std::printf("core lock: %d reader and %d writer threads, %.0f s: %llu reads, %llu writes, %llu torn, "
                "word afterwards %d\n",
                readers, writers, seconds, static_cast<unsigned long long>(lock.reads),
                static_cast<unsigned long long>(lock.writes), static_cast<unsigned long long>(lock.torn),
                lock.word_after);
    if (lock.torn != 0 || lock.word_after != 0 || lock.reads == 0 || lock.writes == 0) status = 1;

    for (std::uint64_t capacity : {64ULL, 4096ULL}) {
        const RingFigures ring = stress_ring(seconds / 2, capacity);
        std::printf("core ring: capacity %llu, producer and consumer threads: %llu messages, %llu bytes, "
                    "%llu lost/reordered/corrupted\n",
                    static_cast<unsigned long long>(ring.capacity), static_cast<unsigned long long>(ring.messages),
                    static_cast<unsigned long long>(ring.bytes), static_cast<unsigned long long>(ring.bad));
        if (ring.bad != 0 || ring.messages == 0) status = 1;
    }
    const QueueFigures queue = stress_queue(seconds / 2, writers + 1, readers);
    std::printf("core queue: %d producer and %d consumer threads, 4 KiB: %llu records, %llu lost/reordered/corrupted\n",
                writers + 1, readers, static_cast<unsigned long long>(queue.records),
                static_cast<unsigned long long>(queue.bad));
    if (queue.bad != 0 || queue.records == 0) status = 1;
    if (status != 0) std::printf("FAILED\n");
    return status;
}
