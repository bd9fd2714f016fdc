// Swapping primitives and the typed conversion of resource data.
#include <algorithm>
#include <gtest/gtest.h>

#include "testkit.h"
#include "type_table.h"

namespace {

TEST(swap, primitives_reverse_in_place)
{
    bytes b = hex("01 02 03 04 05 06 07 08");
    swap16(b.data());
    swap32(b.data() + 2);
    EXPECT_EQ(b, hex("02 01 06 05 04 03 07 08"));
    swap64(b.data());
    EXPECT_EQ(b, hex("08 07 03 04 05 06 01 02"));
}

// Each known type's data, cut at every length, converts its whole elements
// or records to their big-endian bytes and leaves a trailing one that does
// not fit as it is; a second conversion restores it. One copy is exactly as
// long as the data, so that the sanitizers see a stray access; the other is
// followed by four NULs, which must neither change nor end an 'RREF' name.
// Data of a type it does not know ('CSTR', 'MIMS') is left alone.
TEST(swap_resource_data, converts_whole_elements_and_records_of_every_type)
{
    for (const auto& t : known_types) {
        const bytes host = hex(t.host), big = hex(t.big);
        for (size_t n = 0; n <= host.size(); ++n) {
            const size_t whole = t.unit > 0 ? n - n % t.unit // 'RREF' records end at 14, 29, 42
                                            : n >= 42 ? 42 : n >= 29 ? 29 : n >= 14 ? 14 : 0;
            const bytes in(host.begin(), host.begin() + long(n));
            bytes want = in, exact = in, guarded = in;
            std::copy(big.begin(), big.begin() + long(whole), want.begin());
            guarded.resize(n + 4, 0);
            EXPECT_EQ(swap_resource_data(type_code(t.code), exact.data(), int32_t(n)), 1);
            EXPECT_EQ(swap_resource_data(type_code(t.code), guarded.data(), int32_t(n)), 1);
            EXPECT_EQ(exact, want) << t.code << " cut at " << n;
            want.resize(n + 4, 0);
            EXPECT_EQ(guarded, want) << t.code << " cut at " << n << ", followed by NULs";
            swap_resource_data(type_code(t.code), exact.data(), int32_t(n));
            EXPECT_EQ(exact, in) << t.code << " cut at " << n;
        }
    }
    for (uint32_t type : {type_code("CSTR"), type_code("MIMS")}) {
        bytes b = hex("01 02 03 04 05 06 07 08");
        EXPECT_EQ(swap_resource_data(type, b.data(), 8), 0);
        EXPECT_EQ(b, hex("01 02 03 04 05 06 07 08"));
    }
}

} // namespace
