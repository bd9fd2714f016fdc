// The parts of the platform layer that are the same on every system: whole
// transfers through the system-call table, and what a terminal may show.
#include "platform/platform.h"

#include "byteorder/utf8.h"

namespace {

// Calls transfer(p, n, at) until n bytes are moved; see write_all.
template <typename Transfer>
ssize_t transfer_all(Transfer transfer, unsigned char* p, size_t n, off_t at, bool reading)
{
    size_t done = 0;
    while (done < n) {
        const ssize_t k = transfer(p + done, n - done, at + off_t(done));
        if (k <= 0) {
            if (reading && k == 0)
                break; // the end of the file
            return done > 0 ? ssize_t(done) : k;
        }
        done += size_t(k);
    }
    return ssize_t(done);
}

unsigned char* bytes_of(const void* p)
{
    return static_cast<unsigned char*>(const_cast<void*>(p));
}

} // namespace

ssize_t write_all(int fd, const void* buffer, size_t n)
{
    return transfer_all([fd](unsigned char* p, size_t k, off_t) { return syscalls.write(fd, p, k); },
                        bytes_of(buffer), n, 0, false);
}

ssize_t pwrite_all(int fd, const void* buffer, size_t n, off_t at)
{
    return transfer_all(
        [fd](unsigned char* p, size_t k, off_t to) { return syscalls.pwrite(fd, p, k, to); },
        bytes_of(buffer), n, at, false);
}

ssize_t read_all(int fd, void* buffer, size_t n)
{
    return transfer_all([fd](unsigned char* p, size_t k, off_t) { return read(fd, p, k); },
                        bytes_of(buffer), n, 0, true);
}

ssize_t pread_all(int fd, void* buffer, size_t n, off_t at)
{
    return transfer_all([fd](unsigned char* p, size_t k, off_t from) { return pread(fd, p, k, from); },
                        bytes_of(buffer), n, at, true);
}

std::string shown_on(int fd, const char* bytes, size_t n)
{
    if (!is_terminal(fd))
        return std::string(bytes, n);
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    for (size_t at = 0; at < n;) {
        const size_t length = utf8_length(p + at, n - at);
        const bool c1 = length == 2 && p[at] == 0xC2 && p[at + 1] <= 0x9F;
        if (length == 0 || c1 || p[at] < 0x20 || p[at] == 0x7F) {
            out += '?';
            at += length > 0 ? length : 1;
        } else {
            out.append(bytes + at, length);
            at += length;
        }
    }
    return out;
}
