// Sizes that a small file claims must not be allocated: a chunk map, map block
// or data chunk claiming about 2 GiB fails as its short read (or, before the
// start of the file, its seek) would, inside an address space of 256 MiB.
#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "container/container.h"
#include "resfile/list.h"
#include "testkit.h"

namespace {

// AddressSanitizer reserves far more address space than the limit allows.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool asan = true;
#elif defined(__has_feature)
constexpr bool asan = __has_feature(address_sanitizer);
#else
constexpr bool asan = false;
#endif

constexpr uint32_t huge = 0x7FFFFFF0;

// A little-endian image of 12 slots holding 'LONG' 1 (4 bytes at 212), its
// map at 216 without checksum: 238 bytes.
bytes small_image()
{
    bytes b;
    auto words = [&](std::initializer_list<uint32_t> values) {
        for (uint32_t v : values)
            put32(b, v, false);
    };
    words({0x444F1000, 1, 68, 212});
    b.resize(68);
    words({68, 144, 1001});
    for (int slot = 1; slot < 10; ++slot)
        words({0, ~0u, 1001});
    words({216, 22, 1001, 212, 4, 0, 0x01000000, 0x4C4F4E47, 1, 1});
    b.insert(b.end(), {0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    return b;
}

struct outcome {
    int result;
    int records;
    std::string message;
};

// Runs read(fd, records) on a file holding `file` in a child whose address
// space is limited to 256 MiB; gathers its result, records and standard error.
template <typename Read>
outcome limited(const bytes& file, Read read)
{
    int err = memory_file();
    int fd = memory_file(file);
    pid_t pid = fork();
    if (pid == 0) {
        const rlimit limit{256u << 20, 256u << 20};
        if (setrlimit(RLIMIT_AS, &limit) != 0 || dup2(err, 2) != 2)
            _exit(99);
        int records = 0;
        int result = read(fd, records);
        _exit((result + 1) * 16 + std::min(records, 15));
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    bytes message = read_fd(err);
    close(err);
    close(fd);
    return {WEXITSTATUS(status) / 16 - 1, WEXITSTATUS(status) % 16, {message.begin(), message.end()}};
}

struct hostile_case {
    const char* what;
    std::vector<std::array<uint32_t, 3>> patches; // slot, field (0 offset, 1 size), value
    outcome expected;
};

void PrintTo(const hostile_case& c, std::ostream* os)
{
    *os << c.what;
}

class hostile_sizes : public testing::TestWithParam<hostile_case> {};

TEST_P(hostile_sizes, fail_without_allocating_the_claimed_size)
{
    if (asan)
        GTEST_SKIP() << "AddressSanitizer needs more address space than the limit";
    bytes image = small_image();
    for (auto [slot, field, value] : GetParam().patches)
        for (uint32_t i = 0; i < 4; ++i)
            image[68 + 12 * slot + 4 * field + i] = uint8_t(value >> (8 * i));
    outcome got = limited(image, [](int fd, int& records) {
        resource* list = nullptr;
        int result = read_resource_file(&list, fd, 1, nullptr);
        records = count_resources(list);
        return result;
    });
    EXPECT_EQ(got.message, GetParam().expected.message);
    EXPECT_EQ(got.result, GetParam().expected.result);
    EXPECT_EQ(got.records, GetParam().expected.records);
}

const std::string skipped = "parse_resource_map(): skipping resource 'LONG' 1\n";

INSTANTIATE_TEST_SUITE_P(
    limits, hostile_sizes,
    testing::Values(
        hostile_case{"intact", {}, {0, 1, ""}},
        hostile_case{"chunk_map", {{0, 1, huge}},
                     {-1, 0, "read_resource_file() read() offset table failed\n"}},
        hostile_case{"map_block", {{10, 1, huge}}, {-1, 0, "read_block(): read() failed\n"}},
        hostile_case{"data_chunk", {{11, 1, huge}}, {0, 0, "read_block(): read() failed\n" + skipped}},
        hostile_case{"map_block_before_the_file", {{10, 1, huge}, {10, 0, 0x80000000u}},
                     {-1, 0, "read_block(): lseek() failed\n"}},
        hostile_case{"data_chunk_before_the_file", {{11, 1, huge}, {11, 0, 0xFFFFFF00u}},
                     {0, 0, "read_block(): lseek() failed\n" + skipped}}),
    [](const auto& info) { return std::string(info.param.what); });

// The largest section table a PEF header can declare is read into an array
// of 32767 * 28 bytes, and a short file fails the read.
TEST(limits, largest_section_count_fails_the_short_read)
{
    if (asan)
        GTEST_SKIP() << "AddressSanitizer needs more address space than the limit";
    bytes pef(100, 0);
    pef[32] = 0x7F, pef[33] = 0xFF;
    outcome got = limited(pef, [](int fd, int&) {
        pe_format format = 0;
        return position_at_map(fd, 0, &format);
    });
    EXPECT_EQ(got.message, "position_at_map(): cannot read section headers (read(917476) returns 60)\n");
    EXPECT_EQ(got.result, -1);
}

int mappings()
{
    std::ifstream maps("/proc/self/maps");
    return int(std::count(std::istreambuf_iterator<char>(maps), {}, '\n'));
}

// A record of mapped size released before it is filled (its data could not
// be read) gives back exactly its mapping.
TEST(limits, a_record_released_unfilled_leaves_no_mapping)
{
    if (asan)
        GTEST_SKIP() << "AddressSanitizer takes every record from malloc";
    const int before = mappings();
    for (int i = 0; i < 100; ++i) {
        resource* r = allocate_record(record_head_room(2), size_t(3) << 20);
        ASSERT_NE(r, nullptr);
        std::memset(reinterpret_cast<unsigned char*>(r) + sizeof(resource), 0xEE, 32);
        release_record(r);
    }
    EXPECT_LT(mappings() - before, 5);
}

} // namespace
