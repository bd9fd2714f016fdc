// Valid UTF-8 as RFC 3629 defines it: no overlong forms, no surrogates,
// nothing above U+10FFFF. Pure, like the rest of this folder.
#pragma once

#include <cstddef>

// The length (1 to 4) of the valid UTF-8 sequence that starts at p, within
// the n bytes there, or 0 when none starts there.
constexpr size_t utf8_length(const unsigned char* p, size_t n)
{
    if (n == 0)
        return 0;
    const unsigned char b = p[0];
    if (b < 0x80)
        return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        if (b == 0xE0)
            low = 0xA0; // no overlong form
        else if (b == 0xED)
            high = 0x9F; // no surrogate
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        if (b == 0xF0)
            low = 0x90;
        else if (b == 0xF4)
            high = 0x8F; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (n < length || p[1] < low || p[1] > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    return length;
}
