// Data that stays in a file until it is written: the files it stays in (the
// inputs it was read from and the run's spill file), every way its bytes are
// reached, and the gathering of data that arrives in pieces. See kept.h.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "resfile/fail.h"
#include "resfile/list.h"

int64_t data_held_at_most = int64_t(8) << 20;
int64_t largest_resource = INT32_MAX;

namespace {

// A file that records keep data in, and what it was when it was read: its
// data may be read only while it still is.
struct kept_input {
    bool in_use = false;
    int fd = -1; // -1: closed, opened again by its path when needed
    std::string path;
    file_identity id = {};
    file_state was = {};
    size_t records = 0; // records (and builders) that keep data in it
    bool spill = false; // the run's own spill file, which has no path
    uint64_t used = 0;  // when it was last used
    int lent = 0;       // loans of its descriptor (lend_input)
};

std::vector<kept_input> inputs;
int open_inputs = 0; // descriptors held, but for the spill file's
uint64_t uses = 0;
int spill = -1; // the spill file's input, once it is made
int64_t spill_length = 0;  // its bytes, those not yet written included
int64_t spill_written = 0; // those written
std::vector<unsigned char> spill_pending; // the rest, written a large piece at a time

// A kept record's storage holds, above the bits of its block's kind, the
// kept flag and its input.
constexpr uint32_t kept_flag = 1u << 8;
constexpr int input_shift = 9;

// Where a kept record's data lies, after its name.
struct kept_place {
    int64_t offset;
    uint32_t order; // data_order
};

constexpr off_t copy_page = 4096;
constexpr size_t piece_bytes = size_t(1) << 20;

int input_of(const resource* r)
{
    return int(uint32_t(r->storage) >> input_shift);
}

unsigned char* place_bytes(const resource* r)
{
    return reinterpret_cast<unsigned char*>(r->name + std::strlen(r->name) + 1);
}

kept_place place_of(const resource* r)
{
    kept_place place;
    std::memcpy(&place, place_bytes(r), sizeof place);
    return place;
}

int input_changed(const kept_input& in)
{
    return fail("copy_resource_data(): %s changed while tamb was running\n", in.path.c_str());
}

// Lets one more descriptor be held: when as many are as may be (see
// kept.h), the one used longest ago is closed (its file is opened again
// when it is needed).
void make_room()
{
    static const int most = std::clamp(descriptor_limit() / 4, 1, kept_inputs_open);
    if (open_inputs < most)
        return;
    kept_input* oldest = nullptr;
    for (kept_input& in : inputs)
        if (in.in_use && !in.spill && in.fd >= 0 && in.lent == 0 &&
            (oldest == nullptr || in.used < oldest->used))
            oldest = &in;
    if (oldest != nullptr) {
        syscalls.close(oldest->fd);
        oldest->fd = -1;
        --open_inputs;
    }
}

int flush_spill();

// A descriptor on the kept file `input` while it is still the file it was,
// as it was; -1 after the changed line.
int open_input(int input)
{
    kept_input& in = inputs[size_t(input)];
    in.used = ++uses;
    if (in.spill && flush_spill() != 0)
        return -1;
    if (in.fd < 0) {
        make_room();
        const int fd = syscalls.open(in.path.c_str(), O_RDONLY, 0);
        file_identity id;
        if (fd < 0 || descriptor_identity(fd, &id) != 0 || !(id == in.id)) {
            if (fd >= 0)
                syscalls.close(fd);
            return input_changed(in);
        }
        in.fd = fd;
        ++open_inputs;
    }
    file_state now;
    if (!in.spill && (state_of(in.fd, &now) != 0 || !(now == in.was)))
        return input_changed(in);
    return in.fd;
}

int new_input()
{
    for (size_t i = 0; i < inputs.size(); ++i)
        if (!inputs[i].in_use)
            return int(i);
    inputs.emplace_back();
    return int(inputs.size() - 1);
}

// The spill file's input, made the first time it is needed; -1 after a line.
int spill_input()
{
    if (spill >= 0)
        return spill;
    const int fd = syscalls.open_spill();
    if (fd < 0)
        return fail_call("spill_data(): cannot make a temporary file", errno);
    spill = new_input();
    kept_input& in = inputs[size_t(spill)];
    in = kept_input{};
    in.in_use = true;
    in.fd = fd;
    in.path = "the spill file";
    in.spill = true;
    spill_length = spill_written = 0;
    return spill;
}

// Writes to the spill file as to an output: a file-size limit fails the
// write instead of ending the run.
struct write_signals_off {
    bool were_on = !write_signals_are_ignored();
    write_signals_off()
    {
        if (were_on)
            ignore_write_signals();
    }
    ~write_signals_off()
    {
        if (were_on)
            restore_write_signals();
    }
};

// Writes what is waiting for the spill file. 0, or -1 after a line.
int flush_spill()
{
    if (spill_pending.empty())
        return 0;
    write_signals_off off;
    const ssize_t put = pwrite_all(inputs[size_t(spill)].fd, spill_pending.data(),
                                   spill_pending.size(), spill_written);
    const size_t n = spill_pending.size();
    spill_pending.clear();
    if (put != ssize_t(n))
        return put < 0 ? fail_call("spill_data(): write() failed", errno)
                       : fail("spill_data(): write() failed: %d\n", int(put));
    spill_written += int64_t(n);
    return 0;
}

// Appends n bytes to the spill file (written once a large piece is
// waiting, or when the spill file is read): the offset they lie at, or -1
// after a line.
int64_t spill_bytes(const void* p, size_t n)
{
    if (spill_input() < 0)
        return -1;
    const int64_t at = spill_length;
    if (spill_pending.size() + n > piece_bytes && flush_spill() != 0)
        return -1;
    if (n >= piece_bytes) {
        write_signals_off off;
        const ssize_t put = pwrite_all(inputs[size_t(spill)].fd, p, n, spill_written);
        if (put != ssize_t(n))
            return put < 0 ? fail_call("spill_data(): write() failed", errno)
                       : fail("spill_data(): write() failed: %d\n", int(put));
        spill_written += int64_t(n);
    } else {
        const auto* b = static_cast<const unsigned char*>(p);
        spill_pending.insert(spill_pending.end(), b, b + n);
    }
    spill_length += int64_t(n);
    return at;
}

// Appends size bytes of the kept file `input`, open on fd, from `from`, to
// the spill file: the offset they lie at, or -1 after a line.
int64_t spill_range(int fd, off_t from, int64_t size, int input)
{
    if (spill_input() < 0)
        return -1;
    const int64_t at = spill_length;
    std::vector<unsigned char> buffer(size_t(std::min<int64_t>(size, piece_bytes)));
    for (int64_t done = 0; done < size;) {
        const size_t want = size_t(std::min<int64_t>(int64_t(buffer.size()), size - done));
        const ssize_t got = pread_all(fd, buffer.data(), want, from + done);
        if (got < 0)
            return fail_call("copy_resource_data(): read() failed", errno);
        if (size_t(got) != want)
            return input_changed(inputs[size_t(input)]);
        if (spill_bytes(buffer.data(), want) < 0)
            return -1;
        done += int64_t(want);
    }
    return at;
}

bool refused(int error)
{
    return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP ||
           error == ENOTSUP;
}

// Writes that fail as the output's own (a full disk, a file-size limit) are
// taken up by the read and write loop, so that they fail as writes do.
bool output_full(int error)
{
    return error == EFBIG || error == ENOSPC
#if defined(EDQUOT)
           || error == EDQUOT
#endif
        ;
}

// Where a 'RREF' name that starts before `from` ends: the offset just past
// its NUL, or -1 when none comes before `end`.
int64_t name_end(int fd, off_t base, int64_t from, int64_t end, bool* failed)
{
    unsigned char buffer[1 << 16];
    for (int64_t at = from; at < end;) {
        const size_t want = size_t(std::min<int64_t>(sizeof buffer, end - at));
        const ssize_t got = pread_all(fd, buffer, want, base + at);
        if (got != ssize_t(want)) {
            *failed = true;
            return -1;
        }
        if (const void* nul = std::memchr(buffer, 0, want))
            return at + (static_cast<const unsigned char*>(nul) - buffer) + 1;
        at += int64_t(want);
    }
    return -1;
}

// The next piece of a kept record's data, converted to the other byte order
// when `convert`: whole elements or records of its type (a 'RREF' record
// whose name runs on past a piece goes with its name unconverted, as the
// conversion of the whole leaves names), the rest of the data at its end.
ssize_t kept_piece(data_pieces* d, bool convert, const unsigned char** p)
{
    const resource* r = d->r;
    const kept_place place = place_of(r);
    const int64_t size = r->size;
    std::vector<unsigned char>& buffer = d->buffer;
    if (d->ready > 0 && d->carried > 0)
        std::memmove(buffer.data(), buffer.data() + d->ready, d->carried);
    d->ready = 0;
    const int64_t start = d->done, have = start + int64_t(d->carried);
    if (start >= size)
        return 0;
    const int input = input_of(r);
    const int fd = open_input(input);
    if (fd < 0)
        return -1;
    const size_t want = size_t(std::min<int64_t>(piece_bytes, size - have));
    if (buffer.size() < d->carried + want)
        buffer.resize(d->carried + want);
    const ssize_t got = pread_all(fd, buffer.data() + d->carried, want, place.offset + have);
    if (got < 0)
        return fail_call("copy_resource_data(): read() failed", errno);
    if (size_t(got) != want)
        return input_changed(inputs[size_t(input)]);
    const size_t n = d->carried + want;
    size_t out = n;
    if (convert && start < d->raw_until) {
        out = size_t(std::min<int64_t>(int64_t(n), d->raw_until - start));
    } else if (convert && start + int64_t(n) == size) {
        swap_resource_data(r->type, buffer.data(), int32_t(n));
    } else if (convert) {
        out = whole_units(r->type, buffer.data(), n);
        if (out > 0) {
            swap_resource_data(r->type, buffer.data(), int32_t(out));
        } else {
            // One 'RREF' record longer than a piece: its two values are
            // converted when its name ends within the data, and nothing
            // from it on is when it does not.
            bool failed = false;
            const int64_t end = name_end(fd, place.offset, start + int64_t(n), size, &failed);
            if (failed)
                return input_changed(inputs[size_t(input)]);
            if (end >= 0) {
                swap32(buffer.data());
                swap64(buffer.data() + 4);
            }
            d->raw_until = end >= 0 ? end : size;
            out = n;
        }
    }
    d->ready = out;
    d->carried = n - out;
    d->done = start + int64_t(out);
    *p = buffer.data();
    return ssize_t(out);
}

bool known_type(uint32_t type)
{
    return swap_resource_data(type, nullptr, 0) != 0;
}

// Copies kept data whose byte order is already the one wanted: by the
// kernel between places that lie alike within their pages of a seekable
// output, through a buffer elsewhere.
copy_result copy_as_it_is(const resource* r, int fd, ssize_t* written)
{
    const int input = input_of(r);
    const int in = open_input(input);
    if (in < 0)
        return copy_result::failed;
    const size_t size = size_t(r->size);
    off_t from = place_of(r).offset, to = syscalls.lseek(fd, 0, SEEK_CUR);
    const bool seekable = to >= 0;
    size_t done = 0;
    const bool alike = seekable && (from - to) % copy_page == 0;
    while (alike && done < size) {
        const ssize_t k = syscalls.copy_file_range(in, &from, fd, &to, size - done, 0);
        if (k > 0) {
            done += size_t(k);
            continue;
        }
        if (k == 0) {
            input_changed(inputs[size_t(input)]);
            return copy_result::failed;
        }
        if (refused(errno) || output_full(errno))
            break; // through a buffer
        fail_call("copy_resource_data(): copy_file_range() failed", errno);
        return copy_result::failed;
    }
    if (seekable && syscalls.lseek(fd, to, SEEK_SET) != to) {
        fail_call("copy_resource_data(): lseek() failed", errno);
        return copy_result::failed;
    }
    static std::vector<unsigned char> buffer;
    buffer.resize(piece_bytes);
    while (done < size) {
        const size_t want = std::min(buffer.size(), size - done);
        const ssize_t got = pread_all(in, buffer.data(), want, from);
        if (got < 0) {
            fail_call("copy_resource_data(): read() failed", errno);
            return copy_result::failed;
        }
        if (size_t(got) != want) {
            input_changed(inputs[size_t(input)]);
            return copy_result::failed;
        }
        const ssize_t put = write_all(fd, buffer.data(), want);
        if (put != ssize_t(want)) {
            *written = done > 0 ? ssize_t(done) + std::max<ssize_t>(put, 0) : put;
            return copy_result::write_failed;
        }
        done += want;
        from += off_t(want);
    }
    *written = ssize_t(size);
    return copy_result::copied;
}

// Releases the hold of a record or a builder on its input.
void let_go(int input)
{
    if (--inputs[size_t(input)].records == 0)
        forget_unused_input(input);
}

} // namespace

