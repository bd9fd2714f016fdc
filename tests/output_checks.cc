// Replacing an output, against every kind of output and every point at
// which a flush can fail, on Linux (through CTest) and on Windows (under
// wine in the test command): a file-size limit reached at each write (the
// system's own on Linux, and on both systems one emulated through the
// system-call table, which must give the same results), the writer's and
// the commit's system calls failing, and the signals that end a run. Every
// case must fail with its own lines and leave every file as it was. Each
// runs tamb_main in a child process, started as this program with --run.
// Prints one line per failed check; the exit status is the number of
// failures (0 when all pass).
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>
#if defined(_WIN32)
#include <direct.h>
#include <process.h>
#else
#include <sys/resource.h>
#include <sys/wait.h>
#endif

#include "driver/driver.h"
#include "output_cases.h"

namespace {

namespace fs = std::filesystem;
int failures = 0;

void check(bool holds, const std::string& what)
{
    if (!holds) {
        std::printf("FAILED: %s\n", what.c_str());
        ++failures;
    }
}

// size bytes in which no MiB repeats the one before it.
bytes big_data(size_t size)
{
    bytes data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = uint8_t(i * 7 + i / 1000);
    return data;
}

// The image of merge_values (from the one at `from`, and big ones too),
// as the writer makes it, after `before` (in the byte order of format).
void merge_input(const std::string& path, const bytes& before = hex("52 53 00 00"),
                 pe_format format = 1, size_t from = 0, bool big = false)
{
    resource* list = nullptr;
    for (const auto& m : merge_values)
        if (&m - merge_values >= std::ptrdiff_t(from))
            add_resource(&list, m.type, m.id, m.data.data(), int32_t(m.data.size()), m.name);
    // Big: resources of an unknown type around the size from which data
    // stays in its file and larger than the 1 MiB a copy's buffer holds, and
    // of a known type as large: 'BIGD' 262144 at image offset 2099153.
    // From a big-endian file, records of 24 and 340 bytes as large too, which
    // the end of a 1 MiB piece cuts.
    const int32_t most = (1 << 20) + kept_threshold + 1;
    for (int32_t size : {kept_threshold - 1, kept_threshold, most})
        for (uint32_t type : {type_code("BIGD"), type_code("LONG")})
            if (big)
                add_resource(&list, type, size, big_data(size_t(size)).data(), size, "");
    for (uint32_t type : {type_code("MSNG"), type_code("APPV")})
        if (big && format == 0)
            add_resource(&list, type, 1, big_data(size_t(most)).data(), most, "");
    int fd = syscalls.open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
    check(fd >= 0 && write(fd, before.data(), unsigned(before.size())) == ssize_t(before.size()) &&
              write_resource_file(list, fd, format, nullptr) == 0,
          "make " + path);
    close(fd);
    free_resources(list);
}

std::string self;

// The descriptors open for reading only on files (inputs, and copies of
// them), and the most ever open at once.
std::set<int> reading;
size_t most_reading = 0;

int note_reading(int fd, bool read_only)
{
    struct stat st;
    if (fd >= 0 && read_only && seam::real.fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode))
        reading.insert(fd), most_reading = std::max(most_reading, reading.size());
    return fd;
}

// Runs `tamb args` in dir in a child with the seam described, its standard
// error kept in err; the child's exit status.
int run(const std::string& dir, const std::string& seam, const std::vector<std::string>& args,
        std::string& err)
{
    std::vector<std::string> words = {self, "--run", dir, seam};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<const char*> argv;
    for (auto& w : words)
        argv.push_back(w.c_str());
    argv.push_back(nullptr);
#if defined(_WIN32)
    // Standard error goes to a file beside dir, which the child inherits.
    const std::string err_file = dir + ".err";
    int saved = dup(2);
    int to = syscalls.open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    dup2(to, 2);
    close(to);
    // A spawn that wine refuses now and then, under load, is made again.
    int status = -1;
    for (int attempt = 0; attempt < 3 && status == -1; ++attempt)
        status = int(_spawnv(_P_WAIT, self.c_str(), argv.data()));
    dup2(saved, 2);
    close(saved);
    const bytes e = file_bytes(err_file);
    syscalls.unlink(err_file.c_str());
#else
    // Standard error goes to a pipe: a file would meet the child's limit.
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return -1;
    pid_t child = fork();
    if (child == 0) {
        dup2(pipe_ends[1], 2);
        execv(self.c_str(), const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    close(pipe_ends[1]);
    bytes e;
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_ends[0], buffer, sizeof buffer)) > 0;)
        e.insert(e.end(), buffer, buffer + n);
    close(pipe_ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
    err.assign(e.begin(), e.end());
    return status;
}

