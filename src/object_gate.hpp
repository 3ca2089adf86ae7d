// The process-local state of one view or ring object, shared by the threads of this process
// that call it: whether it is closed, whether each of its two roles (producer and consumer; a
// view uses the first only) is busy in a stretch run without the caller's lock or lent out to
// a loan, and how many threads are inside a call on it without the caller's lock.
//
// The caller's lock is the interpreter lock. Every change to the word is made by a thread that
// holds it, so changes are serialised by that lock; the word is atomic because threads that
// have given the lock up read it, and park on it (a futex on this process-local word) until it
// changes.
//
// Invariant that makes close() safe: a thread touches the object's mapping without the lock
// only after it counted itself in (leave_lock) while holding the lock and seeing the object
// open, and before it counts itself out (retake_lock). close() marks the object closed, then
// waits until nobody is counted in, then unmaps. A thread that counts itself in after the mark
// sees it (the mark and the count are changed under the same lock) and leaves the mapping alone.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "wait/futex.hpp"

namespace kelparine {

class ObjectGate {
public:
    enum class Role : std::uint32_t { Producer = 0, Consumer = 1 };
    enum class State : unsigned char { Free, Closed, Lent, Busy };

    ObjectGate() noexcept : generation_(fork_generation()) {}
    ObjectGate(const ObjectGate&) = delete;
    ObjectGate& operator=(const ObjectGate&) = delete;

    // Whether a call of `role` may start now (any thread; exact when the caller holds the lock).
    State state(Role role) const noexcept {
        const std::uint32_t word = load();
        if (word & kClosed) return State::Closed;
        if (word & lent_bit(role)) return State::Lent;
        if (word & busy_bit(role)) return State::Busy;
        return State::Free;
    }
    // The fast path of every call: nothing stands in the way of `role` (one load, one test).
    bool free(Role role) const noexcept {
        return (word_.load(std::memory_order_relaxed) & (kClosed | lent_bit(role) | busy_bit(role))) == 0;
    }
    // Acquire: pairs with the release in mark_closed, for threads without the lock.
    bool closed() const noexcept { return (word_.load(std::memory_order_acquire) & kClosed) != 0; }
    bool any_lent() const noexcept { return (load() & (lent_bit(Role::Producer) | lent_bit(Role::Consumer))) != 0; }
    // No thread is inside a call without the lock.
    bool idle() const noexcept { return (load() & kActiveMask) == 0; }

    // With the lock held, just before giving it up: count this thread in; with `busy`, mark
    // `role` busy (a stretch that other calls of the role must not overlap).
    void leave_lock(bool busy, Role role) noexcept {
        word_.fetch_add(kActiveOne + (busy ? busy_bit(role) : 0), std::memory_order_acq_rel);
    }
    // Just after taking the lock back: the reverse, waking threads parked on the word.
    void retake_lock(bool busy, Role role) noexcept {
        const std::uint32_t before =
            word_.fetch_sub(kActiveOne + (busy ? busy_bit(role) : 0), std::memory_order_acq_rel);
        wake_parked(before);
    }

    // A loan (reserve, borrow) holds its role until it ends; false if the role is lent already.
    bool lend(Role role) noexcept {
        if (load() & lent_bit(role)) return false;
        word_.fetch_or(lent_bit(role), std::memory_order_acq_rel);
        return true;
    }
    void end_loan(Role role) noexcept { wake_parked(word_.fetch_and(~lent_bit(role), std::memory_order_acq_rel)); }

    // Release: everything before the close is ordered before a waiter's acquire of the mark.
    // false if it was closed already.
    bool mark_closed() noexcept {
        const std::uint32_t before = word_.fetch_or(kClosed, std::memory_order_acq_rel);
        wake_parked(before);
        return (before & kClosed) == 0;
    }

    // Parks while the word still reads `seen` (counted as a parked thread, so that changes
    // wake it), for at most `ns`. Called without the lock.
    wait::FutexResult park(std::uint32_t seen, std::int64_t ns) noexcept {
        const std::uint32_t expected = word_.fetch_add(kParkedOne, std::memory_order_acq_rel) + kParkedOne;
        wait::FutexResult result = wait::FutexResult::Changed;
        // Only if nothing changed since `seen` (the count of parked threads aside).
        if ((expected & ~kParkedMask) == (seen & ~kParkedMask)) result = wait::futex_wait(raw(), expected, ns);
        word_.fetch_sub(kParkedOne, std::memory_order_acq_rel);
        return result;
    }

    std::uint32_t load() const noexcept { return word_.load(std::memory_order_acquire); }

    // In a child process after fork only the forking thread exists, and it was not inside a
    // call without the lock (fork is called with it held): the counts and busy marks of the
    // parent's other threads are forgotten. Loans stay: their objects were copied too. Called
    // with the lock held, on the slow paths only.
    void forget_threads_lost_in_fork() noexcept {
        const std::uint64_t now = fork_generation();
        if (generation_ == now) return;
        generation_ = now;
        word_.fetch_and(kClosed | lent_bit(Role::Producer) | lent_bit(Role::Consumer), std::memory_order_acq_rel);
    }

private:
    static constexpr std::uint32_t kClosed = 1u << 0;
    static constexpr std::uint32_t kActiveOne = 1u << 8;        // bits 8..19: threads inside
    static constexpr std::uint32_t kActiveMask = 0xfffu << 8;
    static constexpr std::uint32_t kParkedOne = 1u << 20;       // bits 20..31: threads parked
    static constexpr std::uint32_t kParkedMask = 0xfffu << 20;
    static constexpr std::uint32_t busy_bit(Role role) noexcept { return 1u << (1 + 2 * static_cast<std::uint32_t>(role)); }
    static constexpr std::uint32_t lent_bit(Role role) noexcept { return 1u << (2 + 2 * static_cast<std::uint32_t>(role)); }

    void wake_parked(std::uint32_t before) noexcept {
        if (before & kParkedMask) wait::futex_wake_all(raw());
    }
    const std::uint32_t* raw() const noexcept { return reinterpret_cast<const std::uint32_t*>(&word_); }

    // How many times this process has been forked into (0 in the original process).
    static std::uint64_t fork_generation() noexcept {
        static std::once_flag registered;
        std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, [] { ++forks_; }); });
        return forks_.load(std::memory_order_relaxed);
    }
    static inline std::atomic<std::uint64_t> forks_{0};

    std::atomic<std::uint32_t> word_{0};
    std::uint64_t generation_;
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
};

}  // namespace kelparine
