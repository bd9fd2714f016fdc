// The resource list, in one room: its records and where they live, the
// index that finds a record's place, and the operations on the list
// (insertion, lookup, removal, the walk and freeing).
//
// A list is reached through a head pointer to its first record; an empty
// list is a null head. Records of one type stay together, in the order in
// which their type was first added; a record added with the type and id of
// one already there takes its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>
#include <sys/types.h>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// One record of the resource list: a single block holding the record, then
// the name with its NUL, then the data. release_record frees it all. A
// record whose data stays in its input file (see below) has a null data.
struct resource {
    resource* next;
    uint32_t type;
    int32_t id;
    char* name;
    unsigned char* data;
    int32_t size;
    int32_t storage; // where the block came from, known to the record's storage alone
};

// A record block with head_room bytes for the record and its name, then
// data_bytes bytes of data. Its data points at those bytes and its size is
// data_bytes, so that it can be released at once; the caller fills the
// rest. Null when memory runs out.
resource* allocate_record(size_t head_room, size_t data_bytes);

// Frees a record made by allocate_record, filled or not.
void release_record(resource* r);

// A record block from the heap with head_room bytes and then room for
// capacity bytes of data, which resize_record grows or shrinks (moving the
// block, so the caller fills the record once its data is complete). Null
// when memory runs out (resize_record then leaves r as it was).
resource* allocate_growing_record(size_t head_room, size_t capacity);
resource* resize_record(resource* r, size_t head_room, size_t capacity);

// Bytes in front of the data in a record whose name has name_bytes bytes,
// NUL included.
inline size_t record_head_room(size_t name_bytes)
{
    return sizeof(resource) + name_bytes;
}

// Fills the fields and the name of a record whose block holds the record,
// name_bytes bytes of name (NUL included) and then its data (or, for a
// record whose data stays in its input, where that data lies).
void fill_record(resource* r, uint32_t type, int32_t id, int32_t size, const char* name,
                 size_t name_bytes);

// A resource's type and id.
using resource_key = std::pair<uint32_t, int32_t>;

// One cache line of the index: five places, each holding the link a record
// is reached through and the tag of the record's (type, id), the upper 32
// bits of the key's hash (never 0), which also name the bucket where the key
// belongs. A probe compares tags without leaving the line; a record is only
// looked at when its tag matches, to confirm its key.
struct alignas(64) index_bucket {
    uint32_t tags[5]; // 0: the place is free
    uint32_t passed;  // keys that went past this bucket, full, to a later one
    resource** links[5];
};

// The buckets of an index: a power of two of them, in memory of their own
// (huge pages from 2 MiB on).
struct index_buckets {
    index_bucket* at = nullptr;
    size_t count = 0;
    unsigned shift = 32; // a tag's bucket is tag >> shift
    index_buckets() = default;
    index_buckets(index_buckets&& other) noexcept { *this = std::move(other); }
    index_buckets& operator=(index_buckets&& other) noexcept;
    ~index_buckets();
};

// Where every record of one list is linked from, so that add_resource finds
// its place without walking the list. It must see every change to its list:
// a list that gains records only through add_resource with the index, and
// is emptied only together with clear_resource_index. An empty index given a
// non-empty list is not used (add_resource walks the list instead).
struct resource_index {
    index_buckets buckets;                         // open addressing over buckets
    size_t used = 0;                               // links in use
    std::unordered_map<uint32_t, resource*> runs;  // last record of each type's run
    resource** run = nullptr;                      // the entry of runs last used, or null,
    uint32_t run_type = 0;                         // and its type
    resource** tail = nullptr;                     // the null link that ends the list
    // While noting, the type and id of every record placed, in order: what
    // a read brought, for its caller to look at and clear.
    bool noting = false;
    std::vector<resource_key> placed;
    // The path of the input being read, when records may keep their large
    // data in it (see below); null: every record holds its data.
    const char* keeping = nullptr;
    // With keeping: the data of every block of an image stays in the input,
    // whatever its size, so that a read takes only the image's map (the
    // library's opening); a block that the file is too short to hold is
    // refused all the same, as the read of it would be.
    bool keeping_all = false;
    // When set, the path of every file a text's `file` line reads, as the
    // line resolved it, in the order read.
    std::vector<std::string>* files_read = nullptr;
};

void clear_resource_index(resource_index* index);

// Links a filled record into the list: after the last record of the first
// run of its type, in place of the record with its type and id, or at the
// end. 0, or -1 (after "add_resource malloc() failed") when the index cannot
// grow, in which case r is freed and the list is unchanged.
int place_record(resource** list, resource* r, resource_index* index);

// Makes room in the index for count more records of the list, so that it
// need not grow while they are placed; nothing when the index is not used
// for the list or memory runs out (place_record then grows it as ever).
void expect_records(resource_index* index, resource* const* list, size_t count);

// Starts bringing the part of the index that the record with this type and
// id will be placed through into the cache, ahead of its place_record.
// index may be null.
void foresee_record(const resource_index* index, uint32_t type, int32_t id);

// Copies a resource into a new record and inserts it as place_record does.
// name is never null. index may be null. 0, or -1 when memory runs out (the
// list is then unchanged).
int add_resource(resource** list, uint32_t type, int32_t id, const void* data, int32_t size,
                 const char* name, resource_index* index = nullptr);

// The record with this type and id (the first one, without an index), or
// null. index may be null.
const resource* find_resource(const resource* list, uint32_t type, int32_t id,
                              const resource_index* index = nullptr);

// Unlinks and frees the record with this type and id (the first one, without
// an index). 0 when one was removed, 1 when there was none.
int remove_resource(resource** list, uint32_t type, int32_t id, resource_index* index = nullptr);

// Delivers the record at *cursor (null: start at head) and moves the cursor
// on. 0 when a record was delivered, 1 when the cursor had finished, -1 when
// head or cursor is null. The outputs are zeroed first.
int next_resource(resource* head, resource** cursor, uint32_t* type, int32_t* id,
                  unsigned char** data, int32_t* size, char** name);

// Frees every record of a list, first to last.
void free_resources(resource* head);

// Number of records reached from head.
int count_resources(const resource* head);

// A list with the index that finds places in it, freed when it goes.
struct resource_list {
    resource* head = nullptr;
    resource_index index;
    resource_list() = default;
    resource_list(const resource_list&) = delete;
    resource_list& operator=(const resource_list&) = delete;
    ~resource_list() { clear(); }
    void clear()
    {
        free_resources(head);
        head = nullptr;
        clear_resource_index(&index);
    }
};

#include "resfile/kept.h"
