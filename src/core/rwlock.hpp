// The cross-process reader-writer lock that heads a locked-view segment.
//
//   byte 0          4
//        +----------+------------------------------ - -
//        | lock i32 | data area (data_size bytes)
//        +----------+------------------------------ - -
//
// Lock word (signed 32-bit, native little-endian, 4-byte aligned at the start of the mapping):
//     0          unlocked
//     n > 0      held shared by n holders
//     -1         held exclusively
//     other < 0  never produced; treated as held by both acquisitions
//
// Every process that maps the segment joins the lock; there is no owner record, no queue and
// no time-out. All accesses go through std::atomic_ref on the shared word. Waiting is a pure
// busy-wait with the processor's pause hint; a caller may give an `interrupted` predicate,
// polled every kInterruptPollSpins attempts, to abandon a wait without taking the hold (the
// word is then left exactly as the other holders make it).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

namespace kelparine {

inline constexpr std::size_t RWLOCK_SIZE = 4;
inline constexpr std::int32_t kUnlocked = 0;
inline constexpr std::int32_t kWriteLocked = -1;
inline constexpr unsigned kInterruptPollSpins = 4096;

inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

struct NeverInterrupted {
    bool operator()() const noexcept { return false; }
};

class ShmRwLock;

// One shared hold; released (word decremented, release order) when destroyed.
class ShmReadGuard {
public:
    ShmReadGuard(ShmReadGuard&& other) noexcept : word_(std::exchange(other.word_, nullptr)) {}
    ShmReadGuard& operator=(ShmReadGuard&&) = delete;
    ShmReadGuard(const ShmReadGuard&) = delete;
    ShmReadGuard& operator=(const ShmReadGuard&) = delete;
    ~ShmReadGuard() {
        // Release: our reads of the data area happen before a writer's acquiring 0 -> -1.
        if (word_ != nullptr) std::atomic_ref<std::int32_t>(*word_).fetch_sub(1, std::memory_order_release);
    }

private:
    friend class ShmRwLock;
    explicit ShmReadGuard(std::int32_t* word) noexcept : word_(word) {}
    std::int32_t* word_;
};

// The exclusive hold; released (store 0, release order) when destroyed.
class ShmWriteGuard {
public:
    ShmWriteGuard(ShmWriteGuard&& other) noexcept : word_(std::exchange(other.word_, nullptr)) {}
    ShmWriteGuard& operator=(ShmWriteGuard&&) = delete;
    ShmWriteGuard(const ShmWriteGuard&) = delete;
    ShmWriteGuard& operator=(const ShmWriteGuard&) = delete;
    ~ShmWriteGuard() {
        // Release: publishes every byte written under the hold to the next acquirer.
        if (word_ != nullptr) std::atomic_ref<std::int32_t>(*word_).store(kUnlocked, std::memory_order_release);
    }

private:
    friend class ShmRwLock;
    explicit ShmWriteGuard(std::int32_t* word) noexcept : word_(word) {}
    std::int32_t* word_;
};

// Non-owning handle on a lock word inside someone else's mapping; freely copyable.
class ShmRwLock {
public:
    explicit ShmRwLock(std::byte* word) noexcept : word_(reinterpret_cast<std::int32_t*>(word)) {}

    // Waits for a shared hold (word n >= 0 -> n + 1). Empty only if `interrupted` said so.
    template <class Interrupted = NeverInterrupted>
    std::optional<ShmReadGuard> acquire_read(Interrupted&& interrupted = {}) const noexcept(noexcept(interrupted())) {
        std::atomic_ref<std::int32_t> word(*word_);
        for (unsigned spins = 1;; ++spins) {
            std::int32_t seen = word.load(std::memory_order_relaxed);
            // Acquire on success: the last writer's bytes (its release store of 0) are visible.
            if (seen >= 0 && word.compare_exchange_weak(seen, static_cast<std::int32_t>(
                                                                  static_cast<std::uint32_t>(seen) + 1u),
                                                        std::memory_order_acquire, std::memory_order_relaxed)) {
                return ShmReadGuard(word_);
            }
            spin_pause();
            if (spins % kInterruptPollSpins == 0 && interrupted()) return std::nullopt;
        }
    }

