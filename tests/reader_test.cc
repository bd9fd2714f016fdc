// Reading resource file images: the one-resource image in both byte orders,
// its refusals, and what the reader does with hostile chunk maps and maps.
#include <gtest/gtest.h>
#include <tuple>
#include <unistd.h>

#include "testkit.h"

namespace {

using namespace std::string_literals;
using list_value = std::vector<resource_value>;

constexpr uint32_t long_type = type_code("LONG"), cstr_type = type_code("CSTR");
const resource_value one{long_type, 1, "a", {1, 0, 0, 0}};

void poke32(bytes& image, size_t at, uint32_t v, bool big)
{
    for (size_t i = 0; i < 4; ++i)
        image.at(at + i) = uint8_t(v >> (big ? 24 - 8 * i : 8 * i));
}

void set_slot(bytes& image, int slot, size_t offset, size_t size, int32_t kind, bool big)
{
    poke32(image, 68 + 12 * size_t(slot), uint32_t(offset), big);
    poke32(image, 72 + 12 * size_t(slot), uint32_t(size), big);
    poke32(image, 76 + 12 * size_t(slot), uint32_t(kind), big);
}

// The 2000-byte image of 'LONG' 1 "a" = 01 00 00 00: 128 slots, the hole map
// at 1604, the data at 1964, the map at 1968.
bytes golden(bool big)
{
    bytes image = hex(big ? "44 4F 10 00 00 00 00 01 00 00 00 44 00 00 06 44"
                          : "00 10 4F 44 01 00 00 00 44 00 00 00 44 06 00 00");
    image.resize(1964);
    for (int slot = 0; slot < 128 + 30; ++slot) // the chunk map, then the hole map
        set_slot(image, slot, 0, size_t(-1), 1001, big);
    set_slot(image, 0, 68, 1536, 1001, big);
    set_slot(image, 1, 1604, 360, 1001, big);
    set_slot(image, 10, 1968, 32, 1001, big);
    set_slot(image, 11, 1964, 4, 0, big);
    bytes tail = hex(big ? "00 00 00 01 4C 4F 4E 47 00 00 00 01 00 00 00 01 00 02 61 00"
                           "FF FF FF FF FF FF FF FF 4C 51 AF 47 00 00 00 00"
                         : "01 00 00 00 47 4E 4F 4C 01 00 00 00 01 00 00 00 02 00 61 00"
                           "FF FF FF FF FF FF FF FF 4A B0 4E 4B 00 00 00 00");
    image.insert(image.end(), tail.begin(), tail.end());
    return image;
}

// A resource map in the image's byte order, built field by field.
struct map_bytes {
    bool big;
    bytes m;
    map_bytes& w(uint32_t v) { put32(m, v, big); return *this; }
    map_bytes& e(int32_t id, int32_t chunk, int16_t name_length, const std::string& name)
    {
        put16(w(uint32_t(id)).w(uint32_t(chunk)).m, uint16_t(name_length), big);
        m.insert(m.end(), name.begin(), name.end());
        return *this;
    }
    map_bytes& a() { return e(1, 1, 2, "a\0"s); } // the golden entry
    map_bytes& end() { return w(~0u).w(~0u); }
};

std::tuple<int, std::string, list_value> read_image(const bytes& image, bool big,
                                                     const bytes& before, swap_func swap = nullptr)
{
    bytes file = before;
    file.insert(file.end(), image.begin(), image.end());
    int fd = memory_file(file);
    lseek(fd, off_t(before.size()), SEEK_SET);
    owned_list list;
    testing::internal::CaptureStderr();
    int result = read_resource_file(&list.head, fd, big ? 0 : 1, swap);
    std::string err = testing::internal::GetCapturedStderr();
    close(fd);
    if (swap == nullptr) { // the same bytes in memory: the same answer, lines and list
        source s = source::memory(file.data(), file.size());
        source_seek(s, off_t(before.size()), SEEK_SET);
        owned_list from_memory;
        testing::internal::CaptureStderr();
        EXPECT_EQ(read_resource_file(&from_memory.head, s, big ? 0 : 1, nullptr), result);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), err);
        EXPECT_EQ(values_of(from_memory.head), values_of(list.head));
    }
    return {result, err, values_of(list.head)};
}

TEST(map_checksum, sums_big_endian_words_and_a_short_tail)
{
    EXPECT_EQ(map_checksum(hex("01 02 03 04 05").data(), 5), 0x01020309u);
    EXPECT_EQ(map_checksum(reinterpret_cast<const unsigned char*>("abc"), 3), 0x616263u);
    EXPECT_EQ(map_checksum(nullptr, 0), 0u);
}

