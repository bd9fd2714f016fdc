// swap_resource_data on any type code and data. Byte 0 picks one of the
// eighteen known type codes (most values) or takes bytes 1-4 as the code; the
// data after byte 4 is copied into a buffer of exactly its length, so any
// access outside it is caught. A known type is converted (nonzero result) and
// a second conversion restores the bytes; any other type is left alone.
#include <memory>

#include "../tests/type_table.h"
#include "fuzzkit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto code_at = [](const void* p) {
        const auto* b = static_cast<const uint8_t*>(p);
        return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    };
    if (size < 5)
        return 0;
    const uint32_t type =
        data[0] < 12 * 18 ? type_code(known_types[data[0] % 18].code) : code_at(data + 1);
    bool is_known = false;
    for (const auto& t : known_types)
        is_known = is_known || type_code(t.code) == type;
    const size_t length = size - 5;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[length]);
    std::memcpy(bytes.get(), data + 5, length);
    const int converted = swap_resource_data(type, bytes.get(), int32_t(length));
    require((converted != 0) == is_known);
    require(is_known || std::memcmp(bytes.get(), data + 5, length) == 0);
    require(swap_resource_data(type, bytes.get(), int32_t(length)) == converted);
    require(std::memcmp(bytes.get(), data + 5, length) == 0);
    return 0;
}
