#include "byteorder/byteorder.h"

#include <cstddef>
#include <cstring>
#include <utility>

void swap16(void* p)
{
    auto* b = static_cast<unsigned char*>(p);
    std::swap(b[0], b[1]);
}

void swap32(void* p)
{
    auto* b = static_cast<unsigned char*>(p);
    std::swap(b[0], b[3]);
    std::swap(b[1], b[2]);
}

void swap64(void* p)
{
    auto* b = static_cast<unsigned char*>(p);
    for (int i = 0; i < 4; ++i)
        std::swap(b[i], b[7 - i]);
}

namespace {

enum class shape { array16, array32, array64, record24, record340, rref };

struct shape_entry {
    uint32_t type;
    shape kind;
};

constexpr shape_entry shape_table[] = {
    {type_code("SHRT"), shape::array16},  {type_code("USHT"), shape::array16},
    {type_code("APPF"), shape::array32},  {type_code("BPNT"), shape::array32},
    {type_code("FLOT"), shape::array32},  {type_code("LONG"), shape::array32},
    {type_code("RECT"), shape::array32},  {type_code("SIZT"), shape::array32},
    {type_code("SSZT"), shape::array32},  {type_code("TIME"), shape::array32},
    {type_code("ULNG"), shape::array32},  {type_code("DBLE"), shape::array64},
    {type_code("LLNG"), shape::array64},  {type_code("OFFT"), shape::array64},
    {type_code("ULLG"), shape::array64},  {type_code("MSNG"), shape::record24},
    {type_code("APPV"), shape::record340}, {type_code("RREF"), shape::rref},
};

void swap_array(unsigned char* p, size_t length, size_t width)
{
    for (size_t at = 0; length - at >= width; at += width) {
        if (width == 2)
            swap16(p + at);
        else if (width == 4)
            swap32(p + at);
        else
            swap64(p + at);
    }
}

// Records of `record` bytes whose first five 4-byte values are reversed.
void swap_records(unsigned char* p, size_t length, size_t record)
{
    for (size_t at = 0; length - at >= record; at += record)
        swap_array(p + at, 20, 4);
}

// Records of a 4-byte value, an 8-byte value and a NUL-terminated name. A
// record whose name has no NUL inside the length is left alone and ends the
// walk, as does one too short for its two values.
void swap_rref(unsigned char* p, size_t length)
{
    size_t at = 0;
    while (length - at >= 12) {
        const void* nul = std::memchr(p + at + 12, 0, length - at - 12);
        if (nul == nullptr)
            return;
        swap32(p + at);
        swap64(p + at + 4);
        at = size_t(static_cast<const unsigned char*>(nul) - p) + 1;
    }
}

const shape_entry* shape_of(uint32_t type)
{
    for (const auto& e : shape_table)
        if (e.type == type)
            return &e;
    return nullptr;
}

} // namespace

size_t whole_units(uint32_t type, const void* data, size_t n)
{
    const shape_entry* found = shape_of(type);
    if (found == nullptr)
        return n;
    const auto* p = static_cast<const unsigned char*>(data);
    switch (found->kind) {
    case shape::array16: return n - n % 2;
    case shape::array32: return n - n % 4;
    case shape::array64: return n - n % 8;
    case shape::record24: return n - n % 24;
    case shape::record340: return n - n % 340;
    case shape::rref: break;
    }
    size_t at = 0;
    while (n - at >= 12) {
        const void* nul = std::memchr(p + at + 12, 0, n - at - 12);
        if (nul == nullptr)
            break;
        at = size_t(static_cast<const unsigned char*>(nul) - p) + 1;
    }
    return at;
}

size_t unit_length(uint32_t type)
{
    const shape_entry* found = shape_of(type);
    if (found == nullptr)
        return 1;
    switch (found->kind) {
    case shape::array16: return 2;
    case shape::array32: return 4;
    case shape::array64: return 8;
    case shape::record24: return 24;
    case shape::record340: return 340;
    case shape::rref: break;
    }
    return 0;
}

int swap_resource_data(uint32_t type, void* data, int32_t length)
{
    const shape_entry* found = shape_of(type);
    if (found == nullptr)
        return 0;
    if (data == nullptr || length <= 0)
        return 1;
    auto* p = static_cast<unsigned char*>(data);
    auto n = size_t(length);
    switch (found->kind) {
    case shape::array16: swap_array(p, n, 2); break;
    case shape::array32: swap_array(p, n, 4); break;
    case shape::array64: swap_array(p, n, 8); break;
    case shape::record24: swap_records(p, n, 24); break;
    case shape::record340: swap_records(p, n, 340); break;
    case shape::rref: swap_rref(p, n); break;
    }
    return 1;
}
