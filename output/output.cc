// Replacing an output file: a temporary renamed over it, or the file itself
// with what the flush overwrites kept for putting back. See output.h.
#include "output/output.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "resfile/fail.h"

output_calls output_syscalls = {::fsync, ::close, ::rename, ::copy_file_range};

namespace {

constexpr int watched_signals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous_actions[3];
output_file* volatile active = nullptr;

// Holds SIGINT, SIGTERM and SIGHUP back while the state that their handler
// reads changes.
struct signals_held {
    sigset_t old;
    signals_held()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int s : watched_signals)
            sigaddset(&set, s);
        sigprocmask(SIG_BLOCK, &set, &old);
    }
    ~signals_held() { sigprocmask(SIG_SETMASK, &old, nullptr); }
};

// Writes all of n bytes at `at`; false when a write fails.
bool put_all(int fd, const unsigned char* p, size_t n, off_t at)
{
    while (n > 0) {
        ssize_t k = pwrite(fd, p, n, at);
        if (k <= 0)
            return false;
        p += k, n -= size_t(k), at += k;
    }
    return true;
}

// Puts the output back as it was. Only async-signal-safe calls: the signal
// handler runs it too.
void undo(output_file* out)
{
    if (out->way == output_way::replace) {
        if (out->temp_made)
            unlink(out->temp.c_str());
        return;
    }
    if (out->way != output_way::in_place)
        return;
    const int fd = out->fd >= 0 ? out->fd : out->original;
    for (const kept_bytes& k : out->kept)
        put_all(fd, k.bytes, k.length, k.at);
    if (ftruncate(fd, out->old_length) == 0)
        ::fsync(fd);
}

void on_signal(int sig)
{
    output_file* out = active;
    if (out != nullptr && !out->finished)
        undo(out);
    signal(sig, SIG_DFL);
    raise(sig); // delivered, with its usual effect, once the handler returns
}

// Catches the signals that end a run (those not ignored) while out is open.
void watch(output_file* out)
{
    signals_held held;
    active = out;
    for (int i = 0; i < 3; ++i) {
        struct sigaction catcher = {};
        catcher.sa_handler = on_signal;
        sigemptyset(&catcher.sa_mask);
        for (int s : watched_signals)
            sigaddset(&catcher.sa_mask, s);
        sigaction(watched_signals[i], nullptr, &previous_actions[i]);
        if (previous_actions[i].sa_handler != SIG_IGN)
            sigaction(watched_signals[i], &catcher, nullptr);
    }
}

void unwatch(output_file* out)
{
    signals_held held;
    if (active != out)
        return;
    for (int i = 0; i < 3; ++i)
        sigaction(watched_signals[i], &previous_actions[i], nullptr);
    active = nullptr;
}

void release(output_file* out)
{
    unwatch(out);
    for (kept_bytes& k : out->kept)
        std::free(k.bytes);
    out->kept.clear();
    if (out->fd >= 0)
        ::close(out->fd);
    if (out->original >= 0)
        ::close(out->original);
    out->fd = out->original = -1;
}

std::string directory_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path names, with symbolic links in its last part followed (a
// link's target may not exist yet).
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

// A rename into a sticky directory is refused for a file that belongs to
// somebody else, unless the directory is ours.
bool sticky_refuses(const std::string& target, const struct stat& file)
{
    struct stat dir;
    const uid_t me = geteuid();
    return me != 0 && stat(directory_of(target).c_str(), &dir) == 0 &&
           (dir.st_mode & S_ISVTX) != 0 && file.st_uid != me && dir.st_uid != me;
}

// Makes the temporary `.NAME.tamb-XXXXXX` beside the target.
bool make_temp(output_file* out)
{
    const std::string& target = out->target;
    size_t slash = target.rfind('/');
    std::string name = target.substr(slash == std::string::npos ? 0 : slash + 1);
    if (name.size() > 200) // room for the rest within a name's 255 bytes
        name.resize(200);
    std::string pattern = directory_of(target) + "/." + name + ".tamb-XXXXXX";
    signals_held held;
    int fd = mkstemp(pattern.data());
    if (fd < 0)
        return false;
    out->temp = pattern;
    out->temp_made = 1;
    out->fd = fd;
    return true;
}

int start_in_place(output_file* out, int fd, const struct stat& st)
{
    out->way = output_way::in_place;
    out->fd = fd;
    out->old_length = st.st_size;
    out->original = dup(fd); // puts the bytes back should closing fd fail
    if (out->original < 0) {
        out->fd = -1;
        ::close(fd);
        return -1;
    }
    watch(out);
    return 0;
}

bool sync_unsupported(int error)
{
    return error == EINVAL || error == EROFS;
}

// Copies [at, at + n) of in to the same place in out.
int copy_range(int in, int out, off_t at, off_t n)
{
    off_t in_at = at, out_at = at;
    bool copied = false;
    while (in_at < at + n) {
        ssize_t k = output_syscalls.copy_file_range(in, &in_at, out, &out_at,
                                                    size_t(at + n - in_at), 0);
        if (k > 0) {
            copied = true;
            continue;
        }
        if (k < 0 && !copied &&
            (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP))
            break; // not between these files: copy through a buffer
        return fail("copy_output(): copy_file_range() failed\n");
    }
    static unsigned char buffer[1 << 16];
    while (in_at < at + n) {
        ssize_t k = pread(in, buffer, size_t(std::min<off_t>(sizeof buffer, at + n - in_at)), in_at);
        if (k <= 0)
            return fail("copy_output(): read() failed\n");
        if (!put_all(out, buffer, size_t(k), in_at))
            return fail("copy_output(): write() failed\n");
        in_at += k;
    }
    return 0;
}

} // namespace

