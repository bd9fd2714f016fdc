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

// Where an ELF object's fields lie, 64- or 32-bit: the word; a section
// header's size and its offset, size, link and entry-size fields; a
// symbol's size and its value, size and section fields.
struct elf_layout {
    int word;
    size_t entry, offset, size, link, entsize, symbol, value, symbol_size, index;
};
elf_layout layout(bool wide)
{
    return wide ? elf_layout{8, 64, 24, 32, 40, 56, 24, 8, 16, 6} : elf_layout{4, 40, 16, 20, 24, 36, 16, 4, 8, 14};
}

// An ELF object: a null section, the image section (1), .symtab (2) at
// 0x90 with a null symbol and `name`, .strtab (3); the section table at
// 0x100.
struct elf_shape {
    bool wide, big;
    std::string name = "tamb_embedded_image";
    uint64_t value = 0, type = 1;
    size_t length = 0x200;
};
const size_t table = 0x100;

bytes make_elf(const elf_shape& s)
{
    const elf_layout l = layout(s.wide);
    const bool g = s.big;
    bytes b(0x200, 0);
    b[0] = 0x7f, b[1] = 'E', b[2] = 'L', b[3] = 'F', b[4] = s.wide ? 2 : 1, b[5] = g ? 2 : 1, b[6] = 1;
    put(b, s.wide ? 0x28 : 0x20, l.word, table, g);
    put(b, s.wide ? 0x3a : 0x2e, 2, l.entry, g);
    put(b, s.wide ? 0x3c : 0x30, 2, 4, g);
    const uint64_t sections[4][5] = {// type, offset, size, link, entry size
                                     {0, 0, 0, 0, 0},
                                     {s.type, 0x80, 16, 0, 0},
                                     {2, 0x90, 2 * l.symbol, 3, l.symbol},
                                     {3, 0xc0, 32, 0, 0}};
    for (size_t i = 0; i < 4; ++i) {
        const size_t h = table + i * l.entry;
        put(b, h + 4, 4, sections[i][0], g);
        put(b, h + l.offset, l.word, sections[i][1], g);
        put(b, h + l.size, l.word, sections[i][2], g);
        put(b, h + l.link, 4, sections[i][3], g);
        put(b, h + l.entsize, l.word, sections[i][4], g);
    }
    const size_t y = 0x90 + l.symbol; // the second symbol
    put(b, y, 4, 1, g);
    put(b, y + l.value, l.word, s.value, g);
    put(b, y + l.symbol_size, l.word, 16, g);
    put(b, y + l.index, 2, 1, g);
    std::copy(s.name.begin(), s.name.end(), b.begin() + 0xc1);
    b.resize(s.length);
    return b;
}

// A COFF object: one section, one symbol whose name is in the string table.
bytes make_coff(uint64_t machine, const std::string& name, uint64_t section = 1)
{
    bytes b(0x72 + 4 + name.size() + 1, 0);
    const uint64_t fields[][3] = {// offset, width, value
                                  {0, 2, machine},   {2, 2, 1},         {8, 4, 0x60},          {12, 4, 1},
                                  {20 + 16, 4, 16},  {20 + 20, 4, 0x40}, {0x60 + 4, 4, 4},     {0x60 + 12, 2, section},
                                  {0x72, 4, 4 + name.size() + 1}};
    for (const auto& f : fields)
        put(b, f[0], int(f[1]), f[2], false);
    std::copy(name.begin(), name.end(), b.begin() + 0x76);
    return b;
}

TEST(embed_object, a_template_is_filled_in_its_own_byte_order)
{
    for (const bool wide : {true, false})
        for (const bool big : {false, true}) {
            const elf_layout l = layout(wide);
            bytes b = make_elf({wide, big});
            bool got_big = !big;
            ASSERT_EQ(fill_object_template(b, 0x2000, 0x123456, &got_big), 0) << wide << big;
            EXPECT_EQ(got_big, big);
            EXPECT_EQ(get(b, table + l.entry + l.offset, l.word, big), 0x2000u);
            EXPECT_EQ(get(b, table + l.entry + l.size, l.word, big), 0x123456u);
            EXPECT_EQ(get(b, 0x90 + l.symbol + l.symbol_size, l.word, big), 0x123456u);
        }
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
    const std::pair<bytes, uint64_t> refused[] = {
        {make_elf(other_name), 16}, {make_elf(not_at_start), 16}, {make_elf(no_bytes), 16}, {make_elf(cut), 16},
        {make_elf({false, false}), uint64_t(1) << 32}, // past what a 32-bit object holds
        {make_coff(0x8664, "tamb_embedded_imagf"), 16}, {make_coff(0x8664, "tamb_embedded_image", 2), 16},
        {bytes(16, 0), 16}};
    for (auto [b, size] : refused) {
        bool big = false;
        testing::internal::CaptureStderr();
        EXPECT_EQ(fill_object_template(b, 0x2000, size, &big), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("fill_object_template(): ", 0), 0u);
    }
}

} // namespace
