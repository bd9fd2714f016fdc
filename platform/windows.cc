// The platform layer on 64-bit Windows, built with mingw-w64. Descriptors
// are the C runtime's, always in binary mode; paths and arguments are UTF-8
// on our side and wide strings on the system's. What the signal handler of
// the output module calls (pwrite, truncate_descriptor, fsync, discard_file)
// goes straight to the system, without the runtime's locks, because a
// console's Ctrl+C runs the handler on a thread of its own while the main
// thread is held.
#include "platform/platform.h"

#include <windows.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <share.h>
#include <shellapi.h>
#include <vector>

namespace {

HANDLE handle_of(int fd)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

void set_errno_from(DWORD error)
{
    switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        errno = EACCES;
        break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        errno = EEXIST;
        break;
    case ERROR_INVALID_HANDLE:
        errno = EBADF;
        break;
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_PARAMETER:
        errno = EINVAL;
        break;
    default:
        errno = EIO;
    }
}

// A UTF-8 string as a wide one, in a buffer of the caller's (no heap, so
// that the signal handler may use it). False when it does not fit.
bool to_wide(const char* utf8, wchar_t* out, int room)
{
    return MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out, room) > 0;
}

std::wstring wide(const char* utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring w(n > 0 ? size_t(n) : 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w.data(), n);
    w.resize(w.size() - 1);
    return w;
}

std::string utf8(const wchar_t* w)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? size_t(n) : 1, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.resize(s.size() - 1);
    return s;
}

OVERLAPPED at_offset(off_t at)
{
    OVERLAPPED o = {};
    o.Offset = DWORD(uint64_t(at));
    o.OffsetHigh = DWORD(uint64_t(at) >> 32);
    return o;
}

constexpr DWORD largest_transfer = 0x7FFFF000;

// MoveFileEx over an existing file, the rename becoming durable before it
// returns.
int replace_file(const char* from, const char* to)
{
    if (MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    set_errno_from(GetLastError());
    return -1;
}

ssize_t write_descriptor(int fd, const void* buffer, size_t length)
{
    return ::write(fd, buffer, unsigned(length > largest_transfer ? largest_transfer : length));
}

int close_descriptor(int fd)
{
    return ::close(fd);
}

} // namespace

namespace {

// ReadFile or WriteFile at an offset, straight on the system's handle.
template <typename Transfer, typename Buffer>
ssize_t transfer_at(Transfer transfer, int fd, Buffer buffer, size_t length, off_t at)
{
    HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    // A transfer at an offset moves the position of a synchronous handle;
    // pread and pwrite leave it where it was.
    LARGE_INTEGER zero = {}, here = {};
    const bool known = SetFilePointerEx(h, zero, &here, FILE_CURRENT) != 0;
    OVERLAPPED o = at_offset(at);
    DWORD done = 0;
    const BOOL moved = transfer(h, buffer, DWORD(length > largest_transfer ? largest_transfer : length),
                                &done, &o);
    const DWORD error = GetLastError();
    if (known)
        SetFilePointerEx(h, here, nullptr, FILE_BEGIN);
    if (!moved) {
        if (error == ERROR_HANDLE_EOF)
            return 0;
        set_errno_from(error);
        return -1;
    }
    return ssize_t(done);
}

} // namespace

ssize_t pread(int fd, void* buffer, size_t length, off_t at)
{
    return transfer_at(ReadFile, fd, buffer, length, at);
}

ssize_t pwrite(int fd, const void* buffer, size_t length, off_t at)
{
    return transfer_at(WriteFile, fd, buffer, length, at);
}

int fsync(int fd)
{
    HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    if (FlushFileBuffers(h))
        return 0;
    // A console, pipe or the null device cannot be flushed: EINVAL, as for
    // a Linux device.
    DWORD error = GetLastError();
    set_errno_from(error == ERROR_INVALID_HANDLE ? ERROR_INVALID_FUNCTION : error);
    return -1;
}

