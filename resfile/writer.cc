// Writing a resource list as one resource file image. The file is written
// strictly forward from the base offset (header, chunk map, hole map, data
// chunks, resource map), then the chunk map once more with the places that
// were learnt on the way. Data of a big-endian image is converted in place
// and converted back right after its write, so the list is never left
// converted.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <utility>

#include "platform/platform.h"
#include "resfile/fail.h"
#include "resfile/owned.h"
#include "resfile/resfile.h"

namespace {

constexpr int32_t map_capacity_start = 4096;
constexpr int32_t map_growth_extra = 1000;
constexpr int32_t longest_name_field = 32767;

// The resource map while it is assembled; frees its bytes unless they are
// handed on.
struct map_buffer {
    unsigned char* bytes = nullptr;
    int32_t used = 0;
    int32_t capacity = 0;
    map_buffer() = default;
    map_buffer(const map_buffer&) = delete;
    map_buffer& operator=(const map_buffer&) = delete;
    ~map_buffer() { std::free(bytes); }
};

// Grows the map buffer at once to the whole map's length: a buffer grown an
// append at a time can leave copies of itself behind in the heap. Like
// mappend's own growth, ends the process when memory runs out.
void reserve(map_buffer& map, int64_t whole)
{
    if (whole <= map.capacity || whole > INT32_MAX)
        return;
    auto* p = static_cast<unsigned char*>(std::realloc(map.bytes, size_t(whole)));
    if (p == nullptr) {
        fail("out of memory in mappend()\n");
        std::exit(1);
    }
    map.bytes = p;
    map.capacity = int32_t(whole);
}

void append_word(map_buffer& map, uint32_t value, pe_format format)
{
    if (format != 1)
        swap32(&value);
    mappend(&map.bytes, &map.used, &map.capacity, &value, 4);
}

void convert_words(void* p, int32_t length, pe_format format)
{
    if (format != 1)
        swap_resource_data(type_code("LONG"), p, length);
}

// A name whose field, NUL included, the 16-bit name length cannot describe.
int refuse_long_name(const char* who, const resource* r)
{
    return fail_quoting((std::string(who) + " name of resource ").c_str(), r->type,
                        std::to_string(r->id) + " is too long\n");
}

// The parts of the image of a list, and the first record whose name the
// 16-bit name length cannot describe.
struct image_measure {
    int64_t slot_count = 128;
    int64_t data = 0;
    int64_t map = 8; // checksum and terminator
    const resource* long_name = nullptr;
    int64_t length() const { return header_length + 12 * slot_count + hole_map_length + data + map; }
};

image_measure measure_image(const resource* resources)
{
    image_measure m;
    int64_t count = 0;
    uint32_t previous = resources != nullptr ? resources->type + 1 : 0;
    for (const resource* r = resources; r != nullptr; r = r->next) {
        int name = name_field_length(r->name);
        if (name > longest_name_field && m.long_name == nullptr)
            m.long_name = r;
        if (r->type != previous)
            m.map += 12; // type code and group end marker
        previous = r->type;
        m.map += 10 + name;
        m.data += r->size > 0 ? r->size : 0;
        ++count;
    }
    while (m.slot_count < count + 11)
        m.slot_count += 128;
    return m;
}

// Checks, before anything is written, that every name fits the 16-bit name
// length, that the image fits 32-bit positions counted from the start of
// the file and a map length held in a signed 32-bit count, and that every
// offset stored in it reads back as a positive number.
int check_fits(const image_measure& m, uint64_t base)
{
    if (m.long_name != nullptr)
        return refuse_long_name("write_resource_file()", m.long_name);
    if (base + uint64_t(m.length()) > (uint64_t(1) << 32) ||
        m.map > INT32_MAX - map_capacity_start - map_growth_extra)
        return fail("write_resource_file() image would reach beyond 4 GiB\n");
    // The reader takes stored offsets as signed numbers: the map's, the
    // largest of them, must stay below 2^31.
    if (m.length() - m.map > INT32_MAX)
        return fail("write_resource_file() image would reach beyond 2 GiB\n");
    return 0;
}

// A chunk map of slot_count empty slots but for slot 0 (the chunk map
// itself) and slot 1 (the hole map), in host order; null when no memory.
owned<chunk_entry> empty_chunk_map(int64_t slot_count, const uint32_t* header)
{
    owned<chunk_entry> chunk_map(
        static_cast<chunk_entry*>(std::calloc(size_t(slot_count), sizeof(chunk_entry))));
    if (!chunk_map)
        return chunk_map;
    chunk_entry* slots = chunk_map.get();
    for (int64_t i = 0; i < slot_count; ++i)
        slots[i] = chunk_entry{0, -1, kind_reserved};
    slots[0] = chunk_entry{header[2], int32_t(12 * slot_count), kind_reserved};
    slots[1] = chunk_entry{header[3], hole_map_length, kind_reserved};
    return chunk_map;
}

} // namespace