    // Waits for the exclusive hold (word 0 -> -1). Empty only if `interrupted` said so.
    template <class Interrupted = NeverInterrupted>
    std::optional<ShmWriteGuard> acquire_write(Interrupted&& interrupted = {}) const noexcept(noexcept(interrupted())) {
        std::atomic_ref<std::int32_t> word(*word_);
        for (unsigned spins = 1;; ++spins) {
            std::int32_t expected = kUnlocked;
            // Acquire on success: every reader's release decrement came before.
            if (word.compare_exchange_weak(expected, kWriteLocked, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
                return ShmWriteGuard(word_);
            }
            spin_pause();
            if (spins % kInterruptPollSpins == 0 && interrupted()) return std::nullopt;
        }
    }

    // One attempt at a shared hold, for waits that pace themselves: empty if the word shows the
    // exclusive hold (or another negative value); the value seen is left in `seen`. A failed
    // compare-exchange means another reader got in first: that is progress, so it retries.
    std::optional<ShmReadGuard> try_acquire_read(std::int32_t& seen) const noexcept {
        std::atomic_ref<std::int32_t> word(*word_);
        seen = word.load(std::memory_order_relaxed);
        while (seen >= 0) {
            // Acquire on success, as in acquire_read.
            if (word.compare_exchange_weak(seen, static_cast<std::int32_t>(static_cast<std::uint32_t>(seen) + 1u),
                                           std::memory_order_acquire, std::memory_order_relaxed)) {
                return ShmReadGuard(word_);
            }
        }
        return std::nullopt;
    }

    // One attempt at the exclusive hold (0 -> -1); empty otherwise, with the value seen in `seen`.
    std::optional<ShmWriteGuard> try_acquire_write(std::int32_t& seen) const noexcept {
        std::atomic_ref<std::int32_t> word(*word_);
        seen = kUnlocked;
        // Acquire on success, as in acquire_write.
        if (word.compare_exchange_strong(seen, kWriteLocked, std::memory_order_acquire, std::memory_order_relaxed))
            return ShmWriteGuard(word_);
        return std::nullopt;
    }

    // Momentary snapshots; one relaxed load each, no ordering with the data area.
    std::int32_t reader_count() const noexcept {
        const std::int32_t value = std::atomic_ref<std::int32_t>(*word_).load(std::memory_order_relaxed);
        return value > 0 ? value : 0;
    }
    bool is_write_locked() const noexcept {
        return std::atomic_ref<std::int32_t>(*word_).load(std::memory_order_relaxed) == kWriteLocked;
    }

    // Clears the word whatever holds it shows: how a creator clears holds left by dead processes.
    void init_unlocked() const noexcept {
        std::atomic_ref<std::int32_t>(*word_).exchange(kUnlocked, std::memory_order_seq_cst);
    }

    // Clears the word only if it still reads `observed`, in one atomic step: how a hold seen to
    // be stale is cleared from outside without wiping a hold taken since it was looked at (a
    // changed word means some holder is alive). Returns whether it cleared. Sequentially
    // consistent like init_unlocked: it orders against every acquirer's compare-exchange and
    // every releaser's read-modify-write, and publishes no data of its own.
    bool clear_if(std::int32_t observed) const noexcept {
        return std::atomic_ref<std::int32_t>(*word_).compare_exchange_strong(observed, kUnlocked,
                                                                             std::memory_order_seq_cst);
    }

private:
    std::int32_t* word_;
};

static_assert(sizeof(std::int32_t) == RWLOCK_SIZE);
static_assert(std::atomic_ref<std::int32_t>::is_always_lock_free, "the lock word must be address-free");

}  // namespace kelparine
