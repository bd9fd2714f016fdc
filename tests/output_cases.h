// The outputs a flush can meet and the points at which it can fail, shared
// by the tests of output replacement on Linux and the checks that run the
// same cases on Windows. Every case runs `tamb -o out a.rsrc`, with a.rsrc
// holding merge_values, and expects the output to be left as it was.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>

#include "images.h"
#include "platform/platform.h"
#include "resfile/resfile.h"

// Whole files, and the names in a directory.
inline bytes file_bytes(const std::string& path)
{
    std::error_code e;
    const auto size = std::filesystem::file_size(path, e);
    bytes b(e ? 0 : size_t(size));
    std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(b.data()), std::streamsize(b.size()));
    return b;
}

inline void put_file(const std::string& path, const bytes& b)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                                std::streamsize(b.size()));
}

inline std::set<std::string> names_in(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

// 38 bytes of data: 'LONG' 1 at image offset 1964, 'MIMS' 2 at 1968.
struct merge_value {
    uint32_t type;
    int32_t id;
    const char* name;
    bytes data;
};
inline const merge_value merge_values[] = {{type_code("LONG"), 1, "", hex("01 02 03 04")},
                                           {type_code("MIMS"), 2, "X", bytes(34, 0x5A)}};

struct output_kind {
    const char* what;
    std::optional<bytes> old; // none: the output does not exist
    size_t base;              // where the image goes
    bool checksum = false;    // the flush writes a PE checksum
};

inline const output_kind output_kinds[] = {
    {"new file", std::nullopt, 4},
    {"RS file", hex("52 53 00 00"), 4},
    {"PE without area", pe_file(1000, 0), 1008},
    {"PE with checksum", pe_optional(1000, 0, 0x10B, 0x1234), 1008, true},
    {"PE with area", pe_file(1008, 1008), 1008},
    {"resf file", pef_file(40, 0, {}, "resf"), 40},
    {"PEF file", pef_file(100, 1, {{60, 40}}), 100},
    {"long RS file", [] { bytes b(3000, 0xEE); std::copy_n("RS\0\0", 4, b.begin()); return b; }(), 4},
};

// The line of a system call that failed with error, as tamb prints it.
inline std::string failed_with(const std::string& line, int error)
{
    return line + ": " + std::strerror(error) + "\n";
}

// A file-size limit reached at each write that can meet it: the limit lies
// after_base bytes after the base, or, for -1, one byte short of the old
// file, where the copy meets it.
struct failure_point {
    const char* what;
    long after_base;
    std::string message;
};

inline const failure_point failure_points[] = {
    {"copy", -1, failed_with("copy_output(): copy_file_range() failed", EFBIG)},
    {"header", 30, "write_resource_file() resource header write() failed: 30\n"},
    {"chunk map", 168, "write_resource_file() chunk map write() failed: 100\n"},
    {"hole map", 1611, "write_resource_file() hole map write() failed: 7\n"},
    {"data", 1966, "write_data_make_map() data write() failed: 2\n"},
    {"map", 1964 + 38 + 10, "write_resource_file() resource map write() failed: 10\n"},
};

// Whether a case applies: a new output cannot be written in place, and the
// copy is only made of an old file replaced through a temporary.
inline bool point_applies(const output_kind& kind, const failure_point& p, bool in_place)
{
    if (in_place && !kind.old)
        return false;
    return p.after_base >= 0 || (!in_place && kind.old);
}

inline size_t limit_for(const output_kind& kind, const failure_point& p)
{
    return p.after_base < 0 ? kind.old->size() - 1 : kind.base + size_t(p.after_base);
}

// A system call of the table failing at its nth call, or, for "signal",
// the second fsync (when everything is written) raising `signal_number`
// (which an in-place output takes once it is synced), for "signal rename"
// the rename that commits the output raising it (taken once the directory
// is synced, which the message shows where there is one to sync), or, for
// "update", the nth write of a chunk map's length.
struct call_failure {
    const char* call;
    int nth;
    std::string message;
};

inline const call_failure call_failures[] = {
    {"signal", 2, ""},
#if defined(_WIN32)
    {"signal rename", 1, ""}, // the rename is written through: no directory to sync
#else
    {"signal rename", 1, "directory synced\n"},
#endif
    {"fsync", 1, failed_with("write_resource_file() fsync() failed", EIO)},
    {"fsync", 2, failed_with("commit_output(): fsync() failed", EIO)},
    {"close", 1, failed_with("commit_output(): close() failed", EIO)},
    {"rename", 1, failed_with("commit_output(): rename() failed", EXDEV)},
    {"update", 2, "write_resource_file() chunk map update write() failed: -1\n"},
    {"pwrite", 1, failed_with("pe_checksum(): write() failed", EIO)}, // outputs with a checksum only
};

namespace seam {
inline int nth = 0, calls = 0, signal_number = 0;
inline system_calls real;
inline off_t limit = -1;
inline int full = EFBIG; // what a write past the limit meets: EFBIG, or ENOSPC for a full disk

// The journal of "out" and directories: the counts below pass over their
// syncs and writes.
inline bool passed_over(int fd)
{
    struct stat st;
    return same_file(".out.tamb-journal", fd) || (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode));
}

inline int fsync(int fd)
{
    if (passed_over(fd) || ++calls != nth)
        return real.fsync(fd);
    if (signal_number != 0)
        return raise(signal_number);
    return errno = EIO, -1;
}

// The output's descriptor is the one closed right after its sync.
inline int synced = -1;

inline int sync_noted(int fd)
{
    synced = fd;
    return real.fsync(fd);
}

inline int close(int fd)
{
    real.close(fd);
    if (fd != synced)
        return 0;
    return errno = EIO, -1;
}

inline int rename(const char*, const char*)
{
    return errno = EXDEV, -1;
}

inline int rename_raising(const char* from, const char* to)
{
    const int renamed = real.rename(from, to);
    return renamed == 0 ? raise(signal_number) : renamed;
}

// A new output is linked under its name instead of renamed: the same.
inline int link_raising(const char* from, const char* to)
{
    const int linked = real.linkat(from, to);
    return linked == 0 && std::string(to).find(".tamb-") == std::string::npos ? raise(signal_number)
                                                                              : linked;
}

inline int fsync_showing_directories(int fd)
{
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        (void)!::write(2, "directory synced\n", 17);
    return real.fsync(fd);
}

// A new output is linked under its name where it can be: not here.
inline int link_not_out(const char* from, const char* to)
{
    return std::string(to) == "out" ? (errno = EXDEV, -1) : real.linkat(from, to);
}

inline ssize_t update(int fd, const void* p, size_t n)
{
    if (n == 12 * 128 && ++calls == nth)
        return errno = EIO, -1;
    return real.write(fd, p, n);
}

// The checksum's write, the one pwrite of 4 bytes in a flush.
inline ssize_t checksum_write(int fd, const void* p, size_t n, off_t at)
{
    if (n == 4 && !passed_over(fd) && ++calls == nth)
        return errno = EIO, -1;
    return real.pwrite(fd, p, n, at);
}

// Writes as a file-size limit lets them: cut at the limit, refused past it.
inline ssize_t cut(ssize_t (*write)(int, const void*, size_t, off_t), int fd, const void* p,
                   size_t n, off_t at)
{
    if (at >= limit)
        return errno = full, -1;
    return write(fd, p, n < size_t(limit - at) ? n : size_t(limit - at), at);
}

inline ssize_t write_at(int fd, const void* p, size_t n, off_t at)
{
    return lseek(fd, at, SEEK_SET) == at ? real.write(fd, p, n) : -1;
}

inline ssize_t write(int fd, const void* p, size_t n)
{
    return cut(write_at, fd, p, n, lseek(fd, 0, SEEK_CUR));
}

inline ssize_t pwrite(int fd, const void* p, size_t n, off_t at)
{
    return cut(real.pwrite, fd, p, n, at);
}

inline ssize_t writev(int fd, const iovec* parts, int count)
{
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at >= limit)
        return errno = full, -1;
    std::vector<iovec> allowed;
    for (size_t room = size_t(limit - at); count-- > 0 && room > 0; ++parts) {
        allowed.push_back({parts->iov_base, parts->iov_len < room ? parts->iov_len : room});
        room -= allowed.back().iov_len;
    }
    return real.writev(fd, allowed.data(), int(allowed.size()));
}

