// Swapping primitives and the typed conversion of resource data.
#include <algorithm>
#include <gtest/gtest.h>

#include "testkit.h"

namespace {

// Every known type with the width of its array elements, 0 for records.
const std::pair<const char*, size_t> all_types[] = {
    {"SHRT", 2}, {"USHT", 2}, {"APPF", 4}, {"BPNT", 4}, {"FLOT", 4}, {"LONG", 4},
    {"RECT", 4}, {"SIZT", 4}, {"SSZT", 4}, {"TIME", 4}, {"ULNG", 4}, {"DBLE", 8},
    {"LLNG", 8}, {"OFFT", 8}, {"ULLG", 8}, {"MSNG", 0}, {"APPV", 0}, {"RREF", 0}};

uint32_t code(const char* s)
{
    return type_code({s[0], s[1], s[2], s[3], 0});
}

TEST(swap, primitives_reverse_in_place)
{
    bytes b = hex("01 02 03 04 05 06 07 08");
    swap16(b.data());
    swap32(b.data() + 2);
    EXPECT_EQ(b, hex("02 01 06 05 04 03 07 08"));
    swap64(b.data());
    EXPECT_EQ(b, hex("08 07 03 04 05 06 01 02"));
}

struct shape_case {
    const char* type;
    std::string in, out;
    int result;
};

// 320 bytes of record text, 01 23 45 67 89 AB CD EF repeated.
const std::string text = [] {
    std::string t;
    for (int i = 0; i < 40; ++i)
        t += "0123456789ABCDEF";
    return t;
}();

// A trailing element or record that does not fit is left as it is.
const shape_case shape_cases[] = {
    {"APPV", "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13" + text + "AA BB",
     "03 02 01 00 07 06 05 04 0B 0A 09 08 0F 0E 0D 0C 13 12 11 10" + text + "AA BB", 1},
    {"LONG", "01 02 03 04 05 06 07 08", "04 03 02 01 08 07 06 05", 1},
    {"SHRT", "01 02 03 04", "02 01 04 03", 1},
    {"DBLE", "01 02 03 04 05 06 07 08", "08 07 06 05 04 03 02 01", 1},
    {"RREF", "00 00 00 01 00 00 00 00 00 00 00 02 61 00 00 00 00 03 00 00 00 00 00 00 00 04 62 63 00",
     "01 00 00 00 02 00 00 00 00 00 00 00 61 00 03 00 00 00 04 00 00 00 00 00 00 00 62 63 00", 1},
    {"LONG", "01 02 03 04 05 06", "04 03 02 01 05 06", 1},
    {"MSNG", "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A",
     "04 03 02 01 08 07 06 05 0C 0B 0A 09 10 0F 0E 0D 14 13 12 11 15 16 17 18 19 1A", 1},
    {"RREF", "00 00 00 01 00 00 00 00 00 00 00 02 61 00 00 00 00 03 00 00 00 00 00 00 00 04 62",
     "01 00 00 00 02 00 00 00 00 00 00 00 61 00 00 00 00 03 00 00 00 00 00 00 00 04 62", 1},
    {"RREF", "00 00 00 01 00 00", "00 00 00 01 00 00", 1},
    {"LONG", "", "", 1},
    {"CSTR", "01 02 03 04", "01 02 03 04", 0},
    {"MIMS", "01 02 03 04 05 06 07 08", "01 02 03 04 05 06 07 08", 0},
};

// Four guard bytes on each side must stay as they are.
TEST(swap_resource_data, converts_each_shape_within_its_length)
{
    const std::string guard = " A5 A5 A5 A5 ";
    for (const auto& c : shape_cases) {
        bytes buf = hex(guard + c.in + guard);
        EXPECT_EQ(swap_resource_data(code(c.type), buf.data() + 4, int32_t(buf.size() - 8)),
                  c.result);
        EXPECT_EQ(buf, hex(guard + c.out + guard)) << c.type << " " << c.in.substr(0, 40);
    }
}

// Arrays reverse each whole element; every shape is its own inverse, whole or
// cut anywhere. The exact-size buffers let the sanitizers see a stray read.
TEST(swap_resource_data, twice_restores_every_shape)
{
    for (auto [type, width] : all_types)
        for (size_t length : {0, 1, 3, 6, 13, 24, 27, 100, 340, 347, 700}) {
            bytes data(length);
            for (size_t i = 0; i < length; ++i)
                data[i] = i % 9 == 5 ? 0 : uint8_t(i * 13 + 1);
            bytes b = data, expected = data;
            for (size_t at = 0; width > 0 && at + width <= length; at += width)
                std::reverse(expected.begin() + long(at), expected.begin() + long(at + width));
            EXPECT_EQ(swap_resource_data(code(type), b.data(), int32_t(length)), 1);
            if (width > 0) {
                EXPECT_EQ(b, expected) << type << " " << length;
            } else if (length >= 340) {
                EXPECT_NE(b, data) << type;
            }
            swap_resource_data(code(type), b.data(), int32_t(length));
            EXPECT_EQ(b, data) << type << " " << length;
        }
}

} // namespace