int keep_input(int fd, const char* path)
{
    struct stat st;
    file_state state;
    file_identity id;
    if (syscalls.fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || state_of(fd, &state) != 0 ||
        descriptor_identity(fd, &id) != 0)
        return -1;
    make_room();
    const int held = syscalls.dup(fd);
    if (held < 0)
        return -1;
    const int input = new_input();
    kept_input& in = inputs[size_t(input)];
    in = kept_input{};
    in.in_use = true;
    in.fd = held;
    in.path = path;
    in.id = id;
    in.was = state;
    in.used = ++uses;
    ++open_inputs;
    return input;
}

void forget_unused_input(int input)
{
    if (input < 0 || size_t(input) >= inputs.size())
        return;
    kept_input& in = inputs[size_t(input)];
    if (!in.in_use || in.records > 0 || in.spill)
        return;
    if (in.fd >= 0) {
        syscalls.close(in.fd);
        --open_inputs;
    }
    in = kept_input{};
}

bool data_may_stay(int64_t size)
{
    return size >= kept_threshold;
}

resource* allocate_kept_record(size_t head_room, int input, off_t offset, data_order order)
{
    const kept_place place{offset, uint32_t(order)};
    resource* r = allocate_record(head_room, sizeof place);
    if (r == nullptr)
        return nullptr;
    r->storage = int32_t((uint32_t(r->storage) & (kept_flag - 1)) | kept_flag |
                         uint32_t(input) << input_shift);
    r->data = nullptr;
    std::memcpy(reinterpret_cast<unsigned char*>(r) + head_room, &place, sizeof place);
    ++inputs[size_t(input)].records;
    return r;
}

