// The platform layer on Linux and other POSIX systems: mostly the calls
// themselves.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/mman.h>
#include <vector>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#endif

system_calls syscalls = {::write, ::writev, ::pwrite, ::fsync, ::close, ::rename,
#if defined(__linux__)
                         ::copy_file_range,
#else
                         nullptr,
#endif
                         ::fchown,
#if defined(__linux__)
                         ::fsetxattr
#else
                         nullptr
#endif
};

const char* const null_device = "/dev/null";

void start_platform(int*, char***) {}

int open_path(const char* path, int flags, int mode)
{
    return open(path, flags, mode);
}

int stat_path(const char* path, struct stat* st)
{
    return stat(path, st);
}

int remove_path(const char* path)
{
    return unlink(path);
}

bool descriptor_open(int fd)
{
    return fcntl(fd, F_GETFD) >= 0 || errno != EBADF;
}

bool is_terminal(int fd)
{
    return isatty(fd) == 1;
}

bool same_file(const char* path, int fd)
{
    struct stat a, b;
    return stat(path, &a) == 0 && fstat(fd, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

ssize_t write_standard_output(const void* buffer, size_t n)
{
    std::fflush(stdout);
    return write_all(1, buffer, n);
}

int link_count(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? int(st.st_nlink) : 1;
}

std::string directory_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string file_name_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string follow_links(const std::string& path)
{
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        char link[PATH_MAX];
        if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        ssize_t n = readlink(at.c_str(), link, sizeof link);
        if (n <= 0 || size_t(n) >= sizeof link)
            break;
        std::string to(link, size_t(n));
        at = to[0] == '/' ? to : directory_of(at) + "/" + to;
    }
    return at;
}

bool rename_refused(const std::string& target, const struct stat& file)
{
    struct stat dir;
    const uid_t me = geteuid();
    return me != 0 && stat(directory_of(target).c_str(), &dir) == 0 &&
           (dir.st_mode & S_ISVTX) != 0 && file.st_uid != me && dir.st_uid != me;
}

namespace {

// The XXXXXX at the end of pattern replaced by six letters or digits.
void fill_pattern(std::string& pattern)
{
    static unsigned long counter = (unsigned long)getpid() * 2654435761u ^ (unsigned long)time(nullptr);
    const char* letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned long x = counter = counter * 6364136223846793005ul + 1442695040888963407ul +
                                (unsigned long)now.tv_nsec;
    for (size_t i = pattern.size() - 6; i < pattern.size(); ++i, x /= 62)
        pattern[i] = letters[x % 62];
}

std::string descriptor_path(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

#if defined(__linux__)
// The names of the extended attributes of fd, or false when they cannot
// be listed (a file system without them has none).
bool attribute_names(int fd, std::vector<std::string>& names)
{
    names.clear();
    for (;;) {
        ssize_t n = flistxattr(fd, nullptr, 0);
        if (n < 0)
            return errno == ENOTSUP;
        std::vector<char> list(size_t(n) + 1);
        n = flistxattr(fd, list.data(), list.size());
        if (n < 0 && errno == ERANGE)
            continue; // grew meanwhile
        if (n < 0)
            return false;
        for (size_t at = 0; at < size_t(n);) {
            names.emplace_back(list.data() + at);
            at += names.back().size() + 1;
        }
        return true;
    }
}

// Gives `to` the extended attributes of `from`, and only those.
bool copy_attributes(int to, int from)
{
    std::vector<std::string> wanted, had;
    if (!attribute_names(from, wanted) || !attribute_names(to, had))
        return false;
    for (const std::string& name : had)
        if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
            fremovexattr(to, name.c_str()) != 0)
            return false;
    std::vector<char> value;
    for (const std::string& name : wanted) {
        ssize_t n = fgetxattr(from, name.c_str(), nullptr, 0);
        if (n < 0)
            return false;
        value.resize(size_t(n) + 1);
        n = fgetxattr(from, name.c_str(), value.data(), value.size());
        if (n < 0 || syscalls.fsetxattr(to, name.c_str(), value.data(), size_t(n), 0) != 0)
            return false;
    }
    return true;
}
#else
bool copy_attributes(int, int)
{
    return true;
}
#endif

} // namespace

int make_temporary(const std::string& dir, std::string& pattern, bool* unnamed)
{
    *unnamed = false;
#if defined(O_TMPFILE)
    // A temporary without a name needs /proc to be named later.
    if (access("/proc/self/fd", F_OK) == 0) {
        int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) {
            *unnamed = true;
            return fd;
        }
    }
#else
    (void)dir;
#endif
    return mkostemp(pattern.data(), O_CLOEXEC);
}

