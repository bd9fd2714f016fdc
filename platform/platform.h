// What tamb needs from the operating system beyond the standard library, in
// one place. The reader, the writer and the rest use plain descriptors and
// POSIX calls, all through the table `syscalls`; this layer supplies, on
// Windows, the calls Windows lacks (with the same results), and on every
// system the few notions that differ: paths as UTF-8, replacing a file, hard
// links, modes, owners and attributes, terminals, the signals that end a
// run, large blocks of memory, the one lock of a process and the file of
// the running program.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#if defined(_WIN32)
#include <io.h>

using uid_t = unsigned;
using gid_t = unsigned;

struct iovec {
    void* iov_base;
    size_t iov_len;
};

// POSIX calls that Windows lacks, with the same results, straight on the
// system's handle (so that the restore of an output may use them whatever
// a test has put in the table): pread and pwrite at an offset (leaving the
// position where it was), and fsync through FlushFileBuffers.
ssize_t pread(int fd, void* buffer, size_t length, off_t at);
ssize_t pwrite(int fd, const void* buffer, size_t length, off_t at);
int fsync(int fd);
#else
#include <sys/uio.h>
#endif

// Which file a path or a descriptor leads to: its device (volume) and its
// number there.
struct file_identity {
    uint64_t device;
    uint64_t file;
    bool operator==(const file_identity&) const = default;
};

// Every call that tamb makes to the file system, in one table that tests
// replace to make any of them fail (a full disk, a file-size limit, a read
// error, a refused owner). The same entry serves the same operation on
// every system; reset_system_calls puts the system's own back. Paths are
// UTF-8 and files are opened in binary mode. Only the restore that puts an
// output back (which a signal handler runs too) calls the system directly.
struct system_calls {
    // Opening and looking at files.
    int (*open)(const char* path, int flags, int mode);
    int (*open_temporary)(const char* dir, int mode); // a file without a name; -1 where refused
    int (*stat)(const char* path, struct stat* st);
    int (*lstat)(const char* path, struct stat* st);
    ssize_t (*readlink)(const char* path, char* buffer, size_t size);
    int (*fstat)(int fd, struct stat* st);
    // Reading.
    ssize_t (*read)(int fd, void* buffer, size_t length);
    ssize_t (*pread)(int fd, void* buffer, size_t length, off_t at);
    off_t (*lseek)(int fd, off_t offset, int whence);
    // Writing and finishing.
    ssize_t (*write)(int fd, const void* buffer, size_t length);
    ssize_t (*writev)(int fd, const iovec* parts, int count);
    ssize_t (*pwrite)(int fd, const void* buffer, size_t length, off_t at);
    int (*ftruncate)(int fd, off_t length);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*dup)(int fd);
    // Names: rename replaces an existing file; linkat links the file the
    // first path leads to (following a symbolic link) under the second.
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
    int (*linkat)(const char* from, const char* to);
    // What a file carries besides its bytes.
    int (*fchmod)(int fd, mode_t mode);
    int (*fchown)(int fd, uid_t owner, gid_t group);
    ssize_t (*flistxattr)(int fd, char* names, size_t size);
    ssize_t (*fgetxattr)(int fd, const char* name, void* value, size_t size);
    int (*fsetxattr)(int fd, const char* name, const void* value, size_t size, int flags);
    int (*fremovexattr)(int fd, const char* name);
    // Copying: a copy sharing the blocks of in (a reflink), and a range.
    int (*reflink)(int out, int in);
    ssize_t (*copy_file_range)(int in, off_t* in_at, int out, off_t* out_at, size_t length,
                               unsigned flags);
    // Locking a file against other runs, so that runs that write one output
    // take turns: lock takes an exclusive advisory lock on the file that path
    // names, waiting for it when wait is set (failing with EWOULDBLOCK when
    // another run holds it and wait is not), sets *locked to that file's
    // identity, and answers a number that holds the lock until unlock lets it
    // go; -1 with errno (ENOLCK, EOPNOTSUPP and the like where the file
    // system keeps no locks). On Windows nothing keeps the file open meanwhile,
    // since a file that is open cannot be renamed over. Reads and writes go on
    // whatever the lock.
    int (*lock)(const char* path, int wait, struct file_identity* locked);
    int (*unlock)(int held);
    // A file for data that has nowhere else to be, read and written, which
    // the system removes when it is closed or the run ends: an unnamed
    // temporary (O_TMPFILE) in $TMPDIR, else /tmp (where /tmp is tmpfs, that
    // is memory); on Windows one opened with FILE_FLAG_DELETE_ON_CLOSE.
    int (*open_spill)();
};
extern system_calls syscalls;

