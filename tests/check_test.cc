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
    // A text's data kept in its file is read whole by a strict merge before
    // anything is written: a read that fails, or that comes up short once
    // the file was found as it was.
    write_file(dir.file("blob"), bytes(kept_threshold, 7));
    const std::string text = "# tamb resource text 1\nresource 'BIGD' 1\n  file \"blob\"\n";
    write_file(dir.file("t.txt"), bytes(text.begin(), text.end()));
    const auto short_data = [] { // half, then the end
        syscalls.pread = [](int fd, void* b, size_t n, off_t at) -> ssize_t {
            const size_t k = size_t(kept_threshold);
            return n == k / 2 ? 0 : ::pread(fd, b, n == k ? n / 2 : n, at);
        };
    };
    const std::string read_failed = "read() failed: " + std::string(std::strerror(EIO));
    for (const auto& [seam, line] :
         {std::pair{+unreadable_data, read_failed.c_str()},
          std::pair{+short_data, "./blob changed while tamb was running"}}) {
        r = run_tamb(dir.path, {"--strict", "-o", "out", "a.rsrc", "t.txt"}, seam);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "copy_resource_data(): " + std::string(line) +
                             "\nerror: problem reading resources from t.txt\n");
        EXPECT_EQ(access(dir.file("out").c_str(), F_OK), -1);
    }
}

} // namespace
