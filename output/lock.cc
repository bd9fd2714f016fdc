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

// Takes the lock on the file path names, waiting for it as long as another
// run holds it. What holds it, or -1 when there is nothing to lock or the
// file system keeps no locks.
int take(const char* path, file_identity* locked, bool* warned)
{
    for (int waited = 0; waited < quiet_ms; waited += poll_ms) {
        const int held = syscalls.lock(path, 0, locked);
        if (held >= 0 || !busy(errno))
            return held;
        pause_for(poll_ms);
    }
    if (!*warned)
        std::fprintf(stderr, "warning: waiting for %s, which another run is writing\n", path);
    *warned = true;
    for (;;) {
        const int held = syscalls.lock(path, 1, locked);
        if (held >= 0 || errno != EINTR)
            return held;
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
        file_identity locked;
        const int held = take(path, &locked, &warned);
        if (held < 0)
            return 0;
        // Another run may have renamed its new file over the path while this
        // one waited: the lock must be on the file the path names.
        if (names_file(path, locked)) {
            lock->held = held;
            lock->path = path;
            lock->id = locked;
            return 1;
        }
        syscalls.unlock(held);
    }
}

void unlock_output(output_lock* lock)
{
    if (lock->held < 0)
        return;
    syscalls.unlock(lock->held);
    lock->held = -1;
    lock->path.clear();
}
