#include "embed/object.h"

#include <cstring>

#include "resfile/fail.h"

namespace {

// The object's bytes, read and written at offsets that are checked first:
// a field that does not lie wholly inside the file makes the fill fail.
struct object_bytes {
    std::vector<unsigned char>& bytes;
    bool big_endian;

    bool holds(uint64_t at, uint64_t length) const
    {
        return at <= bytes.size() && length <= bytes.size() - at;
    }
    uint64_t get(uint64_t at, int width) const
    {
        uint64_t value = 0;
        for (int i = 0; i < width; ++i) {
            const int shift = big_endian ? 8 * (width - 1 - i) : 8 * i;
            value |= uint64_t(bytes[at + i]) << shift;
        }
        return value;
    }
    void put(uint64_t at, int width, uint64_t value)
    {
        for (int i = 0; i < width; ++i) {
            const int shift = big_endian ? 8 * (width - 1 - i) : 8 * i;
            bytes[at + i] = static_cast<unsigned char>(value >> shift);
        }
    }
    // The NUL-ended name at `at`, compared with `name`.
    bool names(uint64_t at, const char* name) const
    {
        const size_t length = std::strlen(name) + 1;
        return holds(at, length) && std::memcmp(&bytes[at], name, length) == 0;
    }
};

const char* const symbol_names[] = {"tamb_embedded_image", "_tamb_embedded_image"};

int not_a_template()
{
    return fail("fill_object_template(): the template holds no section of tamb_embedded_image to fill\n");
}

int fill_elf(object_bytes& o, uint64_t at, uint64_t size)
{
    const bool wide = o.bytes[4] == 2;
    const int word = wide ? 8 : 4;
    const uint64_t table = o.get(wide ? 0x28 : 0x20, word);
    const uint64_t entry = o.get(wide ? 0x3a : 0x2e, 2);
    const uint64_t count = o.get(wide ? 0x3c : 0x30, 2);
    if (entry < uint64_t(wide ? 64 : 40) || !o.holds(table, entry * count))
        return not_a_template();
    if (!wide && (at > UINT32_MAX || size > UINT32_MAX - at))
        return fail("fill_object_template(): the image is too big for a 32-bit object\n");
    // Fields of a section header: type, offset, size, link, entry size.
    const uint64_t type_at = 4, offset_at = wide ? 24 : 16, size_at = wide ? 32 : 20, link_at = wide ? 40 : 24,
                   entsize_at = wide ? 56 : 36;
    for (uint64_t s = 0; s < count; ++s) {
        const uint64_t header = table + s * entry;
        if (o.get(header + type_at, 4) != 2) // the symbol table
            continue;
        const uint64_t symbols = o.get(header + offset_at, word), length = o.get(header + size_at, word);
        const uint64_t symbol_size = o.get(header + entsize_at, word), names_index = o.get(header + link_at, 4);
        if (symbol_size < uint64_t(wide ? 24 : 16) || !o.holds(symbols, length) || names_index >= count)
            return not_a_template();
        const uint64_t names = table + names_index * entry;
        const uint64_t names_at = o.get(names + offset_at, word), names_length = o.get(names + size_at, word);
        if (!o.holds(names_at, names_length))
            return not_a_template();
        for (uint64_t y = symbols; y + symbol_size <= symbols + length; y += symbol_size) {
            const uint64_t name = o.get(y, 4);
            if (name >= names_length || !o.names(names_at + name, symbol_names[0]))
                continue;
            const uint64_t value_at = wide ? 8 : 4, symbol_size_at = wide ? 16 : 8, index_at = wide ? 6 : 14;
            const uint64_t section = o.get(y + index_at, 2);
            if (section == 0 || section >= count || o.get(y + value_at, word) != 0)
                return not_a_template();
            const uint64_t filled = table + section * entry;
            if (o.get(filled + type_at, 4) != 1) // the bytes of the program
                return not_a_template();
            o.put(filled + offset_at, word, at);
            o.put(filled + size_at, word, size);
            o.put(y + symbol_size_at, word, size);
            return 0;
        }
    }
    return not_a_template();
}

int fill_coff(object_bytes& o, uint64_t at, uint64_t size)
{
    if (at > UINT32_MAX || size > UINT32_MAX - at)
        return fail("fill_object_template(): the image is too big for a COFF object\n");
    const uint64_t sections = o.get(2, 2), table = 20 + o.get(16, 2);
    const uint64_t symbols = o.get(8, 4), count = o.get(12, 4);
    if (!o.holds(table, 40 * sections) || count > o.bytes.size() / 18 || !o.holds(symbols, 18 * count + 4))
        return not_a_template();
    const uint64_t strings = symbols + 18 * count;
    for (uint64_t y = symbols; y < strings; y += 18 + 18 * o.bytes[y + 17]) {
        // Both names are longer than 8 bytes: the string table holds them.
        bool named = false;
        for (const char* name : symbol_names)
            named = named || (o.get(y, 4) == 0 && o.names(strings + o.get(y + 4, 4), name));
        if (!named)
            continue;
        const uint64_t section = o.get(y + 12, 2);
        if (section == 0 || section > sections || o.get(y + 8, 4) != 0)
            return not_a_template();
        const uint64_t filled = table + 40 * (section - 1);
        o.put(filled + 16, 4, size);
        o.put(filled + 20, 4, at);
        return 0;
    }
    return not_a_template();
}

} // namespace

int fill_object_template(std::vector<unsigned char>& object, uint64_t at, uint64_t size, bool* big_endian)
{
    object_bytes o{object, false};
    if (o.holds(0, 64) && std::memcmp(object.data(), "\177ELF", 4) == 0 && (object[4] == 1 || object[4] == 2) &&
        (object[5] == 1 || object[5] == 2)) {
        o.big_endian = object[5] == 2;
        *big_endian = o.big_endian;
        return fill_elf(o, at, size);
    }
    // COFF: the machines mingw-w64 builds for (x86, x86-64, ARM64, ARM).
    const uint64_t machine = o.holds(0, 20) ? o.get(0, 2) : 0;
    if (machine == 0x14c || machine == 0x8664 || machine == 0xaa64 || machine == 0x1c4) {
        *big_endian = false;
        return fill_coff(o, at, size);
    }
    return fail("fill_object_template(): the template is neither an ELF nor a COFF object\n");
}