// Owns the descriptor of one open file, closed through the table.
struct owned_descriptor {
    int fd;
    explicit owned_descriptor(int f) : fd(f) {}
    owned_descriptor(const owned_descriptor&) = delete;
    owned_descriptor& operator=(const owned_descriptor&) = delete;
    ~owned_descriptor()
    {
        if (fd >= 0)
            syscalls.close(fd);
    }
};

// Puts the system's own calls back in the table.
void reset_system_calls();

// Writes all n bytes, going on after short counts. n when everything was
// written; otherwise what the part got in all, or, when it got nothing, the
// result (0 or -1) of the call that stopped it.
ssize_t write_all(int fd, const void* buffer, size_t n);
ssize_t pwrite_all(int fd, const void* buffer, size_t n, off_t at);

// Reads n bytes, going on after short counts; the count read, smaller than
// n only at the end of the file (a call returning 0) or when a call
// returns -1 (then -1 if nothing was read).
ssize_t read_all(int fd, void* buffer, size_t n);
ssize_t pread_all(int fd, void* buffer, size_t n, off_t at);

// Run once at start: binary I/O for every file (no translation of \r\n or
// ^Z) and, on Windows, the arguments as UTF-8. May replace *argv.
void start_platform(int* argc, char*** argv);

// The null device, on which closed standard descriptors are opened.
extern const char* const null_device;

// True when fd is an open descriptor.
bool descriptor_open(int fd);

// True when fd is a terminal (a console on Windows).
bool is_terminal(int fd);

// Lets the terminal on fd take the escape sequences that erase a line
// (ESC [ K): on a Windows console, by turning them on; elsewhere they are.
void allow_terminal_sequences(int fd);

// True when path names the very file that fd is open on, and when a and b
// are open on the same file; and when path names the file of that identity.
bool same_file(const char* path, int fd);
bool names_file(const char* path, const file_identity& id);

// The identity of the file open on fd, or of the file path names. 0, or -1.
int descriptor_identity(int fd, file_identity* id);
int path_identity(const char* path, file_identity* id);
bool same_descriptors(int a, int b);

// Writes n bytes to standard output as they are (on Windows, whose standard
// output translates line ends, in binary mode for the moment), after what
// stdout holds. What write_all returns.
ssize_t write_standard_output(const void* buffer, size_t n);

// bytes as a terminal on fd may show them: when fd is a terminal, every
// byte below 0x20, 0x7F and every byte that is not part of valid UTF-8
// becomes '?', and so does each encoded C1 control (U+0080 to U+009F) as a
// whole; otherwise the bytes unchanged.
std::string shown_on(int fd, const char* bytes, size_t n);

// bytes as a terminal shows them, as above, whatever the descriptor.
std::string shown_to_people(const char* bytes, size_t n);

// What tells whether a file changed: its length, and its modification and
// change times to the finest the system keeps. 0, or -1.
struct file_state {
    int64_t length;
    int64_t modified, changed; // nanoseconds, or the system's own unit
    bool operator==(const file_state&) const = default;
};
int state_of(int fd, file_state* state);

// Lets a pipe hold more between its writer and fd, its reader, so that it
// is read in fewer, larger pieces (where the system can).
void widen_pipe(int fd);

// The number of descriptors the process may have open (the soft limit).
int descriptor_limit();

// Waits about the given number of milliseconds.
void pause_for(int milliseconds);

// The number of hard links of the file behind fd (1 when it cannot be told).
int link_count(int fd);

// The directory part of a path ("." when it has none) and its last part.
std::string directory_of(const std::string& path);
std::string file_name_of(const std::string& path);

// The journal of an output written in place: `.NAME.tamb-journal` beside
// target (NAME cut to 200 bytes, as a temporary's is).
std::string journal_of(const std::string& target);

// The names in the directory dir, but "." and "..". 0, or -1.
int names_in_directory(const std::string& dir, std::vector<std::string>* names);

// The file a path names, with symbolic links in its last part followed.
std::string follow_links(const std::string& path);

// True when the directory of target would refuse to have target renamed
// over (a sticky directory, and a file that is neither ours nor in a
// directory of ours).
bool rename_refused(const std::string& target, const struct stat& file);

// Creates a new file for pattern, whose last six characters are XXXXXX, in
// the directory dir; a read-write descriptor, or -1. Where the file system
// allows, the file has no name yet (*unnamed is set; pattern is untouched):
// name_temporary gives it one once its bytes are complete, so that a run
// killed before that leaves nothing behind. Otherwise the XXXXXX are
// replaced and the file is made under that name.
int make_temporary(const std::string& dir, std::string& pattern, bool* unnamed);