namespace {

// One write after another, stopping at the first that comes up short, as
// writev's results are.
ssize_t write_parts(int fd, const iovec* parts, int count)
{
    ssize_t total = 0;
    for (int i = 0; i < count; ++i) {
        if (parts[i].iov_len == 0)
            continue;
        ssize_t n = write_descriptor(fd, parts[i].iov_base, parts[i].iov_len);
        if (n < 0)
            return total > 0 ? total : n;
        total += n;
        if (size_t(n) < parts[i].iov_len)
            return total; // short: the rest is not written, as with writev
    }
    return total;
}

// Through a buffer. Blocks of zeros past the destination's end are not
// written, so that the holes of a sparse file stay holes where the file
// system keeps them; the destination is then made long enough.
ssize_t copy_range(int in, off_t* in_at, int out, off_t* out_at, size_t length, unsigned)
{
    static unsigned char buffer[1 << 16];
    LARGE_INTEGER end = {};
    if (!GetFileSizeEx(handle_of(out), &end)) {
        set_errno_from(GetLastError());
        return -1;
    }
    size_t done = 0;
    while (done < length) {
        size_t want = length - done < sizeof buffer ? length - done : sizeof buffer;
        ssize_t got = pread(in, buffer, want, *in_at);
        if (got < 0 && done == 0)
            return -1;
        if (got <= 0)
            break;
        bool zeros = *out_at >= end.QuadPart;
        for (ssize_t i = 0; i < got && zeros; ++i)
            zeros = buffer[i] == 0;
        ssize_t put = zeros ? got : pwrite(out, buffer, size_t(got), *out_at);
        if (put <= 0) {
            if (done == 0)
                return put;
            break;
        }
        *in_at += put;
        *out_at += put;
        done += size_t(put);
        if (!zeros)
            end.QuadPart = std::max<LONGLONG>(end.QuadPart, *out_at);
        if (put < got)
            break;
    }
    if (*out_at > end.QuadPart && truncate_descriptor(out, *out_at) != 0)
        return done > 0 ? ssize_t(done) : -1;
    return done > 0 || length == 0 ? ssize_t(done) : 0;
}

int open_file(const char* path, int flags, int mode)
{
    return _wopen(wide(path).c_str(), flags | _O_BINARY | _O_NOINHERIT,
                  mode != 0 ? _S_IREAD | _S_IWRITE : 0);
}

int no_unnamed(const char*, int)
{
    return errno = EOPNOTSUPP, -1; // every file has a name
}

int stat_file(const char* path, struct stat* st)
{
    return _wstat64(wide(path).c_str(), st);
}

ssize_t no_link_to_read(const char*, char*, size_t)
{
    return errno = EINVAL, -1; // a link is followed by follow_links itself
}

int stat_descriptor(int fd, struct stat* st)
{
    return fstat(fd, st);
}

ssize_t read_descriptor(int fd, void* buffer, size_t length)
{
    return ::read(fd, buffer, unsigned(length > largest_transfer ? largest_transfer : length));
}

off_t seek_descriptor(int fd, off_t offset, int whence)
{
    return _lseeki64(fd, offset, whence);
}

int set_length(int fd, off_t length)
{
    return truncate_descriptor(fd, length);
}

int dup_descriptor(int fd)
{
    return _dup(fd);
}

int unlink_file(const char* path)
{
    return _wunlink(wide(path).c_str());
}

int no_link(const char*, const char*)
{
    return errno = EOPNOTSUPP, -1;
}

// Windows has no mode bits, owner or extended attributes of this kind to
// give: a new file is simply read-write.
int no_mode(int, mode_t)
{
    return 0;
}

int no_owner(int, uid_t, gid_t)
{
    return 0;
}

ssize_t no_attribute_names(int, char*, size_t)
{
    return 0;
}

ssize_t no_attribute(int, const char*, void*, size_t)
{
    return errno = ENOTSUP, -1;
}

int no_attribute_to_set(int, const char*, const void*, size_t, int)
{
    return errno = ENOTSUP, -1;
}

int no_attribute_to_remove(int, const char*)
{
    return errno = ENOTSUP, -1;
}

int no_reflink(int, int)
{
    return errno = EOPNOTSUPP, -1;
}

// The identity of the file behind a handle: its volume and its index there.
bool identity_of(HANDLE h, file_identity* id)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return false;
    *id = {info.dwVolumeSerialNumber, uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
    return true;
}

bool identity_of(const char* path, file_identity* id)
{
    HANDLE h = CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from(GetLastError());
        return false;
    }
    const bool known = identity_of(h, id);
    if (!known)
        set_errno_from(GetLastError());
    CloseHandle(h);
    return known;
}