TEST(add_resource, keeps_runs_together_and_replaces_in_place)
{
    const resource_value mims{type_code("MIMS"), 2, "", {}};
    owned_list list(list_of({{long_type, 1, "", {}}, {cstr_type, 5, "", {}}}));
    add_resource(&list.head, long_type, 7, nullptr, 0, "");
    add_resource(&list.head, cstr_type, 5, "x", 1, "new");
    add_resource(&list.head, mims.type, mims.id, nullptr, 0, "");
    EXPECT_EQ(values_of(list.head), (list_value{{long_type, 1, "", {}}, {long_type, 7, "", {}},
                                                {cstr_type, 5, "new", {'x'}}, mims}));
}

int calls = 0;
int counting_swap(uint32_t, void*, int32_t)
{
    ++calls;
    return 0;
}

TEST(read_resource_file, calls_the_callback_only_for_big_endian_data)
{
    calls = 0;
    EXPECT_EQ(std::get<2>(read_image(golden(false), false, {}, counting_swap)), list_value{one});
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(std::get<2>(read_image(golden(true), true, {}, counting_swap)),
              (list_value{{long_type, 1, "a", {0, 0, 0, 1}}}));
    EXPECT_EQ(calls, 1);
}

// The golden image with words patched in (slot 0 lies at 68, slot 10 at 188,
// slot 11 at 200, the map at 1968) and cut to `cut` bytes, or with its map
// replaced by one without checksum after three more data chunks: chunk index
// 2 is empty, 3 holds "hi", 4 holds 05 00 00 05.
struct read_case {
    std::vector<std::pair<size_t, uint32_t>> words = {};
    size_t cut = 0;
    void (*map)(map_bytes&) = nullptr;
    int result = 0;
    std::string err = {};
    list_value list = {};
};

// 33 'CSTR' records with the longest names and no data.
const list_value longest_names = [] {
    list_value names;
    for (int id = 0; id < 33; ++id)
        names.push_back({cstr_type, id, std::string(32766, char('a' + id % 26)), {}});
    return names;
}();

const std::string not_there = "read_resource_file() map block is not there\n",
                  table_short = "read_resource_file() read() offset table failed\n",
                  skip_long = "parse_resource_map(): skipping resource 'LONG' ",
                  runs_past = "parse_resource_map(): map entry runs past the end of the map\n";

const read_case read_cases[] = {
    {.list = {one}},
    {.words = {{0, 0x444FBEEF}}, .list = {one}},
    {.words = {{0, 0x454F1000}}, .result = -1,
     .err = "read_resource_file() resource header version is wrong\n"},
    {.cut = 67, .result = -1, .err = "read_resource_file() read() resource header failed\n"},
    {.words = {{8, uint32_t(-1000000)}}, .result = -1,
     .err = "read_resource_file() offset table lseek() failed\n"},
    {.cut = 79, .result = -1, .err = "read_resource_file() read() offset table first slot failed\n"},
    {.cut = 1000, .result = -1, .err = table_short},
    {.words = {{72, 0x7FFFFFF4}}, .result = -1, .err = table_short},
    {.words = {{72, 131}}, .result = -1, .err = not_there}, // slot 10 is cut
    {.words = {{72, uint32_t(-12)}}, .result = -1, .err = not_there},
    {.words = {{72, 1537}}, .list = {one}},
    {.words = {{196, 0}}, .result = -1, .err = not_there},
    {.words = {{192, 11}}, .result = -1, .err = not_there},
    {.words = {{188, 67}}, .result = -1, .err = not_there},
    {.words = {{192, 0x7FFFFFF0}}, .result = -1, .err = "read_block(): read() failed\n"},
    {.words = {{204, 0x7FFFFFF0}}, .err = "read_block(): read() failed\n" + skip_long + "1\n"},
    {.words = {{204, ~0u}}, .err = "read_block(): bogus block info\n" + skip_long + "1\n"},
    {.words = {{200, 0x80000000}}, .err = "read_block(): lseek() failed\n" + skip_long + "1\n"},
    {.words = {{1972, 2}}, .err = "parse_resource_map(): map checksum is bad\n"},
    {.words = {{1996, 5}}, .err = "parse_resource_map(): map terminated with 5 ???\n"},
    {.words = {{192, 24}}, .list = {one}},
    {.map = [](map_bytes& m) { m.w(long_type).e(7, 5, 0, "").a().end(); },
     .err = "read_block(): bogus block info\n" + skip_long + "7\n", .list = {one}},
    {.map = [](map_bytes& m) { m.w(long_type).e(7, -11, 0, "").e(8, 118, 0, "").a().end(); },
     .err = "parse_resource_map(): chunk index -11 names no slot\n" + skip_long + "7\n" +
            "parse_resource_map(): chunk index 118 names no slot\n" + skip_long + "8\n",
     .list = {one}},
    {.map = [](map_bytes& m) { m.w(cstr_type).e(3, 2, 0, "").e(4, 3, 4, "ab\0x"s).e(5, 3, 0, "").end(); },
     .list = {{cstr_type, 3, "", {}}, {cstr_type, 4, "ab", {'h', 'i'}},
              {cstr_type, 5, "", {'h', 'i'}}}},
    {.map = [](map_bytes& m) {
         m.w(long_type).a().end().w(cstr_type).e(3, 2, 0, "").end();
         m.w(long_type).e(2, 1, 0, "").e(1, 4, 2, "c\0"s).end();
     },
     .list = {{long_type, 1, "c", {5, 0, 0, 5}}, {long_type, 2, "", {1, 0, 0, 0}},
              {cstr_type, 3, "", {}}}},
    {.map = [](map_bytes& m) { m.w(long_type).a().w(m.big ? 0x4C51AF49 : 0x4B4EB04C).w(0); },
     .list = {one}}, // the name ends where the checksum begins
    {.map = [](map_bytes& m) {
         m.w(cstr_type);
         for (const auto& r : longest_names)
             m.e(r.id, 2, 32767, r.name + '\0');
         m.end();
     },
     .list = longest_names}, // a map block of over 1 MiB that ends the file
    {.map = [](map_bytes& m) { m.w(long_type).a().e(2, 1, 40, "b\0"s).end(); },
     .err = runs_past},
    {.map = [](map_bytes& m) { m.w(long_type).a().end().w(long_type).w(~0u); },
     .err = runs_past},
    {.map = [](map_bytes& m) { m.w(long_type).a().e(2, 1, -2, "b\0"s).end(); },
     .err = "parse_resource_map(): negative name length -2\n"},
    {.map = [](map_bytes& m) { m.w(long_type).a().e(2, 1, 1, "b"s).end(); },
     .err = "parse_resource_map(): name without NUL\n"},
};

