// The queue protocol over plain process memory: claims racing on threads with exactly-once,
// in-order delivery per producer through the wrap; records of producers that are gone (stamped
// or not, and two gone producers stating the same position); a consumer lock taken over.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "core/queue/mpmc_queue.hpp"

namespace kelparine {
namespace {

using namespace queue_layout;

class Segment {
public:
    explicit Segment(std::uint64_t capacity) : words_(segment_size(capacity) / 8) {
        EXPECT_TRUE(MpmcQueue::init(base(), size(), capacity, 0x5eed5eed5eed5eedull).has_value());
    }
    std::byte* base() { return reinterpret_cast<std::byte*>(words_.data()); }
    std::uint64_t size() const { return words_.size() * 8; }
    MpmcQueue queue() { return MpmcQueue(base(), size()); }

private:
    std::vector<std::uint64_t> words_;
};

// Liveness by table: every slot alive unless marked gone.
class TableLiveness final : public SlotLiveness {
public:
    bool alive(std::uint16_t slot) noexcept override { return !gone[slot].load(); }
    std::atomic<bool> gone[kSlotCount] = {};
};

// One record of `payload`, claimed, written and committed by `slot`.
bool put(MpmcQueue& q, std::uint16_t slot, const std::vector<std::byte>& payload) {
    std::uint64_t pos = 0;
    if (!q.try_claim(slot, record_size(payload.size()), pos)) return false;
    q.begin_record(pos, static_cast<std::uint32_t>(payload.size()), slot, 1);
    q.write_payload(pos, 0, payload.data(), payload.size());
    q.commit_record(pos, static_cast<std::uint32_t>(payload.size()), slot, 1);
    q.finish_claim(slot);
    return true;
}

enum class Got { Item, Empty, Pending };
Got get(MpmcQueue& q, std::uint16_t slot, SlotLiveness& live, std::vector<std::byte>& out) {
    while (!q.try_lock(slot)) std::this_thread::yield();
    auto next = q.next(live);
    EXPECT_TRUE(next.has_value());
    Got got = Got::Empty;
    if (next && next->kind == MpmcQueue::NextKind::Ready) {
        out.resize(next->record.length);
        q.read_payload(next->record, 0, out.data(), out.size());
        q.release(next->record.end(), 1);
        got = Got::Item;
    } else if (next && next->kind == MpmcQueue::NextKind::Pending) {
        got = Got::Pending;
    }
    q.unlock();
    return got;
}

std::vector<std::byte> message(std::uint32_t producer, std::uint32_t seq, std::size_t size) {
    std::vector<std::byte> bytes(size < 8 ? 8 : size);
    std::memcpy(bytes.data(), &producer, 4);
    std::memcpy(bytes.data() + 4, &seq, 4);
    for (std::size_t i = 8; i < bytes.size(); ++i) bytes[i] = static_cast<std::byte>(seq + i);
    return bytes;
}

TEST(Queue, HeaderAndRecordBytes) {
    Segment seg(1024);
    auto q = seg.queue();
    EXPECT_TRUE(MpmcQueue::check(seg.base(), seg.size()).has_value());
    EXPECT_EQ(0, std::memcmp(seg.base(), "KLPQ", 4));
    EXPECT_EQ(q.max_payload(), 1024u - 16u);
    ASSERT_TRUE(put(q, 3, message(7, 9, 20)));
    const std::byte* rec = seg.base() + kDataOffset;
    std::uint64_t stamp, b;
    std::memcpy(&stamp, rec, 8);
    std::memcpy(&b, rec + 8, 8);
    EXPECT_EQ(stamp, 0u ^ 0x5eed5eed5eed5eedull);
    EXPECT_EQ(b, pack_word_b(20, 3, 1, kCommitted));
    EXPECT_EQ(q.tail(), record_size(20));
    EXPECT_EQ(record_size(20), 48u);
    EXPECT_EQ(q.approx_items(), 1u);
}

TEST(Queue, RefusesForeignHeaders) {
    Segment seg(1024);
    std::memcpy(seg.base(), "XXXX", 4);
    EXPECT_FALSE(MpmcQueue::check(seg.base(), seg.size()).has_value());
    EXPECT_FALSE(MpmcQueue::init(seg.base(), seg.size(), 1000, 1).has_value());  // not a power of two
    EXPECT_FALSE(MpmcQueue::init(seg.base(), seg.size(), 2048, 1).has_value());  // beyond the segment
    EXPECT_EQ(MpmcQueue::capacity_for(segment_size(4096) + 100), 4096u);
}

// Several producers and consumers on threads, random sizes, a small queue so that records wrap
// many times: every item arrives exactly once and each producer's items in order.
TEST(Queue, ManyToManyExactlyOnceInOrder) {
    constexpr std::uint32_t kProducers = 4, kConsumers = 3, kEach = 20000;
    Segment seg(4096);
    TableLiveness live;
    std::atomic<std::uint64_t> delivered{0};
    std::vector<std::thread> threads;
    std::atomic<bool> order_ok{true}, bytes_ok{true};
    for (std::uint32_t p = 0; p < kProducers; ++p)
        threads.emplace_back([&, p] {
            auto q = seg.queue();
            std::mt19937 rng(p);
            for (std::uint32_t seq = 1; seq <= kEach;) {
                if (put(q, static_cast<std::uint16_t>(p), message(p, seq, rng() % 300))) ++seq;
                else std::this_thread::yield();
            }
        });
    // Consumers check order together: the consumer lock serialises them.
    std::vector<std::uint32_t> seen(kProducers, 0);
    for (std::uint32_t c = 0; c < kConsumers; ++c)
        threads.emplace_back([&, c] {
            auto q = seg.queue();
            std::vector<std::byte> out;
            while (delivered.load() < kProducers * kEach) {
                while (!q.try_lock(static_cast<std::uint16_t>(100 + c))) std::this_thread::yield();
                auto next = q.next(live);
                if (next && next->kind == MpmcQueue::NextKind::Ready) {
                    out.resize(next->record.length);
                    q.read_payload(next->record, 0, out.data(), out.size());
                    std::uint32_t p, seq;
                    std::memcpy(&p, out.data(), 4);
                    std::memcpy(&seq, out.data() + 4, 4);
                    if (p >= kProducers || seq != seen[p] + 1) order_ok = false;
                    else seen[p] = seq;
                    for (std::size_t i = 8; i < out.size(); ++i)
                        if (out[i] != static_cast<std::byte>(seq + i)) bytes_ok = false;
                    q.release(next->record.end(), 1);
                    ++delivered;
                }
                q.unlock();
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_TRUE(order_ok);
    EXPECT_TRUE(bytes_ok);
    EXPECT_EQ(delivered.load(), std::uint64_t{kProducers} * kEach);
    for (auto s : seen) EXPECT_EQ(s, kEach);
    EXPECT_EQ(seg.queue().approx_items(), 0u);
    EXPECT_EQ(seg.queue().used(), 0u);
}

// A producer gone between its claim and its commit, at each step: the consumer skips exactly
// its record once the slot is found gone, and delivers the records behind it.
enum class DiedAt { AfterClaim, AfterHeader, AfterPayload };
class GoneProducer : public ::testing::TestWithParam<DiedAt> {};

TEST_P(GoneProducer, ItsRecordIsSkippedAndNothingElseLost) {
    Segment seg(1024);
    auto q = seg.queue();
    TableLiveness live;
    ASSERT_TRUE(put(q, 1, message(1, 1, 10)));
    std::uint64_t pos = 0;
    ASSERT_TRUE(q.try_claim(2, record_size(40), pos));
    if (GetParam() != DiedAt::AfterClaim) q.begin_record(pos, 40, 2, 1);
    if (GetParam() == DiedAt::AfterPayload) q.write_payload(pos, 0, message(2, 1, 40).data(), 40);
    ASSERT_TRUE(put(q, 1, message(1, 2, 10)));

    std::vector<std::byte> out;
    ASSERT_EQ(get(q, 5, live, out), Got::Item);
    EXPECT_EQ(out, message(1, 1, 10));
    EXPECT_EQ(get(q, 5, live, out), Got::Pending);  // alive: wait for it
    live.gone[2] = true;
    ASSERT_EQ(get(q, 5, live, out), Got::Item);
    EXPECT_EQ(out, message(1, 2, 10));
    EXPECT_EQ(get(q, 5, live, out), Got::Empty);
    // The gone producer's slot is clean again once its span is behind head.
    EXPECT_TRUE(q.adopt_slot(2));
}
INSTANTIATE_TEST_SUITE_P(Steps, GoneProducer,
                         ::testing::Values(DiedAt::AfterClaim, DiedAt::AfterHeader, DiedAt::AfterPayload));

// A batch's headers are written one by one: a producer gone after committing its first record
// leaves the next position unstamped, covered by its intent but not starting there.
TEST(Queue, GoneInTheMiddleOfABatchSkipsOnlyItsUncommittedRecords) {
    Segment seg(1024);
    auto q = seg.queue();
    TableLiveness live;
    std::uint64_t pos = 0;
    ASSERT_TRUE(q.try_claim(2, 3 * record_size(16), pos));
    const auto first = message(2, 1, 16);
    q.begin_record(pos, 16, 2, 1);
    q.write_payload(pos, 0, first.data(), 16);
    q.commit_record(pos, 16, 2, 1);
    ASSERT_TRUE(put(q, 1, message(1, 1, 24)));
    std::vector<std::byte> out;
    ASSERT_EQ(get(q, 5, live, out), Got::Item);
    EXPECT_EQ(out, first);
    EXPECT_EQ(get(q, 5, live, out), Got::Pending);
    live.gone[2] = true;
    ASSERT_EQ(get(q, 5, live, out), Got::Item);
    EXPECT_EQ(out, message(1, 1, 24));
    EXPECT_EQ(get(q, 5, live, out), Got::Empty);
    EXPECT_EQ(q.approx_items(), 0u);  // the committed record was counted, the others never
    EXPECT_TRUE(q.adopt_slot(2));
}

TEST(Queue, SlotOfAGoneProducerIsNotReusedWhileItsRecordIsAhead) {
    Segment seg(1024);
    auto q = seg.queue();
    std::uint64_t pos = 0;
    ASSERT_TRUE(q.try_claim(4, record_size(8), pos));
    q.begin_record(pos, 8, 4, 1);
    EXPECT_FALSE(q.adopt_slot(4));  // a new holder would make the record look alive for ever
}

// Two gone producers state the same position: one claimed it (its header never written), the
// other's compare-and-swap failed. The claim is the one whose end is a record boundary.
TEST(Queue, TwoGoneIntentsAtOnePositionResolveToTheRealClaim) {
    for (bool winner_is_longer : {false, true}) {
        Segment seg(1024);
        auto q = seg.queue();
        TableLiveness live;
        const std::uint64_t real = winner_is_longer ? record_size(64) : record_size(16);
        const std::uint64_t failed = winner_is_longer ? record_size(16) : record_size(64);
        std::uint64_t pos = 0;
        ASSERT_TRUE(q.try_claim(7, real, pos));  // the winner, gone before its header
        // The loser's stale intent: what it stored before its failed compare-and-swap.
        std::uint64_t* slot8 = reinterpret_cast<std::uint64_t*>(seg.base() + kSlotsOffset + 8 * kSlotSize);
        slot8[1] = failed;
        slot8[0] = pos;
        ASSERT_TRUE(put(q, 1, message(1, 1, 24)));  // a record behind the claim
        live.gone[7] = live.gone[8] = true;
        std::vector<std::byte> out;
        ASSERT_EQ(get(q, 5, live, out), Got::Item) << winner_is_longer;
        EXPECT_EQ(out, message(1, 1, 24));
        EXPECT_EQ(get(q, 5, live, out), Got::Empty);
    }
}

TEST(Queue, ConsumerLockNamesItsHolderAndCanBeTakenOver) {
    Segment seg(1024);
    auto q = seg.queue();
    ASSERT_TRUE(q.try_lock(9));
    EXPECT_FALSE(q.try_lock(10));
    const std::uint32_t word = q.lock_word();
    EXPECT_EQ(MpmcQueue::lock_holder(word), 9);
    EXPECT_TRUE(q.mark_lock_waited(word));
    EXPECT_EQ(MpmcQueue::lock_holder(q.lock_word()), 9);
    EXPECT_FALSE(q.steal_lock(word, 10));  // the word changed (waiters bit): look again
    EXPECT_TRUE(q.steal_lock(q.lock_word(), 10));
    EXPECT_EQ(MpmcQueue::lock_holder(q.lock_word()), 10);
    q.unlock();
    EXPECT_EQ(q.lock_word(), 0u);
    // A process that takes the slot of a holder that died holding the lock frees it.
    ASSERT_TRUE(q.try_lock(11));
    EXPECT_TRUE(q.adopt_slot(11));
    EXPECT_EQ(q.lock_word(), 0u);
}

TEST(Queue, FullUntilSpaceIsFreedAndRecordsMayWrapAfterTheirHeader) {
    Segment seg(256);
    auto q = seg.queue();
    TableLiveness live;
    ASSERT_TRUE(put(q, 1, message(1, 1, 100)));  // 128 bytes
    ASSERT_TRUE(put(q, 1, message(1, 2, 100)));  // 256: full
    EXPECT_FALSE(put(q, 1, message(1, 3, 8)));
    std::vector<std::byte> out;
    ASSERT_EQ(get(q, 2, live, out), Got::Item);
    ASSERT_TRUE(put(q, 1, message(1, 3, 100)));
    ASSERT_EQ(get(q, 2, live, out), Got::Item);
    ASSERT_EQ(get(q, 2, live, out), Got::Item);
    EXPECT_EQ(out, message(1, 3, 100));
    ASSERT_TRUE(put(q, 1, message(1, 4, 200)));  // from 384: header at 128, payload wraps
    ASSERT_EQ(get(q, 2, live, out), Got::Item);
    EXPECT_EQ(out, message(1, 4, 200));
}

}  // namespace
}  // namespace kelparine