int64_t image_length(const resource* resources)
{
    return resources != nullptr ? measure_image(resources).length() : 0;
}

int check_image_fits(const resource* resources)
{
    return resources != nullptr ? check_fits(measure_image(resources), 0) : 0;
}

int name_field_length(const char* name)
{
    if (name == nullptr || name[0] == '\0')
        return 0;
    size_t n = std::strlen(name) + 1;
    return n > size_t(INT32_MAX) ? INT32_MAX : int(n);
}

void mappend(unsigned char** buffer, int32_t* used, int32_t* capacity, const void* source,
             int32_t length)
{
    if (*used + length > *capacity) {
        int32_t grown = *capacity + length + map_growth_extra;
        auto* p = static_cast<unsigned char*>(std::realloc(*buffer, size_t(grown)));
        if (p == nullptr) {
            fail("out of memory in mappend()\n");
            std::exit(1);
        }
        *buffer = p;
        *capacity = grown;
    }
    std::memcpy(*buffer + *used, source, size_t(length));
    *used += length;
}

namespace {

// Records whose data goes out in one gathered write: up to this many chunks,
// and this many bytes unless one chunk alone is larger.
constexpr int batch_chunks = 1024;
constexpr size_t batch_bytes = size_t(16) << 20;

// Writes the data of one batch at `position`. A gathered write that comes up
// short is taken up again with the chunk it stopped in, written whole from
// that chunk's start with writes of its own that go on after short counts:
// the file then ends exactly as writing each chunk by itself would have left
// it. Returns the number of chunks written, or -1 after the message of the
// chunk whose write failed.
int write_batch(int fd, resource* const* batch, int n, off_t position, pe_format format,
                swap_func swap)
{
    struct iovec parts[batch_chunks];
    int converted[batch_chunks];
    size_t total = 0;
    for (int i = 0; i < n; ++i) {
        converted[i] = format != 1 ? swap(batch[i]->type, batch[i]->data, batch[i]->size) : 0;
        parts[i] = iovec{batch[i]->data, size_t(batch[i]->size)};
        total += size_t(batch[i]->size);
    }
    const ssize_t written = syscalls.writev(fd, parts, n);
    for (int i = 0; i < n; ++i)
        if (converted[i] != 0)
            swap(batch[i]->type, batch[i]->data, batch[i]->size);
    if (written == ssize_t(total))
        return n;

    size_t done = written > 0 ? size_t(written) : 0;
    int stopped = 0;
    off_t at = position;
    while (stopped < n - 1 && done >= parts[stopped].iov_len) {
        done -= parts[stopped].iov_len;
        at += off_t(parts[stopped].iov_len);
        ++stopped;
    }
    resource* r = batch[stopped];
    ssize_t again = -1;
    if (syscalls.lseek(fd, at, SEEK_SET) == at) {
        const int convert = format != 1 ? swap(r->type, r->data, r->size) : 0;
        again = write_all(fd, r->data, size_t(r->size));
        if (convert != 0)
            swap(r->type, r->data, r->size);
    }
    if (again != ssize_t(r->size))
        return fail("write_data_make_map() data write() failed: %d\n", int(again));
    return stopped + 1;
}

// Copies the data that a record keeps in its input: 1, or -1 after the line
// of the copy, or of the write that failed.
int copy_kept(int fd, const resource* r, pe_format format)
{
    ssize_t written = 0;
    switch (copy_resource_data(r, fd, format, &written)) {
    case copy_result::copied:
        return 1;
    case copy_result::write_failed:
        return fail("write_data_make_map() data write() failed: %d\n", int(written));
    case copy_result::failed:
        break;
    }
    return -1;
}

} // namespace

