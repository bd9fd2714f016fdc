// Reading a resource file image into the resource list. Every offset and
// length taken from the file is checked before it is used: the reader never
// looks outside the chunk map or the map block it holds, and its cursor over
// the map only moves forward.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sys/stat.h>
#include <utility>
#include <vector>
#include <unistd.h>

#include "platform/platform.h"
#include "resfile/fail.h"
#include "resfile/owned.h"
#include "resfile/list.h"
#include "resfile/resfile.h"

namespace {

// True when s is a regular file (or memory) too short to hold count bytes at pos, so a
// read there is sure to come up short. Lets hostile sizes fail as the short
// read would, without first allocating their claimed size.
bool ends_before(const source& s, off_t pos, int64_t count)
{
    off_t length = 0;
    if (!source_length(s, &length))
        return false;
    return pos > length || count > length - pos;
}

// A 16- or 32-bit field of the map, in host order.
template <typename T>
T field_at(const unsigned char* p, pe_format format)
{
    unsigned char b[sizeof(T)];
    std::memcpy(b, p, sizeof b);
    if (format != 1)
        std::reverse(b, b + sizeof b);
    T v;
    std::memcpy(&v, b, sizeof v);
    return v;
}

// Blocks up to this size are allocated without first asking for the file's
// length: a short read refuses them just the same, at little cost.
// Kept data is never read, so from that size on the length decides.
constexpr int32_t checked_size = kept_threshold - 1;

uint32_t word_at(const unsigned char* p, pe_format format)
{
    return field_at<uint32_t>(p, format);
}

struct map_entry {
    uint32_t type;
    int32_t id;
    int32_t chunk_index;
    const char* name; // never null; "" for name length 0
};

// Walks the entries of a map of `length` bytes, calling visit for each. A map
// whose entries run past its end, or with a negative name length or a name
// without its NUL, is refused with a message before anything is visited
// beyond the fault; callers run it once dry to refuse such maps whole.
template <typename Visit>
int walk_map(const unsigned char* map, int32_t length, pe_format format, Visit&& visit)
{
    const unsigned char* p = map;
    const unsigned char* end = map + length;
    while (p < end) {
        if (end - p < 4)
            return fail("parse_resource_map(): map entry runs past the end of the map\n");
        map_entry e{word_at(p, format), 0, 0, ""};
        p += 4;
        while (p < end) {
            if (end - p < 8)
                return fail("parse_resource_map(): map entry runs past the end of the map\n");
            e.id = int32_t(word_at(p, format));
            e.chunk_index = int32_t(word_at(p + 4, format));
            p += 8;
            if (e.chunk_index == -1)
                break;
            if (end - p < 2)
                return fail("parse_resource_map(): map entry runs past the end of the map\n");
            int16_t name_length = field_at<int16_t>(p, format);
            p += 2;
            if (name_length < 0)
                return fail("parse_resource_map(): negative name length %d\n", name_length);
            if (end - p < name_length)
                return fail("parse_resource_map(): map entry runs past the end of the map\n");
            if (name_length > 0 && std::memchr(p, 0, size_t(name_length)) == nullptr)
                return fail("parse_resource_map(): name without NUL\n");
            e.name = name_length > 0 ? reinterpret_cast<const char*>(p) : "";
            visit(e);
            p += name_length;
        }
    }
    return 0;
}

} // namespace

