#include "presence.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "../platform/unix/owned_fd.hpp"

namespace kelparine::presence {

struct Site {
    dev_t device;
    ino_t inode;
    OwnedFd description;  // this process's own open file description of the segment's file
    unsigned objects = 0;
    // Relaxed atomics: changed only by serialised callers, but read by waits of other threads.
    std::atomic<unsigned> role_holders[2] = {0, 0};
    bool exclusive[2] = {false, false};
};

namespace {

// Every site of the process, one per segment with objects of the process on it.
std::vector<std::unique_ptr<Site>>& sites() noexcept {
    static std::vector<std::unique_ptr<Site>> all;
    return all;
}

// A new open file description of the file `fd` is open on, with the widest access the file
// allows this process (an exclusive lock needs write access). -1 on failure.
int open_again(int fd) noexcept {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    int again = ::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (again < 0) again = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    return again;
}

// Present through a description of the process's own: -1 when none could be made.
int present_again(int fd) noexcept {
    const int again = open_again(fd);
    // A shared lock conflicts only with an exclusive one, which nobody takes on this byte; a
    // failure leaves the process absent in others' eyes, never wrong about others.
    if (again >= 0) (void)try_lock(again, kPresenceByte, LockKind::Shared);
    return again;
}

void drop(Site* site) noexcept {
    auto& all = sites();
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (it->get() == site) {
            all.erase(it);  // closes the description: the kernel drops every lock on it
            return;
        }
    }
}

}  // namespace

RoleHold::RoleHold(RoleHold&& other) noexcept
    : site_(std::exchange(other.site_, nullptr)),
      role_(other.role_),
      generation_(other.generation_),
      held_(std::exchange(other.held_, false)) {}

RoleHold& RoleHold::operator=(RoleHold&& other) noexcept {
    if (this != &other) {
        release();
        site_ = std::exchange(other.site_, nullptr);
        role_ = other.role_;
        generation_ = other.generation_;
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

void RoleHold::release() noexcept {
    held_ = false;
    Site* site = std::exchange(site_, nullptr);
    // A hold from before a fork belongs to the parent: the child's counts never included it.
    if (site == nullptr || generation_ != detail::g_generation) return;
    const auto r = static_cast<unsigned>(role_);
    if (site->role_holders[r].fetch_sub(1, std::memory_order_relaxed) == 1) {
        if (site->description.get() >= 0) unlock(site->description.get(), role_byte(role_));
        site->exclusive[r] = false;
    }
}

Presence Presence::take(int segment_fd) noexcept {
    struct stat st {};
    if (::fstat(segment_fd, &st) != 0) return {};
    Presence presence;
    presence.file_ = FileId{st.st_dev, st.st_ino};
    for (auto& site : sites()) {
        if (site->device == st.st_dev && site->inode == st.st_ino) {
            ++site->objects;
            presence.site_ = site.get();
            return presence;
        }
    }
    OwnedFd description(present_again(segment_fd));
    if (description.get() < 0) return presence;  // presence unknown, the file known
    try {
        auto site = std::make_unique<Site>();
        site->device = st.st_dev;
        site->inode = st.st_ino;
        site->objects = 1;
        sites().push_back(std::move(site));
    } catch (...) {
        return presence;  // out of memory: no presence (the description closes)
    }
    sites().back()->description = std::move(description);
    presence.site_ = sites().back().get();
    return presence;
}

Presence::Presence(Presence&& other) noexcept
    : site_(std::exchange(other.site_, nullptr)), file_(std::exchange(other.file_, std::nullopt)) {}

Presence& Presence::operator=(Presence&& other) noexcept {
    if (this != &other) {
        reset();
        site_ = std::exchange(other.site_, nullptr);
        file_ = std::exchange(other.file_, std::nullopt);
    }
    return *this;
}

void Presence::reset() noexcept {
    file_.reset();
    Site* site = std::exchange(site_, nullptr);
    if (site != nullptr && --site->objects == 0) drop(site);
}

std::optional<bool> Presence::others_present() const noexcept {
    if (site_ == nullptr) return std::nullopt;
    auto held = held_elsewhere(site_->description.get(), kPresenceByte);
    if (!held) return std::nullopt;
    return *held;
}

std::optional<bool> Presence::role_held(Role role) const noexcept {
    if (site_ == nullptr) return std::nullopt;
    if (site_->role_holders[static_cast<unsigned>(role)].load(std::memory_order_relaxed) != 0) return true;
    auto held = held_elsewhere(site_->description.get(), role_byte(role));
    if (!held) return std::nullopt;
    return *held;
}

std::optional<bool> Presence::role_held_elsewhere(Role role) const noexcept {
    if (site_ == nullptr) return std::nullopt;
    auto held = held_elsewhere(site_->description.get(), role_byte(role));
    if (!held) return std::nullopt;
    return *held;
}

bool Presence::holds_exclusively(Role role) const noexcept {
    return site_ != nullptr && site_->exclusive[static_cast<unsigned>(role)];
}

int Presence::description() const noexcept { return site_ != nullptr ? site_->description.get() : -1; }

Result<Presence::Taking> Presence::take_role(Role role, LockKind kind, RoleHold& into) const noexcept {
    const auto r = static_cast<unsigned>(role);
    const bool had = into.held();
    auto in_name_only = [&] {
        if (had) return;
        into.release();
        into.held_ = true;
        into.role_ = role;
        into.generation_ = detail::g_generation;
    };
    if (site_ == nullptr) {  // no presence: nothing to take, nothing to check
        in_name_only();
        return Taking::Taken;
    }
    Site& site = *site_;
    const bool need_lock = site.role_holders[r].load(std::memory_order_relaxed) == 0 ||
                           (kind == LockKind::Exclusive && !site.exclusive[r]);
    if (need_lock) {
        // The first holder of the process takes the lock; an exclusive claim converts the
        // process's shared lock (a description's own locks never conflict with each other).
        auto locked = try_lock(site.description.get(), role_byte(role), kind);
        if (!locked) {
            in_name_only();  // not retried on every call: the role goes unchecked
            return std::unexpected(std::move(locked.error()));
        }
        if (!*locked) return Taking::HeldElsewhere;
        if (kind == LockKind::Exclusive) site.exclusive[r] = true;
    }
    if (!had) {
        into.release();
        site.role_holders[r].fetch_add(1, std::memory_order_relaxed);
        into.site_ = site_;
        into.role_ = role;
        into.generation_ = detail::g_generation;
        into.held_ = true;
    }
    return Taking::Taken;
}

void Presence::after_fork_in_child() noexcept {
    ++detail::g_generation;
    for (auto& site : sites()) {
        // The inherited description stays the parent's (closing this descriptor leaves its
        // locks with the parent's own); the child is present through one of its own.
        const int own = present_again(site->description.get());
        site->description = OwnedFd(own);
        site->role_holders[0].store(0, std::memory_order_relaxed);
        site->role_holders[1].store(0, std::memory_order_relaxed);
        site->exclusive[0] = site->exclusive[1] = false;
    }
}

}  // namespace kelparine::presence
