// The waiting machinery without Python: the idle strategy's outcomes, a ring's park-and-wake
// protocol between two threads (under ThreadSanitizer too), the object gate, batches of frames,
// and a wait on several futex words at once.
#include <sys/mman.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

#include "core/spsc/ring.hpp"
#include "core/spsc/ring_wake.hpp"
#include "core/wait/idle.hpp"
#include "py/object_gate.hpp"

namespace kelparine {
namespace {

using namespace std::chrono_literals;

struct alignas(8) RingMemory {
    std::byte bytes[SPSC_HEADER_SIZE + 256]{};
    SpscRing ring() { return SpscRing(bytes, sizeof bytes); }
    RingMemory() { EXPECT_TRUE(SpscRing::init(bytes, sizeof bytes, true)); }
};

wait::WaitResult wait_for_flag(std::atomic<std::uint32_t>& flag, const wait::Deadline& deadline) {
    wait::NoHooks hooks;
    std::uint32_t seen = 0;
    auto check = [&](bool& moved) {
        const std::uint32_t now = flag.load();
        moved = now != seen;
        seen = now;
        return now != 0 ? wait::Check::Ready : wait::Check::Wait;
    };
    auto park = [&](std::int64_t ns) {
        return wait::futex_wait(reinterpret_cast<const std::uint32_t*>(&flag), seen, ns);
    };
    return wait::wait_until(check, park, hooks, deadline, kWakingPeerParks);
}

TEST(IdleStrategy, ReadyTimedOutAndImmediate) {
    std::atomic<std::uint32_t> flag{0};
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_for_flag(flag, wait::Deadline::after_ns(0)).outcome, wait::Outcome::TimedOut);
    EXPECT_EQ(wait_for_flag(flag, wait::Deadline::after_ns(30 * wait::kMillisecond)).outcome, wait::Outcome::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 30ms);
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        flag.store(1);
        wait::futex_wake_all(reinterpret_cast<const std::uint32_t*>(&flag));
    });
    EXPECT_EQ(wait_for_flag(flag, wait::Deadline::never()).outcome, wait::Outcome::Ready);
    setter.join();
}

TEST(IdleStrategy, ChangeNobodyWakesForIsSeenAtTheEndOfASlice) {
    std::atomic<std::uint32_t> flag{0};
    std::thread setter([&] {
        std::this_thread::sleep_for(80ms);  // past the settle time: the waiter is parked
        flag.store(1);                      // and nobody wakes it
    });
    const wait::WaitResult waited = wait_for_flag(flag, wait::Deadline::after_ns(5 * wait::kSecond));
    setter.join();
    EXPECT_EQ(waited.outcome, wait::Outcome::Ready);
    EXPECT_TRUE(waited.found_without_wake);
}

