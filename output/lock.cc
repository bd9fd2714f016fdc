// Locking an output against other runs. See lock.h.
#include "output/lock.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

#include "platform/platform.h"

namespace {

constexpr int poll_ms = 10;
constexpr int quiet_ms = 1000; // waited this long, a run says so

bool busy(int error)
{
    return error == EWOULDBLOCK || error == EAGAIN;
}

// Takes the lock on fd, waiting for it as long as another run holds it. 0,
// or -1 when the file system keeps no locks.
int take(int fd, const char* path, bool* warned)
{
    for (int waited = 0; waited < quiet_ms; waited += poll_ms) {
        if (syscalls.lock(fd, 0) == 0)
            return 0;
        if (!busy(errno))
            return -1;
        pause_for(poll_ms);
    }
    if (!*warned)
        std::fprintf(stderr, "warning: waiting for %s, which another run is writing\n", path);
    *warned = true;
    for (;;) {
        if (syscalls.lock(fd, 1) == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

} // namespace

output_lock::~output_lock()
{
    unlock_output(this);
}

int lock_output(output_lock* lock, const char* path)
{
    unlock_output(lock);
    bool warned = false;
    for (;;) {
        struct stat st;
        if (syscalls.stat(path, &st) != 0 || !S_ISREG(st.st_mode))
            return 0;
        const int fd = syscalls.open_lock(path);
        if (fd < 0)
            return 0;
        if (take(fd, path, &warned) != 0) {
            syscalls.close(fd);
            return 0;
        }
        // Another run may have renamed its new file over the path while this
        // one waited: the lock must be on the file the path names.
        if (same_file(path, fd)) {
            lock->fd = fd;
            lock->path = path;
            return 1;
        }
        syscalls.unlock(fd);
        syscalls.close(fd);
    }
}

void unlock_output(output_lock* lock)
{
    if (lock->fd < 0)
        return;
    syscalls.unlock(lock->fd);
    syscalls.close(lock->fd);
    lock->fd = -1;
    lock->path.clear();
}