int write_data_make_map(int fd, resource* resources, uint32_t base, chunk_entry* chunk_map,
                        pe_format format, swap_func swap, unsigned char** map_out,
                        int32_t* length_out)
{
    if (resources == nullptr)
        return fail("write_data_make_map() null resources\n");
    if (swap == nullptr)
        swap = swap_resource_data;
    map_buffer map;
    map.bytes = static_cast<unsigned char*>(std::calloc(map_capacity_start, 1));
    if (map.bytes == nullptr)
        return fail("write_data_make_map() calloc() failed\n");
    map.capacity = map_capacity_start;
    reserve(map, measure_image(resources).map);

    // Each chunk starts where the one before it ended.
    off_t position = syscalls.lseek(fd, 0, SEEK_CUR);
    uint32_t previous = resources->type + 1;
    int32_t slot = map_block_slot + 1;
    resource* batch[batch_chunks];
    for (resource* r = resources; r != nullptr;) {
        int n = 0;
        size_t bytes = 0;
        for (; r != nullptr && n < batch_chunks; r = r->next) {
            if (n > 0 && (bytes + size_t(r->size) > batch_bytes || data_kept(r)))
                break;
            if (name_field_length(r->name) > longest_name_field) {
                if (n == 0)
                    return refuse_long_name("write_data_make_map()", r);
                break; // after the chunks before it
            }
            batch[n++] = r;
            bytes += size_t(r->size);
            if (data_kept(r))
                break; // copied from its input on its own
        }
        const int written = data_kept(batch[0]) ? copy_kept(fd, batch[0], format)
                                                : write_batch(fd, batch, n, position, format, swap);
        if (written < 0)
            return -1;
        r = batch[written - 1]->next;

        for (int i = 0; i < written; ++i) {
            const resource* w = batch[i];
            if (w->type != previous) {
                if (map.used > 0) {
                    append_word(map, 0xFFFFFFFF, format);
                    append_word(map, 0xFFFFFFFF, format);
                }
                append_word(map, w->type, format);
                previous = w->type;
            }
            append_word(map, uint32_t(w->id), format);
            append_word(map, uint32_t(slot - map_block_slot), format);
            if (chunk_map != nullptr)
                chunk_map[slot] = chunk_entry{uint32_t(position) - base, w->size, kind_data};
            ++slot;
            position += w->size;

            uint16_t name_length = uint16_t(name_field_length(w->name));
            uint16_t stored = name_length;
            if (format != 1)
                swap16(&stored);
            mappend(&map.bytes, &map.used, &map.capacity, &stored, 2);
            if (int16_t(name_length) > 0)
                mappend(&map.bytes, &map.used, &map.capacity, w->name, name_length);
        }
    }
    append_word(map, 0xFFFFFFFF, format);
    append_word(map, 0xFFFFFFFF, format);
    append_word(map, map_checksum(map.bytes, map.used), format);
    append_word(map, 0, format);
    *length_out = map.used;
    *map_out = std::exchange(map.bytes, nullptr);
    return 0;
}