bool data_kept(const resource* r)
{
    return (uint32_t(r->storage) & kept_flag) != 0;
}

void release_kept_data(const resource* r)
{
    let_go(input_of(r));
}

resource* copy_record(const resource* r)
{
    const size_t name_bytes = std::strlen(r->name) + 1, head_room = record_head_room(name_bytes);
    resource* copy = nullptr;
    if (data_kept(r)) {
        const kept_place place = place_of(r);
        copy = allocate_kept_record(head_room, input_of(r), off_t(place.offset),
                                    data_order(place.order));
    } else {
        copy = allocate_record(head_room, size_t(std::max(r->size, 0)));
    }
    if (copy == nullptr)
        return nullptr;
    fill_record(copy, r->type, r->id, r->size, r->name, name_bytes);
    if (!data_kept(r) && r->size > 0)
        std::memcpy(copy->data, r->data, size_t(r->size));
    return copy;
}

ssize_t next_piece(data_pieces* d, const unsigned char** p)
{
    const resource* r = d->r;
    if (!data_kept(r)) {
        const int64_t size = std::max(r->size, 0);
        if (d->done >= size)
            return 0;
        *p = r->data;
        d->done = size;
        return ssize_t(size);
    }
    return kept_piece(d, data_order(place_of(r).order) != data_order::little && known_type(r->type), p);
}

