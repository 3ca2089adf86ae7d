// Presence and roles between real processes: what one process holds, another sees, and the
// kernel takes it away when the holder ends, SIGKILL included.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/platform/unix/owned_fd.hpp"
#include "core/presence/presence.hpp"

using namespace kelparine;
using presence::LockKind;
using presence::Presence;
using presence::Role;
using presence::RoleHold;

namespace {

OwnedFd segment_file() {
    return OwnedFd(::memfd_create("presence-test", MFD_CLOEXEC));
}

// A child that takes presence (and `role`, if asked), signals through `ready`, then waits to
// be killed.
pid_t present_child(int fd, int ready, bool take_role, LockKind kind = LockKind::Shared) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    Presence::after_fork_in_child();
    Presence mine = Presence::take(fd);
    RoleHold role;
    if (take_role) (void)mine.take_role(Role::Producer, kind, role);
    char byte = 1;
    (void)::write(ready, &byte, 1);
    for (;;) ::pause();
}

void wait_ready(int ready) {
    char byte = 0;
    ASSERT_EQ(::read(ready, &byte, 1), 1);
}

}  // namespace

TEST(Presence, OtherProcessesAreSeenUntilTheKernelEndsThem) {
    OwnedFd fd = segment_file();
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    Presence mine = Presence::take(fd.get());
    Presence second = Presence::take(fd.get());  // objects of one process share one description
    ASSERT_TRUE(mine.known());
    EXPECT_EQ(mine.others_present(), false);
    EXPECT_EQ(mine.role_held(Role::Producer), false);

    const pid_t child = present_child(fd.get(), pipe_fds[1], true);
    wait_ready(pipe_fds[0]);
    EXPECT_EQ(mine.others_present(), true);
    EXPECT_EQ(mine.role_held(Role::Producer), true);
    EXPECT_EQ(mine.role_held(Role::Consumer), false);
    // A shared role is shared; an exclusive claim is refused while another process holds it.
    RoleHold shared, exclusive;
    EXPECT_EQ(mine.take_role(Role::Producer, LockKind::Shared, shared).value(), Presence::Taking::Taken);
    EXPECT_EQ(mine.take_role(Role::Producer, LockKind::Exclusive, exclusive).value(),
              Presence::Taking::HeldElsewhere);
    shared.release();

    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(mine.others_present(), false);
    EXPECT_EQ(mine.role_held(Role::Producer), false);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
}

TEST(Presence, AnExclusiveRoleRefusesOtherProcessesAndEndsWithItsLastHolder) {
    OwnedFd fd = segment_file();
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    Presence mine = Presence::take(fd.get());
    const pid_t child = present_child(fd.get(), pipe_fds[1], true, LockKind::Exclusive);
    wait_ready(pipe_fds[0]);
    RoleHold hold;
    EXPECT_EQ(mine.take_role(Role::Producer, LockKind::Shared, hold).value(), Presence::Taking::HeldElsewhere);
    EXPECT_FALSE(hold.held());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(mine.take_role(Role::Producer, LockKind::Exclusive, hold).value(), Presence::Taking::Taken);
    EXPECT_TRUE(mine.holds_exclusively(Role::Producer));
    hold.release();
    EXPECT_FALSE(mine.holds_exclusively(Role::Producer));
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
}

// A forked child does not keep its parent's locks: once the parent is gone, another process
// sees the child present but not the role the parent held.
TEST(Presence, AForkedChildHoldsItsOwnPresenceNotItsParents) {
    OwnedFd fd = segment_file();
    int to_parent[2], to_test[2];
    ASSERT_EQ(::pipe(to_parent), 0);
    ASSERT_EQ(::pipe(to_test), 0);
    const pid_t parent = ::fork();
    if (parent == 0) {
        Presence::after_fork_in_child();
        Presence mine = Presence::take(fd.get());
        RoleHold role;
        (void)mine.take_role(Role::Consumer, LockKind::Shared, role);
        const pid_t child = ::fork();
        if (child == 0) {
            Presence::after_fork_in_child();
            char byte = role.held() ? 0 : 1;  // roles are not inherited
            (void)::write(to_parent[1], &byte, 1);
            for (;;) ::pause();
        }
        char byte = 0;
        (void)::read(to_parent[0], &byte, 1);
        (void)::write(to_test[1], &byte, 1);
        (void)::write(to_test[1], &child, sizeof child);
        ::_exit(0);
    }
    char not_inherited = 0;
    pid_t child = 0;
    ASSERT_EQ(::read(to_test[0], &not_inherited, 1), 1);
    ASSERT_EQ(::read(to_test[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
    ::waitpid(parent, nullptr, 0);
    EXPECT_EQ(not_inherited, 1);
    Presence observer = Presence::take(fd.get());
    EXPECT_EQ(observer.others_present(), true);                 // the child
    EXPECT_EQ(observer.role_held(Role::Consumer), false);       // the dead parent's role is gone
    ::kill(child, SIGKILL);
    for (int i = 0; i < 1000 && observer.others_present() == true; ++i) ::usleep(1000);
    EXPECT_EQ(observer.others_present(), false);
    for (int fd_ : {to_parent[0], to_parent[1], to_test[0], to_test[1]}) ::close(fd_);
}