// The child: the seam, then tamb in dir.
int run_child(int argc, char** argv)
{
    if (chdir(argv[2]) != 0)
        return 120;
    const std::string seam = argv[3];
    if (seam.rfind("limit:", 0) == 0 || seam.rfind("full:", 0) == 0)
        install_limit(off_t(std::stoll(seam.substr(seam.find(':') + 1))), seam[0] == 'l' ? EFBIG : ENOSPC);
    if (seam.rfind("cap:", 0) == 0)
        install_cap(std::stoul(seam.substr(4)));
#if !defined(_WIN32)
    // The system's file-size limit, SIGXFSZ and SIGPIPE at their default
    // actions; "mute-" makes standard error a pipe nobody reads.
    const size_t colon = seam.find("rlimit:");
    if (colon != std::string::npos) {
        const rlim_t limit = std::stoull(seam.substr(colon + 7));
        const rlimit l{limit, limit};
        setrlimit(RLIMIT_FSIZE, &l);
        signal(SIGXFSZ, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        int closed[2];
        if (colon > 0 && pipe(closed) == 0)
            close(closed[0]), dup2(closed[1], 2);
    }
    if (seam.rfind("nofile:", 0) == 0) { // a low limit on open descriptors
        rlimit l;
        getrlimit(RLIMIT_NOFILE, &l);
        l.rlim_cur = std::stoull(seam.substr(7));
        setrlimit(RLIMIT_NOFILE, &l);
    }
#endif
    // "count" notes the descriptors open for reading only, under a generous
    // limit on descriptors.
    if (seam == "count") {
        seam::real = syscalls;
        syscalls.open = [](const char* p, int f, int m) {
            return note_reading(seam::real.open(p, f, m), (f & O_ACCMODE) == O_RDONLY);
        };
        syscalls.dup = [](int fd) { return note_reading(seam::real.dup(fd), true); };
        syscalls.close = [](int fd) { return reading.erase(fd), seam::real.close(fd); };
#if !defined(_WIN32)
        rlimit l;
        if (getrlimit(RLIMIT_NOFILE, &l) == 0 && (l.rlim_cur = l.rlim_max, setrlimit(RLIMIT_NOFILE, &l)) != 0)
            return 121;
#endif
    }
    if (seam == "nolock") // a file system that keeps no locks
        syscalls.lock = [](const char*, int, file_identity*) { return errno = ENOLCK, -1; };
    if (seam.rfind("big:", 0) == 0)
        install_big(seam.substr(4));
    if (seam.rfind("fail-", 0) == 0) {
        const size_t colon = seam.find(':');
        install_read_failure(seam.substr(5, colon - 5), std::stoi(seam.substr(colon + 1)));
    }
    if (seam.rfind("call:", 0) == 0) {
        const size_t colon = seam.find(':', 5);
        install(call_failures[std::stoi(seam.substr(5))], std::stoi(seam.substr(colon + 1)));
    }
    // Data from a pipe: "fifo:N" holds at most N bytes of it in memory and
    // feeds the FIFO "fifo" with the bytes of "blob"; after it, ",largest:N"
    // lowers the size of the largest resource, ",nospill" and ",fullspill"
    // make a spill file that cannot be made or written.
    const size_t largest = seam.find(",largest:");
    if (largest != std::string::npos)
        largest_resource = std::stoll(seam.substr(largest + 9));
    if (seam.find("nospill") != std::string::npos)
        syscalls.open_spill = [] { return errno = EACCES, -1; };
#if !defined(_WIN32)
    if (seam.find("fullspill") != std::string::npos)
        syscalls.open_spill = [] { return ::open("/dev/full", O_RDWR); };
    pid_t feeder = -1;
    if (seam.rfind("fifo:", 0) == 0) {
        data_held_at_most = std::stoll(seam.substr(5));
        if ((feeder = fork()) == 0) {
            const bytes b = file_bytes("blob");
            const int fd = ::open("fifo", O_WRONLY);
            _exit(fd >= 0 && write(fd, b.data(), b.size()) == ssize_t(b.size()) ? 0 : 1);
        }
    }
#endif
    std::vector<char*> args = {argv[0]};
    args.insert(args.end(), argv + 4, argv + argc);
    const int status = tamb_main(int(args.size()), args.data());
    // Beside the input being read, at most 64 of them: those of kept inputs.
    if (seam == "count" && most_reading > 64 + 1)
        return 99;
#if !defined(_WIN32)
    if (feeder > 0)
        kill(feeder, SIGKILL), waitpid(feeder, nullptr, 0);
#endif
    return status;
}

// One failing flush: status and message as expected, every file as it was;
// or, written (a signal taken once the output was committed), every file
// as the flush without the seam leaves it and message the only line.
void expect_unchanged(const std::string& root, const output_kind& kind, bool in_place,
                      const std::string& seam, const std::string& message, int status,
                      const std::string& what, bool big = false, bool written = false)
{
    const std::string dir = root + "/case";
    std::optional<bytes> fresh;
    std::string err;
    for (int pass = written ? 0 : 1; pass < 2; ++pass) {
        fs::remove_all(dir);
        fs::create_directory(dir);
        merge_input(dir + "/a.rsrc", hex("52 53 00 00"), 1, 0, big);
        if (kind.old)
            put_file(dir + "/out", *kind.old);
        if (in_place)
            fs::create_hard_link(dir + "/out", dir + "/link");
        if (pass == 0 && run(dir, "none", {"-o", "out", "a.rsrc"}, err) == 0)
            fresh = file_bytes(dir + "/out");
    }
    std::set<std::string> before = names_in(dir);
    const int got = run(dir, seam, {"-o", "out", "a.rsrc"}, err);
    if (written)
        before.insert("out");
    check(got == status, what + ": status " + std::to_string(got));
    const std::string expected = written ? message
                                 : status == 1 && seam.rfind("mute-", 0) != 0
                                     ? message + "error: problem writing resource file out\n"
                                     : "";
    check(err == expected, what + ": standard error " + err);
    check(names_in(dir) == before, what + ": files left");
    for (const char* name : {"out", "link"})
        if ((kind.old || written) && fs::exists(dir + "/" + name))
            check(file_bytes(dir + "/" + name) == (written ? fresh.value_or(bytes()) : *kind.old),
                  what + ": " + name + (written ? " not written" : " changed"));
}

// Runs tamb with `args` in a fresh dir made by `make`, under each seam in
// turn: every run must succeed and leave the same output (and a hard link
// to it the same bytes).
void expect_same(const std::string& root, const std::string& what,
                 const std::function<void(const std::string&)>& make,
                 const std::vector<std::string>& args, const std::vector<std::string>& seams,
                 bool linked)
{
    std::vector<bytes> outputs;
    for (const auto& seam : seams) {
        const std::string dir = root + "/same";
        fs::remove_all(dir);
        fs::create_directory(dir);
        make(dir);
        if (linked)
            fs::create_hard_link(dir + "/out", dir + "/link");
        std::string err;
        const int status = run(dir, seam, args, err);
        check(status == 0 && err.empty(), what + ", " + seam + ": status " + std::to_string(status) + ", " + err);
        outputs.push_back(file_bytes(dir + "/out"));
        check(!linked || file_bytes(dir + "/link") == outputs.back(), what + ": the link differs");
    }
    for (const bytes& o : outputs)
        check(o == outputs[0], what + ": the outputs differ");
}

} // namespace

