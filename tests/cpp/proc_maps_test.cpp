// The /proc scan for other processes' mappings of a file, with a real child process mapping a
// memfd: seen while it maps it, not before and not after it ends; this process is never counted.
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

struct File {
    OwnedFd fd;
    FileId id;
};

File memfd_file(const char* name) {
    File file{OwnedFd(::memfd_create(name, MFD_CLOEXEC)), {}};
    EXPECT_GE(file.fd.get(), 0);
    EXPECT_EQ(::ftruncate(file.fd.get(), 4096), 0);
    struct stat st {};
    EXPECT_EQ(::fstat(file.fd.get(), &st), 0);
    file.id = FileId{st.st_dev, st.st_ino};
    return file;
}

// A child that maps `fd`, signals through `ready`, then waits to be killed.
pid_t mapping_child(int fd, int ready) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    void* memory = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    char byte = memory == MAP_FAILED ? 0 : 1;
    (void)::write(ready, &byte, 1);
    for (;;) ::pause();
}

}  // namespace

TEST(ProcMaps, FindsAnotherProcessMappingTheFileUntilItEnds) {
    File mapped = memfd_file("proc-maps-test");
    File other = memfd_file("proc-maps-other");
    MappedBy before = other_process_mapping(mapped.id);
    ASSERT_TRUE(before.known);
    EXPECT_EQ(before.pid, 0);

    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = mapping_child(mapped.fd.get(), pipe_fds[1]);
    ASSERT_GT(child, 0);
    char byte = 0;
    ASSERT_EQ(::read(pipe_fds[0], &byte, 1), 1);
    ASSERT_EQ(byte, 1);
    EXPECT_EQ(other_process_mapping(mapped.id).pid, child);
    EXPECT_EQ(other_process_mapping(other.id).pid, 0);  // another file of the same file system

    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(other_process_mapping(mapped.id).pid, 0);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
}

TEST(ProcMaps, ThisProcessIsNotCounted) {
    File mapped = memfd_file("proc-maps-self");
    void* memory = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, mapped.fd.get(), 0);
    ASSERT_NE(memory, MAP_FAILED);
    const MappedBy found = other_process_mapping(mapped.id);
    EXPECT_TRUE(found.known);
    EXPECT_EQ(found.pid, 0);
    ::munmap(memory, 4096);
}
