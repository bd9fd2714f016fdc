// The text form and the JSON listing: fixed printed forms, printing and
// reading back, the faults a text can hold, data lines that read files.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "container/container.h"
#include "testkit.h"
#include "textform/textform.h"
#include "type_table.h"

namespace {

using list_value = std::vector<resource_value>;

std::string text_of(const resource* head, const char* argument = "in")
{
    return printed([&](FILE* out) {
        print_text_start(out);
        print_text_listing(out, argument, "PE", head);
    });
}

struct text_read {
    int result;
    std::string err;
    list_value values;
};

text_read read_text(const std::string& text, const std::string& path = "t.txt",
                    bool allow_files = true)
{
    int fd = memory_file(bytes(text.begin(), text.end()));
    owned_list list;
    testing::internal::CaptureStderr();
    const int result = read_text_resources(&list.head, fd, path.c_str(), nullptr, allow_files);
    const std::string err = testing::internal::GetCapturedStderr();
    close(fd);
    return {result, err, values_of(list.head)};
}

// Data of each shape as one record 'TYPE' 1 prints it.
struct data_form {
    char type[5];
    const char* data; // hex
    const char* lines;
};

const std::string start = "# tamb resource text 1\n";

const data_form data_forms[] = {
    {"SHRT", "ffff 0180 00", "  int16 -1 -32767\n  hex 00\n"},
    {"USHT", "ffff", "  uint16 65535\n"},
    {"LONG", "01000000 02000000 03000000 04000000 05000000 06000000 07000000 08000000 ffffffff",
     "  int32 1 2 3 4 5 6 7 8\n  int32 -1\n"},
    {"ULNG", "ffffffff 0102", "  uint32 4294967295\n  hex 0102\n"},
    {"OFFT", "ffffffffffffffff", "  int64 -1\n"},
    {"ULLG", "ffffffffffffffff 01", "  uint64 18446744073709551615\n  hex 01\n"},
    {"FLOT", "00000080 0000807f 000080ff 01000000", "  float32 -0 inf -inf 1e-45\n"},
    {"FLOT", "0000803f 0000c07f", "  hex 0000803f 0000c07f\n"},
    {"DBLE", "0000000000000080 000000000000f07f 000000000000f0ff 9a9999999999b93f",
     "  float64 -0 inf -inf 0.1\n"},
    {"DBLE", "0000000000000000 000000000000f87f", "  hex 00000000 00000000 00000000 0000f87f\n"},
    {"CSTR", "686900", "  text \"hi\\0\"\n"},
    {"MSNG", "225c090d0a c3a9 f09f9880", R"(  text "\"\\\t\r\n"
  text "é😀"
)"},
    {"RREF", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20",
     "  hex 00010203 04050607 08090a0b 0c0d0e0f 10111213 14151617 18191a1b 1c1d1e1f\n"
     "  hex 20\n"},
    {"CSTR", "0041", "  hex 0041\n"},
    {"CSTR", "7f", "  hex 7f\n"},
    {"CSTR", "c0af eda080 f4908080 c3", "  hex c0afeda0 80f49080 80c3\n"},
    {"LONG", "", ""},
};

TEST(text_form, prints_each_shape_of_data_as_typed)
{
    for (const data_form& row : data_forms) {
        owned_list list(list_of({{type_code(row.type), 1, "", hex(row.data)}}));
        EXPECT_EQ(text_of(list.head), start + "\n# in (PE format)\n\nresource '" + row.type +
                                          "' 1\n" + row.lines + "\n")
            << row.type << " " << row.data;
    }
    owned_list odd(list_of({{0x275c7f7e, INT32_MIN, "q\"b\\\n\r\t\x01\x7f \xc3\xa9 \xff", {}}}));
    EXPECT_EQ(text_of(odd.head, "a\nb"),
              start + "\n# a\\nb (PE format)\n\n"
                      R"(resource '\'\\\x7f~' -2147483648 "q\"b\\\n\r\t\x01\x7f é \xff")"
                      "\n\n");
}

