// The platform layer on Linux and other POSIX systems: mostly the calls
// themselves.
#include "platform/platform.h"
#include "platform/shared.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#if defined(__GLIBC__)
#include <dlfcn.h>
#include <link.h>
#endif
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <vector>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#endif

namespace {

int open_file(const char* path, int flags, int mode)
{
    return ::open(path, flags, mode);
}

int open_unnamed(const char* dir, int mode)
{
#if defined(O_TMPFILE)
    // A temporary without a name needs /proc to be named later.
    if (access("/proc/self/fd", F_OK) != 0)
        return errno = EOPNOTSUPP, -1;
    return ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
#else
    (void)dir, (void)mode;
    return errno = EOPNOTSUPP, -1;
#endif
}

int link_following(const char* from, const char* to)
{
    return ::linkat(AT_FDCWD, from, AT_FDCWD, to, AT_SYMLINK_FOLLOW);
}

int share_blocks(int out, int in)
{
#if defined(FICLONE)
    return ioctl(out, FICLONE, in);
#else
    (void)out, (void)in;
    return errno = EOPNOTSUPP, -1;
#endif
}

int lock_file(const char* path, int wait, file_identity* locked)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat st;
    if (fd < 0)
        return -1;
    if (::fstat(fd, &st) != 0 || ::flock(fd, LOCK_EX | (wait != 0 ? 0 : LOCK_NB)) != 0) {
        const int error = errno;
        ::close(fd);
        return errno = error, -1;
    }
    *locked = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
    return fd; // the lock lasts while it is open
}

int unlock_file(int held)
{
    return ::close(held);
}

int open_spill_file()
{
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0')
        dir = "/tmp";
#if defined(O_TMPFILE)
    const int fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
#endif
    // A file system without unnamed temporaries: a named one, removed at once.
    std::string pattern = std::string(dir) + "/.tamb-spill-XXXXXX";
    const int named = mkostemp(pattern.data(), O_CLOEXEC);
    if (named >= 0)
        ::unlink(pattern.c_str());
    return named;
}

#if !defined(__linux__)
ssize_t no_list(int, char*, size_t)
{
    return 0; // no extended attributes
}
ssize_t no_get(int, const char*, void*, size_t)
{
    return errno = ENOTSUP, -1;
}
int no_set(int, const char*, const void*, size_t, int)
{
    return errno = ENOTSUP, -1;
}
int no_remove(int, const char*)
{
    return errno = ENOTSUP, -1;
}
ssize_t no_copy(int, off_t*, int, off_t*, size_t, unsigned)
{
    return errno = ENOSYS, -1;
}
#endif

constexpr system_calls system_defaults = {
    open_file,   open_unnamed, ::stat,    ::lstat,     ::readlink, ::fstat, ::read,
    ::pread,     ::lseek,      ::write,   ::writev,    ::pwrite,   ::ftruncate,
    ::fsync,     ::close,      ::dup,     ::rename,    ::unlink,   link_following,
    ::fchmod,    ::fchown,
#if defined(__linux__)
    ::flistxattr, ::fgetxattr, ::fsetxattr, ::fremovexattr, share_blocks, ::copy_file_range,
#else
    no_list,     no_get,       no_set,    no_remove,   share_blocks, no_copy,
#endif
    lock_file,   unlock_file, open_spill_file,
};

} // namespace

system_calls syscalls = system_defaults;

void reset_system_calls()
{
    syscalls = system_defaults;
}

const char* const null_device = "/dev/null";

void start_platform(int*, char***) {}

bool descriptor_open(int fd)
{
    return fcntl(fd, F_GETFD) >= 0 || errno != EBADF;
}

bool is_terminal(int fd)
{
    return isatty(fd) == 1;
}

void allow_terminal_sequences(int) {}

