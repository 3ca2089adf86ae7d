// The name rule and the platform handle, where C++ can reach what Python cannot: failures
// injected into the system calls the handle makes, to check which error number is reported
// and what the clean-up leaves behind.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/platform/unix/platform_handle.hpp"

// Fault injection. These definitions in the test executable take the place of the C library's
// for the core library linked into it; unless a test arms them they only forward.
namespace fault {
std::atomic<int> errno_after_unlink{0};  // nonzero: shm_unlink leaves this in errno
std::atomic<int> fallocate_error{0};     // nonzero: posix_fallocate fails with it ...
std::atomic<int> fallocate_failures{0};  // ... this many times
}  // namespace fault

extern "C" int shm_unlink(const char* name) noexcept {
    using Real = int (*)(const char*);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "shm_unlink"));
    const int result = real(name);
    if (const int clobber = fault::errno_after_unlink.load()) errno = clobber;
    return result;
}

extern "C" int posix_fallocate64(int fd, off64_t offset, off64_t length) {
    using Real = int (*)(int, off64_t, off64_t);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "posix_fallocate64"));
    if (fault::fallocate_failures.load() > 0) {
        fault::fallocate_failures.fetch_sub(1);
        return fault::fallocate_error.load();
    }
    return real(fd, offset, length);
}

namespace {

using kelparine::PlatformHandle;
using kelparine::ShmError;
using kelparine::validate_name;

std::string unique_name() {
    static int counter = 0;
    return "/kelparine-cpp-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

// Disarms every fault and removes the test's segment, whatever the test did.
class PlatformHandleTest : public ::testing::Test {
protected:
    void TearDown() override {
        fault::errno_after_unlink = 0;
        fault::fallocate_failures = 0;
        fault::fallocate_error = 0;
        ::shm_unlink(name_.c_str());
    }
    bool exists() const {
        struct stat st {};
        return ::stat(("/dev/shm" + name_).c_str(), &st) == 0;
    }
    std::int64_t file_size() const {
        struct stat st {};
        return ::stat(("/dev/shm" + name_).c_str(), &st) == 0 ? st.st_size : -1;
    }
    const std::string name_ = unique_name();
    kelparine::wait::NoHooks hooks_;
};

TEST(ValidateName, Rule) {
    const std::string start = "name must start with '/' (e.g. \"/my_segment\")";
    const std::string after = "name must have at least one character after '/'";
    const std::pair<std::string_view, std::string> rejected[] = {
        {"", start}, {"seg", start}, {"a/", start}, {std::string_view("\0/a", 3), start}, {"/", after},
    };
    for (const auto& [name, message] : rejected) {
        const auto result = validate_name(name);
        ASSERT_FALSE(result) << name;
        EXPECT_EQ(result.error().kind(), ShmError::Kind::InvalidArgument);
        EXPECT_EQ(result.error().message(), message);
    }
    // Everything else is the system's to judge, NUL included.
    for (std::string_view name : {std::string_view("/a"), std::string_view("/a/b"), std::string_view("//"),
                                  std::string_view("/\0", 2), std::string_view("/a\0b", 4)}) {
        EXPECT_TRUE(validate_name(name)) << name;
    }
}

TEST_F(PlatformHandleTest, NulInNameFailsBeforeAnySystemCall) {
    // "/x" is what the system would see after the NUL; it must stay untouched.
    const std::string with_nul = name_ + std::string("\0tail", 5);
    const auto created = PlatformHandle::create(with_nul, 64, hooks_);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().kind(), ShmError::Kind::Os);
    EXPECT_EQ(created.error().message(), "EINVAL: Invalid argument");
    const auto opened = PlatformHandle::open(with_nul);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().message(), "EINVAL: Invalid argument");
    EXPECT_EQ(PlatformHandle::remove(with_nul).error().message(), "EINVAL: Invalid argument");
    EXPECT_FALSE(exists());
}

TEST_F(PlatformHandleTest, FailedSizingReportsItsOwnErrorNotTheCleanUps) {
    // The clean-up (shm_unlink, close) runs after the failure; errno must be taken before it.
    fault::errno_after_unlink = ENOTRECOVERABLE;
    const auto result = PlatformHandle::create(name_, std::uint64_t{1} << 63, hooks_);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "EINVAL: Invalid argument");
    EXPECT_FALSE(exists());
}

TEST_F(PlatformHandleTest, FailedReservationOfANewSegmentRemovesIt) {
    fault::errno_after_unlink = ENOTRECOVERABLE;
    fault::fallocate_error = ENOSPC;
    fault::fallocate_failures = 1;
    const auto result = PlatformHandle::create(name_, 4096, hooks_);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ShmError::Kind::Os);
    EXPECT_EQ(result.error().message(), "ENOSPC: No space left on device");
    EXPECT_FALSE(exists());
}