TEST(text_form, every_list_reads_back_and_prints_again_the_same)
{
    list_value values;
    int32_t id = INT32_MIN;
    for (const known_type& t : known_types) { // whole elements, then one byte short
        const bytes data = hex(t.host);
        values.push_back({type_code(t.code), id++, "", data});
        values.push_back({type_code(t.code), id++, "", bytes(data.begin(), data.end() - 1)});
    }
    for (const data_form& row : data_forms)
        values.push_back({type_code(row.type), id++, "", hex(row.data)});
    std::string every_byte;
    for (int b = 1; b < 256; ++b)
        every_byte += char(b);
    values.push_back({type_code("NAME"), 1, every_byte, {}});
    values.push_back({type_code("NAME"), 2, "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xc3", {}});
    values.push_back({type_code("NAME"), 3, std::string(32766, '"'), {}});
    values.push_back({0x275c00ff, INT32_MAX, "", hex("00 0a 00")});
    owned_list list(list_of(values));
    const std::string text = text_of(list.head);
    const text_read back = read_text(text);
    ASSERT_EQ(back.result, 0) << back.err;
    EXPECT_EQ(back.values, values_of(list.head));
    owned_list again(list_of(back.values));
    EXPECT_EQ(text_of(again.head), text);
}

// Blanks, escapes, comments, CR LF, leading zeros; a later 'LONG' 7 replaces
// the first in its place.
TEST(text_form, loose_text_reads_in_order_and_prints_in_canonical_form)
{
    const text_read back = read_text("# tamb resource text 1\r\n# a comment\n\n"
                                     "resource\t'\\x4cONG'   007\t\"\\x61\"  \n\t hex 01 02\n"
                                     "  # an indented comment\n  hex 0304\n"
                                     "resource 'CSTR' -0 \"\"\r\n  text \"h\"\n  text  \"i\\n\"  \n"
                                     "  uint16 10\nresource 'LONG' 2\n"
                                     "resource 'LONG' 7 \"b\"\n  int16 5 -1\n");
    ASSERT_EQ(back.result, 0) << back.err;
    owned_list list(list_of(back.values));
    EXPECT_EQ(text_of(list.head), R"(# tamb resource text 1

# in (PE format)

resource 'LONG' 7 "b"
  int32 -65531

resource 'LONG' 2

resource 'CSTR' 0
  text "hi\n"
  text "\n"
  text "\0"

)");
}

struct bad_text {
    std::string text; // after the first line, unless the fault is on line 1
    int line;
    std::string what; // DIR: the directory of the text
};

const std::string long_1 = "resource 'LONG' 1\n";

const bad_text bad_texts[] = {
    {"", 1, "unsupported text version"},
    {"# tamb resource text 2\n", 1, "unsupported text version"},
    {"# tamb resource text 1 \n", 1, "unsupported text version"},
    {"  hex 00\n", 2, "data line before any resource"},
    {"resourcex 'LONG' 1\n", 2, "expected a resource line"},
    {"resource\n", 2, "bad type"},
    {"resource LONG 1\n", 2, "bad type"},
    {"resource 'LON' 1\n", 2, "bad type"},
    {"resource 'LONG'1\n", 2, "bad type"},
    {"resource 'L\\qNG' 1\n", 2, "bad type"},
    {"resource '\xc3\xa9NG' 1\n", 2, "bad type"},
    {"resource 'LONG'\n", 2, "bad id"},
    {"resource 'LONG' +1\n", 2, "bad id"},
    {"resource 'LONG' 2147483648\n", 2, "bad id"},
    {"resource 'LONG' 1 a\n", 2, "bad name"},
    {"resource 'LONG' 1 \"a\" b\n", 2, "bad name"},
    {"resource 'LONG' 1 \"a\n", 2, "bad name"},
    {"resource 'LONG' 1 \"\\x00\"\n", 2, "bad name"},
    {"resource 'LONG' 1 \"\xc3\"\n", 2, "bad name"},
    {"resource 'LONG' 1 \"\xed\xa0\x80\"\n", 2, "bad name"},
    {"resource 'LONG' 1 \"" + std::string(32767, 'n') + "\"\n", 2, "bad name"},
    {long_1 + "  hexa 00\n", 3, "unknown keyword 'hexa'"},
    {long_1 + "  hex 00 0g\n", 3, "bad value '0g'"},
    {long_1 + "  hex 000\n", 3, "bad value '000'"},
    {long_1 + "  int16 32768\n", 3, "bad value '32768'"},
    {long_1 + "  uint16 -1\n", 3, "bad value '-1'"},
    {long_1 + "  int32 +1\n", 3, "bad value '+1'"},
    {long_1 + "  int64 1.0\n", 3, "bad value '1.0'"},
    {long_1 + "  uint64 18446744073709551616\n", 3, "bad value '18446744073709551616'"},
    {long_1 + "  float32 nan\n", 3, "bad value 'nan'"},
    {long_1 + "  float32 1e39\n", 3, "bad value '1e39'"},
    {long_1 + "  float32 0x1p3\n", 3, "bad value '0x1p3'"},
    {long_1 + "  text \"a\" b\n", 3, "bad string"},
    {long_1 + "  text\n", 3, "bad string"},
    {long_1 + "  text \"\\q\"\n", 3, "bad string"},
    {long_1 + "  text \"\xff\"\n", 3, "bad string"},
    {long_1 + "  file \"a\\0\"\n", 3, "bad string"},
    {long_1 + "  file \"missing.bin\"\n", 3, "cannot open data file DIR/missing.bin"},
    {long_1 + "  file \"big.bin\"\n", 3, "resource too large"},
    {long_1 + "  hex 00\n  file \"nearly.bin\"\n", 4, "resource too large"},
    {"\r\n# note\r\n\r\n  # indented note\r\n" + long_1 + "  int32 1 x\r\n", 7, "bad value 'x'"},
};

