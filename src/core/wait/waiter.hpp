// The process's waiter: the threads that park, with nothing else to do, on every futex word an
// event loop awaits, and tell the loop through its eventfd when one of them is ready. No Python
// here: the binding (ring/ring_async.cpp) arms and disarms watches with the interpreter lock
// held, and the threads never need it.
//
// Interface, for any type with futex words of its own (a ring's counters today; a many-producer
// queue's words tomorrow): arm a Watch = (word, the value last seen there, a settle-clock reading
// taken after that look) + a Readiness re-check, with a Mailbox that the owning loop watches.
// The waiter parks on the word with the value; when the word moves it asks Readiness::ready()
// (without the interpreter lock) and either posts Ready to the mailbox, ending the watch, or
// keeps watching the new value. A new type only writes a Readiness (a few loads of its own
// words) and arms; it never touches the threads. Every `tick_ns` a watch also posts Tick (and
// stays armed): the loop then looks at what the words cannot show (a dead peer, a closed object).
//
// Threads: one per kWordsPerThread watches (futex_waitv takes 128 words; one is the thread's own
// control word, which arm() bumps and wakes so that the new watch is in the next park). A thread
// starts when every running one is full and stays, parked on its control word, when idle.
// Protocol of the ring's words (spsc/ring_wake.hpp) kept: a watch is parked on only once its
// value has stood for SettleClock::settle() since it was first seen, and is looked at again at
// least once per park slice (1 ms for its first 50 ms, then doubling to 16 ms), since push and
// pop never wake. Where futex_waitv is missing (Linux before 5.16: ENOSYS), or when the
// environment variable KELPARINE_AIO_NO_WAITV is set (to test that route), a thread parks on its
// control word alone in 1 ms slices and looks at every word after each: the same results, at up
// to a millisecond of latency and some CPU while anything is awaited.
//
// Fork: the child has none of the threads; after_fork_in_child() abandons the parent's state
// (its mutex may be held by a thread that no longer exists) and the next arm() starts afresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "../platform/unix/owned_fd.hpp"
#include "futex.hpp"

namespace kelparine::wait {

// Asked by a waiter thread, without the interpreter lock and with the waiter's mutex held, when
// a watched word moved: whether the awaited state has come. Must only load shared words.
class Readiness {
public:
    virtual ~Readiness() = default;
    virtual bool ready() const noexcept = 0;
};

enum class Fired : unsigned char { Ready = 0, Tick = 1 };

struct WaitEvent {
    std::uint64_t token;
    Fired kind;
};

// One loop's inbox: events posted by the waiter threads, and an eventfd that becomes readable
// when the inbox turns non-empty.
class Mailbox {
public:
    // Null when no eventfd could be made (errno tells why).
    static std::shared_ptr<Mailbox> make() noexcept;
    explicit Mailbox(OwnedFd fd) noexcept : fd_(std::move(fd)) {}
    int fd() const noexcept { return fd_.get(); }
    // Everything posted so far, oldest first; resets the eventfd.
    std::vector<WaitEvent> take() noexcept;
    void post(WaitEvent event) noexcept;

private:
    OwnedFd fd_;
    std::mutex mutex_;
    std::vector<WaitEvent> events_;
};

struct Watch {
    const std::uint32_t* word;  // stays mapped until disarm() returns (the caller pins it)
    std::uint32_t expected;
    std::int64_t seen_at;  // SettleClock reading taken after `expected` was read
    std::unique_ptr<Readiness> readiness;
    std::int64_t tick_ns;  // 0: no ticks
};

class Waiter {
public:
    static constexpr std::size_t kWordsPerThread = kMaxFutexWatches - 1;

    static Waiter& instance() noexcept;
    static void after_fork_in_child() noexcept;

    // A token (> 0) for disarm() and the mailbox's events; 0 when no memory or thread could be had.
    std::uint64_t arm(std::shared_ptr<Mailbox> box, Watch watch) noexcept;
    // Ends the watch (no event is posted for it after this returns); false if it had fired
    // Ready already, or was never armed. The word is not looked at after this returns.
    bool disarm(std::uint64_t token) noexcept;

    // Threads running now (for tests of the sharding).
    std::size_t threads() noexcept;

    struct Shard;
    struct Entry;

private:
    Waiter() noexcept;
    void run(Shard& shard) noexcept;

    std::mutex mutex_;
    std::vector<std::unique_ptr<Shard>> shards_;
    std::uint64_t next_token_ = 1;
    bool use_waitv_;
};

}  // namespace kelparine::wait