TEST_F(PlatformHandleTest, FailedReservationOfAnExistingSegmentRestoresIt) {
    auto first = PlatformHandle::create(name_, 4096, hooks_);
    ASSERT_TRUE(first);
    auto mapping = first->map();
    ASSERT_TRUE(mapping);
    std::memcpy(mapping->base() + 4090, "tail!", 5);

    fault::fallocate_error = ENOSPC;
    fault::fallocate_failures = 1;
    const auto grown = PlatformHandle::create(name_, 1 << 20, hooks_);
    ASSERT_FALSE(grown);
    EXPECT_EQ(grown.error().message(), "ENOSPC: No space left on device");
    // Someone else's segment: still there, at its old size, with its bytes.
    EXPECT_EQ(file_size(), 4096);
    EXPECT_EQ(std::memcmp(mapping->base() + 4090, "tail!", 5), 0);
}

TEST_F(PlatformHandleTest, ReservationNotSupportedOrInterruptedIsNotAFailure) {
    fault::fallocate_error = EOPNOTSUPP;  // a file system without fallocate
    fault::fallocate_failures = 1;
    auto unsupported = PlatformHandle::create(name_, 4096, hooks_);
    ASSERT_TRUE(unsupported) << unsupported.error().message();
    EXPECT_EQ(file_size(), 4096);

    fault::fallocate_error = EINTR;  // retried, not reported
    fault::fallocate_failures = 3;
    auto interrupted = PlatformHandle::create(name_, 8192, hooks_);
    ASSERT_TRUE(interrupted) << interrupted.error().message();
    EXPECT_EQ(fault::fallocate_failures.load(), 0);
    EXPECT_EQ(file_size(), 8192);
}

TEST_F(PlatformHandleTest, UnsupportedReservationNeverShrinks) {
    ASSERT_TRUE(PlatformHandle::create(name_, 8192, hooks_));
    fault::fallocate_error = EOPNOTSUPP;
    fault::fallocate_failures = 1;
    auto smaller = PlatformHandle::create(name_, 4096, hooks_);
    ASSERT_TRUE(smaller) << smaller.error().message();
    EXPECT_EQ(smaller->size(), 4096u);
    EXPECT_EQ(file_size(), 8192);
}

// Gives up at the first question, counting how the wait used the caller's lock.
struct StopAtOnce final : kelparine::wait::WaitHooks {
    int released = 0, reacquired = 0, asked = 0;
    void release() noexcept override { ++released; }
    void reacquire() noexcept override { ++reacquired; }
    bool interrupted() noexcept override {
        ++asked;
        return true;
    }
};

TEST_F(PlatformHandleTest, InterruptedWaitForTheSizingLockChangesNothing) {
    ASSERT_TRUE(PlatformHandle::create(name_, 4096, hooks_));
    const int holder = ::shm_open(name_.c_str(), O_RDONLY, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    StopAtOnce stop;
    const auto result = PlatformHandle::create(name_, 8192, stop);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ShmError::Kind::Interrupted);
    EXPECT_EQ(stop.asked, 1);
    EXPECT_EQ(stop.released, stop.reacquired);
    EXPECT_EQ(file_size(), 4096);
    ::close(holder);  // once the lock is free, the create completes
    ASSERT_TRUE(PlatformHandle::create(name_, 8192, hooks_));
    EXPECT_EQ(file_size(), 8192);
}

TEST_F(PlatformHandleTest, MappingsOfTwoHandlesShareBytes) {
    auto creator = PlatformHandle::create(name_, 4096, hooks_);
    ASSERT_TRUE(creator);
    auto opener = PlatformHandle::open(name_);
    ASSERT_TRUE(opener);
    EXPECT_EQ(opener->size(), 4096u);
    EXPECT_EQ(opener->name(), name_);
    EXPECT_NE(opener->fd(), creator->fd());

    auto a = creator->map();
    auto b = opener->map();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->base(), b->base());
    EXPECT_EQ(a->size(), 4096u);
    std::memcpy(a->base() + 4000, "shared", 6);
    EXPECT_EQ(std::memcmp(b->base() + 4000, "shared", 6), 0);

    // A mapping outlives its handle and the name.
    { PlatformHandle gone = std::move(*creator); }
    ASSERT_TRUE(PlatformHandle::remove(name_));
    std::memcpy(b->base(), "later", 5);
    EXPECT_EQ(std::memcmp(a->base(), "later", 5), 0);
    EXPECT_EQ(PlatformHandle::remove(name_).error().message(), "ENOENT: No such file or directory");
}

TEST_F(PlatformHandleTest, OpenOfANeverSizedSegment) {
    const int fd = ::shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    auto handle = PlatformHandle::open(name_);
    ASSERT_TRUE(handle) << handle.error().message();
    EXPECT_EQ(handle->size(), 0u);
    EXPECT_GE(handle->fd(), 0);
}

TEST_F(PlatformHandleTest, OpenOfAMissingSegment) {
    const auto result = PlatformHandle::open(name_);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ShmError::Kind::Os);
    EXPECT_EQ(result.error().message(), "ENOENT: No such file or directory");
    EXPECT_FALSE(exists());
}

}  // namespace