// A producer and a consumer thread, both waiting as put() and get() do and publishing with
// the wake-up protocol, with random pauses so that both sides park often: nothing is lost,
// reordered or late beyond the bound.
TEST(RingWake, PausingPeersNeverLoseAWakeUp) {
    RingMemory memory;
    SpscRing ring = memory.ring();
    constexpr std::uint32_t kMessages = 4000;
    std::thread producer([&] {
        WakeLedger ledger;
        std::mt19937 random(1);
        wait::NoHooks hooks;
        for (std::uint32_t i = 0; i < kMessages; ++i) {
            const std::byte* payload = reinterpret_cast<const std::byte*>(&i);
            for (;;) {
                FrameSlot slot{};
                auto reserved = ring.reserve(sizeof i + i % 37, slot);
                ASSERT_TRUE(reserved);
                if (*reserved) {
                    slot.write_prefix();
                    std::vector<std::byte> body(sizeof i + i % 37, std::byte{0x5a});
                    std::memcpy(body.data(), payload, sizeof i);
                    slot.write_payload(body.data());
                    publish_tail_and_wake(ring, slot.tail, slot.end(), ledger);
                    break;
                }
                std::uint32_t seen = 0;
                auto check = [&](bool& moved) {
                    const std::uint64_t head = ring.acquire_head();
                    moved = static_cast<std::uint32_t>(head) != seen;
                    seen = static_cast<std::uint32_t>(head);
                    return ring.own_tail() - head + 4 + sizeof i + i % 37 <= 256 ? wait::Check::Ready : wait::Check::Wait;
                };
                auto park = [&](std::int64_t ns) { return wait::futex_wait(ring.head_word(), seen, ns); };
                ASSERT_EQ(wait::wait_until(check, park, hooks, wait::Deadline::after_ns(10 * wait::kSecond),
                                           kWakingPeerParks).outcome,
                          wait::Outcome::Ready);
            }
            if (random() % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        }
    });
    WakeLedger ledger;
    std::mt19937 random(2);
    wait::NoHooks hooks;
    for (std::uint32_t i = 0; i < kMessages; ++i) {
        std::uint32_t seen = 0;
        auto check = [&](bool& moved) {
            const std::uint64_t tail = ring.acquire_tail();
            moved = static_cast<std::uint32_t>(tail) != seen;
            seen = static_cast<std::uint32_t>(tail);
            return tail != ring.own_head() ? wait::Check::Ready : wait::Check::Wait;
        };
        auto park = [&](std::int64_t ns) { return wait::futex_wait(ring.tail_word(), seen, ns); };
        ASSERT_EQ(wait::wait_until(check, park, hooks, wait::Deadline::after_ns(10 * wait::kSecond), kWakingPeerParks)
                      .outcome,
                  wait::Outcome::Ready);
        auto peeked = ring.peek();
        ASSERT_TRUE(peeked && peeked->has_frame);
        std::uint32_t value = 0;
        std::vector<std::byte> body(peeked->frame.length);
        peeked->frame.copy_payload(body.data());
        std::memcpy(&value, body.data(), sizeof value);
        ASSERT_EQ(value, i);
        ASSERT_EQ(peeked->frame.length, sizeof i + i % 37);
        publish_head_and_wake(ring, peeked->frame.head, peeked->frame.head + 4 + peeked->frame.length, ledger);
        if (random() % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    }
    producer.join();
}

TEST(RingWake, APublisherSkipsTheWakeOnlyRightAfterItsOwnStore) {
    WakeLedger ledger;
    EXPECT_TRUE(ledger.peer_may_sleep_on(0));  // nothing known: wake
    ledger.record(100, wait::SettleClock::now());
    EXPECT_FALSE(ledger.peer_may_sleep_on(100));  // stored a moment ago: the peer still settles
    EXPECT_TRUE(ledger.peer_may_sleep_on(99));    // a value someone else stored
    ledger.record(200, wait::SettleClock::now() - wait::SettleClock::skip_window());
    EXPECT_TRUE(ledger.peer_may_sleep_on(200));   // long enough ago for the peer to park
    EXPECT_LT(wait::SettleClock::skip_window(), wait::SettleClock::settle());
}

// Runs `steps` on a fresh ring whose counters start at `start`: P put, p push, G get, g pop (the
// quiet forms store their counter and run no wake decision). Returns whether the last step
// called FUTEX_WAKE. No store counts as recent, so the clock never excuses a wake-up here.
bool last_step_wakes(std::string_view steps, std::uint64_t start) {
    RingMemory memory;
    std::memcpy(memory.bytes, &start, sizeof start);      // head
    std::memcpy(memory.bytes + 8, &start, sizeof start);  // tail
    SpscRing ring = memory.ring();
    WakeLedger producer, consumer;
    const std::byte payload[4]{};
    bool woke = false;
    for (const char step : steps) {
        producer.last_reading = consumer.last_reading = WakeLedger::kUnknown;
        if (step == 'P' || step == 'p') {
            FrameSlot slot{};
            EXPECT_TRUE(ring.reserve(sizeof payload, slot).value_or(false));
            slot.write(payload);
            if (step == 'p') ring.publish_tail(slot.end());
            else woke = publish_tail_and_wake(ring, slot.tail, slot.end(), producer);
        } else {
            auto peeked = ring.peek();
            EXPECT_TRUE(peeked && peeked->has_frame);
            const FrameRef& frame = peeked->frame;
            if (step == 'g') ring.consume(frame);
            else woke = publish_head_and_wake(ring, frame.head, frame.head + 4 + frame.length, consumer);
        }
    }
    return woke;
}

// A waiter parks on the value it watches, which a quiet store may move on without waking it:
// the next waking publish must then wake it. A publish skips the call only when the value the
// waiter could be parked on was left by this side's own waking publish.
TEST(RingWake, AWaiterLeftAsleepByAQuietStoreIsWokenByTheNextWakingPublish) {
    struct Case {
        const char* steps;
        bool wakes;
    } const cases[] = {
        {"PgpP", true},    // consumer parked on what put stored; push moved tail on; put wakes it
        {"pP", true},      // consumer parked on the start; push moved tail on
        {"PgpgP", true},   // consumer parked on the push's tail
        {"PgP", true},     // consumer parked on the put's tail, long ago
        {"PP", false},     // consumer behind: it cannot park before reaching the first put's tail
        {"PpP", false},    // likewise; the first put moved tail off where the consumer is
        {"PPPGgG", true},  // producer parked on what pop stored; get wakes it
    };
    for (const std::uint64_t start : {std::uint64_t{0}, UINT64_MAX - 11}) {
        for (const Case& c : cases) EXPECT_EQ(last_step_wakes(c.steps, start), c.wakes) << c.steps << " from " << start;
    }
}

TEST(ObjectGate, RolesLoansCloseAndParking) {
    ObjectGate gate;
    using Role = ObjectGate::Role;
    EXPECT_TRUE(gate.free(Role::Producer));
    gate.mark_busy(Role::Producer);
    EXPECT_EQ(gate.state(Role::Producer), ObjectGate::State::Busy);
    EXPECT_EQ(gate.state(Role::Consumer), ObjectGate::State::Free);
    std::atomic<bool> released{false};
    std::thread waiter([&] {
        for (std::uint32_t seen = gate.load(); gate.state(Role::Producer) == ObjectGate::State::Busy; seen = gate.load())
            gate.park(seen, wait::kSecond);
        EXPECT_TRUE(released.load());
    });
    std::this_thread::sleep_for(20ms);
    released = true;
    gate.clear_busy(Role::Producer);
    waiter.join();
    EXPECT_TRUE(gate.lend(Role::Consumer));
    EXPECT_FALSE(gate.lend(Role::Consumer));
    EXPECT_EQ(gate.state(Role::Consumer), ObjectGate::State::Lent);
    gate.end_loan(Role::Consumer);
    EXPECT_TRUE(gate.mark_closed());
    EXPECT_FALSE(gate.mark_closed());
    EXPECT_EQ(gate.state(Role::Consumer), ObjectGate::State::Closed);
    EXPECT_FALSE(gate.lend(Role::Producer));  // never lent once closed
}

// The mapping outlives close() for as long as a call holds the object: the last hold out of
// the closed gate unmaps, and a close() in another thread waits for the holds of others.
TEST(ObjectGate, TheLastHoldOutOfAClosedGateUnmaps) {
    void* memory = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    Mapping mapping(static_cast<std::byte*>(memory), 4096);
    ObjectGate gate(&mapping);
    auto outer = std::make_unique<CallHold>(gate);
    std::atomic<bool> other_held{true};
    std::thread other([&] {
        CallHold inner(gate);
        EXPECT_TRUE(gate.held_by_other_threads());  // the main thread's hold
        std::this_thread::sleep_for(20ms);
        other_held = false;
    });
    std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(gate.mark_closed());
    while (other_held.load()) std::this_thread::yield();
    other.join();
    EXPECT_FALSE(gate.held_by_other_threads());
    EXPECT_TRUE(static_cast<bool>(mapping));  // this thread's own hold keeps it
    outer.reset();
    EXPECT_FALSE(static_cast<bool>(mapping));
}

TEST(Batches, PushAndPopManyFramesBehindOneLoadOfEachCounter) {
    RingMemory memory;
    SpscRing ring = memory.ring();
    auto batch = PushBatch::begin(ring);
    ASSERT_TRUE(batch);
    const std::byte payload[60]{};
    int written = 0;
    while (batch->fits(sizeof payload)) {
        batch->append(payload);
        ++written;
    }
    EXPECT_EQ(written, 4);  // 4 x 64 bytes fill 256
    EXPECT_TRUE(ring.peek() && !ring.peek()->has_frame);  // nothing visible before the publish
    ring.publish_tail(batch->end());
    PopBatch taking(ring);
    int taken = 0;
    for (auto next = taking.next(); next && next->has_frame; next = taking.next(), ++taken)
        taking.advance(next->frame);
    EXPECT_EQ(taken, 4);
    ring.publish_head(taking.end());
    EXPECT_TRUE(ring.is_empty());
}

TEST(Futex, WaitOnSeveralWordsWakesForAnyOfThem) {
    alignas(4) std::uint32_t words[3] = {0, 0, 0};
    wait::FutexWatch watches[3] = {{&words[0], 0}, {&words[1], 0}, {&words[2], 0}};
    std::thread waker([&] {
        std::this_thread::sleep_for(20ms);
        std::atomic_ref<std::uint32_t>(words[2]).store(1);
        wait::futex_wake_all(&words[2]);
    });
    bool unsupported = false;
    const auto result = wait::futex_wait_any(watches, wait::monotonic_ns() + 5 * wait::kSecond, unsupported);
    waker.join();
    if (unsupported) GTEST_SKIP() << "futex_waitv is not available on this kernel";
    EXPECT_TRUE(result == wait::FutexResult::Woken || result == wait::FutexResult::Changed);
}

}  // namespace
}  // namespace kelparine
