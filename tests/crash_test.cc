// The crash explorer. A recording table over the platform's system calls
// logs every file call of a run of tamb with its bytes; a model says what a
// crash after any prefix of the log may leave (each 512-byte sector of a
// write since its file's last sync old or new, each change of length since
// then made or not, the name calls since the directory's last sync kept as a
// prefix of them, a rename whole); each state is laid out in a directory of
// its own and judged (after the next run, a listing then a merge, or the
// extraction again, each output holds exactly its old bytes or its new ones,
// the new ones once the run is done with it; nothing is left beside it; its
// lock can be taken). With each sync ignored in turn, damage must be found.
// Where there are few states all are judged, else TAMB_CRASH_STATES (1000)
// sampled with a fixed seed, and a quarter as many for each ignored sync.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "container/container.h"
#include "output_cases.h"
#include "testkit.h"
#include "tamb/resources.h"

namespace {

namespace fs = std::filesystem;

// One call of the log. `file` is a file's identity for the run: its inode
// number, or a number of its own for a file the run made.
enum class op : uint8_t { create, link, rename, unlink, write, truncate, sync, dirsync, lock, unlock };

struct event {
    op what;
    uint64_t file = 0;
    uint64_t at = 0; // where a write begins; a truncation's length
    std::string name, to;
    bytes data;
};

// ---------------------------------------------------------------- recorder
// In the child that runs tamb: the system's calls, and what each descriptor
// is open on.
namespace recorder {

system_calls real;
int log_fd = -1;
std::map<int, uint64_t> files; // descriptor -> file
std::map<int, bool> dirs;      // descriptors open on the directory
std::map<uint64_t, uint64_t> id_of; // inode -> file, for files the run made
uint64_t next_id = uint64_t(1) << 40;

// Appends a call to the log: six numbers, then the names and the bytes.
void note(op what, uint64_t file, const std::string& name = {}, const std::string& to = {},
          uint64_t at = 0, const void* data = nullptr, size_t n = 0)
{
    const uint64_t head[] = {uint64_t(what), file, at, name.size(), to.size(), n};
    std::string record = std::string(reinterpret_cast<const char*>(head), sizeof head) + name + to;
    if (n != 0)
        record.append(static_cast<const char*>(data), n);
    if (::write(log_fd, record.data(), record.size()) != ssize_t(record.size()))
        _exit(125);
}

// A path's name in the directory of the run (every workload stays in it).
bool named_here(const char* path)
{
    return directory_of(path) == ".";
}

uint64_t file_of(uint64_t inode)
{
    return id_of.count(inode) != 0 ? id_of[inode] : inode;
}

void opened(int fd, const char* path, bool made)
{
    struct stat st;
    if (fd < 0 || real.fstat(fd, &st) != 0)
        return;
    if (S_ISDIR(st.st_mode))
        dirs[fd] = true;
    if (!S_ISREG(st.st_mode))
        return;
    if (made)
        id_of[st.st_ino] = next_id++;
    files[fd] = file_of(st.st_ino);
    if (made && path != nullptr)
        note(op::create, files[fd], file_name_of(path));
}

void wrote(int fd, off_t at, const void* p, ssize_t n)
{
    if (n > 0 && files.count(fd) != 0)
        note(op::write, files[fd], {}, {}, uint64_t(at), p, size_t(n));
}

// What the file behind out holds in [at, at + n), read back after a copy.
void copied(int out, off_t at, ssize_t n)
{
    bytes b(n > 0 ? size_t(n) : 0);
    if (n > 0 && ::pread(out, b.data(), b.size(), at) == n)
        wrote(out, at, b.data(), n);
}

void install(int log)
{
    log_fd = log;
    real = syscalls;
    syscalls.open = [](const char* path, int flags, int mode) {
        struct stat st;
        const bool made = (flags & O_CREAT) != 0 && real.lstat(path, &st) != 0;
        const int fd = real.open(path, flags, mode);
        opened(fd, named_here(path) ? path : nullptr, made && fd >= 0);
        if (fd >= 0 && (flags & O_TRUNC) != 0 && files.count(fd) != 0)
            note(op::truncate, files[fd]);
        return fd;
    };
    syscalls.open_temporary = [](const char* dir, int mode) {
        const int fd = real.open_temporary(dir, mode);
        return opened(fd, nullptr, true), fd;
    };
    syscalls.write = [](int fd, const void* p, size_t n) {
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        const ssize_t k = real.write(fd, p, n);
        return wrote(fd, at, p, k), k;
    };
    syscalls.writev = [](int fd, const iovec* parts, int count) {
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        const ssize_t k = real.writev(fd, parts, count);
        bytes all;
        for (int i = 0; i < count && all.size() < size_t(std::max<ssize_t>(k, 0)); ++i)
            all.insert(all.end(), static_cast<unsigned char*>(parts[i].iov_base),
                       static_cast<unsigned char*>(parts[i].iov_base) + parts[i].iov_len);
        return wrote(fd, at, all.data(), k), k;
    };
    syscalls.pwrite = [](int fd, const void* p, size_t n, off_t at) {
        const ssize_t k = real.pwrite(fd, p, n, at);
        return wrote(fd, at, p, k), k;
    };
    syscalls.copy_file_range = [](int in, off_t* in_at, int out, off_t* out_at, size_t n, unsigned f) {
        const off_t at = out_at != nullptr ? *out_at : ::lseek(out, 0, SEEK_CUR);
        const ssize_t k = real.copy_file_range(in, in_at, out, out_at, n, f);
        return copied(out, at, k), k;
    };
    syscalls.reflink = [](int out, int in) {
        struct stat st;
        const int r = real.reflink(out, in);
        if (r == 0 && files.count(out) != 0 && ::fstat(out, &st) == 0)
            note(op::truncate, files[out]), copied(out, 0, st.st_size);
        return r;
    };
    syscalls.ftruncate = [](int fd, off_t length) {
        const int r = real.ftruncate(fd, length);
        return r == 0 && files.count(fd) != 0 ? note(op::truncate, files[fd], {}, {}, uint64_t(length)), r : r;
    };
    syscalls.fsync = [](int fd) {
        const int r = real.fsync(fd);
        if (r == 0 && (dirs.count(fd) != 0 || files.count(fd) != 0))
            note(dirs.count(fd) != 0 ? op::dirsync : op::sync, dirs.count(fd) != 0 ? 0 : files[fd]);
        return r;
    };
    syscalls.close = [](int fd) { return files.erase(fd), dirs.erase(fd), real.close(fd); };
    syscalls.dup = [](int fd) {
        const int k = real.dup(fd);
        return k >= 0 && files.count(fd) != 0 ? files[k] = files[fd], k : k;
    };
    syscalls.rename = [](const char* from, const char* to) {
        const int r = real.rename(from, to);
        return r == 0 && named_here(to) ? note(op::rename, 0, file_name_of(from), file_name_of(to)), r : r;
    };
    syscalls.unlink = [](const char* path) {
        const int r = real.unlink(path);
        return r == 0 && named_here(path) ? note(op::unlink, 0, file_name_of(path)), r : r;
    };
    syscalls.linkat = [](const char* from, const char* to) {
        struct stat st;
        const bool known = real.stat(from, &st) == 0;
        const int r = real.linkat(from, to);
        if (r == 0 && known && named_here(to))
            note(op::link, file_of(st.st_ino), file_name_of(to));
        return r;
    };
    syscalls.lock = [](const char* path, int wait, file_identity* locked) {
        const int held = real.lock(path, wait, locked);
        return held >= 0 ? note(op::lock, 0, file_name_of(path)), held : held;
    };
    syscalls.unlock = [](int held) { return note(op::unlock, 0), real.unlock(held); };
}

} // namespace recorder

std::vector<event> read_log(const std::string& path)
{
    const bytes b = file_bytes(path);
    std::vector<event> log;
    for (size_t at = 0; at + 48 <= b.size();) {
        uint64_t head[6];
        std::memcpy(head, b.data() + at, sizeof head);
        const char* p = reinterpret_cast<const char*>(b.data()) + at + 48;
        log.push_back({op(head[0]), head[1], head[2], std::string(p, head[3]),
                       std::string(p + head[3], head[4]),
                       bytes(p + head[3] + head[4], p + head[3] + head[4] + head[5])});
        at += 48 + head[3] + head[4] + head[5];
    }
    return log;
}

// ------------------------------------------------------------------- model
// A directory as a crash may leave it: names, and the bytes of each file.
struct layout {
    std::map<std::string, uint64_t> names;
    std::map<uint64_t, bytes> files;
};

// A run as recorded: the directory before it, the log, and for each call
// whether it made its file longer and how it is shown.
struct recording {
    layout before;
    std::vector<event> log;
    std::vector<bool> extends;
    std::vector<std::string> shown;
};

void rename_in(std::map<std::string, uint64_t>& names, const event& e)
{
    if (e.what == op::create || e.what == op::link)
        names[e.name] = e.file;
    if (e.what == op::rename && names.count(e.name) != 0)
        names[e.to] = names[e.name];
    if (e.what == op::rename || e.what == op::unlink)
        names.erase(e.name);
}

void describe(recording& r)
{
    layout live = r.before;
    for (const event& e : r.log) {
        std::string name = "an unnamed file";
        for (const auto& [n, f] : live.names)
            if (f == e.file)
                name = n;
        bytes& b = live.files[e.file];
        r.extends.push_back(e.what == op::write && e.at + e.data.size() > b.size());
        if (e.what == op::write && r.extends.back())
            b.resize(e.at + e.data.size());
        if (e.what == op::truncate)
            b.resize(e.at);
        rename_in(live.names, e);
        const char* calls[] = {"create", "link",  "rename", "unlink", "write",
                               "ftruncate", "fsync", "fsync", "lock", "unlock"};
        std::string s = std::string(calls[int(e.what)]) + "(";
        if (e.what == op::write || e.what == op::truncate || e.what == op::sync)
            s += name;
        s += e.what == op::dirsync ? "." : e.name;
        s += e.what == op::rename ? " -> " + e.to : "";
        if (e.what == op::write)
            s += ", " + std::to_string(e.data.size()) + " bytes at " + std::to_string(e.at);
        if (e.what == op::truncate)
            s += ", " + std::to_string(e.at);
        r.shown.push_back(s + ")");
    }
}

// Where the choices of a state come from: a number taken apart digit by
// digit (and, counting, how many states there are), or a random source.
struct chooser {
    std::mt19937_64* random = nullptr;
    uint64_t index = 0;
    uint64_t count = 1;
    uint64_t below(uint64_t n)
    {
        if (random != nullptr)
            return (*random)() % n;
        count = count > (uint64_t(1) << 40) ? count : count * n;
        const uint64_t d = index % n;
        return index /= n, d;
    }
};

// What the disk may hold after the first `upto` calls of the log, with the
// sync at `ignored` (if any) as though it had not been made, and `kept` of
// the name calls since the directory's last sync (*pending: how many there
// are). Only the files that have a name then are given their choices.
layout after_crash(const recording& r, size_t upto, size_t kept, chooser& pick, size_t ignored,
                   size_t* pending_names = nullptr)
{
    layout disk = r.before;
    std::map<uint64_t, std::vector<size_t>> pending; // writes and truncations since each file's sync
    std::vector<size_t> names;                       // name calls since the directory's sync
    for (size_t i = 0; i < upto; ++i) {
        const event& e = r.log[i];
        if (e.what == op::write || e.what == op::truncate)
            pending[e.file].push_back(i);
        if (e.what <= op::unlink) // a name call
            names.push_back(i);
        if (i == ignored)
            continue;
        if (e.what == op::sync) {
            for (size_t k : pending[e.file]) {
                const event& w = r.log[k];
                bytes& b = disk.files[w.file];
                b.resize(w.what == op::truncate ? w.at : std::max(b.size(), w.at + w.data.size()));
                std::copy(w.data.begin(), w.data.end(), b.begin() + std::ptrdiff_t(w.at));
            }
            pending.erase(e.file);
        }
        if (e.what == op::dirsync) {
            for (size_t k : names)
                rename_in(disk.names, r.log[k]);
            names.clear();
        }
    }
    for (size_t k = 0; k < std::min(kept, names.size()); ++k)
        rename_in(disk.names, r.log[names[k]]);
    if (pending_names != nullptr)
        *pending_names = names.size();
    for (const auto& [file, calls] : pending) {
        if (std::none_of(disk.names.begin(), disk.names.end(), [&](const auto& n) { return n.second == file; }))
            continue;
        bytes b = disk.files[file];
        size_t length = b.size();
        for (size_t k : calls) {
            const event& w = r.log[k];
            if (w.what == op::truncate && pick.below(2) != 0)
                b.resize(length = w.at);
            if (w.what != op::write)
                continue;
            const uint64_t end = w.at + w.data.size();
            for (uint64_t s = w.at / 512 * 512; s < end; s += 512)
                if (pick.below(2) != 0) {
                    const uint64_t from = std::max(s, w.at), to = std::min(s + 512, end);
                    b.resize(std::max<uint64_t>(b.size(), to));
                    std::copy_n(w.data.begin() + std::ptrdiff_t(from - w.at), to - from,
                                b.begin() + std::ptrdiff_t(from));
                }
            if (r.extends[k] && pick.below(2) != 0)
                length = std::max<uint64_t>(length, end);
        }
        b.resize(length);
        disk.files[file] = b;
    }
    return disk;
}

// ------------------------------------------------------------ workloads
struct workload {
    const char* name;
    std::vector<std::string> args;    // the run that is cut off
    std::vector<std::string> outputs; // what it writes
    bool resources;                   // the outputs are resource files (else judged by their bytes)
    std::vector<const char*> linked = {};   // output and its second name, made before the run
    std::vector<int> unneeded = {};          // syncs whose loss no state shows (the README says why)
};

const bytes in_image = rs_image({{type_code("LONG"), 1, "", hex("01 02 03 04")},
                                 {type_code("MIMS"), 2, "X", bytes(1200, 0x5A)}});
const bytes old_image = rs_image({{type_code("OLDR"), 1, "", bytes(700, 0x11)},
                                  {type_code("OLDR"), 2, "two", bytes(900, 0x22)}});

// The files every workload starts with.
const std::vector<std::pair<std::string, bytes>> start_files = {
    {"in.rsrc", in_image},
    {"out.rsrc", old_image},
    {"prog.exe", [] { // a program with resources, its checksum right
         bytes b = pe_optional(1008, 1008, 0x10B, 0x1234);
         b.insert(b.end(), old_image.begin() + 4, old_image.end());
         const int fd = memory_file(b);
         uint32_t sum = 0;
         pe_file_checksum(fd, 64 + 88, &sum);
         ::close(fd);
         set32(b, 64 + 88, sum, false);
         return b;
     }()},
    {"data.bin", bytes(600, 0x33)},
};

const workload workloads[] = {
    {"new_output", {"-o", "new.rsrc", "in.rsrc"}, {"new.rsrc"}, true, {}, {1, 2}},
    {"merge", {"-o", "out.rsrc", "out.rsrc", "in.rsrc"}, {"out.rsrc"}, true, {}, {1, 2}},
    {"pe_checksum", {"-o", "prog.exe", "prog.exe", "in.rsrc"}, {"prog.exe"}, true, {}, {1}},
    {"delete", {"-o", "out.rsrc", "out.rsrc", "--delete", "OLDR:1"}, {"out.rsrc"}, true, {}, {1, 2}},
    {"extract", {"-l", "--extract", "MIMS:2=data.bin", "in.rsrc"}, {"data.bin"}, false},
    {"two_outputs", {"-o", "out.rsrc", "out.rsrc", "in.rsrc", "-o", "new.rsrc", "in.rsrc"},
     {"out.rsrc", "new.rsrc"}, true, {}, {1, 2, 4, 5}},
    {"hard_links", {"-o", "out.rsrc", "out.rsrc", "in.rsrc"}, {"out.rsrc"}, true,
     {"out.rsrc", "link.rsrc"}, {3, 4}},
};

void PrintTo(const workload& w, std::ostream* os)
{
    *os << w.name;
}

// ------------------------------------------------------------------ judge
void lay_out(const layout& l, const std::string& dir)
{
    fs::create_directory(dir);
    std::map<uint64_t, std::string> made;
    for (const auto& [name, file] : l.names) {
        const std::string path = dir + "/" + name;
        if (made.count(file) != 0) {
            fs::create_hard_link(made[file], path);
            continue;
        }
        const auto f = l.files.find(file);
        put_file(path, f != l.files.end() ? f->second : bytes{});
        made[file] = path;
    }
}

// The next runs need not survive a crash: their syncs are left out.
run_result quick_run(const std::string& dir, const std::vector<std::string>& args)
{
    return run_tamb(dir, args, [] { syscalls.fsync = [](int) { return 0; }; });
}

struct judge {
    const workload& w;
    const recording& r;
    std::map<std::string, bytes> old_bytes = {}, new_bytes = {}; // absent: no entry
    std::map<std::string, std::string> verdicts = {};           // by the state's bytes
    std::map<std::string, size_t> committed = {}; // the crash point from which an output must be new
    std::string root = {};
    int laid = 0;