bool same_file(const char* path, int fd)
{
    struct stat a, b;
    return syscalls.stat(path, &a) == 0 && syscalls.fstat(fd, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

int descriptor_identity(int fd, file_identity* id)
{
    struct stat st;
    if (syscalls.fstat(fd, &st) != 0)
        return -1;
    *id = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
    return 0;
}

int path_identity(const char* path, file_identity* id)
{
    struct stat st;
    if (syscalls.stat(path, &st) != 0)
        return -1;
    *id = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
    return 0;
}

bool names_file(const char* path, const file_identity& id)
{
    struct stat st;
    return syscalls.stat(path, &st) == 0 &&
           file_identity{uint64_t(st.st_dev), uint64_t(st.st_ino)} == id;
}

int state_of(int fd, file_state* state)
{
    struct stat st;
    if (syscalls.fstat(fd, &st) != 0)
        return -1;
    *state = {st.st_size, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
              int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
    return 0;
}

bool same_descriptors(int a, int b)
{
    struct stat x, y;
    return syscalls.fstat(a, &x) == 0 && syscalls.fstat(b, &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
}

ssize_t write_standard_output(const void* buffer, size_t n)
{
    std::fflush(stdout);
    return write_all(1, buffer, n);
}

void widen_pipe(int fd)
{
#if defined(F_SETPIPE_SZ)
    (void)fcntl(fd, F_SETPIPE_SZ, 1 << 20); // refused: as it was
#else
    (void)fd;
#endif
}

int descriptor_limit()
{
    rlimit l;
    if (getrlimit(RLIMIT_NOFILE, &l) != 0 || l.rlim_cur == RLIM_INFINITY || l.rlim_cur > INT_MAX)
        return INT_MAX;
    return int(l.rlim_cur);
}

void pause_for(int milliseconds)
{
    const timespec t{milliseconds / 1000, long(milliseconds % 1000) * 1000000};
    nanosleep(&t, nullptr);
}

int link_count(int fd)
{
    struct stat st;
    return syscalls.fstat(fd, &st) == 0 ? int(st.st_nlink) : 1;
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
        if (syscalls.lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        ssize_t n = syscalls.readlink(at.c_str(), link, sizeof link);
        if (n <= 0 || size_t(n) >= sizeof link)
            break;
        std::string to(link, size_t(n));
        at = to[0] == '/' ? to : directory_of(at) + "/" + to;
    }
    return at;
}

int names_in_directory(const std::string& dir, std::vector<std::string>* names)
{
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    names->clear();
    while (const dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names->emplace_back(e->d_name);
    closedir(d);
    return 0;
}

bool rename_refused(const std::string& target, const struct stat& file)
{
    struct stat dir;
    const uid_t me = geteuid();
    return me != 0 && syscalls.stat(directory_of(target).c_str(), &dir) == 0 &&
           (dir.st_mode & S_ISVTX) != 0 && file.st_uid != me && dir.st_uid != me;
}

namespace {

std::string descriptor_path(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

} // namespace

int temporary_handle(int fd)
{
#if defined(O_PATH)
    return syscalls.open(descriptor_path(fd).c_str(), O_PATH | O_CLOEXEC, 0);
#else
    (void)fd;
    return -1;
#endif
}

int link_temporary(int handle, const std::string& path)
{
    return syscalls.linkat(descriptor_path(handle).c_str(), path.c_str());
}

int name_temporary(int handle, std::string& pattern)
{
    const std::string from = descriptor_path(handle);
    for (int attempt = 0; attempt < 100; ++attempt) {
        fill_temporary_name(pattern);
        if (syscalls.linkat(from.c_str(), pattern.c_str()) == 0)
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
    return syscalls.fchmod(fd, 0666 & ~mask);
}

off_t next_data(int fd, off_t at, off_t end)
{
#if defined(SEEK_DATA)
    off_t data = syscalls.lseek(fd, at, SEEK_DATA);
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
    off_t hole = syscalls.lseek(fd, at, SEEK_HOLE);
    if (hole >= 0 && hole < end)
        return hole;
#endif
    (void)fd, (void)at;
    return end;
}

int truncate_descriptor(int fd, off_t length)
{
    return ::ftruncate(fd, length);
}

int sync_directory(const std::string& dir)
{
    int fd = syscalls.open(dir.c_str(), O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0)
        return -1;
    int synced = syscalls.fsync(fd);
    syscalls.close(fd);
    return synced;
}

void discard_file(int fd, const char* path)
{
    (void)fd; // a file may be removed while it is open
    ::unlink(path);
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

bool write_signals_are_ignored()
{
    return write_signals_ignored;
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

void write_error_directly(const char* text, size_t n)
{
    while (n > 0) {
        const ssize_t k = ::write(2, text, n);
        if (k <= 0)
            return;
        text += k, n -= size_t(k);
    }
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

namespace {
pthread_mutex_t process_lock = PTHREAD_MUTEX_INITIALIZER;
} // namespace

void take_process_lock()
{
    pthread_mutex_lock(&process_lock);
}

void release_process_lock()
{
    pthread_mutex_unlock(&process_lock);
}

object_lock::object_lock()
{
    pthread_mutex_init(&state, nullptr);
}

object_lock::~object_lock()
{
    pthread_mutex_destroy(&state);
}

void object_lock::take()
{
    pthread_mutex_lock(&state);
}

void object_lock::release()
{
    pthread_mutex_unlock(&state);
}

bool programs_carry_resources()
{
    return false;
}

std::string own_module_path(const void* address)
{
#if defined(__GLIBC__)
    // The loader names a shared library by the path it was loaded from; the
    // program has no name of its own there (dladdr would give argv[0]).
    Dl_info info;
    link_map* module = nullptr;
    if (dladdr1(address, &info, reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) != 0 &&
        module != nullptr && module->l_name != nullptr && module->l_name[0] != '\0')
        return module->l_name;
#else
    (void)address;
#endif
    std::vector<char> path(PATH_MAX);
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    return n > 0 && size_t(n) < path.size() ? std::string(path.data(), size_t(n)) : std::string();
}
