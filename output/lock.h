// One run at a time on an output: an exclusive advisory lock on the output
// file, taken before a run reads anything for it and let go once its flush
// has committed or put the file back, so that two runs that write one
// output take turns and neither loses the other's update. A run holds at
// most one such lock.
#pragma once

#include <string>

#include "platform/platform.h"

struct output_lock {
    int held = -1;    // what holds the lock (see the platform layer's lock)
    std::string path; // the output, as named
    file_identity id{}; // the file locked
    output_lock() = default;
    output_lock(const output_lock&) = delete;
    output_lock& operator=(const output_lock&) = delete;
    ~output_lock();
};

// Locks the file that path names, letting go of any lock held before. Waits
// while another run holds it (saying so once, after a second), and, when
// another run has renamed a new file over the path meanwhile, locks the one
// the path names now. 1 when the lock is held; 0 when there is nothing to
// lock (no regular file there, or one that cannot be opened) or the file
// system keeps no locks, and the run goes on without one.
int lock_output(output_lock* lock, const char* path);

// Lets the lock go (nothing when none is held).
void unlock_output(output_lock* lock);