// A descriptor that still reaches an unnamed temporary once fd is closed
// (it allows no reads or writes), or -1.
int temporary_handle(int fd);

// Links an unnamed temporary, reached by handle, under pattern (its XXXXXX
// replaced by a name that is free). 0, or -1.
int name_temporary(int handle, std::string& pattern);

// Links an unnamed temporary, reached by handle, under path, which must
// name no file. 0, or -1.
int link_temporary(int handle, const std::string& path);

// Gives a new file the mode of a new file: 0666 less the umask. 0, or -1.
int give_new_mode(int fd);

// Gives the temporary fd everything the file `from` (described by st)
// carries besides its bytes: owner, group, every extended attribute that
// can be listed (ACLs and security labels among them; attributes the
// temporary has and the file lacks are removed), and the mode. Writing to
// a file may drop some of them (a file capability, the setuid and setgid
// bits), so this is done again once the bytes are complete. 0, or -1 when
// any of them cannot be given.
int give_attributes(int fd, int from, const struct stat& st);

// The next place at or after `at` where fd holds data, and the end of that
// data; files whose holes cannot be told are all data. -1 when no data is
// left before end.
off_t next_data(int fd, off_t at, off_t end);
off_t data_end(int fd, off_t at, off_t end);

// Sets the length of the file behind fd, with the system's own call; safe
// in a signal handler.
int truncate_descriptor(int fd, off_t length);

// Makes a rename in dir survive a power loss. 0, or -1 when it cannot.
int sync_directory(const std::string& dir);

// Closes fd and removes the file at path, with the system's own calls;
// safe in a signal handler.
void discard_file(int fd, const char* path);

// The signals that end a run (SIGINT, SIGTERM, SIGHUP; on Windows the
// console's Ctrl+C and Ctrl+Break too). catch_end_signals installs handler
// for those that are not ignored; release_end_signals puts back what was
// there. end_by_signal ends the process as the signal would have.
void catch_end_signals(void (*handler)(int));
void release_end_signals();
[[noreturn]] void end_by_signal(int sig);

// Writes n bytes to standard error with the system's own call; safe in a
// signal handler (and on the thread of a console's Ctrl+C).
void write_error_directly(const char* text, size_t n);

// While an output is open, a closed pipe (SIGPIPE) or the file-size limit
// (SIGXFSZ) must not end the run before it has put the output back: the
// writes fail with EPIPE or EFBIG instead. ignore_write_signals ignores both
// until restore_write_signals puts back the actions the run inherited.
void ignore_write_signals();
void restore_write_signals();
bool write_signals_are_ignored();

// Holds the signals that end a run back while it lives: one that arrives
// meanwhile is taken when the outermost one ends.
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

// One lock for the whole process, held by one thread at a time (the others
// wait for it), around what the process shares and several threads may not
// touch at once.
void take_process_lock();
void release_process_lock();

// Holds the process lock while it lives.
struct holding_process_lock {
    holding_process_lock() { take_process_lock(); }
    ~holding_process_lock() { release_process_lock(); }
    holding_process_lock(const holding_process_lock&) = delete;
    holding_process_lock& operator=(const holding_process_lock&) = delete;
};

// A lock of one object's own, held by one thread at a time (the others wait
// for it): a pthread mutex, or an SRW lock on Windows.
struct object_lock {
    object_lock();
    ~object_lock();
    object_lock(const object_lock&) = delete;
    object_lock& operator=(const object_lock&) = delete;
    void take();
    void release();
#if defined(_WIN32)
    void* state = nullptr; // the SRW lock, one pointer
#else
    pthread_mutex_t state;
#endif
};

// Holds an object's lock while it lives.
struct holding_lock {
    object_lock& held;
    explicit holding_lock(object_lock& lock) : held(lock) { held.take(); }
    ~holding_lock() { held.release(); }
    holding_lock(const holding_lock&) = delete;
    holding_lock& operator=(const holding_lock&) = delete;
};

// True where a program's own file may carry its resources (Windows, whose
// programs are PE executables that tamb writes into).
bool programs_carry_resources();

// The path of the file of the module (the program, or a shared library)
// that holds address, as UTF-8: what the dynamic loader says of a shared
// library, the program's own file for the program (on Windows, what
// GetModuleFileNameW says of the module); empty when it cannot be told.
std::string own_module_path(const void* address);