int temporary_handle(int fd)
{
#if defined(O_PATH)
    return open(descriptor_path(fd).c_str(), O_PATH | O_CLOEXEC);
#else
    (void)fd;
    return -1;
#endif
}

int name_temporary(int handle, std::string& pattern)
{
    const std::string from = descriptor_path(handle);
    for (int attempt = 0; attempt < 100; ++attempt) {
        fill_pattern(pattern);
        if (linkat(AT_FDCWD, from.c_str(), AT_FDCWD, pattern.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return 0;
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

int give_new_mode(int fd)
{
    const mode_t mask = umask(0);
    umask(mask);
    return fchmod(fd, 0666 & ~mask);
}

int give_attributes(int fd, int from, const struct stat& st)
{
    // The owner first: changing it drops a file capability and the setuid
    // and setgid bits, which the attributes and the mode then put back.
    if (syscalls.fchown(fd, st.st_uid, st.st_gid) != 0)
        return -1;
    if (!copy_attributes(fd, from))
        return -1;
    return fchmod(fd, st.st_mode & 07777);
}

int clone_file(int out, int in)
{
#if defined(FICLONE)
    return ioctl(out, FICLONE, in);
#else
    (void)out, (void)in;
    return -1;
#endif
}

off_t next_data(int fd, off_t at, off_t end)
{
#if defined(SEEK_DATA)
    off_t data = lseek(fd, at, SEEK_DATA);
    if (data < 0 && errno == ENXIO)
        return -1;
    if (data >= 0)
        return data < end ? data : -1;
#endif
    (void)fd;
    return at < end ? at : -1;
}

off_t data_end(int fd, off_t at, off_t end)
{
#if defined(SEEK_HOLE)
    off_t hole = lseek(fd, at, SEEK_HOLE);
    if (hole >= 0 && hole < end)
        return hole;
#endif
    (void)fd, (void)at;
    return end;
}

int truncate_descriptor(int fd, off_t length)
{
    return ftruncate(fd, length);
}

int sync_directory(const std::string& dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return -1;
    int synced = syscalls.fsync(fd);
    ::close(fd);
    return synced;
}

void discard_file(int fd, const char* path)
{
    (void)fd; // a file may be removed while it is open
    unlink(path);
}

namespace {

constexpr int write_signals[] = {SIGPIPE, SIGXFSZ};
struct sigaction inherited[2];
bool write_signals_ignored = false;

} // namespace

void ignore_write_signals()
{
    if (write_signals_ignored)
        return;
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int i = 0; i < 2; ++i)
        sigaction(write_signals[i], &ignore, &inherited[i]);
    write_signals_ignored = true;
}

void restore_write_signals()
{
    if (!write_signals_ignored)
        return;
    for (int i = 0; i < 2; ++i)
        sigaction(write_signals[i], &inherited[i], nullptr);
    write_signals_ignored = false;
}

namespace {

constexpr int end_signals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[3];
bool caught = false;

} // namespace

void catch_end_signals(void (*handler)(int))
{
    end_signals_held held;
    for (int i = 0; i < 3; ++i) {
        struct sigaction catcher = {};
        catcher.sa_handler = handler;
        sigemptyset(&catcher.sa_mask);
        for (int s : end_signals)
            sigaddset(&catcher.sa_mask, s);
        sigaction(end_signals[i], nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN)
            sigaction(end_signals[i], &catcher, nullptr);
    }
    caught = true;
}

void release_end_signals()
{
    end_signals_held held;
    if (!caught)
        return;
    for (int i = 0; i < 3; ++i)
        sigaction(end_signals[i], &previous[i], nullptr);
    caught = false;
}

void end_by_signal(int sig)
{
    signal(sig, SIG_DFL);
    raise(sig); // pending until the handler returns, as the signal is blocked in it
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    _exit(128 + sig);
}

end_signals_held::end_signals_held()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : end_signals)
        sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &saved);
}

end_signals_held::~end_signals_held()
{
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

void* map_memory(size_t length, size_t alignment, bool huge)
{
    const size_t span = length + alignment;
    void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    const uintptr_t at = uintptr_t(p), start = (at + alignment - 1) & ~(alignment - 1),
                    end = start + length;
    if (start > at)
        munmap(p, start - at);
    if (at + span > end)
        munmap(reinterpret_cast<void*>(end), at + span - end);
#if defined(MADV_HUGEPAGE)
    if (huge)
        madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE); // refused: small pages
#else
    (void)huge;
#endif
    return reinterpret_cast<void*>(start);
}

void unmap_memory(void* p, size_t length)
{
    munmap(p, length);
}