namespace {

// The checks a block passes before its claimed size is allocated: its place
// must lie in the image; one before the start of the file fails as its seek
// would, and a large one that a regular file is too short to hold (with
// every_size, any that holds a byte) fails as its read would. The block's
// file position, or -1 after read_block's message.
template <typename EndsBefore>
off_t block_position(uint32_t offset, int32_t size, off_t base, EndsBefore ends_before,
                     bool every_size = false)
{
    if (offset < uint32_t(header_length) || size < 0)
        return fail("read_block(): bogus block info\n");
    const off_t pos = base + off_t(int32_t(offset));
    if (pos < 0)
        return fail("read_block(): lseek() failed\n");
    if ((size > checked_size || (every_size && size > 0)) && ends_before(pos, size))
        return fail("read_block(): read() failed\n");
    return pos;
}

// Reads resources' data into their records. From a regular file, small
// blocks are served from one large span read at a time (most images hold
// their data back to back, in map order), so that a whole image costs a few
// reads instead of one or two system calls per resource. Every block fails
// exactly as its own seek and read would: the span is only read ahead, and
// a block that the file cannot fill is refused with the same message. From
// memory, a block whose data needs no conversion is lent where it lies.
// When all data stays in the input (the library), the blocks under
// early_block, up to early_at_most bytes of them, are read all the same, each
// run of them that lies close together in one read (plan_early_reads).
struct data_reader {
    source& src;
    off_t base;
    const char* keeping; // the input's path, when its large data may stay in it
    bool keeping_all;    // with keeping: all of its data, whatever its size
    data_order order;    // the byte order of the data in the input
    int input = -1;      // its slot once a record keeps data there
    bool regular = false;
    off_t file_length = 0;
    owned<unsigned char> span;
    size_t span_room = 0;
    off_t span_at = 0;
    size_t span_length = 0;
    std::vector<std::pair<off_t, off_t>> runs; // read early: [start, end), sorted, apart

    static constexpr size_t span_capacity = size_t(1) << 20;
    static constexpr int32_t largest_from_span = 64 << 10;
    static constexpr int32_t early_block = 4 << 10;
    static constexpr int64_t early_at_most = int64_t(8) << 20;

    data_reader(source& s, off_t b, const char* path, bool all, data_order o)
        : src(s), base(b), keeping(s.in_memory() ? nullptr : path), keeping_all(all), order(o)
    {
        regular = source_length(src, &file_length);
    }

    bool ends_before(off_t pos, int64_t count) const
    {
        return regular && (pos > file_length || count > file_length - pos);
    }

    // Copies size bytes at pos into to, from the span (read anew when it
    // does not hold them). False when the file cannot fill them.
    bool from_span(unsigned char* to, off_t pos, int32_t size)
    {
        if (pos < span_at || pos - span_at + size > off_t(span_length)) {
            off_t from = pos;
            size_t want = span_capacity;
            if (const auto* run = run_holding(pos, size)) {
                from = run->first;
                want = size_t(run->second - run->first);
            }
            if (span_room < want) {
                span.reset(static_cast<unsigned char*>(std::malloc(std::max(want, span_capacity))));
                span_room = span ? std::max(want, span_capacity) : 0;
                span_length = 0;
            }
            if (!span)
                return read_at(to, pos, size);
            ssize_t got = source_pread_all(src, span.get(), want, from);
            span_at = from;
            span_length = got > 0 ? size_t(got) : 0;
            if (pos - span_at + size > off_t(span_length))
                return false;
        }
        std::memcpy(to, span.get() + (pos - span_at), size_t(size));
        return true;
    }

    bool read_at(unsigned char* to, off_t pos, int32_t size)
    {
        if (source_seek(src, pos, SEEK_SET) < 0) {
            fail("read_block(): lseek() failed\n");
            return false;
        }
        if (source_read_all(src, to, size_t(size)) != ssize_t(size)) {
            fail("read_block(): read() failed\n");
            return false;
        }
        return true;
    }

    // A record of head_room bytes (filled by the caller) and then the size
    // bytes of the block at offset; null, after read_block's message, when
    // the block cannot be read.
    ~data_reader() { forget_unused_input(input); }

    // The run read early that holds size bytes at pos, or null.
    const std::pair<off_t, off_t>* run_holding(off_t pos, int32_t size) const
    {
        auto at = std::upper_bound(runs.begin(), runs.end(), std::pair<off_t, off_t>(pos, std::numeric_limits<off_t>::max()));
        if (at == runs.begin() || (--at)->second - pos < size)
            return nullptr;
        return &*at;
    }

