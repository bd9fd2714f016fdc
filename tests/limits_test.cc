// Sizes that a small file claims must not be allocated: a chunk map, map block
// or data chunk claiming about 2 GiB fails as its short read (or, before the
// start of the file, its seek) would, inside an address space of 256 MiB.
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "container/container.h"
#include "testkit.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAMB_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TAMB_ASAN 1
#endif

namespace {

constexpr uint32_t huge = 0x7FFFFFF0;

// A little-endian image of 12 slots holding 'LONG' 1 (4 bytes), its map
// without checksum: 238 bytes.
bytes small_image()
{
    bytes b;
    for (uint32_t w : {0x444F1000u, 1u, 68u, 212u})
        put32(b, w, false);
    b.resize(68);
    for (int slot = 0; slot < 12; ++slot) {
        const uint32_t entries[][3] = {{68, 144, 1001}, {216, 22, 1001}, {212, 4, 0}, {0, ~0u, 1001}};
        const auto& e = entries[slot == 0 ? 0 : slot == 10 ? 1 : slot == 11 ? 2 : 3];
        for (uint32_t w : e)
            put32(b, w, false);
    }
    put32(b, 0x01000000, false); // the data
    for (uint32_t w : {0x4C4F4E47u, 1u, 1u})
        put32(b, w, false);
    b.insert(b.end(), {0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    return b;
}

struct outcome {
    int result;
    int records;
    std::string message;
};

// Runs read (given the open file) in a child whose address space is limited
// to 256 MiB, and gathers its result, record count and standard error.
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
        _exit((result + 1) * 16 + (records < 15 ? records : 15));
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    bytes message = read_fd(err);
    close(err);
    close(fd);
    return {WEXITSTATUS(status) / 16 - 1, WEXITSTATUS(status) % 16, {message.begin(), message.end()}};
}

int read_image(int fd, int& records)
{
    resource* list = nullptr;
    int result = read_resource_file(&list, fd, 1, nullptr);
    records = count_resources(list);
    return result;
}

struct hostile_case {
    const char* what;
    int slot;
    int field; // 0 offset, 1 size
    uint32_t value;
    int slot2, field2;
    uint32_t value2;
    outcome expected;
};

void PrintTo(const hostile_case& c, std::ostream* os)
{
    *os << c.what;
}

class hostile_sizes : public testing::TestWithParam<hostile_case> {};

TEST_P(hostile_sizes, fail_without_allocating_the_claimed_size)
{
#ifdef TAMB_ASAN
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit";
#endif
    const hostile_case& c = GetParam();
    bytes image = small_image();
    for (auto [slot, field, value] : {std::tuple{c.slot, c.field, c.value}, {c.slot2, c.field2, c.value2}})
        if (slot >= 0)
            for (int i = 0; i < 4; ++i)
                image[size_t(68 + 12 * slot + 4 * field + i)] = uint8_t(value >> (8 * i));
    outcome got = limited(image, read_image);
    EXPECT_EQ(got.message, c.expected.message);
    EXPECT_EQ(got.result, c.expected.result);
    EXPECT_EQ(got.records, c.expected.records);
}

const char skipped[] = "parse_resource_map(): skipping resource 'LONG' 1\n";

INSTANTIATE_TEST_SUITE_P(
    limits, hostile_sizes,
    testing::Values(
        hostile_case{"intact", -1, 0, 0, -1, 0, 0, {0, 1, ""}},
        hostile_case{"chunk_map", 0, 1, huge, -1, 0, 0,
                     {-1, 0, "read_resource_file() read() offset table failed\n"}},
        hostile_case{"map_block", 10, 1, huge, -1, 0, 0, {-1, 0, "read_block(): read() failed\n"}},
        hostile_case{"data_chunk", 11, 1, huge, -1, 0, 0,
                     {0, 0, std::string("read_block(): read() failed\n") + skipped}},
        hostile_case{"map_block_before_the_file", 10, 1, huge, 10, 0, 0x80000000u,
                     {-1, 0, "read_block(): lseek() failed\n"}},
        hostile_case{"data_chunk_before_the_file", 11, 1, huge, 11, 0, 0xFFFFFF00u,
                     {0, 0, std::string("read_block(): lseek() failed\n") + skipped}}),
    [](const auto& info) { return std::string(info.param.what); });

// The largest section table a PEF header can declare is read into an array
// of 32767 * 28 bytes, and a short file fails the read.
TEST(limits, largest_section_count_fails_the_short_read)
{
#ifdef TAMB_ASAN
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit";
#endif
    bytes pef(100, 0);
    pef[32] = 0x7F, pef[33] = 0xFF;
    outcome got = limited(pef, [](int fd, int&) {
        pe_format format = 0;
        return position_at_map(fd, 0, &format);
    });
    EXPECT_EQ(got.message, "position_at_map(): cannot read section headers (read(917476) returns 60)\n");
    EXPECT_EQ(got.result, -1);
}

} // namespace
