// The process's waiter (core/wait/waiter.hpp) without Python or a ring: words armed and moved
// by another thread, a word that moves without becoming ready, more words than one thread's
// futex_waitv takes, ticks, and disarm. Events are read from the mailbox's eventfd as an event
// loop would.
#include <poll.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "core/wait/clock.hpp"
#include "core/wait/futex.hpp"
#include "core/wait/waiter.hpp"

namespace kelparine::wait {
namespace {

constexpr int kBoundMs = 10'000;  // generous bound on every wait for an event

// Ready once the word holds at least `threshold`. Acquire: pairs with the mover's release store.
struct AtLeast final : Readiness {
    AtLeast(const std::uint32_t* w, std::uint32_t t) noexcept : word(w), threshold(t) {}
    bool ready() const noexcept override {
        return std::atomic_ref<const std::uint32_t>(*word).load(std::memory_order_acquire) >= threshold;
    }
    const std::uint32_t* word;
    std::uint32_t threshold;
};

std::uint64_t arm(const std::shared_ptr<Mailbox>& box, std::uint32_t& word, std::uint32_t threshold,
                  std::int64_t tick_ns = 0) {
    // Acquire load of the value the watch parks on, then the settle reading (after the look).
    const std::uint32_t seen = std::atomic_ref<std::uint32_t>(word).load(std::memory_order_acquire);
    const std::int64_t seen_at = SettleClock::now();
    return Waiter::instance().arm(box, Watch{&word, seen, seen_at, std::make_unique<AtLeast>(&word, threshold), tick_ns});
}

void move(std::uint32_t& word, std::uint32_t value) {
    // Release: what the readiness check reads after seeing the value was stored before it.
    std::atomic_ref<std::uint32_t>(word).store(value, std::memory_order_release);
    futex_wake_all(&word);
}

// Waits (as a loop's reader would) until the mailbox's descriptor is readable, and takes what
// was posted; empty after the bound.
std::vector<WaitEvent> next_events(Mailbox& box) {
    pollfd readable{box.fd(), POLLIN, 0};
    if (::poll(&readable, 1, kBoundMs) != 1) return {};
    return box.take();
}

// Every Ready event until `count` came (ticks ignored), or the bound passed.
std::map<std::uint64_t, int> ready_events(Mailbox& box, std::size_t count) {
    std::map<std::uint64_t, int> fired;
    std::size_t total = 0;
    while (total < count) {
        const auto events = next_events(box);
        if (events.empty()) break;
        for (const WaitEvent& e : events) {
            if (e.kind != Fired::Ready) continue;
            ++fired[e.token];
            ++total;
        }
    }
    return fired;
}

TEST(Waiter, AWordMovedToReadyPostsOnceAndEndsTheWatch) {
    auto box = Mailbox::make();
    ASSERT_TRUE(box);
    alignas(4) std::uint32_t word = 0, witness_word = 0;
    const std::uint64_t token = arm(box, word, 2);
    ASSERT_NE(token, 0u);
    move(word, 1);  // moved, not ready: the watch goes on with the new value
    // A watch armed after that move fires once its thread has looked at every word since.
    const std::uint64_t witness = arm(box, witness_word, 1);
    ASSERT_NE(witness, 0u);
    move(witness_word, 1);
    EXPECT_EQ(ready_events(*box, 1), (std::map<std::uint64_t, int>{{witness, 1}}));
    move(word, 2);
    EXPECT_EQ(ready_events(*box, 1), (std::map<std::uint64_t, int>{{token, 1}}));
    EXPECT_FALSE(Waiter::instance().disarm(token));  // it had ended by firing
}

TEST(Waiter, MoreWordsThanOneFutexWaitTakesAreAllWatched) {
    constexpr std::size_t kWords = 2 * Waiter::kWordsPerThread + 30;
    auto box = Mailbox::make();
    ASSERT_TRUE(box);
    std::vector<std::uint32_t> words(kWords, 0);
    std::vector<std::uint64_t> tokens;
    for (auto& word : words) {
        tokens.push_back(arm(box, word, 1));
        ASSERT_NE(tokens.back(), 0u);
    }
    EXPECT_GE(Waiter::instance().threads(), 3u);
    std::vector<std::size_t> order(kWords);
    for (std::size_t i = 0; i < kWords; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    std::thread mover([&] {
        for (std::size_t i : order) move(words[i], 1);
    });
    const auto fired = ready_events(*box, kWords);
    mover.join();
    std::map<std::uint64_t, int> expected;
    for (std::uint64_t token : tokens) expected[token] = 1;
    EXPECT_EQ(fired, expected);
}

TEST(Waiter, ADisarmedWatchPostsNothingAndATickingOneStaysArmed) {
    auto box = Mailbox::make();
    ASSERT_TRUE(box);
    alignas(4) std::uint32_t quiet = 0, gone = 0, last = 0;
    const std::uint64_t ticking = arm(box, quiet, 1, kMillisecond);
    const std::uint64_t disarmed = arm(box, gone, 1);
    ASSERT_NE(ticking, 0u);
    ASSERT_NE(disarmed, 0u);
    // A tick: posted while the word stands still, and the watch goes on.
    bool ticked = false;
    for (int round = 0; round < 100 && !ticked; ++round) {
        for (const WaitEvent& e : next_events(*box)) ticked |= e.token == ticking && e.kind == Fired::Tick;
    }
    EXPECT_TRUE(ticked);
    EXPECT_TRUE(Waiter::instance().disarm(ticking));
    EXPECT_TRUE(Waiter::instance().disarm(disarmed));
    EXPECT_FALSE(Waiter::instance().disarm(disarmed));
    (void)box->take();  // ticks posted before the disarm
    move(gone, 1);
    // A watch armed after the disarm fires: the thread has looked at its words since, and the
    // disarmed one was not among them.
    const std::uint64_t witness = arm(box, last, 1);
    ASSERT_NE(witness, 0u);
    move(last, 1);
    const auto fired = ready_events(*box, 1);
    EXPECT_EQ(fired, (std::map<std::uint64_t, int>{{witness, 1}}));
    EXPECT_TRUE(box->take().empty());
}

}  // namespace
}  // namespace kelparine::wait
