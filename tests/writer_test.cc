// The resource file writer: exact bytes of a known image in both byte orders,
// slot counts, type groups, round trips through the reader and the images it
// refuses to write (every short write is among the output checks).
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "testkit.h"
#include "type_table.h"

namespace {

constexpr uint32_t LONG = type_code("LONG"), CSTR = type_code("CSTR");
const std::vector<resource_value> example = {{LONG, 1, "a", hex("01 02 03 04")},
                                             {CSTR, 5, "", hex("68 69 00")}};
struct outcome { int rc; std::string err; };

outcome write_image(resource* list, int fd, pe_format format)
{
    testing::internal::CaptureStderr();
    int rc = write_resource_file(list, fd, format, nullptr);
    return {rc, testing::internal::GetCapturedStderr()};
}

std::vector<resource_value> read_back(int fd, off_t base, pe_format format)
{
    lseek(fd, base, SEEK_SET);
    owned_list got;
    EXPECT_EQ(read_resource_file(&got.head, fd, format, nullptr), 0);
    return values_of(got.head);
}

bytes slice(const bytes& b, size_t at, size_t n)
{
    return at + n <= b.size() ? bytes(b.begin() + long(at), b.begin() + long(at + n)) : bytes{};
}

bytes empty_slot(pe_format format)
{
    return hex(format != 1 ? "00000000 FFFFFFFF 000003E9" : "00000000 FFFFFFFF E9030000");
}

TEST(writer, example_image_is_exact_in_both_byte_orders_at_any_base)
{
    struct { int slot; const char *le, *be; } const slots[] = {
        {0, "44000000 00060000 E9030000", "00000044 00000600 000003E9"},
        {1, "44060000 68010000 E9030000", "00000644 00000168 000003E9"},
        {10, "B3070000 36000000 E9030000", "000007B3 00000036 000003E9"},
        {11, "AC070000 04000000 00000000", "000007AC 00000004 00000000"},
        {12, "B0070000 03000000 00000000", "000007B0 00000003 00000000"}};
    for (pe_format format : {1, 0})
        for (off_t base : {0, 4, 1000}) {
            SCOPED_TRACE(testing::Message() << "format " << format << " base " << base);
            bool be = format != 1;
            bytes image = hex(be ? "444F1000 00000002 00000044 00000644"
                                 : "00104F44 02000000 44000000 44060000");
            image.resize(68);
            for (int i = 0; i < 128 + 30; ++i)
                for (unsigned char b : empty_slot(format))
                    image.push_back(b);
            for (const auto& s : slots) {
                bytes b = hex(be ? s.be : s.le);
                std::copy(b.begin(), b.end(), image.begin() + 68 + 12 * s.slot);
            }
            bytes tail = hex(be ? "04030201 686900 4C4F4E47 00000001 00000001 0002 6100"
                                  "FFFFFFFF FFFFFFFF 43535452 00000005 00000002 0000"
                                  "FFFFFFFF FFFFFFFF 8FA7039D 00000000"
                                : "01020304 686900 474E4F4C 01000000 01000000 0200 6100"
                                  "FFFFFFFF FFFFFFFF 52545343 05000000 02000000 0000"
                                  "FFFFFFFF FFFFFFFF 8A03A5A4 00000000");
            image.insert(image.end(), tail.begin(), tail.end());
            ASSERT_EQ(image.size(), 2025u);
            // The file is longer than the image: what lies around it stays.
            bytes want(size_t(base) + 3000, 0xA5);
            int fd = memory_file(want);
            std::copy(image.begin(), image.end(), want.begin() + base);
            lseek(fd, base, SEEK_SET);
            owned_list list(list_of(example));
            outcome out = write_image(list.head, fd, format);
            EXPECT_EQ(out.rc, 0);
            EXPECT_EQ(out.err, "");
            EXPECT_EQ(lseek(fd, 0, SEEK_CUR), base + 68 + 12 * 128);
            bytes file = read_fd(fd);
            auto diff = std::mismatch(file.begin(), file.end(), want.begin(), want.end());
            EXPECT_TRUE(file == want) << "first difference at " << diff.first - file.begin();
            EXPECT_EQ(values_of(list.head), example);
            close(fd);
        }
}

// In both byte orders; 117 and 245 records fill the chunk map to its last slot.
TEST(writer, slot_count_is_the_next_multiple_of_128_with_room_for_11_slots)
{
    struct { int count; uint32_t hole_map, first_data; } const cases[] = {
        {117, 1604, 1964}, {118, 3140, 3500}, {245, 3140, 3500}, {246, 4676, 5036}};
    for (const auto& c : cases)
        for (pe_format format : {1, 0}) {
            SCOPED_TRACE(testing::Message() << c.count << " records, format " << format);
            const bool be = format != 1;
            std::vector<resource_value> values;
            for (int i = 0; i < c.count; ++i)
                values.push_back({LONG, i, "", hex("01 02 03 04")});
            owned_list list(list_of(values));
            int fd = memory_file();
            ASSERT_EQ(write_image(list.head, fd, format).rc, 0);
            bytes file = read_fd(fd);
            EXPECT_EQ(get32(file, 12, be), c.hole_map);
            EXPECT_EQ(get32(file, 68 + 12 * 11, be), c.first_data);
            const size_t last = 68 + 12 * size_t(10 + c.count);
            EXPECT_EQ(get32(file, last, be), c.first_data + 4 * uint32_t(c.count - 1));
            EXPECT_EQ(get32(file, last + 4, be), 4u);
            EXPECT_EQ(lseek(fd, 0, SEEK_CUR), off_t(c.hole_map));
            EXPECT_EQ(read_back(fd, 0, format), values);
            close(fd);
        }
}

TEST(writer, each_run_of_a_type_is_a_group_and_empty_chunks_share_the_next_offset)
{
    // Linked by hand: add_resource would join the two 'LONG' records.
    resource* a = list_of({{LONG, 1, "", hex("01 02 03 04")}});
    a->next = list_of({{CSTR, 2, "", {}}});
    a->next->next = list_of({{LONG, 3, "", {}}});
    a->name = nullptr;
    owned_list list(a);
    int fd = memory_file();
    ASSERT_EQ(write_image(list.head, fd, 1).rc, 0);
    bytes file = read_fd(fd);
    EXPECT_EQ(slice(file, 1964, 4 + 66), hex("01020304 474E4F4C 01000000 01000000 0000"
                                             "FFFFFFFF FFFFFFFF 52545343 02000000 02000000 0000"
                                             "FFFFFFFF FFFFFFFF 474E4F4C 03000000 03000000 0000"
                                             "FFFFFFFF FFFFFFFF"));
    // Slot 10 (the map, 74 bytes), 12 and 13 (size 0) all start at 1968.
    EXPECT_EQ(slice(file, 68 + 120, 8), hex("B0070000 4A000000"));
    EXPECT_EQ(slice(file, 68 + 144, 20), hex("B0070000 00000000 00000000 B0070000 00000000"));
}

TEST(writer, lists_read_back_unchanged_in_both_byte_orders)
{
    std::vector<resource_value> typed;
    for (const auto& t : known_types) // ids from -3, every other one named
        typed.push_back({type_code(t.code), int32_t(typed.size()) - 3,
                         typed.size() % 2 ? t.code : "", hex(t.host)});
    typed.push_back({CSTR, 7, std::string(32766, 'c'), hex("68 65 6C 6C 6F 21 00")});
    typed.push_back({CSTR, 8, "", {}});
    // Data of 3 MiB lives in a mapping of its own, and 'LONG' data that size
    // is converted there.
    bytes big(3 << 20);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i * 7 + i / 4096);
    const std::vector<resource_value> lists[] = {
        typed, {{LONG, 0, "", {}}}, {{CSTR, 1, "", big}, {CSTR, 3, "", {1}}, {LONG, 2, "", big}}};
    for (const auto& values : lists)
        for (pe_format format : {1, 0})
            for (off_t base : {0, 13}) {
                SCOPED_TRACE(testing::Message() << values.size() << " records, format " << format);
                owned_list list(list_of(values));
                int fd = memory_file(bytes(size_t(base)));
                lseek(fd, base, SEEK_SET);
                EXPECT_EQ(write_image(list.head, fd, format).rc, 0);
                EXPECT_EQ(values_of(list.head), values);
                EXPECT_EQ(read_back(fd, base, format), values);
                close(fd);
            }
}

