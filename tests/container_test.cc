// Locating the resource area: recognition by the first bytes, PE headers,
// PowerPC headers and the area created in an output file.
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <unistd.h>

#include "container/container.h"
#include "testkit.h"

namespace {

bytes text_bytes(const std::string& text)
{
    return bytes(text.begin(), text.end());
}

// pe_file with the size word after the resource-area word, and `at_word`
// written where the word points.
bytes pe_table(size_t size, uint32_t word, uint32_t table_size, const bytes& at_word = {})
{
    bytes b = pe_file(size, word);
    set32(b, 64 + 140, table_size, false);
    std::copy(at_word.begin(), at_word.end(), b.begin() + word);
    return b;
}

struct outcome {
    int result;
    pe_format format;
    off_t position;
    std::string err;
};

outcome locate(int fd, int mode)
{
    outcome o{0, 77, 0, ""};
    testing::internal::CaptureStderr();
    o.result = position_at_map(fd, mode, &o.format);
    o.err = testing::internal::GetCapturedStderr();
    o.position = lseek(fd, 0, SEEK_CUR);
    return o;
}

enum { read_mode, write_mode, both_modes };

struct location_case {
    const char* what;
    bytes content;
    int modes;
    int result;
    pe_format format;
    off_t position;  // -1: not looked at
    std::string err; // after "position_at_map(): "
    std::optional<bytes> after = std::nullopt; // default: unchanged
};

const location_case location_cases[] = {
    {"empty input", {}, read_mode, 0, 1, 0, ""},
    {"empty output", {}, write_mode, 0, 1, 4, "", hex("52 53 00 00")},
    {"1 byte", hex("52"), both_modes, -1, 1, -1, "read() signature failed"},
    {"3 bytes", hex("4D 5A 00"), both_modes, -1, 1, -1, "read() signature failed"},
    {"RS signature alone", hex("52 53 00 00"), both_modes, 1, 1, 4, ""},
    // Write mode writes only into containers, which are read as ever.
    {"RS, then not 0 0", hex("52 53 56 50"), read_mode, 1, 1, 4, ""},
    {"RS, then not 0 0", hex("52 53 00 50"), write_mode, -1, 1, -1, "not an x86 resource file"},
    {"text form", text_bytes("# tamb resource text 1\n"), write_mode, -1, 1, -1,
     "output is in the text form (print one with --text)"},
    {"text form after a byte-order mark", text_bytes("\xEF\xBB\xBF# tamb resource text 1\n"), write_mode,
     -1, 1, -1, "output is in the text form (print one with --text)"},
    {"MZ shorter than 64", pe_file(63, 0), both_modes, -1, 1, -1, "read() PE offset failed"},
    {"negative e_lfanew", pe_file(999, 0, -8), both_modes, -1, 1, -1, "lseek() to PE failed"},
    {"e_lfanew at end", pe_file(99, 0, 99), both_modes, -1, 1, -1, "read() PE signature failed"},
    {"not PE", pe_file(999, 0, 64, 'X'), both_modes, -1, 1, -1, "expected PE signature"},
    {"PE cut before the word", pe_file(100, 0), both_modes, -1, 1, -1,
     "cannot read resource section offset"},
    {"PE without area, input", pe_file(1000, 0), read_mode, 0, 1, -1, ""},
    {"PE 1000 bytes", pe_file(1000, 0), write_mode, 0, 1, 1008, "", pe_file(1000, 1008)},
    {"PE 1024 bytes", pe_file(1024, 0), write_mode, 0, 1, 1024, "", pe_file(1024, 1024)},
    {"top bit, input", pe_file(1000, 0x80000000), read_mode, 0, 1, -1, ""},
    {"top bit, output", pe_file(1000, 0x80000000), write_mode, 0, 1, 1008, "", pe_file(1000, 1008)},
    {"PE with area", pe_file(1000, 500), both_modes, 1, 1, 500, ""},
    {"PE area at end of file", pe_file(1000, 1000), both_modes, 0, 1, 1000, ""},
    {"PE area beyond end of file", pe_file(1000, 4000), both_modes, 0, 1, 4000, ""},
    // The size word after the word tells an executable's own table from an area.
    {"table in use", pe_table(1000, 500, 424, hex("41 52 49 41")), write_mode, -1, 1, -1,
     "resource table in use by the executable (size 424)"},
    {"table in use, input", pe_table(1000, 500, 424), read_mode, 1, 1, 500, ""},
    {"huge table size", pe_table(1000, 500, 0x80000000), write_mode, -1, 1, -1,
     "resource table in use by the executable (size 2147483648)"},
    {"image under a size word", pe_table(1000, 500, 7, hex("00 10 4F 44")), write_mode, 1, 1, 500, ""},
    {"3 image bytes left", pe_table(1000, 997, 7, hex("00 10 4F")), write_mode, -1, 1, -1,
     "resource table in use by the executable (size 7)"},
    {"4F not followed by 44", pe_table(1000, 500, 7, hex("00 10 4F 45")), write_mode, -1, 1, -1,
     "resource table in use by the executable (size 7)"},
    {"size word 0", pe_table(1000, 500, 0, hex("41 52 49 41")), write_mode, 1, 1, 500, ""},
    {"size word, area at end", pe_table(1000, 1000, 9), write_mode, 0, 1, 1000, ""},
    {"size word, no area", pe_table(1000, 0, 9), write_mode, 0, 1, 1008, "",
     pe_table(1000, 1008, 9)},
    {"size word cut short", pe_file(206, 100), write_mode, 1, 1, 100, ""},
    // A signed program is refused before anything else is looked at.
    {"signed", pe_optional(1000, 500, 0x10B, 7, 16, 1448), write_mode, -1, 1, -1,
     "executable is signed (certificate table of 1448 bytes)"},
    {"signed PE32+", pe_optional(1000, 0, 0x20B, 0, 5, 0x80000000), write_mode, -1, 1, -1,
     "executable is signed (certificate table of 2147483648 bytes)"},
    {"signed, input", pe_optional(1000, 500, 0x10B, 7, 16, 1448), read_mode, 1, 1, 500, ""},
    {"4 entries: none for certificates", pe_optional(1000, 0, 0x10B, 7, 4, 1448), write_mode, 0,
     1, 1008, "", pe_optional(1000, 1008, 0x10B, 7, 4, 1448)},
    {"certificate entry cut short", pe_optional(222, 0, 0x10B, 7, 16, 0x0101), write_mode, 0, 1,
     224, "", pe_optional(222, 224, 0x10B, 7, 16, 0x0101)},
    {"no optional header magic", pe_optional(1000, 0, 0x10C, 7, 16, 1448), write_mode, 0, 1,
     1008, "", pe_optional(1000, 1008, 0x10C, 7, 16, 1448)},
    {"4 other bytes", hex("00 00 00 01"), both_modes, -1, 0, -1, "read() file header failed"},
    {"39 other bytes", bytes(39, 'x'), both_modes, -1, 0, -1, "read() file header failed"},
    {"resf header only", pef_file(40, 5, {}, "resf", "none"), both_modes, 1, 0, 40, ""},
    {"PEF ends at B", pef_file(448, 2, {{256, 128}, {384, 64}}), both_modes, 0, 0, 448, ""},
    {"PEF with area", pef_file(1024, 2, {{384, 64}, {256, 128}}), both_modes, 1, 0, 448, ""},
    {"PEF cut before B", pef_file(300, 2, {{256, 128}, {384, 64}}), read_mode, 1, 0, 448, ""},
    {"PEF cut before B", pef_file(300, 2, {{256, 128}, {384, 64}}), write_mode, -1, 0, -1,
     "section data reaches past the end of the file"},
    {"sections end before 40", pef_file(99, 2, {{0, 8}, {20, 20}}), read_mode, 1, 0, 40, ""},
    {"a sum that wraps", pef_file(99, 1, {{0xFFFFFFF0, 0x50}}), write_mode, -1, 0, -1,
     "resource area would cover the section headers"},
    {"tags of no PEF executable", pef_file(99, 0, {}, "peff", "Joy?"), write_mode, -1, 0, -1,
     "not a PEF executable"},
    {"'Joy!' then neither tag", pef_file(99, 0, {}, "pefx"), write_mode, -1, 0, -1,
     "not a PEF executable"},
    {"negative end", pef_file(200, 2, {{100, 20}, {0x7FFFFFF0, 0x20}}), both_modes, 1, 0, 120, ""},
    {"no sections, 40 bytes", pef_file(40, 0, {}), both_modes, 0, 0, 40, ""},
    {"no sections, 41 bytes", pef_file(41, 0, {}), both_modes, 1, 0, 40, ""},
    {"section table cut", pef_file(100, 3, {}), both_modes, -1, 0, -1,
     "cannot read section headers (read(84) returns 60)"},
    {"text, count 0x6161", bytes(64, 'a'), read_mode, -1, 0, -1,
     "cannot read section headers (read(698012) returns 24)"},
    {"text, count 0x6161", bytes(64, 'a'), write_mode, -1, 0, -1, "not a PEF executable"},
    {"negative count", pef_file(200, -2, {}), both_modes, -1, 0, -1, "calloc(28, -2) failed"},
};

TEST(position_at_map, recognises_containers)
{
    for (const auto& c : location_cases)
        for (int mode : {read_mode, write_mode}) {
            if (c.modes != both_modes && c.modes != mode)
                continue;
            SCOPED_TRACE(std::string(c.what) + (mode == read_mode ? " (read)" : " (write)"));
            int fd = memory_file(c.content);
            outcome o = locate(fd, mode);
            EXPECT_EQ(o.result, c.result);
            EXPECT_EQ(o.format, c.format);
            EXPECT_EQ(o.err, c.err.empty() ? "" : "position_at_map(): " + c.err + "\n");
            EXPECT_TRUE(c.position < 0 || o.position == c.position) << o.position;
            EXPECT_EQ(read_fd(fd), c.after ? *c.after : c.content);
            close(fd);
        }
}

TEST(position_at_map, unseekable_descriptor)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    outcome o = locate(fds[0], read_mode);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.format, 0);
    EXPECT_EQ(o.err, "position_at_map(): lseek() to beginning failed\n");
    close(fds[0]);
    close(fds[1]);
}