    // What is wrong with a state that a crash after `upto` calls left (empty:
    // nothing).
    std::string verdict(const layout& l, size_t upto)
    {
        std::string key;
        for (const std::string& o : w.outputs)
            key += upto >= committed[o] ? "1" : "0";
        for (const auto& [name, file] : l.names) {
            const auto f = l.files.find(file);
            const bytes& b = f != l.files.end() ? f->second : bytes{};
            key += name + '/' + std::to_string(file) + '/' + std::to_string(b.size()) + '/';
            key.append(b.begin(), b.end());
        }
        const auto cached = verdicts.find(key);
        if (cached != verdicts.end())
            return cached->second;
        const std::string dir = root + "/state" + std::to_string(laid++);
        lay_out(l, dir);
        std::string wrong = examine(dir, upto);
        fs::remove_all(dir);
        return verdicts[key] = wrong;
    }

    std::string held_bytes(const std::string& dir, size_t upto)
    {
        for (const std::string& o : w.outputs) {
            const bool complete = upto >= committed[o];
            const bool there = fs::exists(dir + "/" + o);
            const bytes now = there ? file_bytes(dir + "/" + o) : bytes{};
            const bool is_old = there == (old_bytes.count(o) != 0) && (!there || now == old_bytes[o]);
            if (!(there && now == new_bytes[o]) && !(is_old && !complete))
                return o + (complete ? " does not hold its new bytes once the run has ended"
                                     : " holds neither its old bytes nor its new ones");
        }
        return "";
    }

