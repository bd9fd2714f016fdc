// Byte strings and the small files the tests build from them: numbers in
// either byte order, hex text, PE and PEF headers. Needs no test framework,
// so that the checks that run on Windows use it too.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using bytes = std::vector<unsigned char>;

// Little- and big-endian encodings appended to a byte vector.
inline void put32(bytes& out, uint32_t v, bool big_endian)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(big_endian ? v >> (24 - 8 * i) : v >> (8 * i)));
}

inline void put16(bytes& out, uint16_t v, bool big_endian)
{
    out.push_back(uint8_t(big_endian ? v >> 8 : v));
    out.push_back(uint8_t(big_endian ? v : v >> 8));
}

inline uint32_t get32(const bytes& in, size_t at, bool big_endian)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(in.at(at + size_t(i))) << (big_endian ? 24 - 8 * i : 8 * i);
    return v;
}

// Writes v into b at `at`, in either byte order.
inline void set32(bytes& b, size_t at, uint32_t v, bool big_endian)
{
    bytes word;
    put32(word, v, big_endian);
    std::copy(word.begin(), word.end(), b.begin() + std::ptrdiff_t(at));
}

// Parses a hex string such as "00 10 4F 44" (white space ignored).
inline bytes hex(const std::string& text)
{
    bytes out;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(uint8_t(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// An "MZ" file of `size` bytes whose e_lfanew points at "PE" and whose
// resource-area word is `word`, as far as the size allows.
inline bytes pe_file(size_t size, uint32_t word, int32_t e_lfanew = 64, char p = 'P')
{
    bytes b(size + 200);
    b[0] = 'M', b[1] = 'Z';
    set32(b, 60, uint32_t(e_lfanew), false);
    if (e_lfanew >= 0) {
        b[size_t(e_lfanew)] = uint8_t(p), b[size_t(e_lfanew) + 1] = 'E';
        set32(b, size_t(e_lfanew) + 136, word, false);
    }
    b.resize(size);
    return b;
}

// pe_file with a real optional header: its magic (0x10B or 0x20B), its
// checksum, its count of data directory entries and the size in its
// certificate entry, as far as the size allows.
inline bytes pe_optional(size_t size, uint32_t word, uint16_t magic, uint32_t checksum,
                         uint32_t entries = 16, uint32_t certificates = 0)
{
    bytes b = pe_file(size + 200, word);
    b[64 + 24] = uint8_t(magic), b[64 + 25] = uint8_t(magic >> 8);
    set32(b, 64 + 88, checksum, false);
    set32(b, 64 + (magic == 0x20B ? 132 : 116), entries, false);
    set32(b, 64 + (magic == 0x20B ? 172 : 156), certificates, false);
    b.resize(size);
    return b;
}

// A PEF container of `size` bytes with its two tags, declaring `count`
// sections, the first of them holding the (containerOffset,
// containerLength) pairs given.
inline bytes pef_file(size_t size, int16_t count,
                      std::vector<std::pair<uint32_t, uint32_t>> sections,
                      const char* tag2 = "peff", const char* tag1 = "Joy!")
{
    bytes b(std::max<size_t>(size, 40 + 28 * sections.size()));
    std::copy_n(tag1, 4, b.begin());
    std::copy_n(tag2, 4, b.begin() + 4);
    b[32] = uint8_t(uint16_t(count) >> 8), b[33] = uint8_t(count);
    for (size_t i = 0; i < sections.size(); ++i) {
        set32(b, 40 + 28 * i + 16, sections[i].second, true);
        set32(b, 40 + 28 * i + 20, sections[i].first, true);
    }
    b.resize(size);
    return b;
}
