// What tamb needs from the operating system beyond the standard library, in
// one place. The reader, the writer and the rest use plain descriptors and
// POSIX calls; this layer supplies, on Windows, the calls Windows lacks
// (with the same results), and on every system the few notions that differ:
// paths as UTF-8, replacing a file, hard links, modes and owners, the
// signals that end a run, and large blocks of memory.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#if defined(_WIN32)
#include <io.h>

struct iovec {
    void* iov_base;
    size_t iov_len;
};

// POSIX calls that Windows lacks, with the same results: pread and pwrite
// at an offset, writev as one write after another (stopping at the first
// that comes up short), fsync through FlushFileBuffers, and
// copy_file_range through a buffer.
ssize_t pread(int fd, void* buffer, size_t length, off_t at);
ssize_t pwrite(int fd, const void* buffer, size_t length, off_t at);
ssize_t writev(int fd, const iovec* parts, int count);
int fsync(int fd);
ssize_t copy_file_range(int in, off_t* in_at, int out, off_t* out_at, size_t length,
                        unsigned flags);
#else
#include <sys/uio.h>
#endif

// The calls that write to or finish a file, through which tests provoke
// failures (a full disk, a file-size limit, a failed sync or rename). They
// default to the real ones; rename replaces an existing file.
struct system_calls {
    ssize_t (*write)(int fd, const void* buffer, size_t length);
    ssize_t (*writev)(int fd, const iovec* parts, int count);
    ssize_t (*pwrite)(int fd, const void* buffer, size_t length, off_t at);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char* from, const char* to);
    ssize_t (*copy_file_range)(int in, off_t* in_at, int out, off_t* out_at, size_t length,
                               unsigned flags);
};
extern system_calls syscalls;

// Run once at start: binary I/O for every file (no translation of \r\n or
// ^Z) and, on Windows, the arguments as UTF-8. May replace *argv.
void start_platform(int* argc, char*** argv);

// Files named by UTF-8 paths, always opened in binary mode.
int open_path(const char* path, int flags, int mode = 0);
int stat_path(const char* path, struct stat* st);
int remove_path(const char* path);

// The null device, on which closed standard descriptors are opened.
extern const char* const null_device;

// True when fd is an open descriptor.
bool descriptor_open(int fd);

// The number of hard links of the file behind fd (1 when it cannot be told).
int link_count(int fd);

// The directory part of a path ("." when it has none) and its last part.
std::string directory_of(const std::string& path);
std::string file_name_of(const std::string& path);

// The file a path names, with symbolic links in its last part followed.
std::string follow_links(const std::string& path);

// True when the directory of target would refuse to have target renamed
// over (a sticky directory, and a file that is neither ours nor in a
// directory of ours).
bool rename_refused(const std::string& target, const struct stat& file);

// Creates a new file from pattern, whose last six characters are XXXXXX and
// are replaced; a read-write descriptor, or -1.
int make_temporary(std::string& pattern);

// Gives a new file the mode (and owner and group, where the process may set
// them) of the file described by from, or a new file's mode (0666 less the
// umask) when from is null. 0, or -1 when the mode cannot be set.
int give_mode(int fd, const struct stat* from);

// 0 when the file system made out a copy of in sharing its blocks (a
// reflink); -1 when it cannot.
int clone_file(int out, int in);

// The next place at or after `at` where fd holds data, and the end of that
// data; files whose holes cannot be told are all data. -1 when no data is
// left before end.
off_t next_data(int fd, off_t at, off_t end);
off_t data_end(int fd, off_t at, off_t end);

// Sets the length of the file behind fd; safe in a signal handler.
int truncate_descriptor(int fd, off_t length);

// Makes a rename in dir survive a power loss. 0, or -1 when it cannot.
int sync_directory(const std::string& dir);

// Closes fd and removes the file at path; safe in a signal handler.
void discard_file(int fd, const char* path);

// The signals that end a run (SIGINT, SIGTERM, SIGHUP; on Windows the
// console's Ctrl+C and Ctrl+Break too). catch_end_signals installs handler
// for those that are not ignored; release_end_signals puts back what was
// there. end_by_signal ends the process as the signal would have.
void catch_end_signals(void (*handler)(int));
void release_end_signals();
[[noreturn]] void end_by_signal(int sig);

// Holds the signals that end a run back while it lives.
struct end_signals_held {
    end_signals_held();
    ~end_signals_held();
    end_signals_held(const end_signals_held&) = delete;
    end_signals_held& operator=(const end_signals_held&) = delete;
#if !defined(_WIN32)
    sigset_t saved; // the previous signal mask
#endif
};

// length bytes of memory aligned to `alignment` (a power of two), advised
// to use huge pages when `huge` and the system can; null when none.
void* map_memory(size_t length, size_t alignment, bool huge);
void unmap_memory(void* p, size_t length);