    // Plans the early reads from the blocks of the map's entries (block
    // gives each one's place and size): the small blocks that the file
    // holds, in map order until early_at_most bytes, joined into runs where
    // fewer than early_block bytes lie between them.
    template <typename Blocks>
    void plan_early_reads(Blocks&& blocks)
    {
        if (keeping == nullptr || !keeping_all || !regular)
            return;
        std::vector<std::pair<off_t, off_t>> small;
        int64_t left = early_at_most;
        blocks([&](uint32_t offset, int32_t size) {
            const off_t pos = base + off_t(int32_t(offset));
            if (offset >= uint32_t(header_length) && size > 0 && size < early_block &&
                size <= left && pos >= 0 && !ends_before(pos, size)) {
                left -= size;
                small.push_back({pos, pos + size});
            }
        });
        std::sort(small.begin(), small.end());
        for (const auto& b : small) {
            if (!runs.empty() && b.first - runs.back().second < early_block)
                runs.back().second = std::max(runs.back().second, b.second);
            else
                runs.push_back(b);
        }
    }

    // A record whose data stays in the input, when it may; the input's
    // length stands in for the read that is not made. Data read early does
    // not stay.
    resource* kept(off_t pos, int32_t size, size_t head_room)
    {
        if (keeping == nullptr || !regular || !(keeping_all || data_may_stay(size)) ||
            (size < early_block && run_holding(pos, size) != nullptr))
            return nullptr;
        if (input < 0 && (input = keep_input(src.fd, keeping)) < 0) {
            keeping = nullptr; // it cannot be held: the rest is read as ever
            return nullptr;
        }
        return allocate_kept_record(head_room, input, pos, order);
    }

    // A record whose data lies in the image in memory, lent: *lent is set
    // to where, for the caller to point the filled record at. A block past
    // the image's end fails as its read would.
    resource* lent_record(off_t pos, int32_t size, size_t head_room, const unsigned char** lent)
    {
        if (pos > file_length || size > file_length - pos) {
            fail("read_block(): read() failed\n");
            return nullptr;
        }
        resource* r = allocate_record(head_room, 0);
        if (r == nullptr) {
            fail("read_block(): malloc(%d) failed\n", size);
            return nullptr;
        }
        *lent = src.bytes + pos;
        return r;
    }

    // A record of head_room bytes (filled by the caller) and then the
    // block's data; from memory, with may_lend, a record lent its data (see
    // lent_record). Null after read_block's message when the block cannot
    // be read.
    resource* record(uint32_t offset, int32_t size, size_t head_room, bool may_lend = false,
                     const unsigned char** lent = nullptr)
    {
        // Data that stays unread is refused as its read would be.
        const off_t pos = block_position(
            offset, size, base, [this](off_t at, int64_t count) { return ends_before(at, count); },
            keeping != nullptr && keeping_all);
        if (pos < 0)
            return nullptr;
        if (may_lend && src.in_memory() && size > 0)
            return lent_record(pos, size, head_room, lent);
        if (resource* r = kept(pos, size, head_room))
            return r;
        resource* r = allocate_record(head_room, size_t(size));
        if (r == nullptr) {
            fail("read_block(): malloc(%d) failed\n", size);
            return nullptr;
        }
        unsigned char* to = reinterpret_cast<unsigned char*>(r) + head_room;
        bool read = false;
        if (regular && size <= largest_from_span) {
            read = from_span(to, pos, size);
            if (!read)
                fail("read_block(): read() failed\n");
        } else {
            read = read_at(to, pos, size);
        }
        if (!read) {
            release_record(r);
            return nullptr;
        }
        return r;
    }
};

} // namespace

unsigned char* read_block(source& s, uint32_t offset, int32_t size, off_t base)
{
    const off_t pos = block_position(offset, size, base, [&s](off_t at, int64_t count) {
        return ends_before(s, at, count);
    });
    if (pos < 0)
        return nullptr;
    owned<unsigned char> block(static_cast<unsigned char*>(std::malloc(size > 0 ? size_t(size) : 1)));
    if (!block) {
        fail("read_block(): malloc(%d) failed\n", size);
        return nullptr;
    }
    if (source_seek(s, pos, SEEK_SET) < 0) {
        fail("read_block(): lseek() failed\n");
        return nullptr;
    }
    if (source_read_all(s, block.get(), size_t(size)) != ssize_t(size)) {
        fail("read_block(): read() failed\n");
        return nullptr;
    }
    return block.release();
}

