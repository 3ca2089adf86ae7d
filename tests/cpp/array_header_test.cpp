// The array message's header: the padding puts the data 64-byte aligned in the mapping for
// every frame position, the version follows the dict, and what is written reads back.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/codec/array_header.hpp"

namespace kelparine::array_message {
namespace {

std::string written(const Header& header, std::string_view dict) {
    std::string out(header.size, '\0');
    write(header, dict, reinterpret_cast<std::byte*>(out.data()));
    return out;
}

std::span<const std::byte> bytes_of(const std::string& text) {
    return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

TEST(ArrayHeader, DataIsAlignedInTheMappingWhereverTheFrameFalls) {
    const std::string dict = dict_text("'<f4'", false, std::vector<std::uint64_t>{1000, 1000});
    for (std::uint64_t capacity : {std::uint64_t{128}, std::uint64_t{4096}, std::uint64_t{1} << 25}) {
        for (std::uint64_t frame = 0; frame < 3 * capacity; frame += 7) {
            const std::uint64_t at = payload_offset(frame, capacity);
            const Header header = plan(dict.size(), true, at);
            EXPECT_EQ((at + header.size) % kAlignment, 0u) << "frame " << frame << " capacity " << capacity;
            EXPECT_LE(header.size, largest_header(dict.size(), true));
            EXPECT_GT(header.size + kAlignment, largest_header(dict.size(), true));
        }
    }
}

TEST(ArrayHeader, VersionFollowsTheDict) {
    struct Case {
        std::uint64_t dict_size;
        bool ascii;
        std::uint8_t major;
        std::uint64_t prefix;
    };
    const Case cases[] = {
        {60, true, 1, kShortPrefix},
        {kLargestShortDict, true, 1, kShortPrefix},
        {kLargestShortDict + 1, true, 2, kLongPrefix},
        {60, false, 3, kLongPrefix},
    };
    for (const Case& c : cases) {
        const Header header = plan(c.dict_size, c.ascii, 40);
        EXPECT_EQ(header.major, c.major) << c.dict_size;
        EXPECT_EQ(header.prefix, c.prefix) << c.dict_size;
        EXPECT_LE(header.size - header.prefix, c.major == 1 ? 0xFFFFu : 0xFFFFFFFFu);
    }
}

TEST(ArrayHeader, WhatIsWrittenReadsBack) {
    for (const std::string& dict : {dict_text("'|b1'", true, std::vector<std::uint64_t>{}),
                                    std::string(kLargestShortDict + 5, 'x')}) {
        const Header header = plan(dict.size(), true, 24 + 4);
        const std::string text = written(header, dict) + "DATA";
        auto read = read_prefix(bytes_of(text), text.size());
        ASSERT_TRUE(read) << read.error().message();
        EXPECT_EQ(read->major, header.major);
        EXPECT_EQ(read->size, header.size);
        EXPECT_EQ(text.substr(read->size), "DATA");
        auto found = dict_of(std::string_view(text).substr(read->prefix, read->size - read->prefix));
        ASSERT_TRUE(found);
        EXPECT_EQ(*found, dict);
    }
}

TEST(ArrayHeader, DictIsNumPysOwn) {
    EXPECT_EQ(dict_text("'<f8'", false, std::vector<std::uint64_t>{3}),
              "{'descr': '<f8', 'fortran_order': False, 'shape': (3,), }");
    EXPECT_EQ(dict_text("'>i2'", true, std::vector<std::uint64_t>{2, 0, 5}),
              "{'descr': '>i2', 'fortran_order': True, 'shape': (2, 0, 5), }");
    EXPECT_EQ(dict_text("'<M8[ns]'", false, std::vector<std::uint64_t>{}),
              "{'descr': '<M8[ns]', 'fortran_order': False, 'shape': (), }");
}

TEST(ArrayHeader, NotAnArrayMessageIsRefused) {
    const std::string good = written(plan(10, true, 28), "{'a': 1, }");
    struct Case {
        std::string payload;
        const char* says;
    };
    std::string v4 = good;
    v4[6] = '\x04';
    std::string truncated = good.substr(0, 20);
    std::string no_newline = good;
    no_newline.back() = ' ';
    const Case cases[] = {
        {"", "magic"},
        {"\x93NUMP", "magic"},
        {"hello, world: not an array", "magic"},
        {v4, "version 4.0"},
        {truncated, "runs past"},
    };
    for (const Case& c : cases) {
        auto read = read_prefix(bytes_of(c.payload), c.payload.size());
        ASSERT_FALSE(read) << c.payload;
        EXPECT_EQ(read.error().kind(), ShmError::Kind::InvalidArgument);
        EXPECT_NE(read.error().message().find(c.says), std::string::npos) << read.error().message();
        EXPECT_EQ(read.error().message().rfind("not an array message: ", 0), 0u);
    }
    auto header = read_prefix(bytes_of(no_newline), no_newline.size());
    ASSERT_TRUE(header);
    EXPECT_FALSE(dict_of(std::string_view(no_newline).substr(header->prefix, header->size - header->prefix)));
}

TEST(ArrayHeader, DataSizeChecksOverflowAndEmptyExtents) {
    EXPECT_EQ(data_size(4, std::vector<std::uint64_t>{1000, 1000}), 4000000u);
    EXPECT_EQ(data_size(8, std::vector<std::uint64_t>{}), 8u);
    EXPECT_EQ(data_size(8, std::vector<std::uint64_t>{UINT64_MAX, 0}), 0u);
    EXPECT_EQ(data_size(8, std::vector<std::uint64_t>{UINT64_MAX / 4}), std::nullopt);
}

}  // namespace
}  // namespace kelparine::array_message
