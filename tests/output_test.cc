// Outputs survive every failure: whenever the run is killed, an output is
// left as it was or as the flush completed it, and no temporary is left
// behind; special outputs (links, modes, directories that refuse the
// temporary, standard output). Every failure point of every kind of output
// is checked by output_checks, which also runs on Windows.
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

#include "driver/driver.h"
#include "output/lock.h"
#include "output/output.h"
#include "platform/platform.h"
#include "output_cases.h"
#include "testkit.h"

namespace {

namespace fs = std::filesystem;
using values = std::vector<resource_value>;

const values a_values = [] {
    values v;
    for (const auto& m : merge_values)
        v.push_back({m.type, m.id, m.name, m.data});
    return v;
}();

std::function<void()> file_limit(size_t limit)
{
    return [limit] {
        const rlimit l{limit, limit};
        setrlimit(RLIMIT_FSIZE, &l);
        signal(SIGXFSZ, SIG_IGN);
    };
}

TEST(output, a_directory_that_cannot_be_synced_is_a_warning)
{
    scratch_dir dir;
    write_file(dir.file("a.rsrc"), rs_image(a_values));
    run_result r = run_tamb(dir.path, {"-o", "out", "a.rsrc"}, [] {
        syscalls.fsync = [](int fd) {
            struct stat st;
            return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) ? (errno = EIO, -1) : ::fsync(fd);
        };
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "warning: cannot sync the directory of out: " + std::string(std::strerror(EIO)) + "\n");
    EXPECT_EQ(read_file(dir.file("out")), rs_image(a_values));
}

// An image beyond 2 GiB is refused before the old file is copied (here a
// copy would fail with a line of its own).
TEST(output, too_big_is_refused_before_the_output_is_copied)
{
    scratch_dir dir;
    write_file(dir.file("out"), rs_image(a_values));
    write_file(dir.file("huge"), {});
    ASSERT_EQ(truncate(dir.file("huge").c_str(), off_t(1) << 30), 0);
    run_result r = run_tamb(dir.path, {"-o", "out", "--add", "BIGD:1=huge", "--add", "BIGD:2=huge"}, [] {
        syscalls.reflink = [](int, int) { return errno = EOPNOTSUPP, -1; };
        syscalls.copy_file_range = [](int, off_t*, int, off_t*, size_t, unsigned) {
            return errno = EIO, ssize_t(-1);
        };
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "write_resource_file() image would reach beyond 2 GiB\n"
                     "error: problem writing resource file out\n");
    EXPECT_EQ(read_file(dir.file("out")), rs_image(a_values));
}

// Killed at many points of a large flush, an output is old or new, and no
// temporary is left: it has no name until the moment before the rename, and
// SIGTERM removes it (or puts back what an in-place flush overwrote).
TEST(output, a_killed_run_leaves_the_old_or_the_new_output)
{
    scratch_dir dir;
    const values big = {{type_code("BIGD"), 1, "", bytes(8 << 20, 0x11)},
                        {type_code("BIGD"), 2, "", bytes(4 << 20, 0x22)}};
    write_file(dir.file("big.rsrc"), rs_image(big));
    const bytes old = rs_image(a_values);
    write_file(dir.file("out"), old);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run_tamb(dir.path, {"-o", "out", "big.rsrc"}).status, 0);
    const auto whole = std::chrono::steady_clock::now() - start;
    const bytes fresh = read_file(dir.file("out"));
    ASSERT_NE(fresh, old);

    // (In place, the old bytes are put back on SIGTERM once everything is
    // written: the system-call table test covers that.)
    for (int i = 0; i < 13; ++i) {
        const int sig = i % 4 == 3 ? SIGTERM : SIGKILL;
        SCOPED_TRACE(testing::Message() << "signal " << sig << " at " << i << "/10");
        write_file(dir.file("out"), old);
        std::fflush(stdout);
        pid_t child = fork();
        if (child == 0) {
            char* argv[] = {const_cast<char*>("tamb"), const_cast<char*>("-o"),
                            const_cast<char*>("out"), const_cast<char*>("big.rsrc"), nullptr};
            if (chdir(dir.path.c_str()) != 0)
                _exit(126);
            _exit(tamb_main(4, argv));
        }
        std::this_thread::sleep_for(whole * i / 10); // the last ones may find it done
        kill(child, sig);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const bytes now = read_file(dir.file("out"));
        EXPECT_TRUE(now == old || now == fresh);
        EXPECT_EQ(names_in(dir.path), (std::set<std::string>{"big.rsrc", "out"}));
    }
}

// Outputs that are not plain files of their own, and standard output.
TEST(output, special_outputs)
{
    scratch_dir dir;
    const bytes a = rs_image(a_values);
    write_file(dir.file("a.rsrc"), a);
    fs::create_directory(dir.file("sub"));

    // A symbolic link: its target is replaced, the link stays.
    fs::create_symlink("sub/target", dir.file("link"));
    write_file(dir.file("sub/target"), hex("52 53 00 00"));
    ASSERT_EQ(chmod(dir.file("sub/target").c_str(), 0640), 0);
    EXPECT_EQ(run_tamb(dir.path, {"-o", "link", "a.rsrc"}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir.file("link")));
    EXPECT_EQ(read_file(dir.file("sub/target")), a);
    struct stat st;
    ASSERT_EQ(stat(dir.file("sub/target").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u); // the mode is the output's
    EXPECT_EQ(names_in(dir.file("sub")), std::set<std::string>{"target"});
    // A relative link in another directory leads from that directory.
    fs::create_symlink("target", dir.file("sub/out"));
    write_file(dir.file("b.rsrc"), rs_image({a_values[1]}));
    write_file(dir.file("sub/target"), hex("52 53 00 00"));
    EXPECT_EQ(run_tamb(dir.path, {"-o", "sub/out", "b.rsrc"}).status, 0);
    EXPECT_EQ(read_file(dir.file("sub/target")), rs_image({a_values[1]}));
    EXPECT_TRUE(fs::is_symlink(dir.file("sub/out")));

    // Run as under nohup: SIGHUP stays ignored while the output is open.
    run_result r = run_tamb(dir.path, {"-o", "hup", "a.rsrc"}, [] {
        signal(SIGHUP, SIG_IGN);
        syscalls.fsync = [](int fd) { return raise(SIGHUP) == 0 ? ::fsync(fd) : -1; };
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(dir.file("hup")), a);

    // Descriptor 1 closed at start: the listing never lands in the output,
    // and the run, flushes done, fails; descriptor 2 closed: no output lands
    // on it.
    r = run_tamb(dir.path, {"-o", "out", "a.rsrc", "-o", "x", "-l", "a.rsrc"},
                            [] { close(1); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: problem writing the listing\n");
    EXPECT_EQ(read_file(dir.file("out")), a);
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        char* argv[] = {const_cast<char*>("tamb"), const_cast<char*>("-o"),
                        const_cast<char*>("out2"), const_cast<char*>("a.rsrc"), nullptr};
        close(2);
        struct stat null_device, err;
        const bool done = chdir(dir.path.c_str()) == 0 && tamb_main(4, argv) == 0;
        _exit(done && stat("/dev/null", &null_device) == 0 && fstat(2, &err) == 0 &&
                      err.st_rdev == null_device.st_rdev ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "descriptor 2 is not the null device";
    EXPECT_EQ(read_file(dir.file("out2")), a);

    // A listing that cannot be written fails the run.
    r = run_tamb(dir.path, {"-l", "a.rsrc"}, [] {
        int full = open("/dev/full", O_WRONLY);
        dup2(full, 1);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: problem writing the listing\n");

    // A device is written as it is.
    EXPECT_EQ(run_tamb(dir.path, {"-o", "/dev/null", "a.rsrc"}).status, 0);
}

// An unprivileged run in a directory it may not write: the output itself is
// written in place, and put back when the flush fails.
TEST(output, a_directory_that_refuses_the_temporary_is_written_in_place)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a child as another user";
    scratch_dir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    const bytes old = hex("52 53 00 00");
    write_file(dir.file("a.rsrc"), rs_image(a_values));
    for (bool fails : {true, false}) {
        write_file(dir.file("out"), old);
        ASSERT_EQ(chmod(dir.file("out").c_str(), 0666), 0);
        run_result r = run_tamb(dir.path, {"-o", "out", "a.rsrc"}, [fails] {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(125);
            if (fails)
                file_limit(40)();
        });
        EXPECT_EQ(r.status, fails ? 1 : 0) << r.err;
        EXPECT_EQ(read_file(dir.file("out")), fails ? old : rs_image(a_values));
        EXPECT_EQ(names_in(dir.path), (std::set<std::string>{"a.rsrc", "out"}));
    }
}

// What a replaced output carries besides its bytes stays; where the
// temporary cannot be given it, the file is written in place.
TEST(output, owner_and_extended_attributes_are_kept)
{
    scratch_dir dir;
    write_file(dir.file("a.rsrc"), rs_image(a_values));
    struct {
        const char* what;
        void (*seam)();
        bool replaced;
    } const cases[] = {
        {"replaced", [] {}, true},
        {"attribute refused", [] { syscalls.fsetxattr = [](int, const char*, const void*, size_t, int) { return errno = EPERM, -1; }; }, false},
        {"owner refused", [] { syscalls.fchown = [](int, uid_t, gid_t) { return errno = EPERM, -1; }; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(dir.file("out"), hex("52 53 00 00"));
        ASSERT_EQ(chmod(dir.file("out").c_str(), 03750), 0);
        if (setxattr(dir.file("out").c_str(), "user.note", "keep", 4, 0) != 0)
            GTEST_SKIP() << "no user attributes here";
        struct stat before, after;
        ASSERT_EQ(stat(dir.file("out").c_str(), &before), 0);
        run_result r = run_tamb(dir.path, {"-o", "out", "a.rsrc"}, c.seam);
        EXPECT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(stat(dir.file("out").c_str(), &after), 0);
        EXPECT_EQ(after.st_ino != before.st_ino, c.replaced);
        EXPECT_EQ(after.st_mode & 07777, 03750u);
        char value[16] = {};
        EXPECT_EQ(getxattr(dir.file("out").c_str(), "user.note", value, sizeof value), 4);
        EXPECT_STREQ(value, "keep");
        EXPECT_EQ(read_file(dir.file("out")), rs_image(a_values));
        EXPECT_EQ(names_in(dir.path), (std::set<std::string>{"a.rsrc", "out"}));
    }
}

// Once it has an output's lock, a run checks that the path still names the
// locked file: another run may have renamed a new one over it meanwhile.
TEST(output, the_lock_is_on_the_file_the_path_names)
{
    scratch_dir dir;
    static std::string path;
    static int calls;
    path = dir.file("out"), calls = 0;
    write_file(path, hex("52 53 00 00"));
    static system_calls real;
    real = syscalls;
    syscalls.lock = [](const char* p, int wait, file_identity* locked) {
        const int held = real.lock(p, wait, locked);
        if (calls++ == 0) // the other run commits while this one waits
            write_file(path + ".new", {}), fs::rename(path + ".new", path);
        return held;
    };
    output_lock lock;
    EXPECT_EQ(lock_output(&lock, path.c_str()), 1);
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(same_file(path.c_str(), lock.held));
    reset_system_calls();
}

} // namespace