unsigned char* read_block(int fd, uint32_t offset, int32_t size, off_t base)
{
    source s = source::descriptor(fd);
    return read_block(s, offset, size, base);
}

int parse_resource_map(source& src, const chunk_entry* chunk_map, pe_format format, swap_func swap,
                       const unsigned char* map, int32_t length, off_t base, resource** list,
                       resource_index* index, image_seen* seen)
{
    if (chunk_map == nullptr || map == nullptr || list == nullptr || length < 12)
        return fail("parse_resource_map() bad arguments\n");
    if (swap == nullptr)
        swap = swap_resource_data;

    int32_t last = int32_t(word_at(map + length - 4, format));
    if (last == 0) {
        uint32_t stored = word_at(map + length - 8, format);
        length -= 8;
        if (map_checksum(map, length) != stored)
            return fail("parse_resource_map(): map checksum is bad\n");
    } else if (last != -1) {
        return fail("parse_resource_map(): map terminated with %d ???\n", last);
    }

    size_t entries = 0;
    if (walk_map(map, length, format, [&entries](const map_entry&) { ++entries; }) != 0)
        return -1;
    expect_records(index, list, entries);

    const int64_t slots = chunk_map[0].size / 12;
    // Kept data of a known type is converted when it is read or written, with
    // the default conversion: another callback reads everything into memory.
    const char* keeping = index != nullptr && swap == swap_resource_data ? index->keeping : nullptr;
    data_reader data(src, base, keeping, keeping != nullptr && index->keeping_all,
                     format == 1 ? data_order::little : data_order::big);
    data.plan_early_reads([&](auto block) {
        walk_map(map, length, format, [&](const map_entry& e) {
            const int64_t slot = int64_t(e.chunk_index) + map_block_slot;
            if (slot >= 0 && slot < slots)
                block(chunk_map[slot].offset, chunk_map[slot].size);
        });
    });
    auto read_entry = [&](const map_entry& e) {
        int64_t slot = int64_t(e.chunk_index) + map_block_slot;
        // The data is read straight into the record that will hold it.
        const size_t name_bytes = std::strlen(e.name) + 1;
        // Data that is not converted may stay where it lies in memory.
        const bool may_lend =
            format == 1 || (swap == swap_resource_data && swap_resource_data(e.type, nullptr, 0) == 0);
        const unsigned char* lent = nullptr;
        resource* r = nullptr;
        if (slot < 0 || slot >= slots)
            fail("parse_resource_map(): chunk index %d names no slot\n", e.chunk_index);
        else
            r = data.record(chunk_map[slot].offset, chunk_map[slot].size,
                            record_head_room(name_bytes), may_lend, &lent);
        if (seen != nullptr)
            seen->entries.push_back({e.type, e.id,
                                     r != nullptr ? base + off_t(int32_t(chunk_map[slot].offset)) : -1,
                                     r != nullptr ? chunk_map[slot].size : 0,
                                     r != nullptr && data_kept(r)});
        if (r == nullptr) {
            fail_quoting("parse_resource_map(): skipping resource ", e.type,
                         std::to_string(e.id) + "\n");
            return;
        }
        fill_record(r, e.type, e.id, chunk_map[slot].size, e.name, name_bytes);
        if (lent != nullptr)
            r->data = const_cast<unsigned char*>(lent); // never written: it is not converted
        else if (format != 1 && !data_kept(r))
            swap(e.type, r->data, r->size);
        place_record(list, r, index);
    };
    // Each entry is read a few entries after the index was told of it, so
    // that its part of the index is in the cache by then; the order of the
    // records and of every message is the map's.
    constexpr size_t ahead = 4;
    map_entry waiting[ahead];
    size_t queued = 0;
    walk_map(map, length, format, [&](const map_entry& e) {
        foresee_record(index, e.type, e.id);
        if (queued >= ahead)
            read_entry(waiting[queued % ahead]);
        waiting[queued % ahead] = e;
        ++queued;
    });
    for (size_t i = queued > ahead ? queued - ahead : 0; i < queued; ++i)
        read_entry(waiting[i % ahead]);
    return 0;
}