TEST(text_form, each_fault_is_reported_on_its_line_and_adds_nothing)
{
    scratch_dir dir;
    for (auto [name, size] : {std::pair{"big.bin", off_t(1) << 31}, {"nearly.bin", INT32_MAX}}) {
        write_file(dir.file(name), {});
        ASSERT_EQ(truncate(dir.file(name).c_str(), size), 0);
    }
    const std::string path = dir.file("t.txt");
    for (const bad_text& row : bad_texts) {
        const text_read got = read_text(row.line == 1 ? row.text : start + row.text, path);
        std::string what = row.what;
        if (what.find("DIR") != std::string::npos)
            what.replace(what.find("DIR"), 3, dir.path);
        EXPECT_EQ(got.err, path + ":" + std::to_string(row.line) + ": error: " + what + "\n")
            << row.text;
        EXPECT_EQ(got.result, -1) << row.text;
        EXPECT_EQ(got.values, list_value{}) << row.text;
    }
}

TEST(text_form, file_lines_are_read_from_the_directory_of_the_text)
{
    scratch_dir dir;
    ASSERT_EQ(mkdir(dir.file("d").c_str(), 0755), 0);
    write_file(dir.file("d/data.bin"), {1, 2, 3});
    const std::string text = start + "resource 'LONG' 1\n  file \"data.bin\"\n  hex 04\n" +
                             "  file \"" + dir.file("d/data.bin") + "\"\n";
    EXPECT_EQ(read_text(text, dir.file("d/t.txt")).values,
              (list_value{{type_code("LONG"), 1, "", {1, 2, 3, 4, 1, 2, 3}}}));
    EXPECT_EQ(read_text(text, dir.file("d/t.txt"), false).err,
              dir.file("d/t.txt") + ":3: error: cannot open data file " +
                  dir.file("d/data.bin") + "\n");
}

