// The journal of an output written in place, and what the next run makes
// good of what a run that was cut off left beside a file. See journal.h.
//
// A journal is a first record, "TAMBJRN1", the output's length (8 bytes),
// the length of its name (4) and the name, then one record for each range
// that the flush overwrites: where (8), how many bytes (8) and the bytes.
// Every number is little-endian, and every record ends with an 8-byte check
// (FNV-1a over the record's bytes, going on from the check before it).
#include "output/journal.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "container/container.h"
#include "output/progress.h"
#include "output/replace.h"
#include "resfile/fail.h"
#include "resfile/kept.h"
#include "resfile/resfile.h"

#if !defined(O_CLOEXEC)
#define O_CLOEXEC 0
#endif

namespace {

constexpr unsigned char magic[8] = {'T', 'A', 'M', 'B', 'J', 'R', 'N', '1'};
constexpr uint64_t check_start = 0xcbf29ce484222325u;

uint64_t checked(uint64_t h, const unsigned char* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 0x100000001b3u;
    return h;
}

void put64(unsigned char* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

uint64_t get64(const unsigned char* p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

bool sync_refused(int error)
{
    return error == EINVAL || error == EROFS;
}

// Appends n bytes to the journal open on fd, and to the running check.
bool append(output_file* out, int fd, const void* p, size_t n)
{
    if (pwrite_all(fd, p, n, out->journal_end) != ssize_t(n))
        return false;
    out->journal_end += off_t(n);
    out->journal_check = checked(out->journal_check, static_cast<const unsigned char*>(p), n);
    return true;
}

// Ends a record with its check.
bool seal(output_file* out, int fd)
{
    unsigned char word[8];
    put64(word, out->journal_check);
    if (pwrite_all(fd, word, 8, out->journal_end) != 8)
        return false;
    out->journal_end += 8;
    return true;
}

bool append_kept(output_file* out, int fd, const kept_bytes& k)
{
    unsigned char head[16];
    put64(head, uint64_t(k.at));
    put64(head + 8, k.length);
    if (!append(out, fd, head, 16))
        return false;
    if (k.bytes != nullptr)
        return append(out, fd, k.bytes, k.length) && seal(out, fd);
    std::vector<unsigned char> piece(std::min<size_t>(k.length, size_t(1) << 20));
    for (size_t done = 0; done < k.length; done += piece.size()) {
        piece.resize(std::min(piece.size(), k.length - done));
        if (pread_all(spill_descriptor(), piece.data(), piece.size(), k.spilled + off_t(done)) !=
                ssize_t(piece.size()) ||
            !append(out, fd, piece.data(), piece.size()))
            return false;
    }
    return seal(out, fd);
}

// Makes the journal and writes its first record; its descriptor (-2 when
// the record could not be written), or -1 when the directory refuses it (or
// one is there already, naming another file).
int make_journal(output_file* out)
{
    const std::string path = journal_of(out->target);
    struct stat st;
    const int mode = syscalls.fstat(out->fd, &st) == 0 ? int(st.st_mode & 0666) | 0600 : 0600;
    const int fd = syscalls.open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    {
        end_signals_held held;
        out->journal = path;
        out->journal_made = 1;
    }
    out->journal_end = 0;
    out->journal_check = check_start;
    const std::string name = file_name_of(out->target);
    unsigned char head[20];
    std::memcpy(head, magic, 8);
    put64(head + 8, uint64_t(out->old_length));
    for (int i = 0; i < 4; ++i)
        head[16 + i] = uint8_t(name.size() >> (8 * i));
    if (!append(out, fd, head, 20) || !append(out, fd, name.data(), name.size()) || !seal(out, fd)) {
        syscalls.close(fd);
        return -2;
    }
    return fd;
}

struct journal_head {
    uint64_t length = 0;
    std::string name;
    off_t first = 0; // where the first range's record begins
    uint64_t check = 0;
};

bool read_at(int fd, void* p, size_t n, off_t at)
{
    return pread_all(fd, p, n, at) == ssize_t(n);
}

// The first record, false when it is cut off or its check fails.
bool read_head(int fd, journal_head* h)
{
    unsigned char head[20], word[8];
    if (!read_at(fd, head, 20, 0) || std::memcmp(head, magic, 8) != 0)
        return false;
    const uint32_t n = uint32_t(head[16]) | uint32_t(head[17]) << 8 | uint32_t(head[18]) << 16 |
                       uint32_t(head[19]) << 24;
    if (n > 4096)
        return false;
    h->name.assign(n, '\0');
    if (!read_at(fd, h->name.data(), n, 20) || !read_at(fd, word, 8, 20 + off_t(n)))
        return false;
    h->check = checked(checked(check_start, head, 20),
                       reinterpret_cast<const unsigned char*>(h->name.data()), n);
    h->length = get64(head + 8);
    h->first = 28 + off_t(n);
    return get64(word) == h->check;
}

// Goes through at most limit records after the first, as far as their
// checks hold, writing each range onto fd when fd >= 0. How many hold, or
// -1 when a write failed.
int walk_records(int j, const journal_head& h, int fd, int limit)
{
    off_t at = h.first;
    uint64_t check = h.check;
    std::vector<unsigned char> piece(size_t(1) << 16);
    int count = 0;
    for (; count < limit; ++count) {
        unsigned char head[16], word[8];
        if (!read_at(j, head, 16, at))
            break;
        const uint64_t to = get64(head), n = get64(head + 8);
        uint64_t k = checked(check, head, 16);
        bool whole = true;
        for (uint64_t done = 0; done < n && whole; done += piece.size()) {
            piece.resize(size_t(std::min<uint64_t>(size_t(1) << 16, n - done)));
            whole = read_at(j, piece.data(), piece.size(), at + 16 + off_t(done));
            k = checked(k, piece.data(), piece.size());
            if (whole && fd >= 0 &&
                pwrite_all(fd, piece.data(), piece.size(), off_t(to + done)) != ssize_t(piece.size()))
                return -1;
        }
        if (!whole || !read_at(j, word, 8, at + 16 + off_t(n)) || get64(word) != k)
            break;
        check = k;
        at += 24 + off_t(n);
    }
    return count;
}

void remove_journal(const std::string& target, const std::string& journal)
{
    if (syscalls.unlink(journal.c_str()) == 0)
        (void)sync_directory(directory_of(target));
}

int cannot_put_back(const char* path, const std::string& journal)
{
    std::fprintf(stderr, "error: cannot put back %s from its journal %s\n", path, journal.c_str());
    return -1;
}

// Puts back the file at target from the journal beside it. 0, or -1 after
// the error line.
int put_back(const char* path, const std::string& target, const std::string& journal)
{
    owned_descriptor j(syscalls.open(journal.c_str(), O_RDONLY, 0));
    if (j.fd < 0)
        return cannot_put_back(path, journal);
    journal_head h;
    if (!read_head(j.fd, &h)) { // cut off before it was synced: the file is untouched
        syscalls.close(j.fd), j.fd = -1;
        remove_journal(target, journal);
        return 0;
    }
    if (h.name != file_name_of(target)) {
        std::fprintf(stderr, "warning: %s names another file than %s; it is left as it is\n",
                     journal.c_str(), path);
        return 0;
    }
    owned_descriptor fd(syscalls.open(target.c_str(), O_RDWR, 0));
    if (fd.fd < 0 && errno == ENOENT) { // a journal beside no file protects nothing
        syscalls.close(j.fd), j.fd = -1;
        remove_journal(target, journal);
        return 0;
    }
    if (fd.fd < 0)
        return cannot_put_back(path, journal);
    const int count = walk_records(j.fd, h, -1, INT_MAX);
    if (walk_records(j.fd, h, fd.fd, count) != count || syscalls.ftruncate(fd.fd, off_t(h.length)) != 0 ||
        (syscalls.fsync(fd.fd) != 0 && !sync_refused(errno)))
        return cannot_put_back(path, journal);
    syscalls.close(j.fd), j.fd = -1;
    remove_journal(target, journal);
    std::fprintf(stderr, "warning: %s was put back from its journal %s, left by a run that was cut off\n",
                 path, journal.c_str());
    return 0;
}

// The temporaries `.NAME.tamb-XXXXXX` beside target, with their directory.
std::vector<std::string> temporaries_beside(const std::string& target)
{
    std::string name = file_name_of(target);
    if (name.size() > 200)
        name.resize(200);
    const std::string lead = "." + name + ".tamb-", dir = directory_of(target);
    std::vector<std::string> names, found;
    if (names_in_directory(dir, &names) != 0)
        return found;
    for (const std::string& n : names)
        if (n.size() == lead.size() + 6 && n.compare(0, lead.size(), lead) == 0 &&
            std::all_of(n.end() - 6, n.end(), [](char c) { return std::isalnum(uint8_t(c)) != 0; }))
            found.push_back(dir + "/" + n);
    return found;
}

} // namespace

void journal_output(output_file* out)
{
    if (out->way != output_way::in_place || out->unjournaled ||
        (out->journal_made && out->journaled == out->kept.size()))
        return;
    const bool made = !out->journal_made;
    const int fd = made ? make_journal(out) : syscalls.open(out->journal.c_str(), O_RDWR | O_CLOEXEC, 0);
    bool whole = fd >= 0;
    for (; whole && out->journaled < out->kept.size(); ++out->journaled)
        whole = append_kept(out, fd, out->kept[out->journaled]);
    whole = whole && (syscalls.fsync(fd) == 0 || sync_refused(errno));
    if (fd >= 0)
        syscalls.close(fd);
    if (whole) {
        if (made)
            (void)sync_directory(directory_of(out->target)); // a refusal is said at the commit
        return;
    }
    // Refused, or cut short by a full disk or the file-size limit: the file
    // is written as it was before journals, the undo still at hand.
    if (out->journal_made) {
        end_signals_held held;
        (void)syscalls.unlink(out->journal.c_str());
        out->journal_made = 0;
    }
    out->unjournaled = true;
    erase_progress();
    std::fprintf(stderr, "warning: %s is written in place without a journal; a crash can leave it mixed\n",
                 out->path.c_str());
}

int keep_image_ahead(output_file* out, const resource* list)
{
    if (out->way != output_way::in_place)
        return 0;
    pe_format format = 0;
    int area = 0;
    {
        failure_sink quiet;
        quiet.quiet = true;
        collecting_failures collecting(&quiet);
        area = position_at_map(out->fd, 0, &format);
    }
    const off_t base = area == 1 ? syscalls.lseek(out->fd, 0, SEEK_CUR) : -1;
    return base < 0 ? 0 : keep_output_bytes(out, base, image_length(list));
}

int drop_journal(output_file* out)
{
    if (!out->journal_made)
        return 0;
    if (syscalls.unlink(out->journal.c_str()) != 0)
        return fail_call(("commit_output(): cannot remove the journal " + out->journal).c_str(), errno);
    out->journal_made = 0;
    if (sync_directory(directory_of(out->target)) != 0) {
        const int reason = errno;
        erase_progress();
        std::fprintf(stderr, "warning: cannot sync the directory of %s: %s\n", out->path.c_str(),
                     std::strerror(reason));
    }
    return 0;
}

int settle_file(const char* path, const output_lock* held, bool writing)
{
    const std::string target = follow_links(path);
    if (file_name_of(target).empty())
        return 0;
    const std::string journal = journal_of(target);
    struct stat st;
    if (syscalls.lstat(journal.c_str(), &st) != 0 && (!writing || temporaries_beside(target).empty()))
        return 0;
    output_lock own;
    const bool holding = held != nullptr && held->held >= 0 && names_file(path, held->id);
    if (!holding)
        lock_output(&own, path);
    if (syscalls.lstat(journal.c_str(), &st) == 0 && put_back(path, target, journal) != 0)
        return -1;
    if (writing && (holding || own.held >= 0))
        for (const std::string& t : temporaries_beside(target))
            (void)syscalls.unlink(t.c_str());
    return 0;
}
