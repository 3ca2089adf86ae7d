// Error-number texts: every row against the kernel's own errno headers, read at test time, so
// a transcription slip in the table (a swapped row, a typo, a C-library wording) shows up.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <utility>

#include "core/error.hpp"

namespace {

using kelparine::ShmError;

const char* const kBaseHeader = "/usr/include/asm-generic/errno-base.h";
const char* const kHeader = "/usr/include/asm-generic/errno.h";
const std::string kUnknown = "UnknownErrno: Unknown errno";

// number -> (name, comment) for every "#define Ename <number> /* comment */" line. Aliases
// defined by name (EWOULDBLOCK EAGAIN, EDEADLOCK EDEADLK) have no number and are skipped.
using Rows = std::map<int, std::pair<std::string, std::string>>;

bool parse_header(const char* path, Rows& rows) {
    std::ifstream in(path);
    if (!in) return false;
    static const std::regex define(R"(^#define\s+(E[A-Z0-9]+)\s+([0-9]+)\s*/\*\s*(.*?)\s*\*/\s*$)");
    std::string line;
    std::smatch match;
    while (std::getline(in, line)) {
        if (std::regex_match(line, match, define)) {
            const int number = std::stoi(match[2].str());
            EXPECT_TRUE(rows.emplace(number, std::make_pair(match[1].str(), match[3].str())).second)
                << "number " << number << " defined twice in " << path;
        }
    }
    return true;
}

class ErrnoTable : public ::testing::Test {
protected:
    void SetUp() override {
        Rows base;
        if (!parse_header(kBaseHeader, base) || !parse_header(kHeader, rows_)) {
            GTEST_SKIP() << "kernel errno headers not installed";
        }
        ASSERT_EQ(base.size(), 34u);
        ASSERT_EQ(base.begin()->first, 1);
        ASSERT_EQ(base.rbegin()->first, 34);
        rows_.merge(base);
        ASSERT_EQ(rows_.size(), 131u);  // 1..133 without 41 and 58
    }
    Rows rows_;
};

TEST_F(ErrnoTable, EveryNumberMatchesTheKernelHeaders) {
    for (int number = 1; number <= 133; ++number) {
        const auto row = rows_.find(number);
        if (row == rows_.end()) {
            EXPECT_EQ(ShmError::errno_text(number), kUnknown) << number;
            continue;
        }
        // The one deliberate departure: the generic header calls 38 "Invalid system call number"
        // (its meaning for the syscall table), but file systems and libraries use it for
        // "not supported here", which is what a user of this module meets.
        const std::string description = number == ENOSYS ? "Function not implemented" : row->second.second;
        EXPECT_EQ(ShmError::errno_text(number), row->second.first + ": " + description) << number;
    }
}

TEST_F(ErrnoTable, TheHeadersAgreeWithTheCLibraryNumbering) {
    // Guards the parsing itself: the numbers the module is compiled against are the same.
    EXPECT_EQ(rows_.at(ENOENT).first, "ENOENT");
    EXPECT_EQ(rows_.at(EAGAIN).first, "EAGAIN");
    EXPECT_EQ(rows_.at(EHWPOISON).first, "EHWPOISON");
}

TEST(ErrnoText, NumbersWithoutARow) {
    for (int number : {0, -1, -2, 41, 58, 134, 135, 1000, INT_MIN, INT_MAX}) {
        EXPECT_EQ(ShmError::errno_text(number), kUnknown) << number;
    }
}

TEST(ErrnoText, NumbersWithTwoNamesShowTheTableName) {
    EXPECT_EQ(ShmError::errno_text(EWOULDBLOCK), "EAGAIN: Try again");
    EXPECT_EQ(ShmError::errno_text(EDEADLOCK), "EDEADLK: Resource deadlock would occur");
    EXPECT_EQ(ShmError::errno_text(ENOTSUP), "EOPNOTSUPP: Operation not supported on transport endpoint");
}

TEST(ErrnoText, TellingRows) {
    const std::pair<int, const char*> rows[] = {
        {2, "ENOENT: No such file or directory"},
        {4, "EINTR: Interrupted system call"},
        {9, "EBADF: Bad file number"},
        {11, "EAGAIN: Try again"},
        {12, "ENOMEM: Out of memory"},
        {13, "EACCES: Permission denied"},
        {17, "EEXIST: File exists"},
        {22, "EINVAL: Invalid argument"},
        {23, "ENFILE: File table overflow"},
        {24, "EMFILE: Too many open files"},
        {25, "ENOTTY: Not a typewriter"},
        {28, "ENOSPC: No space left on device"},
        {36, "ENAMETOOLONG: File name too long"},
        {38, "ENOSYS: Function not implemented"},
        {40, "ELOOP: Too many symbolic links encountered"},
        {73, "EDOTDOT: RFS specific error"},
        {81, "ELIBSCN: .lib section in a.out corrupted"},
        {95, "EOPNOTSUPP: Operation not supported on transport endpoint"},
    };
    for (const auto& [number, text] : rows) EXPECT_EQ(ShmError::errno_text(number), text) << number;
}

TEST(ErrnoText, TableHas131Rows) {
    int rows = 0;
    for (int number = -10; number <= 300; ++number) rows += ShmError::errno_text(number) != kUnknown;
    EXPECT_EQ(rows, 131);
}

TEST(ShmErrorValue, OsReadsErrnoOnce) {
    errno = EACCES;
    const ShmError error = ShmError::os_from_errno();
    EXPECT_EQ(error.kind(), ShmError::Kind::Os);
    EXPECT_EQ(error.message(), "EACCES: Permission denied");
}

TEST(ShmErrorValue, InvalidArgumentKeepsItsMessage) {
    const ShmError error = ShmError::invalid_argument("size must be > 0");
    EXPECT_EQ(error.kind(), ShmError::Kind::InvalidArgument);
    EXPECT_EQ(error.message(), "size must be > 0");
}

}  // namespace
