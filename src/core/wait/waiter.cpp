#include "waiter.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <unordered_map>

#include "../rwlock.hpp"  // spin_pause
#include "clock.hpp"

namespace kelparine::wait {

struct Waiter::Entry {
    std::uint64_t token;
    std::shared_ptr<Mailbox> box;
    Watch watch;
    Shard* shard;
    std::int64_t started;     // monotonic ns
    std::int64_t slice;       // the current park slice
    std::int64_t next_look;   // monotonic ns: look at the word again by then
    std::int64_t next_tick;   // monotonic ns
};

struct Waiter::Shard {
    // Bumped (release) and woken by arm(): the thread's park ends, and the next includes the new
    // watch. Process-private; futex calls here use the shared form like every other word.
    std::atomic<std::uint32_t> control{0};
    std::vector<Entry*> entries;  // changed with the waiter's mutex held
};

namespace {

constexpr std::int64_t kFirstSlice = kMillisecond;
constexpr std::int64_t kYoung = 50 * kMillisecond;
constexpr std::int64_t kMaxSlice = 16 * kMillisecond;
constexpr std::int64_t kFallbackSlice = kMillisecond;
constexpr std::int64_t kIdlePark = 3600 * kSecond;

// Leaked on purpose: threads parked at exit must find it whole, and a forked child abandons it.
Waiter* g_waiter = nullptr;
std::unordered_map<std::uint64_t, std::unique_ptr<Waiter::Entry>>* g_entries = nullptr;

}  // namespace

std::shared_ptr<Mailbox> Mailbox::make() noexcept {
    OwnedFd fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (fd.get() < 0) return nullptr;
    try {
        return std::make_shared<Mailbox>(std::move(fd));
    } catch (...) {
        errno = ENOMEM;
        return nullptr;
    }
}

std::vector<WaitEvent> Mailbox::take() noexcept {
    std::uint64_t count = 0;
    // Reset first: a post after the swap below makes the descriptor readable again.
    [[maybe_unused]] const ssize_t got = ::read(fd_.get(), &count, sizeof count);
    std::vector<WaitEvent> out;
    const std::lock_guard lock(mutex_);
    out.swap(events_);
    return out;
}

void Mailbox::post(WaitEvent event) noexcept {
    bool was_empty = false;
    {
        const std::lock_guard lock(mutex_);
        was_empty = events_.empty();
        try {
            events_.push_back(event);
        } catch (...) {
            // No memory for the event: the loop still wakes and looks at everything it awaits.
        }
    }
    if (was_empty) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t put = ::write(fd_.get(), &one, sizeof one);
    }
}

Waiter::Waiter() noexcept : use_waitv_(std::getenv("KELPARINE_AIO_NO_WAITV") == nullptr) {}

Waiter& Waiter::instance() noexcept {
    // Called with the interpreter lock held, so never concurrently with itself or a fork.
    if (g_waiter == nullptr) {
        g_waiter = new Waiter();
        g_entries = new std::unordered_map<std::uint64_t, std::unique_ptr<Entry>>();
    }
    return *g_waiter;
}

void Waiter::after_fork_in_child() noexcept {
    g_waiter = nullptr;
    g_entries = nullptr;
}

std::size_t Waiter::threads() noexcept {
    const std::lock_guard lock(mutex_);
    return shards_.size();
}

