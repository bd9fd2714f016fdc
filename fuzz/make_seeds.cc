// Writes the seed corpora of the fuzz targets into <dir>/read, <dir>/write
// and <dir>/swap: every kind of container, prepared and filled by the
// project's own container code and writer. Run by hand:
//   build-x/fuzz/make_seeds fuzz/corpus
#include <fcntl.h>
#include <string>
#include <utility>
#include <vector>

#include "fuzzkit.h"

namespace {

using bytes = std::vector<uint8_t>;
std::string dir;

void put32(bytes& b, size_t at, uint32_t v, bool big)
{
    for (int i = 0; i < 4; ++i)
        b[at + size_t(i)] = uint8_t(v >> (big ? 24 - 8 * i : 8 * i));
}

uint32_t get32(const bytes& b, size_t at, bool big)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(b[at + size_t(i)]) << (big ? 24 - 8 * i : 8 * i);
    return v;
}

void save(const std::string& name, const bytes& b)
{
    int fd = open((dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    require(fd >= 0 && write(fd, b.data(), b.size()) == ssize_t(b.size()) && close(fd) == 0);
}

// The container as an output file that received the list's image.
bytes with_image(const bytes& container, resource* list)
{
    int fd = file_holding(container.data(), container.size());
    pe_format format = 0;
    require(position_at_map(fd, 1, &format) >= 0);
    require(write_resource_file(list, fd, format, nullptr) == 0);
    bytes b(size_t(lseek(fd, 0, SEEK_END)));
    require(pread(fd, b.data(), b.size(), 0) == ssize_t(b.size()) && close(fd) == 0);
    return b;
}

// The image at `at` with no empty slots after the data chunks' and no hole
// map: the smallest image the reader accepts, for quicker fuzzing.
bytes compact(const bytes& file, size_t at, bool big)
{
    const uint32_t count = get32(file, at + 4, big);
    const size_t slots = get32(file, at + 72, big) / 12, kept = 11 + count;
    const uint32_t cut = uint32_t((slots - kept) * 12 + 360);
    bytes b(file.begin(), file.begin() + long(at + 68 + kept * 12));
    b.insert(b.end(), file.begin() + long(at + 68 + slots * 12 + 360), file.end());
    put32(b, at + 72, uint32_t(kept * 12), big);
    for (size_t slot = 10; slot < kept; ++slot)
        put32(b, at + 68 + slot * 12, get32(b, at + 68 + slot * 12, big) - cut, big);
    return b;
}

// The compact image with its map cut before the checksum and terminator.
bytes without_checksum(bytes b, size_t at, bool big)
{
    put32(b, at + 68 + 124, get32(b, at + 68 + 124, big) - 8, big);
    b.resize(b.size() - 8);
    return b;
}

} // namespace

int main(int argc, char** argv)
{
    require(argc == 2);
    const unsigned char data[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 'a', 0, 1, 2, 3, 4,
                                  5, 6, 7, 8, 9, 10, 11, 12, 'b', 'c', 0};
    resource *one = nullptr, *two = nullptr, *mixed = nullptr;
    require(add_resource(&one, type_code("LONG"), 1, "\1\0\0\0", 4, "a") == 0);
    require(add_resource(&two, type_code("LONG"), 1, data, 4, "a") == 0);
    require(add_resource(&two, type_code("CSTR"), 5, "hi", 3, "") == 0);
    require(add_resource(&mixed, type_code("SHRT"), 2, data, 6, "") == 0);
    require(add_resource(&mixed, type_code("DBLE"), -3, data, 16, "d") == 0);
    require(add_resource(&mixed, type_code("MSNG"), 4, data, 24, "") == 0);
    require(add_resource(&mixed, type_code("RREF"), 5, data, sizeof data, "ref") == 0);
    require(add_resource(&mixed, type_code("MIMS"), 6, data, 0, "empty") == 0);

    bytes pe(204), pe_negative(204), resf(40), pef(128), text(48, 'x');
    for (bytes* b : {&pe, &pe_negative}) {
        (*b)[0] = 'M', (*b)[1] = 'Z', (*b)[64] = 'P', (*b)[65] = 'E';
        put32(*b, 60, 64, false);
    }
    put32(pe_negative, 200, 0x80000000, false);
    put32(resf, 4, type_code("resf"), true);
    pef[33] = 2; // two sections, data at 96 (16 bytes) and 112 (16 bytes)
    for (uint32_t s = 0; s < 2; ++s)
        put32(pef, 40 + 28 * s + 16, 16, true), put32(pef, 40 + 28 * s + 20, 96 + 16 * s, true);

    dir = std::string(argv[1]) + "/read";
    const bytes rs_two = with_image({}, two), resf_two = with_image(resf, two);
    save("empty", {});
    save("rs-example-two", rs_two);
    save("rs-example-two-compact", compact(rs_two, 4, false));
    save("rs-no-checksum-compact", without_checksum(compact(rs_two, 4, false), 4, false));
    save("rs-mixed-compact", compact(with_image({}, mixed), 4, false));
    save("pe-example-one", with_image(pe, one));
    save("pe-no-area", pe);
    save("resf-example-one", with_image(resf, one));
    save("resf-example-two-compact", compact(resf_two, 40, true));
    save("resf-no-checksum-compact", without_checksum(compact(resf_two, 40, true), 40, true));
    save("pef-two-sections-mixed-compact", compact(with_image(pef, mixed), 128, true));

    dir = std::string(argv[1]) + "/write";
    save("empty", {});
    save("rs-signature", {'R', 'S', 0, 0});
    save("rs-example-two", rs_two);
    save("pe-no-area", pe);
    save("pe-negative-area", pe_negative);
    save("pe-example-one", with_image(pe, one));
    save("resf-header", resf);
    save("pef-two-sections", pef);
    save("pef-two-sections-example-two", with_image(pef, two));
    save("text", text);

    dir = std::string(argv[1]) + "/swap";
    // Byte 0 picks the type code by its place in the table of known types.
    const std::pair<uint8_t, std::string> shapes[] = {
        {0, "SHRT"}, {5, "LONG"}, {11, "DBLE"}, {15, "MSNG"}, {16, "APPV"}, {17, "RREF"}};
    for (const auto& [pick, name] : shapes) {
        bytes b(pick == 16 ? 345 : 5 + sizeof data, 0);
        b[0] = pick;
        std::copy(data, data + sizeof data, b.begin() + (pick == 16 ? 25 : 5));
        save("type-" + name, b);
    }
    save("type-CSTR", {255, 'C', 'S', 'T', 'R', 'h', 'i', 0});
    for (resource* list : {one, two, mixed})
        free_resources(list);
    return 0;
}