// Every case in both byte orders, at base offsets 0, 4 and 100.
TEST(read_resource_file, golden_patched_and_remapped_images)
{
    for (bool big : {false, true})
        for (const bytes& before : {bytes{}, hex("52 53 00 00"), bytes(100, 0x5A)})
            for (const auto& c : read_cases) {
                bytes image = golden(big);
                if (c.map != nullptr) {
                    image.resize(1968);
                    map_bytes map{big, {}};
                    c.map(map);
                    int slot = 12;
                    for (const bytes& chunk : {bytes{}, bytes{'h', 'i'}, bytes{5, 0, 0, 5}}) {
                        set_slot(image, slot++, image.size(), chunk.size(), 0, big);
                        image.insert(image.end(), chunk.begin(), chunk.end());
                    }
                    set_slot(image, 10, image.size(), map.m.size(), 1001, big);
                    image.insert(image.end(), map.m.begin(), map.m.end());
                }
                for (auto [at, v] : c.words)
                    poke32(image, at, v, big);
                if (c.cut != 0)
                    image.resize(c.cut);
                EXPECT_EQ(read_image(image, big, before), std::tie(c.result, c.err, c.list))
                    << (big ? "big" : "little") << "-endian, base " << before.size();
            }
}

} // namespace

namespace {

// Data is read ahead in large spans, yet each chunk is taken from wherever
// its slot says and fails on its own: chunks in reverse order, a chunk too
// large for a span among small ones, chunks that end at, or run past, the
// end of the file.
TEST(read_resource_file, reads_each_chunk_wherever_it_lies)
{
    list_value values;
    for (int i = 0; i < 300; ++i)
        values.push_back({cstr_type, i, "", bytes(i == 150 ? 100000 : 8, uint8_t(i))});
    owned_list list(list_of(values));
    int fd = memory_file();
    ASSERT_EQ(write_resource_file(list.head, fd, 1, nullptr), 0);
    bytes image = read_fd(fd);
    close(fd);
    const size_t slots = 68 + 12 * 11, end = image.size();
    for (size_t k = 0; k < 50; ++k) // the first 100 in reverse, the others in order
        std::swap_ranges(image.begin() + long(slots + 12 * k), image.begin() + long(slots + 12 * k + 12),
                         image.begin() + long(slots + 12 * (99 - k)));
    set_slot(image, 11 + 7, end, 0, 0, false);     // empty, at the end
    set_slot(image, 11 + 8, end - 7, 8, 0, false); // one byte past the end
    list_value expected;
    for (int k = 0; k < 300; ++k)
        if (k != 8)
            expected.push_back({cstr_type, k, "", k == 7 ? bytes{} : values[size_t(k < 100 ? 99 - k : k)].data});
    const auto [result, err, got] = read_image(image, false, {});
    EXPECT_EQ(result, 0);
    EXPECT_EQ(err, "read_block(): read() failed\nparse_resource_map(): skipping resource 'CSTR' 8\n");
    EXPECT_EQ(got, expected);
}

} // namespace
