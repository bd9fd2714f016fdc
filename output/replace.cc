// Replacing an output file: a temporary renamed over it, or the file itself
// with what the flush overwrites kept for putting back. See replace.h.
#include "output/replace.h"
#include "output/progress.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/platform.h"
#include "resfile/fail.h"
#include "resfile/kept.h"

namespace {

output_file* volatile active = nullptr;

// A line for each output committed so far, in the order of the commits,
// which a run ended by a signal prints before it ends. Added to only while
// the signals that end a run are held.
struct written_line {
    written_line* next;
    size_t length;
    char text[1];
};
written_line* written = nullptr;
written_line** written_end = &written;

// Notes that out is committed (while the signals are held).
void note_written(const output_file* out)
{
    const std::string line = "warning: " + out->path + " was written before the signal\n";
    auto* w = static_cast<written_line*>(std::malloc(sizeof(written_line) + line.size()));
    if (w == nullptr)
        return;
    w->next = nullptr;
    w->length = line.size();
    std::memcpy(w->text, line.data(), line.size());
    *written_end = w;
    written_end = &w->next;
}

// Kept bytes beyond this many go to the spill file rather than to memory.
constexpr size_t spill_above = size_t(1) << 20;

// Writes all of n bytes at `at` with write_at; false when a write fails.
bool put_all(ssize_t (*write_at)(int, const void*, size_t, off_t), int fd, const unsigned char* p,
             size_t n, off_t at)
{
    while (n > 0) {
        ssize_t k = write_at(fd, p, n, at);
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
            discard_file(out->fd, out->temp.c_str());
        return;
    }
    if (out->way != output_way::in_place)
        return;
    const int fd = out->fd >= 0 ? out->fd : out->original;
    static unsigned char buffer[1 << 16];
    bool whole = true;
    for (const kept_bytes& k : out->kept) { // with the system's own calls, whatever tests replace
        if (k.bytes != nullptr) {
            whole = put_all(pwrite, fd, k.bytes, k.length, k.at) && whole;
            continue;
        }
        for (size_t done = 0; done < k.length;) {
            const size_t want = std::min(sizeof buffer, k.length - done);
            const ssize_t got = pread(spill_descriptor(), buffer, want, k.spilled + off_t(done));
            if (got <= 0 || !put_all(pwrite, fd, buffer, size_t(got), k.at + off_t(done))) {
                whole = false;
                break;
            }
            done += size_t(got);
        }
    }
    // Put back whole and synced, the file needs its journal no more.
    if (truncate_descriptor(fd, out->old_length) == 0 && fsync(fd) == 0 && whole && out->journal_made)
        discard_file(-1, out->journal.c_str());
}

void on_signal(int sig)
{
    output_file* out = active;
    if (out != nullptr && !out->finished)
        undo(out);
    for (const written_line* w = written; w != nullptr; w = w->next)
        write_error_directly(w->text, w->length);
    end_by_signal(sig);
}

// Catches the signals that end a run (those not ignored) while out is open,
// and, once an output is committed, for the rest of the run.
void watch(output_file* out)
{
    end_signals_held held;
    active = out;
    catch_end_signals(on_signal);
}

void unwatch(output_file* out)
{
    end_signals_held held;
    if (active != out)
        return;
    if (written == nullptr)
        release_end_signals();
    active = nullptr;
}

void release(output_file* out)
{
    unwatch(out);
    for (kept_bytes& k : out->kept)
        std::free(k.bytes);
    out->kept.clear();
    if (out->fd >= 0)
        syscalls.close(out->fd);
    if (out->original >= 0)
        syscalls.close(out->original);
    if (out->handle >= 0)
        syscalls.close(out->handle);
    out->fd = out->original = out->handle = -1;
}

// Makes the temporary `.NAME.tamb-XXXXXX` beside the target (or one that
// gets that name only once it is complete).
bool make_temp(output_file* out)
{
    const std::string& target = out->target;
    std::string name = file_name_of(target);
    if (name.size() > 200) // room for the rest within a name's 255 bytes
        name.resize(200);
    const std::string dir = directory_of(target);
    std::string pattern = dir + "/." + name + ".tamb-XXXXXX";
    end_signals_held held;
    bool unnamed = false;
    int fd = make_temporary(dir, pattern, &unnamed);
    if (fd < 0)
        return false;
    out->temp = pattern;
    out->unnamed = unnamed;
    out->temp_made = unnamed ? 0 : 1;
    out->fd = fd;
    return true;
}

// Removes the temporary made by make_temp.
void drop_temp(output_file* out)
{
    end_signals_held held;
    if (out->temp_made)
        discard_file(out->fd, out->temp.c_str());
    syscalls.close(out->fd);
    out->fd = -1;
    out->temp_made = 0;
}

// A new output (no file has its name): the complete unnamed temporary is
// linked under that name itself, so that no name of its own is ever left
// beside it. False when a file has that name meanwhile, or where it cannot be.
bool new_name_taken(output_file* out)
{
    struct stat st;
    return syscalls.lstat(out->target.c_str(), &st) != 0 && errno == ENOENT &&
           link_temporary(out->handle, out->target) == 0;
}

int start_in_place(output_file* out, int fd, const struct stat& st)
{
    out->way = output_way::in_place;
    out->fd = fd;
    out->old_length = st.st_size;
    out->original = syscalls.dup(fd); // puts the bytes back should closing fd fail
    if (out->original < 0) {
        out->fd = -1;
        syscalls.close(fd);
        return -1;
    }
    watch(out);
    ignore_write_signals();
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
        ssize_t k = syscalls.copy_file_range(in, &in_at, out, &out_at, size_t(at + n - in_at), 0);
        if (k > 0) {
            copied = true;
            continue;
        }
        if (k < 0 && !copied &&
            (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == ENOTSUP))
            break; // not between these files: copy through a buffer
        return fail_call("copy_output(): copy_file_range() failed", k < 0 ? errno : 0);
    }
    static unsigned char buffer[1 << 16];
    while (in_at < at + n) {
        ssize_t k = syscalls.pread(in, buffer, size_t(std::min<off_t>(sizeof buffer, at + n - in_at)), in_at);
        if (k <= 0)
            return fail_call("copy_output(): read() failed", k < 0 ? errno : 0);
        errno = 0;
        if (!put_all(syscalls.pwrite, out, buffer, size_t(k), in_at))
            return fail_call("copy_output(): write() failed", errno);
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
        if (syscalls.stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
            out->fd = syscalls.open(path, O_WRONLY, 0);
            if (out->fd < 0)
                return -1;
            ignore_write_signals();
            return 0;
        }
    } else {
        fd = syscalls.open(path, O_RDWR, 0);
        if (fd < 0 && errno != ENOENT)
            return -1;
        if (fd >= 0 && syscalls.fstat(fd, &st) != 0) {
            syscalls.close(fd);
            return -1;
        }
        if (fd >= 0 && !S_ISREG(st.st_mode)) {
            out->fd = fd;
            ignore_write_signals();
            return 0;
        }
    }
    out->target = follow_links(path);
    if (file_name_of(out->target).empty()) { // names no file
        if (fd >= 0)
            syscalls.close(fd);
        return -1;
    }
    if (fd >= 0 && (link_count(fd) > 1 || rename_refused(out->target, st)))
        return start_in_place(out, fd, st);
    out->way = output_way::replace;
    watch(out);
    if (!make_temp(out)) {
        unwatch(out);
        if (fd >= 0)
            return start_in_place(out, fd, st);
        return -1;
    }
    if (fd < 0) {
        if (give_new_mode(out->fd) != 0)
            return fail_call("open_output(): fchmod() failed", errno);
    } else if (give_attributes(out->fd, fd, st) != 0) {
        // What the file carries besides its bytes cannot all be given to a
        // new file: the file itself is written.
        drop_temp(out);
        unwatch(out);
        return start_in_place(out, fd, st);
    } else {
        out->original = fd;
        out->old_stat = st;
    }
    ignore_write_signals();
    return 0;
}

