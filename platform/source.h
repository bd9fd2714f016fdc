// What the reader reads from: a descriptor, through the table `syscalls`,
// or an image in memory, through a cursor of its own. The procedures that
// recognise a container and read an image take a source, so that a file
// and an image in memory are read by the same lines; for a descriptor every
// call is the one the table makes, in the same order, and a source of
// memory answers as a regular file of those bytes would (a seek past the
// end succeeds, a read there gets nothing).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <sys/stat.h>

#include "platform/platform.h"

struct source {
    int fd = -1;                          // the descriptor, or -1 for memory
    const unsigned char* bytes = nullptr; // memory: the image (null when empty)
    size_t size = 0;
    off_t at = 0; // memory: the cursor

    static source descriptor(int f)
    {
        source s;
        s.fd = f;
        return s;
    }
    static source memory(const void* p, size_t n)
    {
        source s;
        s.bytes = static_cast<const unsigned char*>(p);
        s.size = n;
        return s;
    }
    bool in_memory() const { return fd < 0; }
};

inline off_t source_seek(source& s, off_t offset, int whence)
{
    if (!s.in_memory())
        return syscalls.lseek(s.fd, offset, whence);
    const off_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s.at : off_t(s.size);
    if (offset < -from)
        return -1;
    return s.at = from + offset;
}

// What read() would give at p of the n bytes asked for at `at`.
inline ssize_t source_copy(const source& s, void* p, size_t n, off_t at)
{
    if (at >= off_t(s.size) || n == 0)
        return 0;
    const size_t k = std::min(n, s.size - size_t(at));
    std::memcpy(p, s.bytes + at, k);
    return ssize_t(k);
}

inline ssize_t source_read(source& s, void* p, size_t n)
{
    if (!s.in_memory())
        return syscalls.read(s.fd, p, n);
    const ssize_t k = source_copy(s, p, n, s.at);
    s.at += k;
    return k;
}

inline ssize_t source_read_all(source& s, void* p, size_t n)
{
    if (!s.in_memory())
        return read_all(s.fd, p, n);
    return source_read(s, p, n);
}

inline ssize_t source_pread_all(source& s, void* p, size_t n, off_t at)
{
    if (!s.in_memory())
        return pread_all(s.fd, p, n, at);
    return at < 0 ? -1 : source_copy(s, p, n, at);
}

// True when the source has a length that reads keep to (a regular file, or
// memory), set in *length.
inline bool source_length(const source& s, off_t* length)
{
    if (s.in_memory()) {
        *length = off_t(s.size);
        return true;
    }
    struct stat st;
    if (syscalls.fstat(s.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    *length = st.st_size;
    return true;
}