output_file::~output_file()
{
    abandon_output(this);
}

int open_output(output_file* out, const char* path, int flags)
{
    out->path = path;
    const bool fresh = (flags & output_fresh) != 0;
    struct stat st = {};
    int fd = -1;
    if (fresh) {
        // A device or a FIFO is written as it is, never replaced.
        if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
            out->fd = open(path, O_WRONLY);
            return out->fd < 0 ? -1 : 0;
        }
    } else {
        fd = open(path, O_RDWR);
        if (fd < 0 && errno != ENOENT)
            return -1;
        if (fd >= 0 && fstat(fd, &st) != 0) {
            ::close(fd);
            return -1;
        }
        if (fd >= 0 && !S_ISREG(st.st_mode)) {
            out->fd = fd;
            return 0;
        }
    }
    out->target = follow_links(path);
    if (out->target.empty() || out->target.back() == '/') { // names no file
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    if (fd >= 0 && (st.st_nlink > 1 || sticky_refuses(out->target, st)))
        return start_in_place(out, fd, st);
    out->way = output_way::replace;
    watch(out);
    if (!make_temp(out)) {
        unwatch(out);
        if (fd >= 0)
            return start_in_place(out, fd, st);
        return -1;
    }
    out->original = fd;
    if (fd >= 0) {
        if (fchown(out->fd, st.st_uid, st.st_gid) != 0) {
            // Not ours to give away: the temporary keeps our owner.
        }
        if (fchmod(out->fd, st.st_mode & 07777) != 0)
            return fail("open_output(): fchmod() failed\n");
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        if (fchmod(out->fd, 0666 & ~mask) != 0)
            return fail("open_output(): fchmod() failed\n");
    }
    return 0;
}

int copy_output(output_file* out)
{
    if (out->way != output_way::replace || out->original < 0)
        return 0;
    const int in = out->original;
    struct stat st;
    if (fstat(in, &st) != 0)
        return fail("copy_output(): fstat() failed\n");
    if (ioctl(out->fd, FICLONE, in) != 0) {
        // The holes of a sparse file stay holes: only its data is copied.
        for (off_t at = 0; at < st.st_size;) {
            off_t data = lseek(in, at, SEEK_DATA);
            if (data < 0 && errno == ENXIO)
                break;
            if (data < 0)
                data = at;
            off_t hole = lseek(in, data, SEEK_HOLE);
            if (hole < 0 || hole > st.st_size)
                hole = st.st_size;
            if (copy_range(in, out->fd, data, hole - data) != 0)
                return -1;
            at = hole;
        }
        if (ftruncate(out->fd, st.st_size) != 0)
            return fail("copy_output(): ftruncate() failed\n");
    }
    out->original = -1;
    ::close(in); // only ever read
    return 0;
}

int keep_output_bytes(output_file* out, off_t at, int64_t length)
{
    if (out->way != output_way::in_place || at < 0 || at >= out->old_length || length <= 0)
        return 0;
    const off_t end = length > out->old_length - at ? out->old_length : at + off_t(length);
    const size_t n = size_t(end - at);
    auto* bytes = static_cast<unsigned char*>(std::malloc(n));
    if (bytes == nullptr)
        return fail("keep_output_bytes(): malloc(%zu) failed\n", n);
    for (size_t got = 0; got < n;) {
        ssize_t k = pread(out->fd, bytes + got, n - got, at + off_t(got));
        if (k <= 0) {
            std::free(bytes);
            return fail("keep_output_bytes(): read() failed\n");
        }
        got += size_t(k);
    }
    signals_held held;
    out->kept.push_back({at, n, bytes});
    return 0;
}

int commit_output(output_file* out)
{
    if (out->finished)
        return 0;
    if (out->way != output_way::plain && output_syscalls.fsync(out->fd) != 0 &&
        !sync_unsupported(errno)) {
        fail("commit_output(): fsync() failed\n");
        abandon_output(out);
        return -1;
    }
    const int fd = out->fd;
    out->fd = -1;
    if (output_syscalls.close(fd) != 0) {
        fail("commit_output(): close() failed\n");
        abandon_output(out);
        return -1;
    }
    if (out->way == output_way::replace) {
        int renamed;
        {
            signals_held held;
            renamed = output_syscalls.rename(out->temp.c_str(), out->target.c_str());
            if (renamed == 0)
                out->finished = 1;
        }
        if (renamed != 0) {
            fail("commit_output(): rename() failed\n");
            abandon_output(out);
            return -1;
        }
        int dir = open(directory_of(out->target).c_str(), O_RDONLY | O_DIRECTORY);
        if (dir < 0 || output_syscalls.fsync(dir) != 0)
            std::fprintf(stderr, "warning: cannot sync the directory of %s\n", out->path.c_str());
        if (dir >= 0)
            ::close(dir);
    }
    out->finished = 1;
    release(out);
    return 0;
}

void abandon_output(output_file* out)
{
    if (!out->finished) {
        signals_held held;
        if (out->way == output_way::replace && out->fd >= 0) {
            ::close(out->fd);
            out->fd = -1;
        }
        undo(out);
        out->finished = 1;
    }
    release(out);
}