int copy_output(output_file* out)
{
    if (out->way != output_way::replace || out->original < 0)
        return 0;
    const int in = out->original;
    struct stat st;
    if (syscalls.fstat(in, &st) != 0)
        return fail_call("copy_output(): fstat() failed", errno);
    if (syscalls.reflink(out->fd, in) != 0) {
        // The holes of a sparse file stay holes: only its data is copied.
        for (off_t at = 0; (at = next_data(in, at, st.st_size)) >= 0;) {
            const off_t end = data_end(in, at, st.st_size);
            if (copy_range(in, out->fd, at, end - at) != 0)
                return -1;
            at = end;
        }
        if (syscalls.ftruncate(out->fd, st.st_size) != 0)
            return fail_call("copy_output(): ftruncate() failed", errno);
    }
    return 0;
}

int keep_output_bytes(output_file* out, off_t at, int64_t length)
{
    if (out->way != output_way::in_place || at < 0 || at >= out->old_length || length <= 0)
        return 0;
    const off_t end = length > out->old_length - at ? out->old_length : at + off_t(length);
    const size_t n = size_t(end - at);
    for (const kept_bytes& k : out->kept)
        if (k.at == at && k.length == n)
            return 0; // kept already (before the journal was written)
    if (n > spill_above) { // a bounded piece at a time, into the spill file
        std::vector<unsigned char> piece(spill_above);
        int64_t spilled = -1;
        for (size_t done = 0; done < n;) {
            const size_t want = std::min(piece.size(), n - done);
            errno = 0;
            if (pread_all(out->fd, piece.data(), want, at + off_t(done)) != ssize_t(want))
                return fail_call("keep_output_bytes(): read() failed", errno);
            const int64_t where = spill_append(piece.data(), want);
            if (where < 0)
                return fail("keep_output_bytes(): cannot keep %zu bytes\n", n);
            if (done == 0)
                spilled = where;
            done += want;
        }
        end_signals_held held;
        out->kept.push_back({at, n, nullptr, spilled});
        return 0;
    }
    auto* bytes = static_cast<unsigned char*>(std::malloc(n));
    if (bytes == nullptr)
        return fail("keep_output_bytes(): malloc(%zu) failed\n", n);
    for (size_t got = 0; got < n;) {
        ssize_t k = syscalls.pread(out->fd, bytes + got, n - got, at + off_t(got));
        if (k <= 0) {
            const int error = k < 0 ? errno : 0;
            std::free(bytes);
            return fail_call("keep_output_bytes(): read() failed", error);
        }
        got += size_t(k);
    }
    end_signals_held held;
    out->kept.push_back({at, n, bytes});
    return 0;
}

