// What the reader and the printer of the text form share: the number
// keywords of data lines, the array types printed with them, and UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>

#include "byteorder/byteorder.h"

enum class number_kind : uint8_t { int16, uint16, int32, uint32, int64, uint64, float32, float64 };

struct number_form {
    const char* keyword;
    uint8_t width; // bytes of one value
};

// Indexed by number_kind.
constexpr number_form number_forms[] = {
    {"int16", 2}, {"uint16", 2}, {"int32", 4},   {"uint32", 4},
    {"int64", 8}, {"uint64", 8}, {"float32", 4}, {"float64", 8},
};

constexpr const number_form& form_of(number_kind kind)
{
    return number_forms[static_cast<size_t>(kind)];
}

// The array types of the conversion table and the numbers they print as.
struct array_type {
    uint32_t type;
    number_kind kind;
};

constexpr array_type array_types[] = {
    {type_code("SHRT"), number_kind::int16},   {type_code("USHT"), number_kind::uint16},
    {type_code("LONG"), number_kind::int32},   {type_code("SSZT"), number_kind::int32},
    {type_code("RECT"), number_kind::int32},   {type_code("BPNT"), number_kind::int32},
    {type_code("ULNG"), number_kind::uint32},  {type_code("SIZT"), number_kind::uint32},
    {type_code("TIME"), number_kind::uint32},  {type_code("APPF"), number_kind::uint32},
    {type_code("FLOT"), number_kind::float32}, {type_code("LLNG"), number_kind::int64},
    {type_code("OFFT"), number_kind::int64},   {type_code("ULLG"), number_kind::uint64},
    {type_code("DBLE"), number_kind::float64},
};

// The length of the valid UTF-8 sequence (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF) that starts at p, of at most n bytes:
// 1 for an ASCII byte, 2 to 4 for a multi-byte sequence, 0 when none starts
// there.
constexpr size_t utf8_length(const unsigned char* p, size_t n)
{
    if (n == 0)
        return 0;
    const unsigned char b = p[0];
    if (b < 0x80)
        return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF)
        length = 2;
    else if (b >= 0xE0 && b <= 0xEF)
        length = 3, low = b == 0xE0 ? 0xA0 : 0x80, high = b == 0xED ? 0x9F : 0xBF;
    else if (b >= 0xF0 && b <= 0xF4)
        length = 4, low = b == 0xF0 ? 0x90 : 0x80, high = b == 0xF4 ? 0x8F : 0xBF;
    if (length == 0 || n < length || p[1] < low || p[1] > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    return length;
}
