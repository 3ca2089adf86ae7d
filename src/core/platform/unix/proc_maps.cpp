#include "proc_maps.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "owned_fd.hpp"

namespace kelparine {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

// A pid from a /proc entry name; 0 for the other entries ("self", "sys", ...).
pid_t pid_of(const char* name) noexcept {
    long pid = 0;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || pid > (INT_MAX - 9) / 10) return 0;
        pid = pid * 10 + (*c - '0');
    }
    return static_cast<pid_t>(pid);
}

// This process as the mounted /proc numbers it, which is not getpid() when /proc belongs to
// another PID namespace.
pid_t self_in_proc() noexcept {
    char link[32];
    const ssize_t length = ::readlink("/proc/self", link, sizeof link - 1);
    if (length > 0) {
        link[length] = '\0';
        if (const pid_t pid = pid_of(link); pid != 0) return pid;
    }
    return ::getpid();
}

// The number at `p` in `base`, followed by `separator` (or the end of the line when that is
// '\0'); the position after the separator, or nullptr.
const char* number(const char* p, const char* end, int base, char separator, unsigned long long& out) noexcept {
    const auto [next, error] = std::from_chars(p, end, out, base);
    if (error != std::errc()) return nullptr;
    if (next == end) return separator == '\0' ? next : nullptr;
    return *next == separator || (separator == '\0' && *next == ' ') ? next + 1 : nullptr;
}

// Whether one line of a maps file, "start-end perms offset major:minor inode   path" (device
// numbers in hex, the inode in decimal), is a mapping of `file`.
bool maps_file_line(const char* line, const char* end, FileId file) noexcept {
    const char* p = line;
    for (int field = 0; field < 3; ++field) {  // the address range, the permissions, the offset
        p = static_cast<const char*>(std::memchr(p, ' ', static_cast<std::size_t>(end - p)));
        if (p == nullptr) return false;
        ++p;
    }
    unsigned long long major_no = 0, minor_no = 0, inode = 0;
    if ((p = number(p, end, 16, ':', major_no)) == nullptr) return false;
    if ((p = number(p, end, 16, ' ', minor_no)) == nullptr) return false;
    if (number(p, end, 10, '\0', inode) == nullptr) return false;
    return inode == file.inode && major_no == ::major(file.device) && minor_no == ::minor(file.device);
}

// Whether /proc/<pid>/maps lists a mapping of `file`; false when it cannot be read.
bool process_maps(pid_t pid, FileId file) noexcept {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/maps", static_cast<int>(pid));
    const OwnedFd maps(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (maps.get() < 0) return false;
    // Small: this may run on a thread with a small stack. A longer line (a long path name)
    // only loses its tail, and the fields that matter come first.
    char buffer[4096];
    std::size_t have = 0;
    bool in_long_line = false;  // the current line's start has been looked at already
    for (;;) {
        const ssize_t got = ::read(maps.get(), buffer + have, sizeof buffer - have);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // end, or the process ended meanwhile
        have += static_cast<std::size_t>(got);
        const char* start = buffer;
        const char* const end = buffer + have;
        while (const char* newline = static_cast<const char*>(std::memchr(start, '\n', static_cast<std::size_t>(end - start)))) {
            if (!in_long_line && maps_file_line(start, newline, file)) return true;
            in_long_line = false;
            start = newline + 1;
        }
        have = static_cast<std::size_t>(end - start);
        if (have == sizeof buffer) {
            if (!in_long_line && maps_file_line(buffer, end, file)) return true;
            in_long_line = true;
            have = 0;
        } else if (start != buffer) {
            std::memmove(buffer, start, have);
        }
    }
    return have > 0 && !in_long_line && maps_file_line(buffer, buffer + have, file);
}

}  // namespace

MappedBy other_process_mapping(FileId file) noexcept {
    const std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
    if (!proc) return {false, 0};
    const pid_t self = self_in_proc();
    while (const dirent* entry = ::readdir(proc.get())) {
        const pid_t pid = pid_of(entry->d_name);
        if (pid == 0 || pid == self) continue;
        if (process_maps(pid, file)) return {true, pid};
    }
    return {true, 0};
}

}  // namespace kelparine
