// The lock word on a plain aligned int32: its states, what the observers report, abandoned
// waits, and a bounded multi-threaded check that writers exclude everyone.
#include "core/rwlock.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

namespace kelparine {
namespace {

struct LockWordTest : ::testing::Test {
    alignas(4) std::int32_t word = 0;

    ShmRwLock lock() { return ShmRwLock(reinterpret_cast<std::byte*>(&word)); }
    std::int32_t value() { return std::atomic_ref<std::int32_t>(word).load(); }
    void set(std::int32_t v) { std::atomic_ref<std::int32_t>(word).store(v); }
};

// Counts its calls and answers `true` from the `after`-th call on.
struct InterruptAfter {
    int after;
    int calls = 0;
    bool operator()() { return ++calls >= after; }
};

TEST_F(LockWordTest, FreshWordIsUnlocked) {
    EXPECT_EQ(lock().reader_count(), 0);
    EXPECT_FALSE(lock().is_write_locked());
}

TEST_F(LockWordTest, HandlesDoNotTouchTheWord) {
    set(7);
    ShmRwLock a = lock();
    ShmRwLock b = a;
    b = lock();
    EXPECT_EQ(value(), 7);
    EXPECT_EQ(b.reader_count(), 7);
}

TEST_F(LockWordTest, SharedHoldsCountAndReleaseToExactlyZero) {
    {
        auto first = lock().acquire_read();
        auto second = lock().acquire_read();
        auto third = lock().acquire_read();
        ASSERT_TRUE(first && second && third);
        EXPECT_EQ(value(), 3);
        EXPECT_EQ(lock().reader_count(), 3);
        EXPECT_FALSE(lock().is_write_locked());
        second.reset();
        EXPECT_EQ(lock().reader_count(), 2);
    }
    EXPECT_EQ(value(), 0);
    // The last release leaves exactly 0, so a writer's compare-exchange from 0 succeeds.
    auto writer = lock().acquire_write(InterruptAfter{1});
    EXPECT_TRUE(writer.has_value());
}

TEST_F(LockWordTest, ExclusiveHoldIsMinusOne) {
    {
        auto writer = lock().acquire_write();
        ASSERT_TRUE(writer);
        EXPECT_EQ(value(), -1);
        EXPECT_TRUE(lock().is_write_locked());
        EXPECT_EQ(lock().reader_count(), 0);
    }
    EXPECT_EQ(value(), 0);
    EXPECT_FALSE(lock().is_write_locked());
}

TEST_F(LockWordTest, MovedGuardReleasesOnce) {
    {
        auto reader = lock().acquire_read();
        std::optional<ShmReadGuard> moved(std::move(*reader));
        reader.reset();  // the moved-from guard gives nothing back
        EXPECT_EQ(value(), 1);
    }
    EXPECT_EQ(value(), 0);
    {
        auto writer = lock().acquire_write();
        ShmWriteGuard moved(std::move(*writer));
        writer.reset();
        EXPECT_EQ(value(), -1);
    }
    EXPECT_EQ(value(), 0);
}

TEST_F(LockWordTest, InitUnlockedClearsAnyValue) {
    for (std::int32_t stale : {-1, 1, 5, -7, INT_MIN, INT_MAX}) {
        set(stale);
        lock().init_unlocked();
        EXPECT_EQ(value(), 0) << stale;
    }
}

TEST_F(LockWordTest, ClearIfClearsOnlyTheObservedValue) {
    struct Case {
        std::int32_t word, observed;
        bool cleared;
    };
    // {4, 3}: a reader joined since the word was seen at 3; its hold must stay.
    for (const Case c : {Case{3, 3, true}, Case{-1, -1, true}, Case{INT_MIN, INT_MIN, true}, Case{4, 3, false},
                         Case{0, -1, false}, Case{-1, 1, false}}) {
        set(c.word);
        EXPECT_EQ(lock().clear_if(c.observed), c.cleared) << c.word << " " << c.observed;
        EXPECT_EQ(value(), c.cleared ? 0 : c.word) << c.word << " " << c.observed;
    }
}

TEST_F(LockWordTest, ObserversOnOtherValues) {
    set(INT_MAX);
    EXPECT_EQ(lock().reader_count(), INT_MAX);
    EXPECT_FALSE(lock().is_write_locked());
    for (std::int32_t negative : {-2, -100, INT_MIN}) {
        set(negative);
        EXPECT_EQ(lock().reader_count(), 0) << negative;
        EXPECT_FALSE(lock().is_write_locked()) << negative;
    }
}

TEST_F(LockWordTest, UncontendedAcquireNeverAsksToInterrupt) {
    InterruptAfter interrupt{1};
    EXPECT_TRUE(lock().acquire_read(interrupt));
    EXPECT_TRUE(lock().acquire_write(interrupt));
    EXPECT_EQ(interrupt.calls, 0);
    set(4);
    EXPECT_TRUE(lock().acquire_read(interrupt));  // readers share with readers
    EXPECT_EQ(value(), 4);
    EXPECT_EQ(interrupt.calls, 0);
}

// Every value that keeps a waiter out; an interrupted wait takes nothing and changes nothing.
TEST_F(LockWordTest, InterruptedReadAbandonsWaitOnNegativeWord) {
    for (std::int32_t held : {-1, -2, INT_MIN}) {
        set(held);
        InterruptAfter interrupt{3};
        EXPECT_FALSE(lock().acquire_read(interrupt).has_value()) << held;
        EXPECT_EQ(interrupt.calls, 3);
        EXPECT_EQ(value(), held);
    }
}

TEST_F(LockWordTest, InterruptedWriteAbandonsWaitOnAnyNonzeroWord) {
    for (std::int32_t held : {-1, 1, 3, -5, INT_MAX}) {
        set(held);
        InterruptAfter interrupt{2};
        EXPECT_FALSE(lock().acquire_write(interrupt).has_value()) << held;
        EXPECT_EQ(interrupt.calls, 2);
        EXPECT_EQ(value(), held);
    }
}

// A waiter gets in as soon as the holder releases: here the release happens inside the
// interrupt poll, so the next attempt must succeed.
TEST_F(LockWordTest, WaitEndsWhenTheHolderReleases) {
    set(-1);
    int polls = 0;
    auto reader = lock().acquire_read([&] {
        if (++polls == 2) set(2);  // the writer left and two readers came in
        return polls > 2;
    });
    ASSERT_TRUE(reader.has_value());
    EXPECT_EQ(value(), 3);
    reader.reset();
    EXPECT_EQ(value(), 2);

    polls = 0;
    auto writer = lock().acquire_write([&] {
        if (++polls == 2) set(0);
        return polls > 2;
    });
    ASSERT_TRUE(writer.has_value());
    EXPECT_EQ(value(), -1);
}

TEST_F(LockWordTest, BlockedReaderCompletesOnlyAfterWriterReleases) {
    auto writer = lock().acquire_write();
    std::atomic<bool> got_in{false};
    std::thread reader([&] {
        auto hold = lock().acquire_read();
        got_in.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(got_in.load());
    EXPECT_EQ(value(), -1);
    writer.reset();
    reader.join();
    EXPECT_TRUE(got_in.load());
    EXPECT_EQ(value(), 0);
}

TEST_F(LockWordTest, BlockedWriterCompletesOnlyAfterLastReaderReleases) {
    auto first = lock().acquire_read();
    auto second = lock().acquire_read();
    std::atomic<bool> got_in{false};
    std::thread writer([&] {
        auto hold = lock().acquire_write();
        got_in.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    first.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(got_in.load());
    EXPECT_EQ(value(), 1);
    second.reset();
    writer.join();
    EXPECT_TRUE(got_in.load());
    EXPECT_EQ(value(), 0);
}

// Writers stamp the whole block with one value; readers must always see a uniform block and
// never overlap a writer. The block is plain memory: only the lock orders the accesses, so a
// broken ordering also shows up as a data race under ThreadSanitizer.
TEST_F(LockWordTest, WritersExcludeEveryoneUnderContention) {
    constexpr int kWriters = 4;
    constexpr int kReaders = 4;
    constexpr int kIterations = 3000;
    std::array<std::uint64_t, 512> block{};
    std::atomic<int> writers_inside{0};
    std::atomic<int> readers_inside{0};
    std::atomic<int> violations{0};
    std::atomic<bool> go{false};  // all threads start together, so they really contend
    auto wait_for_go = [&] {
        while (!go.load()) std::this_thread::yield();
    };

    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            wait_for_go();
            for (int i = 0; i < kIterations; ++i) {
                auto hold = lock().acquire_write();
                if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) violations.fetch_add(1);
                const std::uint64_t before = block[0];
                for (std::uint64_t cell : block) {
                    if (cell != before) violations.fetch_add(1);
                }
                const std::uint64_t stamp = static_cast<std::uint64_t>(w) << 32 | static_cast<std::uint64_t>(i);
                for (std::uint64_t& cell : block) cell = stamp;
                writers_inside.fetch_sub(1);
            }
        });
    }
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&] {
            wait_for_go();
            for (int i = 0; i < kIterations; ++i) {
                auto hold = lock().acquire_read();
                readers_inside.fetch_add(1);
                if (writers_inside.load() != 0) violations.fetch_add(1);
                const std::uint64_t first = block[0];
                for (std::uint64_t cell : block) {
                    if (cell != first) violations.fetch_add(1);
                }
                readers_inside.fetch_sub(1);
            }
        });
    }
    go.store(true);
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(value(), 0);
    for (std::uint64_t cell : block) EXPECT_EQ(cell, block[0]);
}

}  // namespace
}  // namespace kelparine