    std::string examine(const std::string& dir, size_t upto)
    {
        std::vector<std::string> present;
        for (const std::string& o : w.outputs)
            if (fs::exists(dir + "/" + o))
                present.push_back(o);
        // libtamb, which does not write, refuses a file with a journal beside it.
        for (const std::string& o : present) {
            tamb_file* f = nullptr;
            const bool refused = tamb_open((dir + "/" + o).c_str(), &f) == TAMB_E_DAMAGED;
            tamb_close(f);
            if (w.resources && refused != fs::exists(dir + "/." + o + ".tamb-journal"))
                return "libtamb " + std::string(refused ? "refuses " : "opens ") + o;
        }
        // An extraction is judged before the next run, which writes it again;
        // a resource file after the listing, which puts it back.
        std::string wrong = w.resources ? "" : held_bytes(dir, upto);
        std::vector<std::string> listing = {"-l"};
        listing.insert(listing.end(), present.begin(), present.end());
        const run_result next = quick_run(dir, w.resources ? listing : w.args);
        if (wrong.empty() && (!present.empty() || !w.resources) && next.status != 0)
            wrong = "the next run fails: " + next.err;
        if (wrong.empty() && w.resources)
            wrong = held_bytes(dir, upto);
        if (!wrong.empty())
            return wrong;
        for (const std::string& o : present)
            if (w.resources && quick_run(dir, {"--check", o}).out != o + ": ok\n")
                return o + " is not sound";
        for (const std::string& o : w.outputs)
            if (w.resources && quick_run(dir, {"-o", o, "in.rsrc"}).status != 0)
                return "the merge into " + o + " fails";
        for (const std::string& n : names_in(dir))
            if (r.before.names.count(n) == 0 &&
                std::find(w.outputs.begin(), w.outputs.end(), n) == w.outputs.end())
                return n + " is left beside the outputs";
        file_identity id;
        for (const std::string& o : w.outputs) {
            const int held = fs::exists(dir + "/" + o) ? syscalls.lock((dir + "/" + o).c_str(), 0, &id) : 0;
            if (held < 0)
                return "the lock of " + o + " cannot be taken";
            syscalls.unlock(held);
        }
        return "";
    }
};

struct tally {
    uint64_t states = 0, damaged = 0;
    size_t shortest = SIZE_MAX; // the shortest prefix of the log that leads to a damaged state
    std::string why;
};

// Judges every state after the calls from `from` on, or `most` sampled ones.
tally explore(judge& j, uint64_t most, size_t ignored = SIZE_MAX)
{
    const recording& r = j.r;
    const size_t n = r.log.size(), from = ignored == SIZE_MAX ? 0 : ignored + 1;
    struct point {
        size_t upto, kept;
        uint64_t count; // states
    };
    std::vector<point> points;
    uint64_t all = 0;
    for (size_t p = from; p <= n; ++p) {
        size_t names = 0;
        chooser none;
        after_crash(r, p, 0, none, ignored, &names);
        for (size_t k = 0; k <= names; ++k) {
            chooser counting;
            after_crash(r, p, k, counting, ignored);
            points.push_back({p, k, counting.count});
            all += counting.count;
        }
    }
    tally t;
    auto judge_one = [&](const point& at, chooser& pick) {
        const std::string wrong = j.verdict(after_crash(r, at.upto, at.kept, pick, ignored), at.upto);
        ++t.states;
        if (!wrong.empty() && ++t.damaged && at.upto < t.shortest)
            t.shortest = at.upto, t.why = wrong;
    };
    std::mt19937_64 random(41);
    for (uint64_t k = 0; all > most && k < most; ++k) {
        chooser pick{&random};
        judge_one(points[random() % points.size()], pick);
    }
    for (const point& at : points)
        for (uint64_t i = 0; all <= most && i < at.count; ++i) {
            chooser pick{nullptr, i};
            judge_one(at, pick);
        }
    return t;
}

class explorer : public testing::TestWithParam<workload> {};

TEST_P(explorer, every_state_is_old_or_new)
{
    const workload& w = GetParam();
    scratch_dir scratch;
    const std::string run_dir = scratch.file("run");
    fs::create_directory(run_dir);
    for (const auto& [name, content] : start_files)
        put_file(run_dir + "/" + name, content);
    if (!w.linked.empty())
        fs::create_hard_link(run_dir + "/" + w.linked[0], run_dir + "/" + w.linked[1]);
    recording r;
    for (const std::string& name : names_in(run_dir)) {
        struct stat st;
        ASSERT_EQ(::stat((run_dir + "/" + name).c_str(), &st), 0);
        r.before.names[name] = st.st_ino;
        r.before.files[st.st_ino] = file_bytes(run_dir + "/" + name);
    }
    judge j{w, r};
    j.root = scratch.path;
    for (const std::string& o : w.outputs)
        if (fs::exists(run_dir + "/" + o))
            j.old_bytes[o] = file_bytes(run_dir + "/" + o);
    const std::string log_path = scratch.file("log");
    const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const run_result run = run_tamb(run_dir, w.args, [log] { recorder::install(log); });
    ::close(log);
    ASSERT_EQ(run.status, 0) << run.err;
    for (const std::string& o : w.outputs)
        j.new_bytes[o] = file_bytes(run_dir + "/" + o);
    r.log = read_log(log_path);
    describe(r);
    // An output is done with once the directory is synced after the last
    // call that names it or its journal: from there on it must be new.
    for (const std::string& o : w.outputs) {
        size_t at = 0;
        for (size_t i = 0; i < r.log.size(); ++i)
            if (r.log[i].name == o || r.log[i].to == o || r.log[i].name == "." + o + ".tamb-journal")
                at = i;
        while (at < r.log.size() && r.log[at].what != op::dirsync)
            ++at;
        j.committed[o] = std::min(at + 1, r.log.size());
    }

    const char* set = std::getenv("TAMB_CRASH_STATES");
    const uint64_t most = set != nullptr ? std::strtoull(set, nullptr, 10) : 1000;
    const tally t = explore(j, most);
    std::printf("%s: %llu states judged, %llu damaged\n", w.name, (unsigned long long)t.states,
                (unsigned long long)t.damaged);
    if (t.damaged != 0) {
        std::printf("the shortest log that leads to a damaged state (%s):\n", t.why.c_str());
        for (size_t i = 0; i < t.shortest; ++i)
            std::printf("  %zu %s\n", i + 1, r.shown[i].c_str());
    }
    EXPECT_EQ(t.damaged, 0u);

    int k = 0;
    for (size_t i = 0; i < r.log.size(); ++i) {
        if (r.log[i].what != op::sync && r.log[i].what != op::dirsync)
            continue;
        const tally without = explore(j, std::max<uint64_t>(most / 4, 25), i);
        std::printf("%s without sync %d (%s at %zu): %llu damaged states\n", w.name, ++k,
                    r.shown[i].c_str(), i + 1, (unsigned long long)without.damaged);
        const bool unneeded = std::find(w.unneeded.begin(), w.unneeded.end(), k) != w.unneeded.end();
        EXPECT_EQ(without.damaged != 0, !unneeded) << "sync " << k << ", " << r.shown[i];
    }
}

INSTANTIATE_TEST_SUITE_P(crash, explorer, testing::ValuesIn(workloads),
                         [](const testing::TestParamInfo<workload>& i) { return std::string(i.param.name); });

} // namespace
