#include "member_slots.hpp"

#include <memory>
#include <utility>
#include <vector>

namespace kelparine::member_slots {

using queue_layout::kSlotByteBase;
using queue_layout::kSlotCount;

class Pool final : public SlotLiveness {
public:
    explicit Pool(FileId id) noexcept : file(id) {}

    bool alive(std::uint16_t slot) noexcept override {
        if (owns(slot)) return true;
        // Unsure (the test failed) counts as alive: the consumer waits and asks again.
        return presence::held_elsewhere(description_, kSlotByteBase + slot).value_or(true);
    }

    bool owns(std::uint16_t slot) const noexcept {
        // Relaxed: set and cleared by serialised callers; a reader without the interpreter lock
        // asks only about slots whose state its own call's order already fixed.
        return (owned_[slot / 64].load(std::memory_order_relaxed) >> (slot % 64)) & 1u;
    }

    // The description and slots as they are in this process now: a fork child starts empty.
    void refresh(const presence::Presence& presence) noexcept {
        if (generation_ == presence::generation() && description_ == presence.description()) return;
        const bool same_process = generation_ == presence::generation();
        if (same_process && description_ >= 0) release_all();
        for (auto& word : owned_) word.store(0, std::memory_order_relaxed);
        idle_.clear();
        generation_ = presence::generation();
        description_ = presence.description();
    }

    std::optional<std::uint16_t> acquire(MpmcQueue& queue, const presence::Presence& presence) noexcept {
        refresh(presence);
        if (!idle_.empty()) {
            const std::uint16_t slot = idle_.back();
            idle_.pop_back();
            return slot;
        }
        if (description_ < 0) return std::nullopt;
        try {
            idle_.reserve(kSlotCount);  // release() never allocates
        } catch (...) {
            return std::nullopt;
        }
        for (std::uint16_t slot = 0; slot < kSlotCount; ++slot) {
            if (owns(slot)) continue;
            auto locked = presence::try_lock(description_, kSlotByteBase + slot, presence::LockKind::Exclusive);
            if (!locked || !*locked) continue;
            if (!queue.adopt_slot(slot)) {
                // A gone holder's records still name it: it must stay gone in others' eyes.
                presence::unlock(description_, kSlotByteBase + slot);
                continue;
            }
            owned_[slot / 64].fetch_or(std::uint64_t{1} << (slot % 64), std::memory_order_relaxed);
            return slot;
        }
        return std::nullopt;
    }

    void release(std::uint16_t slot) noexcept {
        // A slot from before a fork (its call's thread is not in this process) is not ours.
        if (owns(slot)) idle_.push_back(slot);
    }

    void release_all() noexcept {
        if (generation_ != presence::generation() || description_ < 0) return;
        for (std::uint16_t slot = 0; slot < kSlotCount; ++slot)
            if (owns(slot)) presence::unlock(description_, kSlotByteBase + slot);
    }

    FileId file;
    unsigned members = 0;

private:
    std::atomic<std::uint64_t> owned_[queue_layout::kWaiterWords] = {};
    std::vector<std::uint16_t> idle_;
    std::uint64_t generation_ = presence::generation();
    int description_ = -1;
};

namespace {

std::vector<std::unique_ptr<Pool>>& pools() noexcept {
    static std::vector<std::unique_ptr<Pool>> all;
    return all;
}

}  // namespace

Membership Membership::join(const presence::Presence& presence) noexcept {
    Membership membership;
    const std::optional<FileId> file = presence.file();
    if (!file) return membership;
    for (auto& pool : pools()) {
        if (pool->file == *file) {
            ++pool->members;
            membership.pool_ = pool.get();
            return membership;
        }
    }
    try {
        pools().push_back(std::make_unique<Pool>(*file));
    } catch (...) {
        return membership;
    }
    membership.pool_ = pools().back().get();
    membership.pool_->members = 1;
    return membership;
}

Membership::Membership(Membership&& other) noexcept : pool_(std::exchange(other.pool_, nullptr)) {}

Membership& Membership::operator=(Membership&& other) noexcept {
    if (this != &other) {
        leave();
        pool_ = std::exchange(other.pool_, nullptr);
    }
    return *this;
}

void Membership::leave() noexcept {
    Pool* pool = std::exchange(pool_, nullptr);
    if (pool == nullptr || --pool->members != 0) return;
    // The last object of the process on the segment: its slots become free for others (the
    // description may live on, for a handle or ring on the same segment).
    pool->release_all();
    auto& all = pools();
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (it->get() == pool) {
            all.erase(it);
            return;
        }
    }
}

std::optional<std::uint16_t> Membership::acquire(MpmcQueue& queue, const presence::Presence& presence) noexcept {
    if (pool_ == nullptr) return std::nullopt;
    return pool_->acquire(queue, presence);
}

void Membership::release(std::uint16_t slot) noexcept {
    if (pool_ != nullptr) pool_->release(slot);
}

SlotLiveness& Membership::liveness() noexcept { return *pool_; }

}  // namespace kelparine::member_slots
