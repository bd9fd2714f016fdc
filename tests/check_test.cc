// --check and --strict on data that a listing leaves in its input: the check
// reads it whole, so a file whose large resource cannot be read to its end
// is unreadable, and fails a strict merge.
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/platform.h"
#include "testkit.h"

namespace {

TEST(check, reads_data_kept_in_the_input_whole)
{
    scratch_dir dir;
    write_file(dir.file("big.rsrc"), rs_image({{type_code("BIGD"), 1, "", bytes(kept_threshold, 7)}}));
    write_file(dir.file("a.rsrc"), rs_image({{type_code("LONG"), 1, "", hex("01 02 03 04")}}));
    run_result r = run_tamb(dir.path, {"--check", "big.rsrc"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "big.rsrc: ok\n");
    auto unreadable_data = [] { // the check's read of the block; no other asks for that much
        syscalls.pread = [](int fd, void* b, size_t n, off_t at) -> ssize_t {
            return n == size_t(kept_threshold) ? (errno = EIO, -1) : ::pread(fd, b, n, at);
        };
    };
    const std::string lines =
        "check_resources(): read() failed: " + std::string(std::strerror(EIO)) +
        "\nerror: problem reading resources from big.rsrc\n";
    r = run_tamb(dir.path, {"--check", "big.rsrc", "a.rsrc"}, unreadable_data);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "big.rsrc: unreadable\na.rsrc: ok\n");
    EXPECT_EQ(r.err, lines);
    r = run_tamb(dir.path, {"--strict", "-o", "out", "a.rsrc", "big.rsrc"}, unreadable_data);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, lines);
    EXPECT_EQ(access(dir.file("out").c_str(), F_OK), -1);
}

} // namespace
