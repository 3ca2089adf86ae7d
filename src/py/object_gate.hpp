// The process-local state of one view or ring object, shared by the threads of this process
// that call it: whether it is closed, which calls are inside it, and whether each of its two
// roles (producer and consumer; a view uses the first only) is busy in a stretch run without
// the caller's lock or lent out to a loan.
//
// The caller's lock is the interpreter lock. Every change to the gate is made by a thread that
// holds it, so changes are serialised by that lock; the word is atomic because threads that
// have given the lock up read it, and park on it (a futex on this process-local word) until it
// changes.
//
// Invariant that makes close() safe: every call that touches the mapping holds the object from
// its entry to its return (a CallHold, linked into the gate's list with the lock held), however
// often it gives the lock up and takes it back in between. close() marks the object closed,
// waits until no other thread holds it, and the mapping is unmapped only when the last hold
// leaves a closed gate. A close() made from inside a call of its own thread (a finalizer, a
// signal handler) therefore never waits for itself: the unmap happens when that call returns.
// A loan is lent only while the object is open, and close() refuses while one is lent.
//
// A pin keeps the mapping of a closed object as a hold does, but stands for no call: close()
// does not wait for it. Objects that point into the mapping beyond any call (the arrays a ring
// lends) hold one, so the memory they point to stays mapped until the last of them is gone.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "../core/platform/unix/file_id.hpp"
#include "../core/platform/unix/owned_fd.hpp"
#include "../core/wait/futex.hpp"

namespace kelparine {

class ObjectGate;

// A value that tells the threads of the process apart, read without a call on the hot path:
// the thread pointer, which is what pthread_self() returns on Linux.
inline const void* this_thread() noexcept {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__aarch64__))
    return __builtin_thread_pointer();
#else
    return reinterpret_cast<const void*>(::pthread_self());
#endif
}

// One call's hold on an object, from the member's entry to its return. Lives on the calling
// thread's stack; made and ended with the interpreter lock held.
class CallHold {
public:
    CallHold() noexcept = default;
    explicit CallHold(ObjectGate& gate) noexcept { attach(gate); }
    ~CallHold() { detach(); }
    CallHold(const CallHold&) = delete;
    CallHold& operator=(const CallHold&) = delete;

    inline void attach(ObjectGate& gate) noexcept;
    inline void detach() noexcept;

private:
    friend class ObjectGate;
    ObjectGate* gate_ = nullptr;
    CallHold* prev_ = nullptr;
    CallHold* next_ = nullptr;
    const void* thread_ = nullptr;  // the calling thread (this_thread())
};

class ObjectGate {
public:
    enum class Role : std::uint32_t { Producer = 0, Consumer = 1 };
    enum class State : unsigned char { Free, Closed, Lent, Busy };

    // `mapping` (may be null) is unmapped when the last hold leaves the closed gate.
    explicit ObjectGate(Mapping* mapping = nullptr) noexcept : mapping_(mapping) { enlist(); }
    ~ObjectGate() { delist(); }
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

    // With the lock held, just before giving it up for a stretch that other calls of `role`
    // must not overlap (a long copy, a view's wait for its lock word); and the reverse just
    // after taking it back, waking threads parked on the word.
    void mark_busy(Role role) noexcept { word_.fetch_or(busy_bit(role), std::memory_order_acq_rel); }
    void clear_busy(Role role) noexcept { wake_parked(word_.fetch_and(~busy_bit(role), std::memory_order_acq_rel)); }

    // A loan (reserve, borrow) holds its role until it ends. With the lock held: false, and
    // nothing lent, once the object is closed (a loan must never outlive the mapping), or if
    // the role is lent already.
    [[nodiscard]] bool lend(Role role) noexcept {
        if (load() & (kClosed | lent_bit(role))) return false;
        word_.fetch_or(lent_bit(role), std::memory_order_acq_rel);
        return true;
    }
    void end_loan(Role role) noexcept { wake_parked(word_.fetch_and(~lent_bit(role), std::memory_order_acq_rel)); }

    // With the lock held. The last pin dropped from a closed gate no call holds unmaps.
    void pin() noexcept { ++pins_; }
    void unpin() noexcept {
        // Relaxed: the mark was set by a thread holding the lock, which this thread holds now.
        if (--pins_ == 0 && holds_ == nullptr && mapping_ != nullptr && (word_.load(std::memory_order_relaxed) & kClosed))
            mapping_->reset();
    }

    // Release: everything before the close is ordered before a waiter's acquire of the mark.
    // false if it was closed already.
    bool mark_closed() noexcept {
        const std::uint32_t before = word_.fetch_or(kClosed, std::memory_order_acq_rel);
        wake_parked(before);
        return (before & kClosed) == 0;
    }

    // With the lock held: whether a thread other than the caller holds the object.
    bool held_by_other_threads() const noexcept {
        const void* self = this_thread();
        for (const CallHold* hold = holds_; hold != nullptr; hold = hold->next_)
            if (hold->thread_ != self) return true;
        return false;
    }

    // The segment whose lock word this object's calls may hold (a view's), set once before the
    // object is used; an object that never holds one (a ring) leaves it unset. A view whose
    // file is unknown says so, and then counts as being on every segment.
    void set_lock_segment(FileId file) noexcept {
        lock_kind_ = LockSegment::Known;
        lock_file_ = file;
    }
    void set_lock_segment_unknown() noexcept { lock_kind_ = LockSegment::Unknown; }

