// The /proc scan for other processes' mappings of a file, with a real child process mapping a
// memfd: seen while it maps it, not before and not after it ends; this process never counts.
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/platform/unix/owned_fd.hpp"
#include "core/platform/unix/proc_maps.hpp"

using namespace kelparine;

namespace {

FileId id_of(int fd) {
    struct stat st {};
    EXPECT_EQ(::fstat(fd, &st), 0);
    return FileId{st.st_dev, st.st_ino};
}

}  // namespace

TEST(ProcMaps, FindsAnotherProcessMappingTheFileUntilItEnds) {
    const OwnedFd file(::memfd_create("proc-maps-test", MFD_CLOEXEC));
    const OwnedFd other(::memfd_create("proc-maps-other", MFD_CLOEXEC));  // same file system
    ASSERT_EQ(::ftruncate(file.get(), 4096), 0);
    void* mine = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, file.get(), 0);  // never counted
    ASSERT_NE(mine, MAP_FAILED);
    const MappedBy before = other_process_mapping(id_of(file.get()));
    ASSERT_TRUE(before.known);
    EXPECT_EQ(before.pid, 0);

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {  // maps the file afresh, says so, and waits to be killed
        char mapped = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, file.get(), 0) != MAP_FAILED;
        (void)::write(ready[1], &mapped, 1);
        for (;;) ::pause();
    }
    ASSERT_GT(child, 0);
    char mapped = 0;
    ASSERT_EQ(::read(ready[0], &mapped, 1), 1);
    ASSERT_EQ(mapped, 1);
    // The child inherited this process's mapping too; `other` is mapped by nobody.
    EXPECT_EQ(other_process_mapping(id_of(file.get())).pid, child);
    EXPECT_EQ(other_process_mapping(id_of(other.get())).pid, 0);

    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(other_process_mapping(id_of(file.get())).pid, 0);
    ::munmap(mine, 4096);
    ::close(ready[0]);
    ::close(ready[1]);
}