std::uint64_t Waiter::arm(std::shared_ptr<Mailbox> box, Watch watch) noexcept {
    Shard* target = nullptr;
    std::uint64_t token = 0;
    try {
        const std::lock_guard lock(mutex_);
        for (auto& shard : shards_) {
            if (shard->entries.size() < kWordsPerThread) {
                target = shard.get();
                break;
            }
        }
        if (target == nullptr) {
            auto shard = std::make_unique<Shard>();
            shard->entries.reserve(kWordsPerThread);
            target = shard.get();
            shards_.push_back(std::move(shard));
            try {
                std::thread([this, target] { run(*target); }).detach();
            } catch (...) {
                shards_.pop_back();
                return 0;
            }
        }
        const std::int64_t now = monotonic_ns();
        const std::int64_t tick = watch.tick_ns;
        auto entry = std::make_unique<Entry>(Entry{next_token_, std::move(box), std::move(watch), target, now,
                                                   kFirstSlice, now + kFirstSlice, tick > 0 ? now + tick : INT64_MAX});
        target->entries.push_back(entry.get());
        try {
            g_entries->emplace(next_token_, std::move(entry));
        } catch (...) {
            target->entries.pop_back();
            return 0;
        }
        token = next_token_++;
    } catch (...) {
        return 0;
    }
    // Release: the entry pushed above is visible to the thread that sees the new control value.
    target->control.fetch_add(1, std::memory_order_release);
    futex_wake_all(reinterpret_cast<const std::uint32_t*>(&target->control));
    return token;
}

bool Waiter::disarm(std::uint64_t token) noexcept {
    const std::lock_guard lock(mutex_);
    auto found = g_entries->find(token);
    if (found == g_entries->end()) return false;
    auto& list = found->second->shard->entries;
    list.erase(std::find(list.begin(), list.end(), found->second.get()));
    g_entries->erase(found);
    return true;
}

void Waiter::run(Shard& shard) noexcept {
    std::vector<FutexWatch> watches;
    watches.reserve(kMaxFutexWatches);
    const auto* control = reinterpret_cast<const std::uint32_t*>(&shard.control);
    const std::int64_t settle = SettleClock::settle();
    std::unique_lock lock(mutex_);
    for (;;) {
        const std::int64_t now = monotonic_ns();
        const std::int64_t ticks = SettleClock::now();
        // Acquire: pairs with arm()'s release; read with the mutex held, before the entries.
        const std::uint32_t control_seen = shard.control.load(std::memory_order_acquire);
        watches.clear();
        watches.push_back({control, control_seen});
        std::int64_t wake_at = now + kIdlePark;
        bool settling = false;
        for (std::size_t i = 0; i < shard.entries.size();) {
            Entry& e = *shard.entries[i];
            // Acquire load of the shared word: what a ready() after it reads was published
            // before the word moved (the publisher's release store).
            const std::uint32_t value =
                std::atomic_ref<const std::uint32_t>(*e.watch.word).load(std::memory_order_acquire);
            if (value != e.watch.expected) {
                if (e.watch.readiness->ready()) {
                    const std::uint64_t token = e.token;
                    e.box->post({token, Fired::Ready});
                    shard.entries.erase(shard.entries.begin() + static_cast<std::ptrdiff_t>(i));
                    g_entries->erase(token);  // destroys `e`
                    continue;
                }
                e.watch.expected = value;  // moved, not ready yet: settle on the new value
                e.watch.seen_at = ticks;
            }
            if (now >= e.next_tick) {
                e.box->post({e.token, Fired::Tick});
                e.next_tick = now + e.watch.tick_ns;
            }
            if (now >= e.next_look) {
                if (now - e.started >= kYoung) e.slice = std::min(e.slice * 2, kMaxSlice);
                e.next_look = now + e.slice;
            }
            if (ticks - e.watch.seen_at < settle) {
                settling = true;  // not parked on yet: a publisher may have skipped its wake
            } else {
                watches.push_back({e.watch.word, e.watch.expected});
            }
            wake_at = std::min({wake_at, e.next_look, e.next_tick});
            ++i;
        }
        if (settling) {
            lock.unlock();
            for (int i = 0; i < 64; ++i) spin_pause();
            lock.lock();
            continue;
        }
        const bool waitv = use_waitv_;
        lock.unlock();
        bool unsupported = !waitv;
        if (waitv) futex_wait_any(watches, wake_at, unsupported);
        if (unsupported) {
            // Parks on the control word alone; every word is looked at after each slice.
            futex_wait(control, control_seen, std::min(wake_at - now, kFallbackSlice));
        }
        lock.lock();
        if (unsupported) use_waitv_ = false;
    }
}

}  // namespace kelparine::wait