const unsigned char* record_data(const resource* r, std::vector<unsigned char>& buffer)
{
    if (!data_kept(r))
        return r->data;
    buffer.clear();
    buffer.reserve(size_t(r->size));
    data_pieces pieces(r);
    const unsigned char* p = nullptr;
    for (ssize_t n; (n = next_piece(&pieces, &p)) != 0;) {
        if (n < 0)
            return nullptr;
        buffer.insert(buffer.end(), p, p + n);
    }
    return buffer.data();
}

copy_result copy_resource_data(const resource* r, int fd, int32_t format, ssize_t* written)
{
    const size_t size = size_t(std::max(r->size, 0));
    if (!data_kept(r)) {
        *written = write_all(fd, r->data, size);
        return *written == ssize_t(size) ? copy_result::copied : copy_result::write_failed;
    }
    const data_order wanted = format == 1 ? data_order::little : data_order::big;
    if (data_order(place_of(r).order) == wanted || !known_type(r->type))
        return copy_as_it_is(r, fd, written);
    data_pieces pieces(r);
    const unsigned char* p = nullptr;
    size_t done = 0;
    for (ssize_t n; (n = kept_piece(&pieces, true, &p)) != 0;) {
        if (n < 0)
            return copy_result::failed;
        const ssize_t put = write_all(fd, p, size_t(n));
        if (put != n) {
            *written = done > 0 ? ssize_t(done) + std::max<ssize_t>(put, 0) : put;
            return copy_result::write_failed;
        }
        done += size_t(n);
    }
    *written = ssize_t(size);
    return copy_result::copied;
}

