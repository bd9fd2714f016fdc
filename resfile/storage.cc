// Where records live. A list may hold millions of small records and a few
// huge ones, so a record is placed by its size:
// - small records are carved one after another from shared 2 MiB blocks,
//   with no per-record allocation overhead; a block whose last record is
//   released is kept for the records that come next (a few such blocks at
//   most), so that its pages are not cleared and faulted in again, and
//   otherwise returned;
// - records whose data is 2 MiB or more get a block of their own, advised to
//   use huge pages where the system has them, so that reading them costs one
//   page fault per 2 MiB;
// - the rest come from malloc.
// Under AddressSanitizer every record comes from malloc, so that the
// sanitizer sees the bounds of each one.
#include <cstdint>
#include <cstdlib>

#include "platform/platform.h"
#include "resfile/list.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool shared_blocks = false;
#elif defined(__has_feature)
constexpr bool shared_blocks = !__has_feature(address_sanitizer);
#else
constexpr bool shared_blocks = true;
#endif

enum : int32_t { storage_heap = 0, storage_shared = 1, storage_mapped = 2, storage_kinds = 0xFF };

constexpr size_t huge_page = size_t(2) << 20;
constexpr size_t block_bytes = huge_page;
constexpr size_t small_record = 1024; // at most, head room included
constexpr size_t mapped_head = 16;    // a mapped record's length, before the record

// The start of every shared block.
struct block_head {
    size_t used; // bytes carved, this head included
    size_t live; // records carved and not yet released
};
constexpr size_t first_record = (sizeof(block_head) + 15) & ~size_t(15);

block_head* current = nullptr; // the block records are carved from

// Emptied blocks kept for reuse: up to 8 MiB stays mapped for the records
// that come next, beyond which an emptied block is returned.
constexpr int spare_blocks = 4;
block_head* spares[spare_blocks];
int spare_count = 0;

size_t round_up(size_t n, size_t to)
{
    return (n + to - 1) & ~(to - 1);
}

resource* carve(size_t bytes)
{
    const size_t need = round_up(bytes, 8);
    if (current == nullptr || current->used + need > block_bytes) {
        if (current != nullptr && current->live == 0) {
            current->used = first_record;
        } else {
            auto* block = spare_count > 0
                              ? spares[--spare_count]
                              : static_cast<block_head*>(map_memory(block_bytes, block_bytes, true));
            if (block == nullptr)
                return nullptr;
            *block = block_head{first_record, 0};
            current = block; // the old block goes with its last record
        }
    }
    auto* r = reinterpret_cast<resource*>(reinterpret_cast<unsigned char*>(current) + current->used);
    current->used += need;
    ++current->live;
    r->storage = storage_shared;
    return r;
}

resource* allocate_block(size_t head_room, size_t data_bytes)
{
    const size_t bytes = head_room + data_bytes;
    if (shared_blocks && bytes <= small_record)
        return carve(bytes);
    resource* r = nullptr;
    int32_t storage = storage_heap;
    if (shared_blocks && data_bytes >= huge_page) {
        // The mapping's length goes in front of the record: the record
        // knows its own allocation whatever its fields say.
        const size_t length = round_up(mapped_head + bytes, huge_page);
        auto* head = static_cast<unsigned char*>(map_memory(length, huge_page, true));
        if (head == nullptr)
            return nullptr;
        *reinterpret_cast<size_t*>(head) = length;
        r = reinterpret_cast<resource*>(head + mapped_head);
        storage = storage_mapped;
    } else {
        r = static_cast<resource*>(std::malloc(bytes > 0 ? bytes : 1));
    }
    if (r != nullptr)
        r->storage = storage;
    return r;
}

} // namespace

resource* allocate_record(size_t head_room, size_t data_bytes)
{
    resource* r = allocate_block(head_room, data_bytes);
    if (r != nullptr) {
        // A record released unfilled (its data could not be read) holds
        // nothing that misleads.
        r->next = nullptr;
        r->name = nullptr;
        r->data = reinterpret_cast<unsigned char*>(r) + head_room;
        r->size = int32_t(data_bytes);
    }
    return r;
}

resource* allocate_growing_record(size_t head_room, size_t capacity)
{
    auto* r = static_cast<resource*>(std::malloc(head_room + (capacity > 0 ? capacity : 1)));
    if (r != nullptr) {
        r->next = nullptr;
        r->name = nullptr;
        r->data = reinterpret_cast<unsigned char*>(r) + head_room;
        r->size = 0;
        r->storage = storage_heap;
    }
    return r;
}

resource* resize_record(resource* r, size_t head_room, size_t capacity)
{
    auto* grown = static_cast<resource*>(std::realloc(r, head_room + (capacity > 0 ? capacity : 1)));
    if (grown != nullptr)
        grown->data = reinterpret_cast<unsigned char*>(grown) + head_room;
    return grown;
}

void release_record(resource* r)
{
    if (data_kept(r))
        release_kept_data(r);
    const int32_t storage = r->storage & storage_kinds;
    if (storage == storage_shared) {
        auto* block = reinterpret_cast<block_head*>(uintptr_t(r) & ~(block_bytes - 1));
        if (--block->live == 0 && block != current) {
            if (spare_count < spare_blocks)
                spares[spare_count++] = block;
            else
                unmap_memory(block, block_bytes);
        }
    } else if (storage == storage_mapped) {
        auto* head = reinterpret_cast<unsigned char*>(r) - mapped_head;
        unmap_memory(head, *reinterpret_cast<size_t*>(head));
    } else {
        std::free(r);
    }
}