inline ssize_t copy_file_range(int in, off_t* in_at, int out, off_t* out_at, size_t n,
                               unsigned flags)
{
    if (*out_at >= limit)
        return errno = full, -1;
    return real.copy_file_range(in, in_at, out, out_at,
                                n < size_t(limit - *out_at) ? n : size_t(limit - *out_at), flags);
}

// Writes that move at most `most` bytes a call, as a pipe or a signal may cut them.
inline size_t most = 0;

inline ssize_t capped_writev(int fd, const iovec* parts, int count)
{
    std::vector<iovec> allowed;
    for (size_t room = most; count-- > 0 && room > 0; ++parts) {
        allowed.push_back({parts->iov_base, parts->iov_len < room ? parts->iov_len : room});
        room -= allowed.back().iov_len;
    }
    return real.writev(fd, allowed.data(), int(allowed.size()));
}
} // namespace seam

// The inputs (the files opened for reading), for the seams below.
namespace seam {
inline std::set<int> inputs;
inline std::string big;
inline bool short_reads = false;

inline int open_noted(const char* path, int flags, int mode)
{
    const int fd = real.open(path, flags, mode);
    const bool input = (flags & O_ACCMODE) == O_RDONLY;
    if (fd >= 0 && input)
        inputs.insert(fd);
    if (fd >= 0 && !input && big == "grow")
        std::filesystem::resize_file("in", std::filesystem::file_size("in") + 1);
    if (fd >= 0 && !input && big == "touch")
        std::filesystem::last_write_time(
            "in", std::filesystem::last_write_time("in") - std::chrono::hours(1));
#if !defined(_WIN32)
    // Its modification time set to what it was, until its change time has
    // moved on from the one tamb saw (the clock moves by the kernel's tick).
    struct stat was, now;
    if (fd >= 0 && !input && big == "ctime" && ::stat("in", &was) == 0)
        do
            std::filesystem::last_write_time("in", std::filesystem::last_write_time("in"));
        while (::stat("in", &now) == 0 && now.st_ctim.tv_sec == was.st_ctim.tv_sec &&
               now.st_ctim.tv_nsec == was.st_ctim.tv_nsec);
#endif
    short_reads |= fd >= 0 && !input && big == "short";
    if (fd >= 0 && !input && big == "replace") { // the same bytes, another file
        std::filesystem::copy_file("blob", "blob.new");
        std::filesystem::rename("blob.new", "blob");
    }
    return fd;
}

inline void note_inputs()
{
    real = syscalls;
    syscalls.open = open_noted;
    syscalls.close = [](int fd) { return inputs.erase(fd), real.close(fd); };
}

// The nth call of `failing` (read, pread, lseek or fstat) on an input.
inline std::string failing;
inline int left = 0;

inline bool fails(const char* call, int fd)
{
    return inputs.count(fd) != 0 && failing == call && --left == 0 && (errno = EIO, true);
}
} // namespace seam

