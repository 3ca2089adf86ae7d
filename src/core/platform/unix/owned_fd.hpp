// Owning wrappers for the two kernel resources a segment involves: a descriptor and a mapping.
// Both are move-only and release idempotently (the moved-from or released object holds a
// sentinel: -1 for the descriptor, nullptr for the mapping).
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace kelparine {

class OwnedFd {
public:
    OwnedFd() noexcept = default;
    explicit OwnedFd(int fd) noexcept : fd_(fd) {}
    OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() { reset(); }

    int get() const noexcept { return fd_; }
    // close() result ignored: there is nothing useful to do with a failed close here.
    void reset() noexcept {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

// One mapping of a whole segment, unmapped on destruction.
class Mapping {
public:
    Mapping() noexcept = default;
    Mapping(std::byte* base, std::uint64_t size) noexcept : base_(base), size_(size) {}
    Mapping(Mapping&& other) noexcept
        : base_(std::exchange(other.base_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Mapping& operator=(Mapping&& other) noexcept {
        if (this != &other) {
            reset();
            base_ = std::exchange(other.base_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() { reset(); }

    std::byte* base() const noexcept { return base_; }
    std::uint64_t size() const noexcept { return size_; }
    explicit operator bool() const noexcept { return base_ != nullptr; }

    // munmap() result ignored by design: the range is ours and the call cannot usefully fail.
    void reset() noexcept {
        if (base_ != nullptr) ::munmap(std::exchange(base_, nullptr), std::exchange(size_, 0));
    }

private:
    std::byte* base_ = nullptr;
    std::uint64_t size_ = 0;
};

}  // namespace kelparine