TEST(position_at_map, second_output_reuses_the_area)
{
    // A size word that is not 0 does not stop tamb's own area from being reused.
    int fd = memory_file(pe_table(1000, 0, 9));
    EXPECT_EQ(locate(fd, write_mode).result, 0);
    ASSERT_EQ(write(fd, "\x00\x10\x4F\x44", 4), 4);
    outcome o = locate(fd, write_mode);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.position, 1008);
    EXPECT_EQ(get32(read_fd(fd), 64 + 136, false), 1008u);
    close(fd);
}

TEST(position_at_map, refuses_an_area_beyond_2_gib)
{
    int fd = memory_file(pe_file(1000, 0));
    ASSERT_EQ(ftruncate(fd, 0x7FFFFFF8), 0); // rounds up to 2^31
    outcome o = locate(fd, write_mode);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.err, "position_at_map(): end of file too far for a resource section offset\n");
    unsigned char word[4];
    ASSERT_EQ(pread(fd, word, 4, 64 + 136), 4);
    EXPECT_EQ(bytes(word, word + 4), hex("00 00 00 00"));
    ASSERT_EQ(ftruncate(fd, 0x7FFFFFF0), 0); // the largest end that still fits
    EXPECT_EQ(locate(fd, write_mode).position, 0x7FFFFFF0);
    close(fd);
}