int parse_resource_map(int fd, const chunk_entry* chunk_map, pe_format format, swap_func swap,
                       const unsigned char* map, int32_t length, off_t base, resource** list,
                       resource_index* index, image_seen* seen)
{
    source s = source::descriptor(fd);
    return parse_resource_map(s, chunk_map, format, swap, map, length, base, list, index, seen);
}

int read_resource_file(resource** list, source& src, pe_format format, swap_func swap,
                       resource_index* index, image_seen* seen)
{
    if (swap == nullptr)
        swap = swap_resource_data;
    const off_t base = source_seek(src, 0, SEEK_CUR);
    if (base < 0)
        return fail("read_resource_file() lseek() to the base offset failed\n");

    uint32_t header[17];
    if (source_read_all(src, header, sizeof header) != ssize_t(sizeof header))
        return fail("read_resource_file() read() resource header failed\n");
    if (format != 1)
        swap_resource_data(type_code("LONG"), header, sizeof header);
    if ((header[0] >> 16) != (version_word >> 16))
        return fail("read_resource_file() resource header version is wrong\n");

    const off_t chunk_map_at = base + off_t(int32_t(header[2]));
    if (source_seek(src, chunk_map_at, SEEK_SET) < 0)
        return fail("read_resource_file() offset table lseek() failed\n");
    chunk_entry first;
    if (source_read_all(src, &first, sizeof first) != ssize_t(sizeof first))
        return fail("read_resource_file() read() offset table first slot failed\n");
    if (format != 1)
        swap_resource_data(type_code("LONG"), &first, sizeof first);

    // A chunk map too short to hold slot 10 has no map block.
    const int32_t bytes = first.size;
    if (bytes < (map_block_slot + 1) * 12)
        return fail("read_resource_file() map block is not there\n");
    if (ends_before(src, chunk_map_at + 12, bytes - 12))
        return fail("read_resource_file() read() offset table failed\n");
    // malloc's storage suits chunk_entry records; a partial last slot of a
    // length that is not a multiple of 12 is never looked at.
    owned<chunk_entry> chunk_map(static_cast<chunk_entry*>(std::malloc(size_t(bytes))));
    if (!chunk_map)
        return fail("read_resource_file() malloc(%d) failed\n", bytes);
    chunk_map.get()[0] = first;
    auto* rest = reinterpret_cast<unsigned char*>(chunk_map.get()) + 12;
    if (source_read_all(src, rest, size_t(bytes - 12)) != ssize_t(bytes - 12))
        return fail("read_resource_file() read() offset table failed\n");
    if (format != 1)
        swap_resource_data(type_code("LONG"), rest, bytes - 12);

    const chunk_entry& block = chunk_map.get()[map_block_slot];
    if (block.kind != kind_reserved || block.size < 12 || block.offset < uint32_t(header_length))
        return fail("read_resource_file() map block is not there\n");
    owned<unsigned char> map(read_block(src, block.offset, block.size, base));
    if (!map)
        return -1;
    if (seen != nullptr)
        *seen = {base, chunk_map_at, bytes, base + off_t(int32_t(block.offset)), block.size, {}};
    parse_resource_map(src, chunk_map.get(), format, swap, map.get(), block.size, base, list,
                       index, seen);
    return 0;
}

int read_resource_file(resource** list, int fd, pe_format format, swap_func swap,
                       resource_index* index, image_seen* seen)
{
    source s = source::descriptor(fd);
    return read_resource_file(list, s, format, swap, index, seen);
}
