// Data that stays in its input file until it is written: the inputs held
// open for it, and every way its bytes are reached (copied into an output,
// read into memory). See list.h.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "resfile/fail.h"
#include "resfile/list.h"

namespace {

// An input held open for the records that keep data in it, and what it was
// when it was read: a copy must find it unchanged.
struct kept_input {
    int fd = -1;
    std::string path;
    file_state was = {};
    size_t records = 0;
};

kept_input inputs[kept_inputs_open];

constexpr int32_t kept_flag = 1 << 16;
constexpr off_t copy_page = 4096;
constexpr size_t copy_buffer = size_t(1) << 20;
constexpr int32_t slot_shift = 8; // the slot, in the storage's second byte

int slot_of(const resource* r)
{
    return (r->storage >> slot_shift) & 0xFF;
}

// Where the data of a filled kept record lies in its input.
off_t offset_of(const resource* r)
{
    off_t at;
    std::memcpy(&at, r->name + std::strlen(r->name) + 1, sizeof at);
    return at;
}

int input_changed(const kept_input& in)
{
    return fail("copy_resource_data(): %s changed while tamb was running\n", in.path.c_str());
}

// The kept record's input, or null after the changed line when it is not
// what it was when it was read (its length, modification or change time).
const kept_input* unchanged_input(const resource* r)
{
    const kept_input& in = inputs[slot_of(r)];
    file_state now;
    if (state_of(in.fd, &now) != 0 || !(now == in.was)) {
        input_changed(in);
        return nullptr;
    }
    return &in;
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

} // namespace

int keep_input(int fd, const char* path)
{
    struct stat st;
    file_state state;
    if (syscalls.fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || state_of(fd, &state) != 0)
        return -1;
    for (int slot = 0; slot < kept_inputs_open; ++slot) {
        kept_input& in = inputs[slot];
        if (in.fd >= 0)
            continue;
        in.fd = syscalls.dup(fd);
        if (in.fd < 0)
            return -1;
        in.path = path;
        in.was = state;
        in.records = 0;
        return slot;
    }
    return -1;
}

void forget_unused_input(int input)
{
    if (input < 0 || inputs[input].records > 0 || inputs[input].fd < 0)
        return;
    syscalls.close(inputs[input].fd);
    inputs[input] = kept_input{};
}

bool data_may_stay(uint32_t type, int64_t size)
{
    // A known type's data is converted on its way to a big-endian image.
    return size >= kept_threshold && swap_resource_data(type, nullptr, 0) == 0;
}

resource* allocate_kept_record(size_t head_room, int input, off_t offset)
{
    resource* r = allocate_record(head_room, sizeof offset);
    if (r == nullptr)
        return nullptr;
    r->storage |= kept_flag | (input << slot_shift);
    r->data = nullptr;
    std::memcpy(reinterpret_cast<unsigned char*>(r) + head_room, &offset, sizeof offset);
    ++inputs[input].records;
    return r;
}

bool data_kept(const resource* r)
{
    return (r->storage & kept_flag) != 0;
}

void release_kept_data(const resource* r)
{
    const int input = slot_of(r);
    if (--inputs[input].records == 0)
        forget_unused_input(input);
}

const unsigned char* record_data(const resource* r, std::vector<unsigned char>& buffer)
{
    if (!data_kept(r))
        return r->data;
    const kept_input* in = unchanged_input(r);
    if (in == nullptr)
        return nullptr;
    buffer.resize(size_t(r->size));
    const ssize_t got = pread_all(in->fd, buffer.data(), buffer.size(), offset_of(r));
    if (got < 0) {
        fail("copy_resource_data(): read() failed\n");
        return nullptr;
    }
    if (size_t(got) != buffer.size()) {
        input_changed(*in);
        return nullptr;
    }
    return buffer.data();
}

copy_result copy_resource_data(const resource* r, int fd, ssize_t* written)
{
    const size_t size = size_t(r->size);
    if (!data_kept(r)) {
        *written = write_all(fd, r->data, size);
        return *written == ssize_t(size) ? copy_result::copied : copy_result::write_failed;
    }
    const kept_input* in = unchanged_input(r);
    if (in == nullptr)
        return copy_result::failed;
    off_t from = offset_of(r), to = syscalls.lseek(fd, 0, SEEK_CUR);
    size_t done = 0;
    // The kernel copies fastest between places that lie alike within their
    // pages; elsewhere a small buffer, whose two copies stay in the cache,
    // is faster than its copy.
    const bool alike = (from - to) % copy_page == 0;
    while (alike && done < size && to >= 0) {
        const ssize_t k = syscalls.copy_file_range(in->fd, &from, fd, &to, size - done, 0);
        if (k > 0) {
            done += size_t(k);
            continue;
        }
        if (k == 0) {
            input_changed(*in);
            return copy_result::failed;
        }
        if (refused(errno) || output_full(errno))
            break; // through a buffer
        fail("copy_resource_data(): copy_file_range() failed\n");
        return copy_result::failed;
    }
    if (to < 0 || syscalls.lseek(fd, to, SEEK_SET) != to) {
        fail("copy_resource_data(): lseek() failed\n");
        return copy_result::failed;
    }
    static std::vector<unsigned char> buffer;
    buffer.resize(copy_buffer);
    while (done < size) {
        const size_t want = std::min(buffer.size(), size - done);
        const ssize_t got = pread_all(in->fd, buffer.data(), want, from);
        if (got < 0) {
            fail("copy_resource_data(): read() failed\n");
            return copy_result::failed;
        }
        if (size_t(got) != want) {
            input_changed(*in);
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

int load_kept_data(resource** list, int fd)
{
    std::vector<unsigned char> buffer;
    for (resource** link = list; *link != nullptr; link = &(*link)->next) {
        resource* r = *link;
        if (!data_kept(r))
            continue;
        if (!same_descriptors(inputs[slot_of(r)].fd, fd))
            continue;
        const unsigned char* data = record_data(r, buffer);
        if (data == nullptr)
            return -1;
        const size_t name_bytes = std::strlen(r->name) + 1;
        resource* loaded = allocate_record(record_head_room(name_bytes), size_t(r->size));
        if (loaded == nullptr)
            return fail("copy_resource_data(): malloc(%d) failed\n", r->size);
        fill_record(loaded, r->type, r->id, r->size, r->name, name_bytes);
        std::memcpy(loaded->data, data, size_t(r->size));
        loaded->next = r->next;
        *link = loaded;
        release_record(r);
    }
    return 0;
}
