// What the reader and the printer of the text form share: the number
// keywords of data lines, the array types printed with them, and UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>

#include "byteorder/byteorder.h"
#include "byteorder/utf8.h"

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

