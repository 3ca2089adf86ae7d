// A file's identity: the device and inode that fstat reports and /proc/<pid>/maps lists for
// each mapping. Two descriptors, or two mappings, are of one segment exactly when these match.
#pragma once

#include <sys/types.h>

namespace kelparine {

struct FileId {
    dev_t device;
    ino_t inode;
    friend bool operator==(const FileId&, const FileId&) = default;
};

}  // namespace kelparine