int64_t spill_append(const void* p, size_t n)
{
    const int64_t at = spill_bytes(p, n);
    return at >= 0 && flush_spill() == 0 ? at : -1;
}

int spill_descriptor()
{
    return spill >= 0 ? inputs[size_t(spill)].fd : -1;
}

namespace {

// Moves aside the kept data of the records of list that lie in the file of
// identity `target` (see move_kept_data_aside).
int move_aside(resource* list, bool whole_list, const file_identity& target, off_t at, int64_t n,
               int64_t saved)
{
    for (resource* r = list; r != nullptr; r = whole_list ? r->next : nullptr) {
        if (!data_kept(r))
            continue;
        const int input = input_of(r);
        if (inputs[size_t(input)].spill || !(inputs[size_t(input)].id == target))
            continue;
        kept_place place = place_of(r);
        int64_t to = -1;
        if (saved >= 0 && place.offset >= at && place.offset + r->size <= at + n) {
            // The file as it was, and so this record's data, are already there.
            if (open_input(input) < 0)
                return -1;
            to = saved + (place.offset - at);
        } else {
            const int from = open_input(input);
            if (from < 0 || (to = spill_range(from, off_t(place.offset), r->size, input)) < 0)
                return -1;
        }
        place.offset = to;
        std::memcpy(place_bytes(r), &place, sizeof place);
        r->storage = int32_t((uint32_t(r->storage) & ((1u << input_shift) - 1)) |
                             uint32_t(spill) << input_shift);
        ++inputs[size_t(spill)].records;
        let_go(input);
    }
    return 0;
}

} // namespace

int move_kept_data_aside(resource* list, int fd, off_t at, int64_t n, int64_t saved)
{
    file_identity target;
    if (descriptor_identity(fd, &target) != 0)
        return 0; // no kept file can be told to be it
    return move_aside(list, true, target, at, n, saved);
}

int move_aside_if_in(resource* r, const char* path)
{
    if (r == nullptr || !data_kept(r))
        return 0;
    const kept_input& in = inputs[size_t(input_of(r))];
    if (in.spill || !names_file(path, in.id))
        return 0;
    return move_aside(r, false, in.id, 0, 0, -1);
}

data_builder::~data_builder()
{
    if (growing != nullptr)
        release_record(growing);
    if (input >= 0)
        let_go(input);
}

int start_data(data_builder* b, size_t head_room, int64_t held_at_most)
{
    b->head_room = head_room;
    b->held_at_most = held_at_most;
    b->length = 0;
    b->spill_at = -1;
    return 0;
}

namespace {

// Moves what the builder has gathered (in memory, or in a kept file) into
// the spill file, where the rest goes after it. 0, or -1 after a line.
int spill_builder(data_builder* b)
{
    if (b->spill_at >= 0)
        return 0;
    if (spill_input() < 0)
        return -1;
    b->spill_start = spill_length;
    if (b->input >= 0) {
        const int from = open_input(b->input);
        if (from < 0 || spill_range(from, 0, b->length, b->input) < 0)
            return -1;
        let_go(b->input);
        b->input = -1;
    } else if (b->growing != nullptr) {
        if (spill_bytes(b->growing->data, size_t(b->length)) < 0)
            return -1;
        release_record(b->growing);
        b->growing = nullptr;
        b->capacity = 0;
    }
    b->spill_at = 0;
    return 0;
}

} // namespace