TEST(writer, refuses_what_the_image_cannot_describe_before_writing)
{
    const bytes before = hex("52 53 00 00");
    struct { std::vector<resource_value> values; off_t base; const char* message; } const cases[] =
        {{{{LONG, 1, "", {}}, {CSTR, 9, std::string(32767, 'n'), {}}}, 4,
          "write_resource_file() name of resource 'CSTR' 9 is too long\n"},
         {example, (off_t(1) << 32) - 2024,
          "write_resource_file() image would reach beyond 4 GiB\n"}};
    for (const auto& c : cases) {
        int fd = memory_file(before);
        lseek(fd, c.base, SEEK_SET);
        owned_list list(list_of(c.values));
        outcome out = write_image(list.head, fd, 1);
        EXPECT_EQ(out.rc, -1);
        EXPECT_EQ(out.err, c.message);
        EXPECT_EQ(read_fd(fd), before);
        close(fd);
    }
    // Stored offsets must read back as positive numbers: the map's offset
    // (1964 + the data) at 2^31 is refused, one byte below it is written
    // (here into a descriptor that takes no write). Records made by hand:
    // the check comes before any data is looked at.
    for (int64_t data : {(int64_t(1) << 31) - 1964, (int64_t(1) << 31) - 1965}) {
        resource records[2] = {{&records[1], CSTR, 1, nullptr, nullptr, int32_t(data / 2), 0},
                               {nullptr, CSTR, 2, nullptr, nullptr, int32_t(data - data / 2), 0}};
        int fd = memory_file(before);
        int read_only = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY);
        outcome out = write_image(records, read_only, 1);
        EXPECT_EQ(out.rc, -1);
        EXPECT_EQ(out.err, data % 2 == 0 ? "write_resource_file() image would reach beyond 2 GiB\n"
                                         : "write_resource_file() resource header write() failed: -1\n");
        close(read_only);
        close(fd);
    }
    // An image that ends exactly at 4 GiB still fits.
    int fd = memory_file();
    lseek(fd, (off_t(1) << 32) - 2025, SEEK_SET);
    owned_list list(list_of(example));
    EXPECT_EQ(write_image(list.head, fd, 0).rc, 0);
    EXPECT_EQ(read_back(fd, (off_t(1) << 32) - 2025, 0), example);
    close(fd);
}

