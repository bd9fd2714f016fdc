// The platform layer on Linux and other POSIX systems: mostly the calls
// themselves.
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <sys/mman.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

system_calls syscalls = {::write, ::writev, ::pwrite, ::fsync, ::close, ::rename,
#if defined(__linux__)
                         ::copy_file_range
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

int make_temporary(std::string& pattern)
{
    return mkstemp(pattern.data());
}

int give_mode(int fd, const struct stat* from)
{
    if (from == nullptr) {
        const mode_t mask = umask(0);
        umask(mask);
        return fchmod(fd, 0666 & ~mask);
    }
    if (fchown(fd, from->st_uid, from->st_gid) != 0) {
        // Not ours to give away: the file keeps our owner.
    }
    return fchmod(fd, from->st_mode & 07777);
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
