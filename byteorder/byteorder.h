// Byte-order primitives and the typed conversion of resource data between
// the little-endian (x86) and big-endian (PowerPC) resource file images.
// Pure functions: no I/O, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Four-character type code: first character in the most significant byte.
constexpr uint32_t type_code(const char (&s)[5])
{
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

// The four bytes of a type code, from the most significant down.
inline std::string type_bytes(uint32_t type)
{
    return {char(type >> 24), char(type >> 16), char(type >> 8), char(type)};
}

// Reverse the 2, 4 or 8 bytes at p in place.
void swap16(void* p);
void swap32(void* p);
void swap64(void* p);

// Data-conversion callback: converts `length` bytes of data of the given
// type in place and returns nonzero, or returns 0 and leaves the data alone
// when it does not know the type. Applying it twice restores the data.
using swap_func = int (*)(uint32_t type, void* data, int32_t length);

// The default swap_func, knowing the eighteen typed shapes. It never reads
// or writes outside [data, data + length): a trailing element or record that
// does not fit wholly inside the length is left as it is.
int swap_resource_data(uint32_t type, void* data, int32_t length);

// For data converted a piece at a time: the length of the longest start of
// the n bytes at data made of whole elements or records of the type's shape
// (for 'RREF', records whose name ends within the n bytes). Converting that
// start, and then what follows it as data of its own, gives the bytes that
// converting the whole gives. n for a type that is not converted.
size_t whole_units(uint32_t type, const void* data, size_t n);

// The length of one element or record of the type's shape (2, 4, 8, 24 or
// 340), 0 for 'RREF', whose records vary, and 1 for a type not converted.
size_t unit_length(uint32_t type);