TEST(writer, failed_seek_back_to_the_chunk_map_is_reported)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    owned_list list(list_of(example));
    outcome out = write_image(list.head, p[1], 1);
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.err, "write_resource_file() lseek() back to the chunk map failed: " +
                           std::string(std::strerror(ESPIPE)) + "\n");
    bytes got(4096);
    EXPECT_EQ(read(p[0], got.data(), got.size()), 2025);
    close(p[0]);
    close(p[1]);
}

TEST(writer, null_lists_and_helpers)
{
    int fd = memory_file();
    outcome out = write_image(nullptr, fd, 1);
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.err, "write_resource_file() resources is NULL\n");
    chunk_entry slots[128] = {};
    unsigned char* map = nullptr;
    int32_t length = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_data_make_map(fd, nullptr, 0, slots, 1, nullptr, &map, &length), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "write_data_make_map() null resources\n");
    EXPECT_TRUE(read_fd(fd).empty());
    close(fd);

    auto* buffer = static_cast<unsigned char*>(std::calloc(10, 1));
    int32_t used = 0, capacity = 10;
    mappend(&buffer, &used, &capacity, "abcdefghij", 10); // fits exactly
    EXPECT_EQ(capacity, 10);
    mappend(&buffer, &used, &capacity, "klmno", 5);
    EXPECT_EQ(capacity, 10 + 5 + 1000);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size_t(used)), "abcdefghijklmno");
    std::free(buffer);
    EXPECT_EQ(name_field_length(nullptr), 0);
    EXPECT_EQ(name_field_length(""), 0);
    EXPECT_EQ(name_field_length("ab"), 3);
    owned_list list(list_of(example));
    EXPECT_EQ(count_resources(nullptr), 0);
    EXPECT_EQ(count_resources(list.head), 2);
}

} // namespace