// Data that stays in its file, larger than the pieces it is read in, prints
// as the same data held in memory, from either byte order: a character cut
// by a piece's end, a NaN past the first piece, a tail, a 'RREF' name longer
// than a piece and a last record without its NUL.
TEST(text_form, data_kept_in_its_file_prints_as_data_in_memory)
{
    const size_t big = (size_t(1) << 20) + 3;
    const char* const characters[] = {"a", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\n"};
    std::string utf8 = "\xc3\xa9"; // so that a piece's end cuts a character
    for (size_t i = 0; utf8.size() < 2 * big; ++i)
        utf8 += characters[i * 7 % 5];
    bytes binary(big), doubles(big - 3), rref = hex("01020304 05060708 090a0b0c");
    for (size_t i = 0; i < big; ++i)
        binary[i] = uint8_t(i * 31 + i / 977);
    std::copy(binary.begin(), binary.end() - 3, doubles.begin());
    const bytes nan = hex("000000000000f87f");
    std::copy(nan.begin(), nan.end(), doubles.end() - 16);
    rref.insert(rref.end(), big, 'n');
    rref.insert(rref.end(), {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 'x', 0, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 'y'});
    const list_value values = {{type_code("CSTR"), 1, "", bytes(utf8.begin(), utf8.end())},
                               {type_code("BIGD"), 2, "", binary},
                               {type_code("DBLE"), 3, "", doubles},
                               {type_code("LONG"), 4, "", binary},
                               {type_code("RREF"), 5, "", rref}};
    scratch_dir dir;
    for (pe_format format : {1, 0}) {
        SCOPED_TRACE(format);
        bytes header = format == 1 ? hex("52 53 00 00") : bytes(40);
        if (format == 0)
            std::copy_n("resf", 4, header.begin() + 4);
        write_file(dir.file("in"), header);
        owned_list list(list_of(values));
        int fd = open(dir.file("in").c_str(), O_RDWR);
        ASSERT_EQ(lseek(fd, 0, SEEK_END), off_t(header.size()));
        ASSERT_EQ(write_resource_file(list.head, fd, format, nullptr), 0);
        const std::string held = text_of(list.head);
        owned_list back;
        resource_index index;
        index.keeping = "in";
        ASSERT_GE(lseek(fd, off_t(header.size()), SEEK_SET), 0);
        ASSERT_EQ(read_resource_file(&back.head, fd, format, nullptr, &index), 0);
        EXPECT_EQ(back.head->data, nullptr);
        const std::string text = text_of(back.head);
        EXPECT_TRUE(text == held) << "differs from byte "
                                  << std::mismatch(text.begin(), text.end(), held.begin(), held.end()).first - text.begin();
        close(fd);
    }
}

const char* const sample_text = R"(# tamb resource text 1

# samples/example.rsrc (PE format)

resource 'LONG' 1 "a"
  int32 67305985

resource 'CSTR' 5
  text "hi\0"

)";

TEST(text_form, sample_lists_as_text_and_its_text_reads_back)
{
    owned_list list;
    int fd = open(TAMB_SAMPLES "/example.rsrc", O_RDONLY);
    pe_format format = 0;
    ASSERT_EQ(position_at_map(fd, 0, &format), 1);
    ASSERT_EQ(read_resource_file(&list.head, fd, format, nullptr), 0);
    close(fd);
    EXPECT_EQ(text_of(list.head, "samples/example.rsrc"), sample_text);
    const bytes text = read_file(TAMB_SAMPLES "/example.txt");
    EXPECT_EQ(std::string(text.begin(), text.end()), sample_text);
    EXPECT_EQ(read_text(sample_text).values, values_of(list.head));
    EXPECT_TRUE(is_text_form(text.data(), 20));
    // As an editor may save it, after a byte-order mark.
    EXPECT_EQ(read_text(std::string("\xEF\xBB\xBF") + sample_text).values, values_of(list.head));
    EXPECT_FALSE(is_text_form(reinterpret_cast<const unsigned char*>("\xEF\xBB\xBF# tamb"), 9));
}

TEST(json_listing, escapes_strings_and_lists_empty_inputs)
{
    owned_list list(list_of({{0x22007f80, -1, "\b\f\n\r\t\x01\\\xc3\xa9\xff", {1}}}));
    EXPECT_EQ(printed([&](FILE* out) {
                  json_listing json;
                  json_file(&json, out, "a\"b", "PEF", list.head);
                  json_file(&json, out, "empty", "text", nullptr);
                  json_end(&json, out);
              }),
              R"({"tamb": 1, "files": [
 {"file": "a\"b", "format": "PEF", "resources": [
  {"type": "\"\u0000\u007f\u0080", "type_code": 570457984, "id": -1, "size": 1, "name": "\b\f\n\r\t\u0001\\é\u00ff"}]},
 {"file": "empty", "format": "text", "resources": []}]}
)");
}

} // namespace
