// Filling an object template: small ELF and COFF objects laid out here by
// hand, whose image section must be moved and sized, or refused when the
// symbol or its section is not as the assembler makes them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "embed/object.h"

namespace {

using bytes = std::vector<unsigned char>;

void put(bytes& b, size_t at, int width, uint64_t value, bool big)
{
    for (int i = 0; i < width; ++i)
        b[at + size_t(big ? width - 1 - i : i)] = static_cast<unsigned char>(value >> (8 * i));
}
uint64_t get(const bytes& b, size_t at, int width, bool big)
{
    uint64_t value = 0;
    for (int i = 0; i < width; ++i)
        value |= uint64_t(b[at + size_t(big ? width - 1 - i : i)]) << (8 * i);
    return value;
}

// An ELF object: a null section, the image section (1), .symtab (2) with a
// null symbol and `name`, .strtab (3); the section table at 0x100.
struct elf_shape {
    bool wide, big;
    std::string name = "tamb_embedded_image";
    uint64_t value = 0, type = 1;
    size_t length = 0x200;
};
const size_t table = 0x100;
size_t header_size(bool wide) { return wide ? 64 : 40; }
size_t offset_field(bool wide) { return wide ? 24 : 16; }
size_t size_field(bool wide) { return wide ? 32 : 20; }

bytes make_elf(const elf_shape& s)
{
    const bool w = s.wide, g = s.big;
    const int word = w ? 8 : 4;
    const size_t entry = header_size(w), symbol = w ? 24 : 16;
    bytes b(0x200, 0);
    b[0] = 0x7f, b[1] = 'E', b[2] = 'L', b[3] = 'F', b[4] = w ? 2 : 1, b[5] = g ? 2 : 1, b[6] = 1;
    put(b, w ? 0x28 : 0x20, word, table, g);
    put(b, w ? 0x3a : 0x2e, 2, entry, g);
    put(b, w ? 0x3c : 0x30, 2, 4, g);
    const uint64_t sections[4][4] = {// type, offset, size, link
                                     {0, 0, 0, 0}, {s.type, 0x80, 16, 0}, {2, 0x90, 2 * symbol, 3}, {3, 0xc0, 32, 0}};
    for (size_t i = 0; i < 4; ++i) {
        const size_t h = table + i * entry;
        put(b, h + 4, 4, sections[i][0], g);
        put(b, h + offset_field(w), word, sections[i][1], g);
        put(b, h + size_field(w), word, sections[i][2], g);
        put(b, h + (w ? 40 : 24), 4, sections[i][3], g);
        put(b, h + (w ? 56 : 36), word, i == 2 ? symbol : 0, g);
    }
    const size_t y = 0x90 + symbol; // the second symbol: name, value, size, section
    put(b, y, 4, 1, g);
    put(b, y + (w ? 8 : 4), word, s.value, g);
    put(b, y + (w ? 16 : 8), word, 16, g);
    put(b, y + (w ? 6 : 14), 2, 1, g);
    std::copy(s.name.begin(), s.name.end(), b.begin() + 0xc1);
    b.resize(s.length);
    return b;
}

// A COFF object: one section, one symbol whose name is in the string table.
bytes make_coff(uint64_t machine, const std::string& name, uint64_t section = 1)
{
    bytes b(0x72 + 4 + name.size() + 1, 0);
    put(b, 0, 2, machine, false);
    put(b, 2, 2, 1, false);
    put(b, 8, 4, 0x60, false);
    put(b, 12, 4, 1, false);
    put(b, 20 + 16, 4, 16, false);
    put(b, 20 + 20, 4, 0x40, false);
    put(b, 0x60 + 4, 4, 4, false);
    put(b, 0x60 + 12, 2, section, false);
    put(b, 0x72, 4, 4 + name.size() + 1, false);
    std::copy(name.begin(), name.end(), b.begin() + 0x76);
    return b;
}

TEST(embed_object, an_elf_template_is_filled_in_its_own_byte_order)
{
    for (const bool wide : {true, false})
        for (const bool big : {false, true}) {
            bytes b = make_elf({wide, big});
            bool got_big = !big;
            ASSERT_EQ(fill_object_template(b, 0x2000, 0x123456, &got_big), 0) << wide << big;
            const size_t h = table + header_size(wide), y = 0x90 + (wide ? 24 : 16);
            EXPECT_EQ(got_big, big);
            EXPECT_EQ(get(b, h + offset_field(wide), wide ? 8 : 4, big), 0x2000u);
            EXPECT_EQ(get(b, h + size_field(wide), wide ? 8 : 4, big), 0x123456u);
            EXPECT_EQ(get(b, y + (wide ? 16 : 8), wide ? 8 : 4, big), 0x123456u);
        }
}

TEST(embed_object, a_coff_template_is_filled_for_either_name)
{
    for (const auto& [machine, name] : {std::pair{0x8664u, "tamb_embedded_image"}, {0x14cu, "_tamb_embedded_image"}}) {
        bytes b = make_coff(machine, name);
        bool big = true;
        ASSERT_EQ(fill_object_template(b, 0x2000, 0x123456, &big), 0) << name;
        EXPECT_FALSE(big);
        EXPECT_EQ(get(b, 20 + 16, 4, false), 0x123456u);
        EXPECT_EQ(get(b, 20 + 20, 4, false), 0x2000u);
    }
}

TEST(embed_object, a_template_not_as_the_assembler_makes_it_is_refused)
{
    elf_shape other_name{true, false}, not_at_start{true, false}, no_bytes{false, true}, cut{true, false};
    other_name.name = "tamb_embedded_imagf";
    not_at_start.value = 4;
    no_bytes.type = 8; // space without bytes in the file
    cut.length = table + 2 * 64;
    const bytes refused[] = {make_elf(other_name), make_elf(not_at_start), make_elf(no_bytes), make_elf(cut),
                             make_coff(0x8664, "tamb_embedded_imagf"), make_coff(0x8664, "tamb_embedded_image", 2),
                             make_coff(0x1234, "tamb_embedded_image"), bytes(16, 0)};
    for (bytes b : refused) {
        bool big = false;
        testing::internal::CaptureStderr();
        EXPECT_EQ(fill_object_template(b, 0x2000, 16, &big), -1);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("fill_object_template(): "), std::string::npos);
    }
    bytes narrow = make_elf({false, false});
    bool big = false;
    testing::internal::CaptureStderr();
    EXPECT_EQ(fill_object_template(narrow, 0x2000, uint64_t(1) << 32, &big), -1); // past a 32-bit object
    EXPECT_NE(testing::internal::GetCapturedStderr().find("too big"), std::string::npos);
}

} // namespace