inline void install_read_failure(const std::string& call, int nth)
{
    using namespace seam;
    note_inputs();
    failing = call;
    left = nth;
    syscalls.read = [](int fd, void* p, size_t n) { return fails("read", fd) ? -1 : real.read(fd, p, n); };
    syscalls.pread = [](int fd, void* p, size_t n, off_t at) {
        return fails("pread", fd) ? -1 : real.pread(fd, p, n, at);
    };
    syscalls.lseek = [](int fd, off_t at, int how) {
        return fails("lseek", fd) ? off_t(-1) : real.lseek(fd, at, how);
    };
    syscalls.fstat = [](int fd, struct stat* st) { return fails("fstat", fd) ? -1 : real.fstat(fd, st); };
}

// Big data kept in its input, or not: "keepnot" holds no input open (its
// dup fails), "nocopy" refuses copy_file_range as another file system
// would, "grow", "touch" and "ctime" change the input "in" once the output
// is opened (its length; its modification time; its change time alone),
// "replace" renames a copy of "blob" over it then,
// "short" makes the first read of it from then on come up short (half,
// then the end), "cut" truncates it when its data is copied.
inline void install_big(const std::string& how)
{
    using namespace seam;
    note_inputs();
    big = how;
    if (how == "keepnot")
        syscalls.dup = [](int fd) { return inputs.count(fd) != 0 ? (errno = EMFILE, -1) : real.dup(fd); };
    syscalls.pread = [](int fd, void* p, size_t n, off_t at) {
        static bool cut = false;
        if (!short_reads || !same_file("in", fd))
            return real.pread(fd, p, n, at);
        return std::exchange(cut, true) ? 0 : real.pread(fd, p, n / 2, at);
    };
    syscalls.copy_file_range = [](int in, off_t* in_at, int out, off_t* out_at, size_t n, unsigned f) {
        if (big == "nocopy")
            return errno = EXDEV, ssize_t(-1);
        if (big == "cut" && same_file("in", in))
            std::filesystem::resize_file("in", uint64_t(*in_at));
        return real.copy_file_range(in, in_at, out, out_at, n, f);
    };
}

