// Reading a single number out of a buffer element by its format: every code and byte order,
// widths from the exporter's itemsize, binary16 conversion, and what is not a number.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "core/codec/buffer_format.hpp"

namespace kelparine {
namespace {

std::vector<std::byte> bytes(std::initializer_list<unsigned> values) {
    std::vector<std::byte> out;
    for (unsigned v : values) out.push_back(static_cast<std::byte>(v));
    return out;
}

template <class T>
std::vector<std::byte> native(T value) {
    std::vector<std::byte> out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

TEST(SingleNumber, IntegersTakeTheirWidthFromTheItemAndSignExtend) {
    struct Case {
        const char* format;
        std::vector<std::byte> item;
        Scalar::Kind kind;
        std::int64_t expected;  // as signed, or the unsigned value's bits
    };
    const Case cases[] = {
        {"b", bytes({0xFE}), Scalar::Kind::Signed, -2},
        {"B", bytes({0xFE}), Scalar::Kind::Unsigned, 254},
        {"<h", bytes({0x00, 0x80}), Scalar::Kind::Signed, -32768},
        {">h", bytes({0x80, 0x00}), Scalar::Kind::Signed, -32768},
        {"!H", bytes({0x01, 0x02}), Scalar::Kind::Unsigned, 0x0102},
        {"=l", bytes({0xFF, 0xFF, 0xFF, 0xFF}), Scalar::Kind::Signed, -1},  // standard size: 4
        {"l", native<long>(-7), Scalar::Kind::Signed, -7},                   // native size: 8
        {">q", bytes({0x80, 0, 0, 0, 0, 0, 0, 0}), Scalar::Kind::Signed, INT64_MIN},
        {"Q", bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), Scalar::Kind::Unsigned, -1},
        {"@n", native<std::int64_t>(5), Scalar::Kind::Signed, 5},
    };
    for (const Case& c : cases) {
        const auto number = single_number(c.format, c.item);
        ASSERT_TRUE(number) << c.format;
        EXPECT_EQ(number->kind, c.kind) << c.format;
        EXPECT_EQ(number->i, c.expected) << c.format;
    }
}

TEST(SingleNumber, FloatsOfEveryWidthAndOrder) {
    auto as_double = [](const char* format, std::vector<std::byte> item) {
        const auto number = single_number(format, item);
        EXPECT_TRUE(number && number->kind == Scalar::Kind::Float) << format;
        return number ? number->f : 0.0;
    };
    EXPECT_EQ(as_double("f", native(0.1f)), static_cast<double>(0.1f));
    EXPECT_EQ(as_double(">d", bytes({0x3F, 0xF8, 0, 0, 0, 0, 0, 0})), 1.5);
    EXPECT_EQ(as_double("g", native(0.1L)), static_cast<double>(0.1L));
    EXPECT_EQ(as_double("e", bytes({0x00, 0x3C})), 1.0);
    EXPECT_EQ(as_double(">e", bytes({0xC1, 0x00})), -2.5);
    EXPECT_EQ(as_double("e", bytes({0x01, 0x00})), std::ldexp(1.0, -24));  // smallest subnormal
    EXPECT_EQ(as_double("e", bytes({0xFF, 0x7B})), 65504.0);              // largest finite
    EXPECT_EQ(as_double("e", bytes({0x00, 0xFC})), -INFINITY);
    const double negative_zero = as_double("e", bytes({0x00, 0x80}));
    EXPECT_TRUE(negative_zero == 0.0 && std::signbit(negative_zero));
    // A NaN keeps its sign and payload, shifted into the wider fraction.
    EXPECT_EQ(std::bit_cast<std::uint64_t>(as_double("e", bytes({0x01, 0xFE}))), 0xFFF8040000000000u);
}

TEST(SingleNumber, BoolIsAnyNonzeroByte) {
    EXPECT_FALSE(single_number("?", bytes({0}))->b);
    EXPECT_TRUE(single_number("?", bytes({2}))->b);
    EXPECT_EQ(single_number("<?", bytes({1}))->kind, Scalar::Kind::Boolean);
}

TEST(SingleNumber, AnythingElseIsNotANumber) {
    struct Case {
        const char* format;
        std::vector<std::byte> item;
    };
    const Case cases[] = {
        {"", bytes({1})},           {"2b", bytes({1, 2})},        {"c", bytes({'x'})},
        {"s", bytes({'x'})},        {"P", native<void*>(nullptr)}, {"O", native<void*>(nullptr)},
        {"Zf", native(1.0)},        {"T{i:a:}", native(1)},        {"?", bytes({1, 0})},
        {"i", bytes({1, 2, 3})},    {"q", std::vector<std::byte>(16)}, {"d", native(1.0f)},
        {"f", native(1.0)},         {"<g", native(1.0L)},          {"g", native(1.0)},
        {"<<i", native(1)},         {"x", bytes({0})},
    };
    for (const Case& c : cases) EXPECT_FALSE(single_number(c.format, c.item)) << c.format;
}

TEST(FormatHasObjects, FindsObjectCodesOutsideFieldNames) {
    for (const char* format : {"O", "<O", "2O", "T{i:a:O:b:}", "(2,2)O"}) EXPECT_TRUE(format_has_objects(format)) << format;
    for (const char* format : {"", "B", "T{i:Other:}", "T{d:OO:}", "Zd"}) EXPECT_FALSE(format_has_objects(format)) << format;
}

}  // namespace
}  // namespace kelparine
