// Writes the seed corpora of the fuzz targets into <dir>/read, <dir>/write
// and <dir>/swap: every kind of container, prepared and filled by the
// project's own container code and writer. Run by hand:
//   build-x/fuzz/make_seeds fuzz/corpus
#include <fcntl.h>
#include <string>
#include <vector>

#include "fuzzkit.h"

namespace {

using bytes = std::vector<uint8_t>;

// Adds v to the 32-bit word at `at` (on zero bytes: stores it).
void add32(bytes& b, size_t at, uint32_t v, bool big)
{
    uint32_t sum = v;
    for (size_t i = 0; i < 4; ++i)
        sum += uint32_t(b[at + i]) << (big ? 24 - 8 * i : 8 * i);
    for (size_t i = 0; i < 4; ++i)
        b[at + i] = uint8_t(sum >> (big ? 24 - 8 * i : 8 * i));
}

// The container as an output file that received the list's image.
bytes with_image(const bytes& container, resource* list)
{
    int fd = file_holding(container.data(), container.size());
    pe_format format = 0;
    require(position_at_map(fd, 1, &format) >= 0 && write_resource_file(list, fd, format, nullptr) == 0);
    bytes b(size_t(lseek(fd, 0, SEEK_END)));
    require(pread(fd, b.data(), b.size(), 0) == ssize_t(b.size()) && close(fd) == 0);
    return b;
}

// The image at `at`, of count resources in 128 slots, without the empty
// slots after the data chunks' and the hole map: the smallest image the
// reader accepts.
bytes compact(const bytes& file, size_t at, bool big, size_t count)
{
    const size_t kept = 11 + count, cut = (128 - kept) * 12 + 360;
    bytes b(file.begin(), file.begin() + long(at + 68 + kept * 12));
    b.insert(b.end(), file.begin() + long(at + 68 + kept * 12 + cut), file.end());
    add32(b, at + 72, uint32_t(-(128 - kept) * 12), big);
    for (size_t slot = 10; slot < kept; ++slot)
        add32(b, at + 68 + slot * 12, uint32_t(-cut), big);
    return b;
}

} // namespace

int main(int argc, char** argv)
{
    require(argc == 2);
    auto save = [&](const std::string& name, const bytes& b) {
        int fd = open((std::string(argv[1]) + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        require(fd >= 0 && write(fd, b.data(), b.size()) == ssize_t(b.size()) && close(fd) == 0);
    };
    // Two 'RREF' records, named a and bc, from the start; "hi" at 4.
    const unsigned char data[] = {1, 2, 3, 4, 'h', 'i', 0, 8, 9, 10, 11, 12, 'a', 0, 1,
                                  2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 'b', 'c', 0};
    resource *one = nullptr, *two = nullptr, *rich = nullptr;
    require(add_resource(&one, type_code("LONG"), 1, "\1\0\0\0", 4, "a") == 0);
    for (resource** list : {&two, &rich}) {
        require(add_resource(list, type_code("LONG"), 1, data, 4, "a") == 0);
        require(add_resource(list, type_code("CSTR"), 5, data + 4, 3, "") == 0);
    }
    require(add_resource(&rich, type_code("SHRT"), 2, data, 6, "") == 0);
    require(add_resource(&rich, type_code("DBLE"), -3, data, 16, "d") == 0);
    require(add_resource(&rich, type_code("MSNG"), 4, data, 24, "") == 0);
    require(add_resource(&rich, type_code("RREF"), 5, data, sizeof data, "ref") == 0);
    require(add_resource(&rich, type_code("MIMS"), 6, data, 0, "empty") == 0);

    // PE with e_lfanew 64 and the resource-area word at 200; 'resf' header;
    // PEF with two sections, data at 96 and 112 (16 bytes each), so area at 128.
    bytes pe(204), pe_negative, resf(40), pef(128);
    pe[0] = 'M', pe[1] = 'Z', pe[64] = 'P', pe[65] = 'E', pe[60] = 64;
    pe_negative = pe, pe_negative[203] = 0x80;
    add32(resf, 4, type_code("resf"), true);
    pef[33] = 2;
    for (uint32_t s = 0; s < 2; ++s)
        add32(pef, 56 + 28 * s, 16, true), add32(pef, 60 + 28 * s, 96 + 16 * s, true);

    const bytes rs_two = with_image({}, two), resf_two = with_image(resf, two);
    save("read/empty", {});
    save("read/rs-example-two", rs_two);
    save("read/rs-example-two-compact", compact(rs_two, 4, false, 2));
    save("read/rs-rich-compact", compact(with_image({}, rich), 4, false, 7));
    save("read/pe-example-one", with_image(pe, one));
    save("read/pe-no-area", pe);
    save("read/resf-example-one", with_image(resf, one));
    save("read/resf-example-two-compact", compact(resf_two, 40, true, 2));
    save("read/pef-two-sections-rich-compact", compact(with_image(pef, rich), 128, true, 7));

    save("write/empty", {});
    save("write/rs-signature", {'R', 'S', 0, 0});
    save("write/rs-example-two", rs_two);
    save("write/pe-no-area", pe);
    save("write/pe-negative-area", pe_negative);
    save("write/pe-example-one", with_image(pe, one));
    save("write/resf-header", resf);
    save("write/pef-two-sections", pef);
    save("write/pef-two-sections-example-two", with_image(pef, two));
    save("write/text", bytes(48, 'x'));

    // Byte 0 picks the type code by its place in the table of known types.
    for (auto [pick, name] : {std::pair{0, "SHRT"}, {5, "LONG"}, {11, "DBLE"}, {15, "MSNG"},
                              {16, "APPV"}, {17, "RREF"}, {255, "CSTR"}}) {
        bytes b(pick == 16 ? 345 : 5 + sizeof data);
        b[0] = uint8_t(pick);
        std::copy(name, name + 4, b.begin() + 1);
        std::copy(data, data + sizeof data, b.begin() + 5);
        save(std::string("swap/type-") + name, b);
    }
    for (resource* list : {one, two, rich})
        free_resources(list);
    return 0;
}