int write_resource_file(resource* resources, int fd, pe_format format, swap_func swap)
{
    if (swap == nullptr)
        swap = swap_resource_data;
    if (resources == nullptr)
        return fail("write_resource_file() resources is NULL\n");

    const off_t start = syscalls.lseek(fd, 0, SEEK_CUR);
    const uint32_t base = uint32_t(start);
    const int count = count_resources(resources);
    const image_measure measure = measure_image(resources);
    const int64_t slot_count = measure.slot_count;
    if (check_fits(measure, uint64_t(start)) != 0)
        return -1;
    const int32_t chunk_bytes = int32_t(12 * slot_count);

    uint32_t header[17] = {};
    header[0] = version_word;
    header[1] = uint32_t(count);
    header[2] = uint32_t(header_length);
    header[3] = uint32_t(header_length + chunk_bytes);
    convert_words(header, sizeof header, format);
    ssize_t written = write_all(fd, header, sizeof header);
    if (written != ssize_t(sizeof header))
        return fail("write_resource_file() resource header write() failed: %d\n", int(written));
    convert_words(header, sizeof header, format);

    // The chunk map is held twice, briefly: for its first copy, which only
    // reserves the space, and for the final one, filled once the data and
    // the map are written. In between, the map buffer is the one large
    // block held.
    owned<chunk_entry> chunk_map = empty_chunk_map(slot_count, header);
    if (!chunk_map)
        return fail("write_resource_file() calloc() of the chunk map failed\n");
    chunk_entry* slots = chunk_map.get();
    convert_words(slots, chunk_bytes, format);
    written = write_all(fd, slots, size_t(chunk_bytes));
    if (written != chunk_bytes)
        return fail("write_resource_file() chunk map write() failed: %d\n", int(written));
    written = write_all(fd, slots + 2, hole_map_length);
    if (written != hole_map_length)
        return fail("write_resource_file() hole map write() failed: %d\n", int(written));
    chunk_map.reset();

    const uint32_t data_at = uint32_t(start + header_length + chunk_bytes + hole_map_length);
    unsigned char* raw_map = nullptr;
    int32_t map_length = 0;
    if (write_data_make_map(fd, resources, base, nullptr, format, swap, &raw_map, &map_length) < 0)
        return -1;
    owned<unsigned char> map(raw_map);
    const chunk_entry map_slot{uint32_t(syscalls.lseek(fd, 0, SEEK_CUR)) - base, map_length, kind_reserved};
    written = write_all(fd, map.get(), size_t(map_length));
    if (written != map_length)
        return fail("write_resource_file() resource map write() failed: %d\n", int(written));
    map.reset();

    chunk_map = empty_chunk_map(slot_count, header);
    if (!chunk_map)
        return fail("write_resource_file() calloc() of the chunk map failed\n");
    slots = chunk_map.get();
    slots[map_block_slot] = map_slot;
    // Each data chunk follows the one before it, the first right after the
    // hole map.
    uint32_t position = data_at;
    int64_t slot = map_block_slot + 1;
    for (const resource* r = resources; r != nullptr; r = r->next, ++slot) {
        slots[slot] = chunk_entry{position - base, r->size, kind_data};
        position += uint32_t(r->size);
    }
    if (syscalls.lseek(fd, off_t(uint32_t(base + header_length)), SEEK_SET) < 0)
        return fail_call("write_resource_file() lseek() back to the chunk map failed", errno);
    convert_words(slots, chunk_bytes, format);
    written = write_all(fd, slots, size_t(chunk_bytes));
    if (written != chunk_bytes)
        return fail("write_resource_file() chunk map update write() failed: %d\n", int(written));
    chunk_map.reset();
    // A device that cannot be synced (EINVAL, EROFS) is no failure.
    if (syscalls.fsync(fd) != 0 && errno != EINVAL && errno != EROFS)
        return fail_call("write_resource_file() fsync() failed", errno);
    return 0;
}