// A file of 2^20 + 3 bytes: 01 first, 07 last, 0 between but for FF FF FF FF
// at 2^20 - 2, across the first read's end.
bytes across_reads()
{
    bytes b(0x100003);
    b[0] = 1, b.back() = 7;
    set32(b, 0xFFFFE, 0xFFFFFFFF, false);
    return b;
}

struct checksum_case {
    const char* what;
    bytes content;
    off_t at, base;
    int flags; // of the descriptor pe_checksum gets
    std::string err;
    uint32_t sum; // at `at` afterwards; with err, the content is unchanged
};

const checksum_case checksum_cases[] = {
    {"odd length, the word not 0", hex("01 02 AA BB CC DD 05"), 2, 7, O_RDWR, "", 0x20D},
    {"a carry at every fold", bytes(12, 0xFF), 4, 12, O_RDWR, "", 0x1000B},
    {"the word across reads", across_reads(), 0xFFFFE, 0x100003, O_RDWR, "", 0x10000B},
    {"the word in the image", hex("01 02 AA BB CC DD 05"), 2, 5, O_RDWR, "", 0xDDCCBBAA},
    {"cannot read", hex("01 02 AA BB CC DD 05"), 2, 7, O_WRONLY, "read", 0xDDCCBBAA},
    {"cannot write", hex("01 02 AA BB CC DD 05"), 2, 7, O_RDONLY, "write", 0xDDCCBBAA},
};

TEST(pe_checksum, sums_the_file)
{
    for (const auto& c : checksum_cases) {
        SCOPED_TRACE(c.what);
        const int fd = memory_file(c.content);
        const int as = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), c.flags);
        testing::internal::CaptureStderr();
        EXPECT_EQ(pe_checksum(as, c.at, c.base), c.err.empty() ? 0 : -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  c.err.empty() ? "" : "pe_checksum(): " + c.err + "() failed: " + std::strerror(EBADF) + "\n");
        bytes expected = c.content;
        set32(expected, size_t(c.at), c.sum, false);
        EXPECT_EQ(read_fd(fd), expected);
        close(as);
        close(fd);
    }
}

TEST(pef_headers, convert_to_host_order)
{
    bytes header(40), sections(56);
    for (size_t i = 0; i < sections.size(); ++i)
        sections[i] = uint8_t(i);
    std::copy_n(sections.begin(), 40, header.begin());
    swap_pef_header(header.data());
    EXPECT_EQ(header, hex("00 01 02 03 07 06 05 04 0B 0A 09 08 0F 0E 0D 0C 13 12 11 10"
                          "17 16 15 14 1B 1A 19 18 1F 1E 1D 1C 21 20 23 22 27 26 25 24"));
    const bytes original = sections;
    swap_section_headers(sections.data(), 0);
    swap_section_headers(sections.data(), -1);
    EXPECT_EQ(sections, original);
    swap_section_headers(sections.data(), 2);
    EXPECT_EQ(sections, hex("03 02 01 00 07 06 05 04 0B 0A 09 08 0F 0E 0D 0C 13 12 11 10"
                            "17 16 15 14 18 19 1A 1B 1F 1E 1D 1C 23 22 21 20 27 26 25 24"
                            "2B 2A 29 28 2F 2E 2D 2C 33 32 31 30 34 35 36 37"));
}

} // namespace