// A lock is a mutex named after the file's identity, in the session's
// namespace: a handle kept on the file itself would stop the rename that
// commits the run holding the lock. A mutex whose holder died is taken over.
HANDLE held_locks[8] = {};

int lock_file(const char* path, int wait, file_identity* locked)
{
    file_identity id;
    if (!identity_of(path, &id))
        return -1;
    int slot = 0;
    while (slot < 8 && held_locks[slot] != nullptr)
        ++slot;
    if (slot == 8)
        return errno = ENOLCK, -1;
    wchar_t name[80];
    swprintf(name, 80, L"Local\\tamb-output-%016llx-%016llx", (unsigned long long)id.device,
             (unsigned long long)id.file);
    HANDLE m = CreateMutexW(nullptr, FALSE, name);
    if (m == nullptr) {
        set_errno_from(GetLastError());
        return -1;
    }
    const DWORD got = WaitForSingleObject(m, wait != 0 ? INFINITE : 0);
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
        CloseHandle(m);
        return errno = got == WAIT_TIMEOUT ? EWOULDBLOCK : EIO, -1;
    }
    held_locks[slot] = m;
    *locked = id;
    return slot;
}

int unlock_file(int held)
{
    if (held < 0 || held >= 8 || held_locks[held] == nullptr)
        return errno = EBADF, -1;
    ReleaseMutex(held_locks[held]);
    CloseHandle(held_locks[held]);
    held_locks[held] = nullptr;
    return 0;
}

// A temporary in the system's temporary folder that the system deletes once
// its last handle is closed.
int open_spill_file()
{
    wchar_t dir[MAX_PATH + 1], name[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, dir) == 0 || GetTempFileNameW(dir, L"tmb", 0, name) == 0) {
        set_errno_from(GetLastError());
        return -1;
    }
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from(GetLastError());
        DeleteFileW(name);
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
    if (fd < 0)
        CloseHandle(h);
    return fd;
}

constexpr system_calls system_defaults = {
    open_file,       no_unnamed,      stat_file,      stat_file,          no_link_to_read,
    stat_descriptor, read_descriptor, pread,          seek_descriptor,    write_descriptor,
    write_parts,     pwrite,          set_length,     fsync,              close_descriptor,
    dup_descriptor,  replace_file,    unlink_file,    no_link,            no_mode,
    no_owner,        no_attribute_names, no_attribute, no_attribute_to_set, no_attribute_to_remove,
    no_reflink,      copy_range,      lock_file,      unlock_file,        open_spill_file,
};

} // namespace

system_calls syscalls = system_defaults;

void reset_system_calls()
{
    syscalls = system_defaults;
}

const char* const null_device = "NUL";

void start_platform(int* argc, char*** argv)
{
    _fmode = _O_BINARY;
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // Standard output stays in text mode: a listing ends its lines with \r\n.
    static std::vector<std::string> arguments;
    static std::vector<char*> pointers;
    int n = 0;
    wchar_t** wide_arguments = CommandLineToArgvW(GetCommandLineW(), &n);
    if (wide_arguments == nullptr)
        return;
    for (int i = 0; i < n; ++i)
        arguments.push_back(utf8(wide_arguments[i]));
    LocalFree(wide_arguments);
    for (auto& a : arguments)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    *argc = n;
    *argv = pointers.data();
}

bool descriptor_open(int fd)
{
    return _get_osfhandle(fd) != -1;
}

bool is_terminal(int fd)
{
    return _isatty(fd) != 0;
}