int commit_output(output_file* out)
{
    if (out->finished)
        return 0;
    // Writing may have dropped some of what was given to the temporary (a
    // file capability, the setuid and setgid bits): it is given again.
    if (out->way == output_way::replace && out->original >= 0) {
        errno = 0;
        if (give_attributes(out->fd, out->original, out->old_stat) != 0) {
            fail_call("commit_output(): cannot give the output its owner, mode and attributes", errno);
            abandon_output(out);
            return -1;
        }
        syscalls.close(out->original); // only ever read; and an open file cannot be replaced on Windows
        out->original = -1;
    }
    // Written in place, the file holds the new bytes from its last write:
    // a signal is taken once they are synced and the output committed.
    std::optional<end_signals_held> held_in_place;
    if (out->way == output_way::in_place)
        held_in_place.emplace();
    if (out->way != output_way::plain && syscalls.fsync(out->fd) != 0 &&
        !sync_unsupported(errno)) {
        fail_call("commit_output(): fsync() failed", errno);
        abandon_output(out);
        return -1;
    }
    // An unnamed temporary is reached through a handle of its own once its
    // descriptor is closed, so that it is named only right before the rename.
    if (out->way == output_way::replace && out->unnamed &&
        (out->handle = temporary_handle(out->fd)) < 0) {
        fail_call("commit_output(): linkat() failed", errno);
        abandon_output(out);
        return -1;
    }
    const int fd = out->fd;
    out->fd = -1;
    if (syscalls.close(fd) != 0) {
        fail_call("commit_output(): close() failed", errno);
        abandon_output(out);
        return -1;
    }
    if (out->way == output_way::in_place) {
        // The journal's removal commits an output written in place.
        if (drop_journal(out) != 0) {
            abandon_output(out);
            return -1;
        }
        out->finished = 1;
        note_written(out);
        held_in_place.reset();
    }
    if (out->way == output_way::replace) {
        // From the rename until the directory is synced, a signal waits: the
        // run that it ends says that the output was written.
        end_signals_held held;
        int named = 0, renamed = -1;
        if (out->unnamed && new_name_taken(out)) {
            renamed = 0;
            out->finished = 1;
            note_written(out);
        }
        if (!out->finished && out->unnamed && (named = name_temporary(out->handle, out->temp)) == 0)
            out->temp_made = 1;
        if (!out->finished && named == 0 &&
            (renamed = syscalls.rename(out->temp.c_str(), out->target.c_str())) == 0) {
            out->finished = 1;
            note_written(out);
        }
        if (named != 0 || renamed != 0) {
            fail_call(named != 0 ? "commit_output(): linkat() failed" : "commit_output(): rename() failed", errno);
            abandon_output(out);
            return -1;
        }
        if (sync_directory(directory_of(out->target)) != 0) {
            const int reason = errno;
            erase_progress();
            std::fprintf(stderr, "warning: cannot sync the directory of %s: %s\n", out->path.c_str(),
                         std::strerror(reason));
        }
    }
    out->finished = 1;
    release(out);
    restore_write_signals();
    return 0;
}

void abandon_output(output_file* out)
{
    if (!out->finished) {
        end_signals_held held;
        if (out->way == output_way::replace && out->fd >= 0) {
            syscalls.close(out->fd);
            out->fd = -1;
        }
        undo(out);
        out->finished = 1;
    }
    release(out);
}