    // With the lock held: whether a thread other than the caller is inside a call on any object
    // of this process whose calls may hold the lock word of `file`. Every hold of a lock word is
    // taken and released inside such a call, so false means no other thread holds it. The
    // caller's own thread holds none while it asks: no Python code runs under a hold, so a call
    // nested in that thread (a signal handler's, a finalizer's) starts only while its outer
    // calls hold nothing. Conservative: another thread merely waiting for the word counts too.
    static bool lock_segment_in_calls_of_other_threads(FileId file) noexcept {
        for (const ObjectGate* gate = gates_; gate != nullptr; gate = gate->next_gate_) {
            const bool same = gate->lock_kind_ == LockSegment::Unknown ||
                              (gate->lock_kind_ == LockSegment::Known && gate->lock_file_ == file);
            if (same && gate->held_by_other_threads()) return true;
        }
        return false;
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

    // In a child process after fork, with the lock held and before any new thread can start:
    // only the forking thread exists, and it was running Python code (fork is called with the
    // lock held), so it was neither parked nor in a busy stretch. The holds, busy marks and
    // parked counts of the parent's other threads are dropped from every gate of the process;
    // the dropped holds' memory (other threads' stacks) is never written. Loans stay: their
    // objects were copied too.
    static void forget_threads_lost_in_fork() noexcept {
        const void* self = this_thread();
        for (ObjectGate* gate = gates_; gate != nullptr; gate = gate->next_gate_) {
            CallHold* kept = nullptr;
            for (CallHold* hold = gate->holds_; hold != nullptr; hold = hold->next_) {
                if (hold->thread_ != self) continue;
                hold->prev_ = kept;
                if (kept != nullptr) kept->next_ = hold; else gate->holds_ = hold;
                kept = hold;
            }
            if (kept != nullptr) kept->next_ = nullptr; else gate->holds_ = nullptr;
            gate->word_.fetch_and(kClosed | lent_bit(Role::Producer) | lent_bit(Role::Consumer),
                                  std::memory_order_acq_rel);
        }
    }

private:
    friend class CallHold;

    static constexpr std::uint32_t kClosed = 1u << 0;
    // bits 8..19: changes each time a hold leaves a closed gate (what a waiting close() parks on)
    static constexpr std::uint32_t kDepartureOne = 1u << 8;
    static constexpr std::uint32_t kDepartureMask = 0xfffu << 8;
    static constexpr std::uint32_t kParkedOne = 1u << 20;       // bits 20..31: threads parked
    static constexpr std::uint32_t kParkedMask = 0xfffu << 20;
    static constexpr std::uint32_t busy_bit(Role role) noexcept { return 1u << (1 + 2 * static_cast<std::uint32_t>(role)); }
    static constexpr std::uint32_t lent_bit(Role role) noexcept { return 1u << (2 + 2 * static_cast<std::uint32_t>(role)); }

    // With the lock held. Plain list operations: only threads holding the lock touch the list.
    void link(CallHold& hold) noexcept {
        hold.thread_ = this_thread();
        hold.prev_ = nullptr;
        hold.next_ = holds_;
        if (holds_ != nullptr) holds_->prev_ = &hold;
        holds_ = &hold;
    }
    void unlink(CallHold& hold) noexcept {
        if (hold.prev_ != nullptr) hold.prev_->next_ = hold.next_; else holds_ = hold.next_;
        if (hold.next_ != nullptr) hold.next_->prev_ = hold.prev_;
        // Relaxed: the mark was set by a thread holding the lock, which this thread holds now.
        if (word_.load(std::memory_order_relaxed) & kClosed) [[unlikely]]
            depart_closed();
    }
    // A hold left a closed gate: the last one out unmaps; a close() waiting for other threads
    // is told (the departure count changes the word it parks on, then it is woken).
    void depart_closed() noexcept {
        if (holds_ == nullptr && pins_ == 0 && mapping_ != nullptr) mapping_->reset();
        std::uint32_t word = word_.load(std::memory_order_relaxed);
        while (!word_.compare_exchange_weak(word, (word & ~kDepartureMask) | ((word + kDepartureOne) & kDepartureMask),
                                            std::memory_order_acq_rel, std::memory_order_relaxed)) {
        }
        wake_parked(word);
    }

    void wake_parked(std::uint32_t before) noexcept {
        if (before & kParkedMask) wait::futex_wake_all(raw());
    }
    const std::uint32_t* raw() const noexcept { return reinterpret_cast<const std::uint32_t*>(&word_); }

    // Every gate of the process, for the fork child's clean-up. Changed with the lock held
    // (objects are made and freed with it), as the gates are.
    void enlist() noexcept {
        next_gate_ = gates_;
        if (gates_ != nullptr) gates_->prev_gate_ = this;
        gates_ = this;
    }
    void delist() noexcept {
        if (prev_gate_ != nullptr) prev_gate_->next_gate_ = next_gate_; else gates_ = next_gate_;
        if (next_gate_ != nullptr) next_gate_->prev_gate_ = prev_gate_;
    }
    static inline ObjectGate* gates_ = nullptr;

    enum class LockSegment : unsigned char { None, Known, Unknown };

    std::atomic<std::uint32_t> word_{0};
    CallHold* holds_ = nullptr;
    std::uint64_t pins_ = 0;  // changed with the lock held
    Mapping* mapping_;
    LockSegment lock_kind_ = LockSegment::None;
    FileId lock_file_{};
    ObjectGate* prev_gate_ = nullptr;
    ObjectGate* next_gate_ = nullptr;
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
};

inline void CallHold::attach(ObjectGate& gate) noexcept {
    gate_ = &gate;
    gate.link(*this);
}

inline void CallHold::detach() noexcept {
    if (gate_ != nullptr) gate_->unlink(*this);
    gate_ = nullptr;
}

}  // namespace kelparine
