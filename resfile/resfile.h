// The resource file image: its reader and writer (the resource list they
// read into and write from is in list.h).
//
// An image is a 68-byte header, a chunk map of 12-byte slots, a 360-byte hole
// map, the data chunks and the resource map. Every number in it is
// little-endian when pe_format is 1 and big-endian otherwise; offsets are
// relative to the base offset, the descriptor's position when the reader or
// writer is called.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

#include "byteorder/byteorder.h"
#include "platform/source.h"
#include "resfile/list.h"

// 1: x86 container, little-endian image. 0: PowerPC container, big-endian.
using pe_format = int32_t;

// One slot of the chunk map, in host order while in memory.
struct chunk_entry {
    uint32_t offset;
    int32_t size;
    int32_t kind;
};
static_assert(sizeof(chunk_entry) == 12);

constexpr int32_t header_length = 68;
constexpr int32_t hole_map_length = 360;
constexpr int32_t kind_reserved = 1001;
constexpr int32_t kind_data = 0;
constexpr int map_block_slot = 10;
constexpr uint32_t version_word = 0x444F1000;

// 32-bit additive checksum of bytes taken four at a time, most significant
// byte first; 1 to 3 trailing bytes form one last, shorter value.
uint32_t map_checksum(const unsigned char* bytes, int32_t length);

// What one read of an image saw, for a caller that looks it over (a check
// of the file): where the header, the chunk map and the map lie, and every
// entry of the map in map order, with the block its slot names. Positions
// are in the file (the base offset plus the image offset). The reader fills
// it once it has read the map block; it holds no entry of a map refused as
// a whole.
struct image_seen {
    off_t base = 0;
    off_t chunk_map_at = 0;
    int32_t chunk_map_length = 0;
    off_t map_at = 0;
    int32_t map_length = 0;
    struct entry {
        uint32_t type;
        int32_t id;
        off_t data_at;   // where its data lies, -1 when none was read
        int32_t size;    // the slot's size
        bool kept;       // the data stays in the input, unread
    };
    std::vector<entry> entries;
};

// Reads the image at the source's current position and adds its resources
// to *list (through index when it is not null). swap null means
// swap_resource_data. seen, when not null, is filled with what the read
// saw. 0, or -1 on failure. The descriptor forms read through a source of
// that descriptor. From memory, a record whose data needs no conversion
// points into the image (which must outlive the list) instead of holding a
// copy.
int read_resource_file(resource** list, source& src, pe_format format, swap_func swap,
                       resource_index* index = nullptr, image_seen* seen = nullptr);
int read_resource_file(resource** list, int fd, pe_format format, swap_func swap,
                       resource_index* index = nullptr, image_seen* seen = nullptr);

// Reads size bytes at base + offset into a new malloc'd buffer (freed by the
// caller); null on failure.
unsigned char* read_block(source& src, uint32_t offset, int32_t size, off_t base);
unsigned char* read_block(int fd, uint32_t offset, int32_t size, off_t base);

// Decodes a resource map and adds its resources. chunk_map holds
// chunk_map[0].size / 12 slots in host order. 0, or -1 when the map is
// refused as a whole (nothing of it is added then).
int parse_resource_map(source& src, const chunk_entry* chunk_map, pe_format format,
                       swap_func swap, const unsigned char* map, int32_t length, off_t base,
                       resource** list, resource_index* index = nullptr,
                       image_seen* seen = nullptr);
int parse_resource_map(int fd, const chunk_entry* chunk_map, pe_format format, swap_func swap,
                       const unsigned char* map, int32_t length, off_t base, resource** list,
                       resource_index* index = nullptr, image_seen* seen = nullptr);

// Writes the list as one image at fd's current position, in the byte order
// of format. swap null means swap_resource_data. The list's data is left in
// host order whatever happens. 0, or -1 on failure.
int write_resource_file(resource* resources, int fd, pe_format format, swap_func swap);

// Writes every record's data at the current position, fills slots 11 onward
// of chunk_map (unless it is null) and hands back a malloc'd resource map in
// image byte order.
int write_data_make_map(int fd, resource* resources, uint32_t base, chunk_entry* chunk_map,
                        pe_format format, swap_func swap, unsigned char** map_out,
                        int32_t* length_out);

// The number of bytes write_resource_file writes for the list (0 for none).
int64_t image_length(const resource* resources);

// Appends length bytes to a growable buffer; ends the process with status 1
// when memory runs out.
void mappend(unsigned char** buffer, int32_t* used, int32_t* capacity, const void* source,
             int32_t length);

// 0 for a null or empty name, otherwise its length plus one for the NUL.
int name_field_length(const char* name);