int add_data(data_builder* b, const void* p, size_t n)
{
    if (n == 0)
        return 0;
    if (b->input >= 0 || (b->spill_at < 0 && b->length + int64_t(n) > b->held_at_most)) {
        if (spill_builder(b) < 0)
            return -1;
    }
    if (b->spill_at >= 0) {
        if (spill_bytes(p, n) < 0)
            return -1;
        b->length += int64_t(n);
        return 0;
    }
    const size_t need = size_t(b->length) + n;
    if (need > b->capacity) {
        const size_t grown = std::max({need, b->capacity * 2, size_t(4096)});
        resource* r = b->growing == nullptr ? allocate_growing_record(b->head_room, grown)
                                            : resize_record(b->growing, b->head_room, grown);
        if (r == nullptr)
            return fail("spill_data(): out of memory\n");
        b->growing = r;
        b->capacity = grown;
    }
    std::memcpy(b->growing->data + b->length, p, n);
    b->length += int64_t(n);
    return 0;
}

int add_file_data(data_builder* b, int fd, const char* path, int64_t length)
{
    if (b->length == 0 && b->spill_at < 0 && b->input < 0 && data_may_stay(length)) {
        const int input = keep_input(fd, path);
        if (input >= 0) {
            ++inputs[size_t(input)].records; // the builder's hold
            b->input = input;
            b->length = length;
            return 0;
        }
    }
    // Joined with other data: a large file goes to the spill file with it.
    if (data_may_stay(length) && spill_builder(b) < 0)
        return -1;
    std::vector<unsigned char> buffer(size_t(std::min<int64_t>(std::max<int64_t>(length, 1), piece_bytes)));
    for (int64_t done = 0; done < length;) {
        const size_t want = size_t(std::min<int64_t>(int64_t(buffer.size()), length - done));
        const ssize_t got = pread_all(fd, buffer.data(), want, done);
        if (got != ssize_t(want))
            return fail_call("spill_data(): read() failed", got < 0 ? errno : 0);
        if (add_data(b, buffer.data(), want) < 0)
            return -1;
        done += int64_t(want);
    }
    return 0;
}

resource* finish_data(data_builder* b)
{
    resource* r = nullptr;
    if (b->input >= 0) {
        r = allocate_kept_record(b->head_room, b->input, 0, data_order::little);
        let_go(b->input);
        b->input = -1;
    } else if (b->spill_at >= 0) {
        if (flush_spill() != 0) {
            b->spill_at = -1;
            b->length = 0;
            return nullptr;
        }
        r = allocate_kept_record(b->head_room, spill, off_t(b->spill_start), data_order::little);
    } else if (b->length < (64 << 10)) {
        // Small data goes where small records live.
        r = allocate_record(b->head_room, size_t(b->length));
        if (r != nullptr && b->length > 0)
            std::memcpy(r->data, b->growing->data, size_t(b->length));
    } else {
        r = resize_record(b->growing, b->head_room, size_t(b->length));
        if (r != nullptr)
            b->growing = nullptr;
    }
    if (b->growing != nullptr)
        release_record(b->growing);
    if (r != nullptr)
        r->size = int32_t(std::min<int64_t>(b->length, INT32_MAX));
    b->growing = nullptr;
    b->capacity = 0;
    b->length = 0;
    b->spill_at = -1;
    if (r == nullptr)
        fail("spill_data(): out of memory\n");
    return r;
}

int lend_input(const resource* r, lent_input* out)
{
    const int input = input_of(r);
    out->path = inputs[size_t(input)].path;
    out->spill = inputs[size_t(input)].spill;
    const int fd = open_input(input);
    if (fd < 0)
        return -1;
    kept_input& in = inputs[size_t(input)];
    ++in.lent;
    out->fd = fd;
    out->was = in.was;
    return 0;
}

void end_loan(const resource* r, bool give_back)
{
    --inputs[size_t(input_of(r))].lent;
    if (give_back)
        let_descriptor_go(r);
}

void let_descriptor_go(const resource* r)
{
    kept_input& in = inputs[size_t(input_of(r))];
    if (in.spill || in.lent > 0 || in.fd < 0)
        return;
    syscalls.close(in.fd);
    in.fd = -1;
    --open_inputs;
}

bool still_as_lent(const lent_input& in)
{
    file_state now;
    return in.spill || (state_of(in.fd, &now) == 0 && now == in.was);
}