void allow_terminal_sequences(int fd)
{
    const auto console = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    if (GetConsoleMode(console, &mode))
        SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

namespace {

bool same_handles(HANDLE x, HANDLE y)
{
    BY_HANDLE_FILE_INFORMATION a, b;
    return GetFileInformationByHandle(x, &a) && GetFileInformationByHandle(y, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

} // namespace

int descriptor_identity(int fd, file_identity* id)
{
    return identity_of(handle_of(fd), id) ? 0 : -1;
}

int path_identity(const char* path, file_identity* id)
{
    return identity_of(path, id) ? 0 : -1;
}

bool names_file(const char* path, const file_identity& id)
{
    file_identity now;
    return identity_of(path, &now) && now == id;
}

bool same_file(const char* path, int fd)
{
    HANDLE h = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool same = same_handles(h, handle_of(fd));
    CloseHandle(h);
    return same;
}

int state_of(int fd, file_state* state)
{
    FILE_BASIC_INFO basic;
    LARGE_INTEGER length;
    HANDLE h = handle_of(fd);
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileSizeEx(h, &length)) {
        set_errno_from(GetLastError());
        return -1;
    }
    *state = {length.QuadPart, basic.LastWriteTime.QuadPart, basic.ChangeTime.QuadPart};
    return 0;
}

bool same_descriptors(int a, int b)
{
    return same_handles(handle_of(a), handle_of(b));
}

ssize_t write_standard_output(const void* buffer, size_t n)
{
    std::fflush(stdout);
    const int mode = _setmode(1, _O_BINARY); // the bytes as they are, no \r before \n
    const ssize_t written = write_all(1, buffer, n);
    if (mode != -1)
        _setmode(1, mode);
    return written;
}

void widen_pipe(int) {}

int descriptor_limit()
{
    return 2048; // the C runtime's descriptors
}

void pause_for(int milliseconds)
{
    Sleep(DWORD(milliseconds));
}

int link_count(int fd)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle_of(fd), &info))
        return 1;
    return int(info.nNumberOfLinks);
}

std::string directory_of(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
        return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
    if (slash == 0 || (slash == 2 && path[1] == ':'))
        return path.substr(0, slash + 1); // a root keeps its separator
    return path.substr(0, slash);
}

std::string file_name_of(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
        return path.size() >= 2 && path[1] == ':' ? path.substr(2) : path;
    return path.substr(slash + 1);
}

std::string follow_links(const std::string& path)
{
    // Only a symbolic link is resolved; any other path is taken as it is.
    const std::wstring w = wide(path.c_str());
    DWORD attributes = GetFileAttributesW(w.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return path;
    HANDLE h = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return path;
    wchar_t final_path[32768];
    DWORD n = GetFinalPathNameByHandleW(h, final_path, 32768, FILE_NAME_NORMALIZED);
    CloseHandle(h);
    if (n == 0 || n >= 32768)
        return path;
    return utf8(final_path);
}

int names_in_directory(const std::string& dir, std::vector<std::string>* names)
{
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW(wide((dir + "\\*").c_str()).c_str(), &found);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    names->clear();
    do {
        const std::string name = utf8(found.cFileName);
        if (name != "." && name != "..")
            names->push_back(name);
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return 0;
}

bool rename_refused(const std::string&, const struct stat&)
{
    return false;
}

int temporary_handle(int)
{
    return -1; // never asked: temporaries are made with their name
}

int link_temporary(int, const std::string&)
{
    return -1;
}

int name_temporary(int, std::string&)
{
    return -1;
}

int give_new_mode(int)
{
    return 0; // no owner, group or umask: a new file is simply read-write
}

void ignore_write_signals()
{
    // Windows has neither SIGPIPE nor SIGXFSZ: a failed write fails.
}

void restore_write_signals() {}

bool write_signals_are_ignored()
{
    return false;
}

off_t next_data(int, off_t at, off_t end)
{
    return at < end ? at : -1;
}

off_t data_end(int, off_t, off_t end)
{
    return end;
}

int truncate_descriptor(int fd, off_t length)
{
    FILE_END_OF_FILE_INFO info;
    info.EndOfFile.QuadPart = length;
    if (SetFileInformationByHandle(handle_of(fd), FileEndOfFileInfo, &info, sizeof info))
        return 0;
    set_errno_from(GetLastError());
    return -1;
}

int sync_directory(const std::string&)
{
    return 0; // MoveFileEx with MOVEFILE_WRITE_THROUGH has made the rename durable
}

void discard_file(int fd, const char* path)
{
    // Windows removes no file that is open without FILE_SHARE_DELETE: the
    // handle goes first (the process is ending, or the descriptor is closed
    // by the caller right after).
    if (fd >= 0)
        CloseHandle(handle_of(fd));
    static wchar_t w[32768];
    if (to_wide(path, w, 32768))
        DeleteFileW(w);
}

namespace {

void (*end_handler)(int) = nullptr;
void (*previous[3])(int) = {};
constexpr int end_signals[] = {SIGINT, SIGTERM, SIGBREAK};
CRITICAL_SECTION held_section;
bool section_ready = false;
DWORD main_thread = 0;
volatile bool in_console_thread = false;
int held_depth = 0;       // end_signals_held on the main thread
volatile int deferred = 0; // a signal raised while they were held

CRITICAL_SECTION& section()
{
    if (!section_ready) {
        InitializeCriticalSection(&held_section);
        section_ready = true;
    }
    return held_section;
}

void on_end_signal(int sig)
{
    // A raised signal runs its handler at once: while the signals are held
    // it waits, as a console's Ctrl+C waits for the section.
    if (held_depth > 0 && !in_console_thread) {
        signal(sig, on_end_signal); // the runtime put the default back
        deferred = sig;
        return;
    }
    if (end_handler != nullptr)
        end_handler(sig);
    end_by_signal(sig);
}

// Ctrl+C and Ctrl+Break arrive on a thread of their own: the main thread is
// held where it is (outside any state change, as those hold the section)
// before the handler runs.
BOOL WINAPI on_console(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    EnterCriticalSection(&section());
    HANDLE main = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, main_thread);
    if (main != nullptr && GetCurrentThreadId() != main_thread) {
        SuspendThread(main);
        CONTEXT context = {};
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(main, &context); // returns once the thread is held
    }
    in_console_thread = true;
    on_end_signal(event == CTRL_C_EVENT ? SIGINT : SIGBREAK);
    return TRUE;
}

} // namespace

void catch_end_signals(void (*handler)(int))
{
    end_signals_held held;
    end_handler = handler;
    main_thread = GetCurrentThreadId();
    for (int i = 0; i < 3; ++i) {
        previous[i] = signal(end_signals[i], on_end_signal);
        if (previous[i] == SIG_IGN)
            signal(end_signals[i], SIG_IGN);
    }
    SetConsoleCtrlHandler(on_console, TRUE);
}

void release_end_signals()
{
    end_signals_held held;
    if (end_handler == nullptr)
        return;
    SetConsoleCtrlHandler(on_console, FALSE);
    for (int i = 0; i < 3; ++i)
        signal(end_signals[i], previous[i] == SIG_ERR ? SIG_DFL : previous[i]);
    end_handler = nullptr;
}

void end_by_signal(int sig)
{
    // A console's Ctrl+C or Ctrl+Break ends a process with
    // STATUS_CONTROL_C_EXIT; a raised signal's default action exits with 3.
    if (in_console_thread)
        ExitProcess(STATUS_CONTROL_C_EXIT);
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(3);
}

void write_error_directly(const char* text, size_t n)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, DWORD(n), &written, nullptr);
}

