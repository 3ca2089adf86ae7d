// Which other processes map a file, as far as /proc shows. The one way to see a program that
// follows a segment's layout without taking part in presence (presence/lock_bytes.hpp): it
// holds no lock byte, but its mapping is listed in /proc/<pid>/maps.
//
// "As far as /proc shows": processes whose maps this process may not read (another user's,
// without the privilege), processes outside the PID namespace of the mounted /proc, and
// processes that end during the scan are not seen. Callers treat a mapper found as a live
// user of the segment and the absence of one as evidence only.
#pragma once

#include <sys/types.h>

#include "file_id.hpp"

namespace kelparine {

struct MappedBy {
    bool known;  // false: /proc could not be listed, so nothing is known
    pid_t pid;   // a process other than this one with a mapping of the file; 0 if none shows
};

// Reads /proc/<pid>/maps of every process /proc lists, this one excepted, and stops at the
// first that maps `file`. Costs one open and a read of each process's maps: not for hot paths.
MappedBy other_process_mapping(FileId file) noexcept;

}  // namespace kelparine