namespace {

// The least that a range's read of 'RREF' records takes at once: more
// than a record's two values.
constexpr int64_t least_window = 64;

// Copies the part of the k bytes at p, the data's [at, at + k), that lies
// within [from, from + n) to its place in out.
void copy_overlap(const unsigned char* p, int64_t at, size_t k, int64_t from, unsigned char* out,
                  size_t n)
{
    const int64_t lo = std::max(at, from), hi = std::min(at + int64_t(k), from + int64_t(n));
    if (lo < hi)
        std::memcpy(out + (lo - from), p + (lo - at), size_t(hi - lo));
}

} // namespace

range_result read_kept_range(const resource* r, int fd, int64_t from, unsigned char* out, size_t n,
                             data_walk* walk)
{
    const kept_place place = place_of(r);
    const int64_t size = r->size, end = from + int64_t(n);
    // k bytes of the data from `at`, as they are, into to.
    const auto read_raw = [&](int64_t at, unsigned char* to, size_t k) {
        const ssize_t got = pread_all(fd, to, k, off_t(place.offset + at));
        return got < 0 ? range_result::read_failed
                       : size_t(got) != k ? range_result::changed : range_result::read;
    };
    // The part of the data's [at, to) within the range, as it is.
    const auto raw_part = [&](int64_t at, int64_t to) {
        const int64_t lo = std::max(at, from), hi = std::min(to, end);
        return lo < hi ? read_raw(lo, out + (lo - from), size_t(hi - lo)) : range_result::read;
    };
    if (n == 0)
        return range_result::read;
    if (data_order(place.order) == data_order::little || !known_type(r->type))
        return read_raw(from, out, n);
    const int64_t unit = int64_t(unit_length(r->type));
    data_walk reached; // the last record start at or before the range's end
    if (unit > 0)
        reached.at = from - from % unit;
    else if (walk->raw_from <= from)
        return read_raw(from, out, n);
    else if (walk->at <= from)
        reached = *walk;
    else
        reached.raw_from = walk->raw_from;
    int64_t at = reached.at, record_end = reached.end;
    std::vector<unsigned char> window;
    range_result got = range_result::read;
    while (at < end && got == range_result::read) {
        if (at >= reached.raw_from) {
            got = raw_part(at, end);
            break;
        }
        if (record_end >= 0) {
            // An 'RREF' record longer than a window: its two values
            // converted, its name as it is.
            unsigned char values[12];
            if (at + 12 > from) {
                if ((got = read_raw(at, values, sizeof values)) != range_result::read)
                    break;
                swap32(values);
                swap64(values + 4);
                copy_overlap(values, at, sizeof values, from, out, n);
            }
            got = raw_part(at + 12, record_end);
            at = record_end;
            record_end = -1;
            if (at <= end)
                reached.at = at, reached.end = -1;
            continue;
        }
        // Whole elements to the range's end, or at least a few 'RREF' records.
        const int64_t wanted = unit > 0 ? (end - at + unit - 1) / unit * unit
                                        : std::max(end - at, least_window);
        const size_t want = size_t(std::min({size - at, wanted, int64_t(piece_bytes)}));
        window.resize(want);
        if ((got = read_raw(at, window.data(), want)) != range_result::read)
            break;
        const size_t whole = whole_units(r->type, window.data(), want);
        if (whole == 0 && at + int64_t(want) == size) {
            // Nothing from here on is converted: an element cut short at
            // the end, or 'RREF' records whose walk ends here.
            copy_overlap(window.data(), at, want, from, out, n);
            if (unit == 0)
                reached.raw_from = at;
            break;
        }
        if (whole == 0) { // an 'RREF' record that runs on past the window
            bool failed = false;
            const int64_t name_ends = name_end(fd, off_t(place.offset), at + int64_t(want), size, &failed);
            if (failed) {
                got = range_result::changed;
            } else if (name_ends < 0) {
                reached.raw_from = at;
            } else {
                record_end = reached.end = name_ends;
                reached.at = at;
            }
            continue;
        }
        if (unit == 0) {
            if (at + int64_t(whole) <= end)
                reached.at = at + int64_t(whole), reached.end = -1;
            else if (const size_t k = whole_units(r->type, window.data(), size_t(end - at)); k > 0)
                reached.at = at + int64_t(k), reached.end = -1;
        }
        swap_resource_data(r->type, window.data(), int32_t(whole));
        copy_overlap(window.data(), at, whole, from, out, n);
        at += int64_t(whole);
    }
    if (unit == 0 && got == range_result::read)
        *walk = reached;
    return got;
}