// Cuts every write to at most `most` bytes.
inline void install_cap(size_t most)
{
    using namespace seam;
    real = syscalls;
    seam::most = most;
    syscalls.write = [](int fd, const void* p, size_t n) { return real.write(fd, p, std::min(n, seam::most)); };
    syscalls.writev = capped_writev;
    syscalls.pwrite = [](int fd, const void* p, size_t n, off_t at) {
        return real.pwrite(fd, p, std::min(n, seam::most), at);
    };
    syscalls.copy_file_range = [](int in, off_t* in_at, int out, off_t* out_at, size_t n, unsigned f) {
        return real.copy_file_range(in, in_at, out, out_at, std::min(n, seam::most), f);
    };
}

// Makes the call fail, in the process that runs tamb.
inline void install(const call_failure& f, int signal_number)
{
    seam::real = syscalls;
    seam::nth = f.nth;
    seam::signal_number = std::string(f.call).rfind("signal", 0) == 0 ? signal_number : 0;
    if (std::string(f.call) == "signal rename")
        syscalls.rename = seam::rename_raising, syscalls.linkat = seam::link_raising,
        syscalls.fsync = seam::fsync_showing_directories;
    else if (std::string(f.call) == "close")
        syscalls.close = seam::close, syscalls.fsync = seam::sync_noted;
    else if (std::string(f.call) == "rename")
        syscalls.rename = seam::rename, syscalls.linkat = seam::link_not_out;
    else if (std::string(f.call) == "update")
        syscalls.write = seam::update;
    else if (std::string(f.call) == "pwrite")
        syscalls.pwrite = seam::checksum_write;
    else
        syscalls.fsync = seam::fsync;
}

// Emulates a file-size limit (or a disk full at `limit`) through the table,
// for systems without one.
inline void install_limit(off_t limit, int error)
{
    seam::real = syscalls;
    seam::limit = limit;
    seam::full = error;
    syscalls.write = seam::write;
    syscalls.writev = seam::writev;
    syscalls.pwrite = seam::pwrite;
    syscalls.copy_file_range = seam::copy_file_range;
}