end_signals_held::end_signals_held()
{
    EnterCriticalSection(&section());
    ++held_depth;
}

end_signals_held::~end_signals_held()
{
    int sig = 0;
    if (--held_depth == 0) {
        sig = deferred;
        deferred = 0;
    }
    LeaveCriticalSection(&section());
    if (sig != 0)
        on_end_signal(sig);
}

void* map_memory(size_t length, size_t alignment, bool)
{
    return _aligned_malloc(length, alignment); // no huge-page advice on Windows
}

void unmap_memory(void* p, size_t)
{
    _aligned_free(p);
}

namespace {
SRWLOCK process_lock = SRWLOCK_INIT;
} // namespace

void take_process_lock()
{
    AcquireSRWLockExclusive(&process_lock);
}

void release_process_lock()
{
    ReleaseSRWLockExclusive(&process_lock);
}

object_lock::object_lock()
{
    static_assert(sizeof(SRWLOCK) == sizeof(void*));
    InitializeSRWLock(reinterpret_cast<PSRWLOCK>(&state));
}

object_lock::~object_lock() = default;

void object_lock::take()
{
    AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state));
}

void object_lock::release()
{
    ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state));
}

bool programs_carry_resources()
{
    return true;
}

std::string own_module_path(const void* address)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
        return {};
    // A path longer than the buffer is cut short: the buffer grows until
    // the whole path fits (32767 characters at most on Windows).
    for (DWORD room = MAX_PATH;; room *= 2) {
        std::vector<wchar_t> path(room);
        const DWORD n = GetModuleFileNameW(module, path.data(), room);
        if (n == 0)
            return {};
        if (n < room)
            return utf8(path.data());
        if (room >= 32768)
            return {};
    }
}
