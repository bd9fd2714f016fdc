// Writes the seed corpora of the fuzz targets into <dir>/read, <dir>/write,
// <dir>/swap and <dir>/text: every kind of container, prepared and filled by
// the project's own container code and writer, and texts printed by the text
// form's printer or written here by hand. Run by hand:
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
    // The text form: lists as printed, and loose texts using every keyword.
    auto save_text = [&](const std::string& name, const std::string& text) {
        save("text/" + name, bytes(text.begin(), text.end()));
    };
    save_text("example-two", text_form_of(two));
    save_text("rich", text_form_of(rich));
    resource* floats = nullptr;
    const unsigned char special[] = {0, 0, 0, 0x80, 0, 0, 0x80, 0x7F, 0, 0, 0xC0, 0x7F, 1, 0, 0, 0};
    require(add_resource(&floats, type_code("FLOT"), 1, special, 8, "-0 inf") == 0);
    require(add_resource(&floats, type_code("FLOT"), 2, special, 16, "with NaN") == 0);
    const unsigned char doubles[] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0xF0, 0x7F};
    require(add_resource(&floats, type_code("DBLE"), 3, doubles, 16, "") == 0);
    save_text("floats", text_form_of(floats));
    free_resources(floats);
    save_text("every-keyword",
              "# tamb resource text 1\r\n# a comment\n\n"
              "resource\t'\\x4cONG'  007  \"\\x61 \\\"\\\\\\n\\r\\t\xc3\xa9\"\n"
              "  hex 0102 03\tFF\n  # an indented comment\n"
              "  int16 -32768 32767\n  uint16 65535\n  int32 -2147483648\n  uint32 4294967295\n"
              "  int64 -9223372036854775808\n  uint64 18446744073709551615\n"
              "  float32 -0 inf -inf 1e-45 3.4028235e+38\n  float64 0.1 -inf 5e-324\n"
              "  text \"\\\"\\\\\\n\\r\\t\\0\\x7f\xf0\x9f\x98\x80\"\n"
              "resource '\\'\\\\\\x00~' -1 \"\"\n");
    save_text("file-line", "# tamb resource text 1\nresource 'LONG' 7\n  file \"data.bin\"\n");
    save_text("duplicates", "# tamb resource text 1\nresource 'LONG' 1 \"a\"\n  int32 1\n"
                            "resource 'CSTR' 5\n  text \"hi\\0\"\nresource 'LONG' 2\n"
                            "resource 'LONG' 1 \"b\"\n  int32 2\n");
    save_text("bad-version", "# tamb resource text 2\n");
    for (resource* list : {one, two, rich})
        free_resources(list);
    return 0;
}
