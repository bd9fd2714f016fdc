// The parts of the platform layer that are the same on every system: whole
// transfers, temporaries and attributes through the system-call table, and
// what a terminal may show.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "byteorder/utf8.h"
#include "platform/shared.h"

#if !defined(O_CLOEXEC)
#define O_CLOEXEC 0
#endif

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
    return transfer_all([fd](unsigned char* p, size_t k, off_t) { return syscalls.read(fd, p, k); },
                        bytes_of(buffer), n, 0, true);
}

ssize_t pread_all(int fd, void* buffer, size_t n, off_t at)
{
    return transfer_all(
        [fd](unsigned char* p, size_t k, off_t from) { return syscalls.pread(fd, p, k, from); },
        bytes_of(buffer), n, at, true);
}

void fill_temporary_name(std::string& pattern)
{
    static uint64_t state = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                            uint64_t(reinterpret_cast<uintptr_t>(&pattern));
    state = state * 6364136223846793005u + 1442695040888963407u +
            uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    const char* letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    uint64_t x = state >> 8;
    for (size_t i = pattern.size() - 6; i < pattern.size(); ++i, x /= 62)
        pattern[i] = letters[x % 62];
}

int make_temporary(const std::string& dir, std::string& pattern, bool* unnamed)
{
    int fd = syscalls.open_temporary(dir.c_str(), 0600);
    *unnamed = fd >= 0;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        fill_temporary_name(pattern);
        fd = syscalls.open(pattern.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return -1;
    }
    return fd;
}

std::string journal_of(const std::string& target)
{
    std::string name = file_name_of(target);
    if (name.size() > 200)
        name.resize(200);
    return (file_name_of(target) == target ? "" : directory_of(target) + "/") + "." + name + ".tamb-journal";
}

namespace {

// The names of the extended attributes of fd, or false when they cannot
// be listed (a file system without them has none).
bool attribute_names(int fd, std::vector<std::string>& names)
{
    names.clear();
    for (;;) {
        ssize_t n = syscalls.flistxattr(fd, nullptr, 0);
        if (n < 0)
            return errno == ENOTSUP;
        std::vector<char> list(size_t(n) + 1);
        n = syscalls.flistxattr(fd, list.data(), list.size());
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
            syscalls.fremovexattr(to, name.c_str()) != 0)
            return false;
    std::vector<char> value;
    for (const std::string& name : wanted) {
        ssize_t n = syscalls.fgetxattr(from, name.c_str(), nullptr, 0);
        if (n < 0)
            return false;
        value.resize(size_t(n) + 1);
        n = syscalls.fgetxattr(from, name.c_str(), value.data(), value.size());
        if (n < 0 || syscalls.fsetxattr(to, name.c_str(), value.data(), size_t(n), 0) != 0)
            return false;
    }
    return true;
}

} // namespace

int give_attributes(int fd, int from, const struct stat& st)
{
    // The owner first: changing it drops a file capability and the setuid
    // and setgid bits, which the attributes and the mode then put back.
    if (syscalls.fchown(fd, st.st_uid, st.st_gid) != 0)
        return -1;
    if (!copy_attributes(fd, from))
        return -1;
    return syscalls.fchmod(fd, st.st_mode & 07777);
}

std::string shown_on(int fd, const char* bytes, size_t n)
{
    if (!is_terminal(fd))
        return std::string(bytes, n);
    return shown_to_people(bytes, n);
}

std::string shown_to_people(const char* bytes, size_t n)
{
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
