// What the reader and the writer share about the image: the map checksum.
#include "resfile/resfile.h"

uint32_t map_checksum(const unsigned char* bytes, int32_t length)
{
    uint32_t sum = 0;
    int32_t at = 0;
    for (; length - at >= 4; at += 4)
        sum += (uint32_t(bytes[at]) << 24) | (uint32_t(bytes[at + 1]) << 16) |
               (uint32_t(bytes[at + 2]) << 8) | uint32_t(bytes[at + 3]);
    uint32_t last = 0;
    for (int32_t i = at; i < length; ++i)
        last = (last << 8) | bytes[i];
    return sum + last;
}