int main(int argc, char** argv)
{
    start_platform(&argc, &argv);
    if (argc >= 4 && std::strcmp(argv[1], "--run") == 0)
        return run_child(argc, argv);
    self = argv[0];
    const std::string root = (fs::temp_directory_path() / ("tamb-output-checks-" + std::to_string(getpid()))).string();
    fs::remove_all(root);
    fs::create_directories(root);

#if defined(_WIN32)
    const std::vector<std::string> limits = {"limit:"};
    // A raised signal's default action exits with 3.
    const std::vector<std::pair<int, int>> signals = {{SIGINT, 3}, {SIGTERM, 3}, {SIGBREAK, 3}};
#else
    const std::vector<std::string> limits = {"rlimit:", "mute-rlimit:", "limit:"};
    const std::vector<std::pair<int, int>> signals = {{SIGTERM, 128 + SIGTERM},
                                                      {SIGINT, 128 + SIGINT}};
#endif
    int cases = 0;
    for (bool in_place : {false, true})
        for (const auto& kind : output_kinds) {
            const std::string how = std::string(kind.what) + (in_place ? ", in place, " : ", ");
            if (kind.old || !in_place) { // writes cut to a few bytes a call change nothing
                expect_same(root, how + "cut writes",
                            [&](const std::string& dir) {
                                merge_input(dir + "/a.rsrc");
                                if (kind.old)
                                    put_file(dir + "/out", *kind.old);
                            },
                            {"-o", "out", "a.rsrc"}, {"none", "cap:3"}, in_place);
                ++cases;
            }
            for (const auto& p : failure_points)
                for (const auto& limit : limits)
                    if (point_applies(kind, p, in_place)) {
                        // Replacing a file longer than the limit, the copy meets it first.
                        const bool copy_first = !in_place && kind.old &&
                                                limit_for(kind, p) < kind.old->size();
                        // In place, the journal of the old bytes meets it first, and is given up.
                        const bool journal_first = in_place && limit_for(kind, p) < kind.old->size();
                        expect_unchanged(root, kind, in_place,
                                         limit + std::to_string(limit_for(kind, p)),
                                         std::string(journal_first ? "warning: out is written in place without a "
                                                                     "journal; a crash can leave it mixed\n"
                                                                   : "") +
                                             (copy_first ? failure_points[0].message : p.message),
                                         1, how + limit + p.what);
                        ++cases;
                    }
            for (size_t f = 0; f < std::size(call_failures); ++f) {
                const call_failure& c = call_failures[f];
                if ((in_place && (!kind.old || std::string(c.call).find("rename") != std::string::npos)) ||
                    (std::string(c.call) == "pwrite" && !kind.checksum))
                    continue;
                const bool signal = std::string(c.call).rfind("signal", 0) == 0;
                // A signal met once the output is committed ends the run after it.
                const bool written = signal && (in_place || std::string(c.call) == "signal rename");
                for (auto [sig, status] : signals) {
                    if (!signal && sig != signals[0].first)
                        continue;
                    expect_unchanged(root, kind, in_place,
                                     "call:" + std::to_string(f) + ":" + std::to_string(sig),
                                     written ? c.message + "warning: out was written before the signal\n"
                                             : c.message,
                                     signal ? status : 1,
                                     how + c.call + " " + std::to_string(c.nth) + " signal " +
                                         std::to_string(sig),
                                     false, written);
                    ++cases;
                }
            }
        }
    // A read-side call failing on the input, at every point with an outcome
    // of its own: the lines, and the output not made, or made without the
    // one resource whose data could not be read.
    const std::map<std::string, std::pair<bytes, pe_format>> inputs = {
        {"RS", {hex("52 53 00 00"), 1}},
        {"PE", {pe_file(1008, 1008), 1}},
        {"resf", {pef_file(40, 0, {}, "resf"), 0}},
        {"PEF", {pef_file(100, 1, {{60, 40}}), 0}}};
    const std::string where = "position_at_map(): ", image = "read_resource_file() ",
                      not_resource = "error: in is not a resource file\n",
                      unreadable = "error: problem reading resources from in\n";
    const struct {
        const char* input;
        const char* call;
        int nth;
        std::string lines;
    } read_failures[] = {
        {"RS", "lseek", 1, where + "lseek() to beginning failed\n" + not_resource},
        {"RS", "read", 1, where + "read() signature failed\n" + not_resource},
        {"RS", "lseek", 2, failed_with(image + "lseek() to the base offset failed", EIO) + unreadable},
        {"RS", "read", 2, image + "read() resource header failed\n" + unreadable},
        {"RS", "lseek", 3, image + "offset table lseek() failed\n" + unreadable},
        {"RS", "read", 3, image + "read() offset table first slot failed\n" + unreadable},
        {"RS", "read", 4, image + "read() offset table failed\n" + unreadable},
        {"RS", "lseek", 4, "read_block(): lseek() failed\n" + unreadable},
        {"RS", "read", 5, "read_block(): read() failed\n" + unreadable},
        {"RS", "pread", 1, ""}, // not the text form, then
        {"RS", "pread", 2, "read_block(): read() failed\n"
                           "parse_resource_map(): skipping resource 'LONG' 1\n"},
        {"RS", "fstat", 1, ""}, // the file's length is only a shortcut
        {"PE", "lseek", 2, where + "cannot seek to PE offset location\n" + not_resource},
        {"PE", "read", 2, where + "read() PE offset failed\n" + not_resource},
        {"PE", "lseek", 3, where + "lseek() to PE failed\n" + not_resource},
        {"PE", "read", 3, where + "read() PE signature failed\n" + not_resource},
        {"PE", "lseek", 4, where + "cannot seek to resource section offset\n" + not_resource},
        {"PE", "read", 4, where + "cannot read resource section offset\n" + not_resource},
        {"PE", "lseek", 5, where + "cannot get EOF\n" + not_resource},
        {"PE", "lseek", 6, where + "final lseek() failed\n" + not_resource},
        {"resf", "read", 2, where + "read() file header failed\n" + not_resource},
        {"PEF", "read", 3, where + "cannot read section headers (read(28) returns -1)\n" + not_resource},
        {"PEF", "lseek", 3, where + "can't find EOF\n" + not_resource},
        {"PEF", "lseek", 4, where + "lseek() to resource data failed\n" + not_resource},
        // The seek back to the start of a PowerPC header is not examined: the
        // header is then read from where the signature left off.
        {"PEF", "lseek", 2, image + "resource header version is wrong\n" + unreadable},
    };
    for (const auto& f : read_failures) {
        const std::string dir = root + "/read", what = std::string(f.input) + " " + f.call + " " +
                                                      std::to_string(f.nth);
        fs::remove_all(dir);
        fs::create_directory(dir);
        const auto& [before, format] = inputs.at(f.input);
        merge_input(dir + "/in", before, format);
        const bool skipped = f.lines.find("skipping") != std::string::npos;
        if (skipped || f.lines.empty())
            merge_input(dir + "/want", hex("52 53 00 00"), 1, skipped ? 1 : 0);
        std::string err;
        const int status = run(dir, std::string("fail-") + f.call + ":" + std::to_string(f.nth),
                               {"-o", "out", "in"}, err);
        const bool written = skipped || f.lines.empty();
        check(status == (written ? 0 : 1) && err == f.lines, what + ": " + err);
        check(written ? file_bytes(dir + "/out") == file_bytes(dir + "/want") : !fs::exists(dir + "/out"),
              what + ": the output");
        ++cases;
    }
    // Data kept in its input gives the same bytes as data read into memory,
    // into every kind of output, from both byte orders, in place too, when
    // the system refuses to copy between the files and when its copies come
    // up short.
    for (bool in_place : {false, true})
        for (const auto& kind : output_kinds)
            for (auto [name, format] : {std::pair{"RS", 1}, std::pair{"resf", 0}}) {
                if (in_place && !kind.old)
                    continue;
                const auto make = [&, name = std::string(name), format = format](const std::string& dir) {
                    merge_input(dir + "/in", inputs.at(name).first, format, 0, true);
                    if (kind.old)
                        put_file(dir + "/out", *kind.old);
                };
                expect_same(root, std::string(kind.what) + " from " + name + (in_place ? ", in place" : ""),
                            make, {"-o", "out", "in"}, {"big:keepnot", "none", "big:nocopy", "cap:100000"},
                            in_place);
                ++cases;
            }
    // An output that is also an input, written in place; and more inputs
    // whose data stays in them than are held open (added files, then an
    // input): the others are opened again when their data is copied, and
    // never more than 64 are open at once.
    expect_same(root, "in place over its own input",
                [&](const std::string& dir) { merge_input(dir + "/out", hex("52 53 00 00"), 1, 0, true); },
                {"-o", "out", "out", "--delete", "BIGD:262144"}, {"big:keepnot", "none", "nolock"}, true);
    {
        // Its old bytes cannot be kept aside: it is left as it was.
        const std::string dir = root + "/aside";
        fs::remove_all(dir);
        fs::create_directory(dir);
        merge_input(dir + "/out", hex("52 53 00 00"), 1, 0, true);
        fs::create_hard_link(dir + "/out", dir + "/link");
        const bytes old = file_bytes(dir + "/out");
        std::string err;
        const std::string first = failed_with("spill_data(): cannot make a temporary file", EACCES) +
                                  "keep_output_bytes(): cannot keep ",
                          last = " bytes\nerror: problem writing resource file out\n";
        check(run(dir, "nospill", {"-o", "out", "out", "--delete", "BIGD:262144"}, err) == 1 &&
                  err.rfind(first, 0) == 0 && err.size() > first.size() + last.size() &&
                  err.compare(err.size() - last.size(), last.size(), last) == 0 &&
                  file_bytes(dir + "/out") == old,
              "in place, nothing kept aside: " + err);
        ++cases;
    }
    std::vector<std::string> many = {"-o", "out"};
    for (int i = 0; i <= kept_inputs_open; ++i)
        many.insert(many.end(), {"--add", "BIGD:" + std::to_string(i) + "=blob"});
    many.push_back("in");
    expect_same(root, "more inputs than are held open",
                [&](const std::string& dir) {
                    put_file(dir + "/blob", big_data(size_t(kept_threshold)));
                    merge_input(dir + "/in", hex("52 53 00 00"), 1, 0, true);
                },
                many, {"big:keepnot", "none", "count", "nofile:60"}, false);
    cases += 2;
#if !defined(_WIN32) // (Windows renames nothing over a file that is open)
    {
        const std::string dir = root + "/reopen";
        fs::remove_all(dir);
        fs::create_directory(dir);
        put_file(dir + "/blob", big_data(size_t(kept_threshold)));
        put_file(dir + "/out", hex("52 53 00 00"));
        many.pop_back(); // the added files alone
        std::string err;
        check(run(dir, "big:replace", many, err) == 1 &&
                  err == "copy_resource_data(): blob changed while tamb was running\n"
                         "error: problem writing resource file out\n" &&
                  file_bytes(dir + "/out") == hex("52 53 00 00"),
              "a file opened again that is another: " + err);
        ++cases;
    }
#endif
    // A text's resources, whose data is a file kept where it is, a file and
    // text spilled together (the file's first MiB after two bytes waiting),
    // and a small file, into both byte orders: the image of the same list
    // held in memory.
    const bytes blob = big_data(size_t(kept_threshold) * 5);
    const std::string text = "# tamb resource text 1\nresource 'BIGD' 1 \"kept\"\n  file \"blob\"\n"
                             "resource 'LONG' 2\n  file \"blob\"\nresource 'BIGD' 3\n  hex 00 01\n"
                             "  file \"blob\"\n  text \"end\"\nresource 'CSTR' 4\n  file \"small\"\n";
    bytes mixed = {0, 1};
    mixed.insert(mixed.end(), blob.begin(), blob.end());
    mixed.insert(mixed.end(), {'e', 'n', 'd'});
    const std::vector<std::tuple<uint32_t, int32_t, const char*, bytes>> text_values = {
        {type_code("BIGD"), 1, "kept", blob}, {type_code("LONG"), 2, "", blob},
        {type_code("BIGD"), 3, "", mixed}, {type_code("CSTR"), 4, "", hex("68 69")}};
    for (const output_kind* kind : {&output_kinds[0], &output_kinds[5]})
        for (const char* seam : {"none", "big:keepnot"}) {
            const std::string dir = root + "/text";
            fs::remove_all(dir);
            fs::create_directory(dir);
            put_file(dir + "/blob", blob);
            put_file(dir + "/small", hex("68 69"));
            put_file(dir + "/t.txt", bytes(text.begin(), text.end()));
            resource* list = nullptr;
            for (const auto& [type, id, name, data] : text_values)
                add_resource(&list, type, id, data.data(), int32_t(data.size()), name);
            const bytes header = kind->old ? *kind->old : hex("52 53 00 00");
            put_file(dir + "/want", header);
            if (kind->old)
                put_file(dir + "/out", *kind->old);
            const int want = syscalls.open((dir + "/want").c_str(), O_RDWR, 0);
            check(want >= 0 && lseek(want, 0, SEEK_END) == off_t(header.size()) &&
                      write_resource_file(list, want, kind->old ? 0 : 1, nullptr) == 0,
                  "make want");
            close(want);
            free_resources(list);
            std::string err;
            check(run(dir, seam, {"-o", "out", "t.txt"}, err) == 0 && err.empty() &&
                      file_bytes(dir + "/out") == file_bytes(dir + "/want"),
                  std::string("text with file lines into ") + kind->what + ", " + seam + ": " + err);
            ++cases;
        }
    {
        // A `file` line whose data cannot be held names its line.
        std::string err;
        check(run(root + "/text", "nospill", {"-o", "out", "t.txt"}, err) == 1 &&
                  err == failed_with("spill_data(): cannot make a temporary file", EACCES) +
                             "t.txt:8: error: cannot hold the data of ./blob\n"
                             "error: problem reading resources from t.txt\n",
              "text, nothing spilled: " + err);
        ++cases;
    }
#if !defined(_WIN32)
    // A pipe's data, held in memory, spilled at once or on the way, into both
    // byte orders; and when it cannot be held.
    for (const output_kind* kind : {&output_kinds[0], &output_kinds[5]}) {
        expect_same(root, std::string("pipe into ") + kind->what,
                    [&](const std::string& dir) {
                        put_file(dir + "/blob", blob);
                        mkfifo((dir + "/fifo").c_str(), 0600);
                        if (kind->old)
                            put_file(dir + "/out", *kind->old);
                    },
                    {"-o", "out", "--add", "LONG:1=fifo", "--add", "BIGD:2=blob"},
                    {"fifo:999999999", "fifo:100000", "fifo:0"}, false);
        ++cases;
    }
    // (Or can: as many bytes as are held in memory need no spill file.)
    const struct {
        std::string seam;
        std::string lines;
    } cannot_hold[] = {
        {"fifo:" + std::to_string(blob.size()) + ",nospill", ""},
        {"fifo:0,nospill", failed_with("spill_data(): cannot make a temporary file", EACCES) +
                               "error: cannot hold the data of fifo\n"},
        {"fifo:0,fullspill", failed_with("spill_data(): write() failed", ENOSPC) +
                                 "error: cannot hold the data of fifo\n"},
        {"fifo:0,largest:100000", "error: fifo is too large for a resource\n"},
    };
    for (const auto& c : cannot_hold) {
        const std::string dir = root + "/hold";
        fs::remove_all(dir);
        fs::create_directory(dir);
        merge_input(dir + "/a.rsrc");
        put_file(dir + "/blob", blob);
        mkfifo((dir + "/fifo").c_str(), 0600);
        std::string err;
        const bool held = c.lines.empty();
        check(run(dir, c.seam, {"-o", "x", "a.rsrc", "-o", "y", "--add", "BLOB:1=fifo"}, err) == (held ? 0 : 1) &&
                  err == c.lines && fs::exists(dir + "/x") && fs::exists(dir + "/y") == held,
              c.seam + ": " + err);
        ++cases;
    }
#endif
    // A kernel copy that meets the output's limit or a full disk goes on as
    // a write, and fails as one.
    std::vector<std::string> full = limits;
    full.push_back("full:");
    for (const auto& limit : full)
        expect_unchanged(root, output_kinds[0], false, limit + std::to_string(4 + 2099153 + 1000),
                         "write_data_make_map() data write() failed: 1000\n", 1,
                         "kept data, " + limit, true);
    cases += int(full.size());
    // An input that changed before its data was copied, or that reads short
    // while an output over it saves its kept data: the output is left as it
    // was.
    std::vector<const char*> changes = {"grow", "touch", "cut", "short"};
#if !defined(_WIN32)
    changes.push_back("ctime");
#endif
    for (const std::string how : changes) {
        const std::string dir = root + "/changed";
        fs::remove_all(dir);
        fs::create_directory(dir);
        merge_input(dir + "/in", hex("52 53 00 00"), 1, 0, true);
        if (how == "short")
            fs::create_hard_link(dir + "/in", dir + "/out");
        else
            put_file(dir + "/out", hex("52 53 00 00"));
        const bytes old = file_bytes(dir + "/out");
        std::string err;
        const std::string cause = how == "short" ? "keep_output_bytes(): read() failed\n"
                                                 : "copy_resource_data(): in changed while tamb was running\n";
        check(run(dir, "big:" + how, {"-o", "out", "in"}, err) == 1 &&
                  err == cause + "error: problem writing resource file out\n" &&
                  file_bytes(dir + "/out") == old && names_in(dir) == std::set<std::string>{"in", "out"},
              "input changed, " + how + ": " + err);
        ++cases;
    }
    // A kept block that its file is too short to hold is refused as its read
    // would be: 'BIGD' 262144, the seventh chunk (slot 17), made to start at
    // the file's last byte.
    const std::string dir = root + "/case";
    fs::remove_all(dir);
    fs::create_directory(dir);
    merge_input(dir + "/in", hex("52 53 00 00"), 1, 0, true);
    bytes cut = file_bytes(dir + "/in");
    set32(cut, 4 + header_length + 12 * 17, uint32_t(cut.size() - 5), false);
    put_file(dir + "/in", cut);
    std::string err;
    check(run(dir, "none", {"-o", "out", "in"}, err) == 0 &&
              err == "read_block(): read() failed\nparse_resource_map(): skipping resource 'BIGD' 262144\n",
          "kept block past the end: " + err);
    fs::remove_all(dir);
    ++cases;
    // An extracted file that cannot be written is not left half-made.
    fs::create_directory(dir);
    merge_input(dir + "/a.rsrc");
    check(run(dir, "limit:10", {"a.rsrc", "--extract", "MIMS:2=m.bin"}, err) == 1 &&
              err == "extract_resource(): write() failed\nerror: problem writing m.bin\n" &&
              names_in(dir) == std::set<std::string>{"a.rsrc"},
          "extract cut short: " + err);
    ++cases;
    fs::remove_all(root);
    std::printf("output checks: %d cases, %d failed\n", cases, failures);
    return failures;
}
