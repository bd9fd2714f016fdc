// The resource list: insertion by the walk or through the index, lookup,
// removal, the walk that delivers each record, and freeing. See list.h.
#include "resfile/list.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "platform/platform.h"

#include "resfile/fail.h"

namespace {

// The place found by walking the list: the link to replace or insert at.
void place_by_walking(resource** list, resource* r)
{
    // The record with this type and id in the first run of the type, the
    // record right after that run, or the end.
    resource** link = list;
    bool in_run = false;
    while (*link != nullptr) {
        resource* at = *link;
        if (in_run && at->type != r->type)
            break;
        if (at->type == r->type && at->id == r->id) {
            r->next = at->next;
            *link = r;
            release_record(at);
            return;
        }
        in_run = at->type == r->type;
        link = &at->next;
    }
    r->next = *link;
    *link = r;
}

constexpr unsigned bucket_places = 5;
constexpr size_t first_buckets = 64; // 4 KiB
constexpr size_t huge_page = size_t(2) << 20;

// The key's tag: the upper half of its hash (a bijection of the 64-bit key),
// never 0.
uint32_t tag_of(uint32_t type, int32_t id)
{
    uint64_t k = uint64_t(type) << 32 | uint32_t(id);
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return uint32_t(k >> 32) | 1;
}

// Zeroed buckets, in huge pages when they fill one; null when memory runs out.
index_bucket* allocate_buckets(size_t count)
{
    const size_t bytes = count * sizeof(index_bucket);
    void* at = bytes >= huge_page
                   ? map_memory(bytes, huge_page, true)
                   : ::operator new(bytes, std::align_val_t(alignof(index_bucket)), std::nothrow);
    if (at != nullptr)
        std::memset(at, 0, bytes);
    return static_cast<index_bucket*>(at);
}

void release_buckets(index_bucket* at, size_t count)
{
    const size_t bytes = count * sizeof(index_bucket);
    if (at == nullptr)
        return;
    if (bytes >= huge_page)
        unmap_memory(at, bytes);
    else
        ::operator delete(at, std::align_val_t(alignof(index_bucket)));
}

// A place in the index: bucket number and place within it.
struct place {
    size_t bucket;
    unsigned slot;
};
constexpr place nowhere{~size_t(0), 0};

// The place whose tag is `tag` and whose link satisfies `match`, or nowhere.
// The probe ends at a bucket that no key passed on its way further.
template <typename Match>
place find_place(const index_buckets& t, uint32_t tag, Match match)
{
    size_t b = tag >> t.shift;
    for (size_t seen = 0; seen < t.count; ++seen, b = (b + 1) & (t.count - 1)) {
        const index_bucket& bucket = t.at[b];
        for (unsigned i = 0; i < bucket_places; ++i)
            if (bucket.tags[i] == tag && match(bucket.links[i]))
                return {b, i};
        if (bucket.passed == 0)
            break;
    }
    return nowhere;
}

// The place of the link to the record with this type and id, or nowhere.
place find_key(const resource_index& index, uint32_t tag, uint32_t type, int32_t id)
{
    return find_place(index.buckets, tag, [type, id](resource** link) {
        const resource* r = *link;
        return r->type == type && r->id == id;
    });
}

resource**& link_at(const resource_index& index, place p)
{
    return index.buckets.at[p.bucket].links[p.slot];
}

// Puts a key's link in the first free place from its bucket on; every full
// bucket on the way counts it as passed. There is a free place: the index is
// at most 80% full.
void insert_link(index_buckets& t, uint32_t tag, resource** link)
{
    for (size_t b = tag >> t.shift;; b = (b + 1) & (t.count - 1)) {
        index_bucket& bucket = t.at[b];
        for (unsigned i = 0; i < bucket_places; ++i)
            if (bucket.tags[i] == 0) {
                bucket.tags[i] = tag;
                bucket.links[i] = link;
                return;
            }
        ++bucket.passed;
    }
}

// Empties a place; the buckets its key passed no longer count it.
void erase_link(index_buckets& t, place p)
{
    index_bucket& bucket = t.at[p.bucket];
    for (size_t b = bucket.tags[p.slot] >> t.shift; b != p.bucket; b = (b + 1) & (t.count - 1))
        --t.at[b].passed;
    bucket.tags[p.slot] = 0;
    bucket.links[p.slot] = nullptr;
}

// Records that `next` (if any), linked from old_link, is now linked from
// new_link. Links are unique, so its place is found without looking at it.
void relink(resource_index& index, resource* next, resource** old_link, resource** new_link)
{
    if (next == nullptr) {
        index.tail = new_link;
        return;
    }
    const place p = find_place(index.buckets, tag_of(next->type, next->id),
                               [old_link](resource** link) { return link == old_link; });
    if (p.bucket != nowhere.bucket)
        link_at(index, p) = new_link;
}

// Keeps the index at most 80% full (four keys a bucket) with `more` keys
// added; false when it cannot grow. A key's tag names its bucket in the
// larger index too.
bool make_room(resource_index& index, size_t more)
{
    index_buckets& t = index.buckets;
    const size_t keys = index.used + more;
    if (keys <= t.count * 4)
        return true;
    index_buckets grown;
    grown.count = t.count == 0 ? first_buckets : t.count * 2;
    while (keys > grown.count * 4)
        grown.count *= 2;
    for (size_t n = grown.count; n > 1; n >>= 1)
        --grown.shift;
    grown.at = allocate_buckets(grown.count);
    if (grown.at == nullptr)
        return false;
    for (size_t b = 0; b < t.count; ++b)
        for (unsigned i = 0; i < bucket_places; ++i)
            if (t.at[b].tags[i] != 0)
                insert_link(grown, t.at[b].tags[i], t.at[b].links[i]);
    t = std::move(grown);
    return true;
}

// The entry of runs for this type (made when `make`), or null: none, or no
// memory for one. The last entry looked up is kept at hand.
resource** run_of(resource_index& index, uint32_t type, bool make)
{
    if (index.run != nullptr && index.run_type == type)
        return index.run;
    resource** run = nullptr;
    if (make) {
        try {
            run = &index.runs.try_emplace(type, nullptr).first->second;
        } catch (...) {
            return nullptr;
        }
    } else {
        auto found = index.runs.find(type);
        if (found == index.runs.end())
            return nullptr;
        run = &found->second;
    }
    index.run_type = type;
    index.run = run;
    return run;
}

// The same place as place_by_walking, found through the index.
bool place_by_index(resource** list, resource_index& index, resource* r)
{
    if (index.tail == nullptr)
        index.tail = list;
    if (!make_room(index, 1))
        return false;
    const uint32_t tag = tag_of(r->type, r->id);
    const place found = find_key(index, tag, r->type, r->id);
    if (found.bucket != nowhere.bucket) {
        resource** link = link_at(index, found);
        resource* old = *link;
        r->next = old->next;
        relink(index, old->next, &old->next, &r->next);
        *link = r;
        resource** run = run_of(index, r->type, false);
        if (run != nullptr && *run == old)
            *run = r;
        release_record(old);
        return true;
    }
    resource** run = run_of(index, r->type, true);
    if (run == nullptr)
        return false;
    resource** link = *run == nullptr ? index.tail : &(*run)->next;
    r->next = *link;
    relink(index, r->next, link, &r->next);
    *link = r;
    insert_link(index.buckets, tag, link);
    ++index.used;
    *run = r;
    return true;
}

// The record that holds the link, or null for the list's head pointer.
resource* holder_of(resource** list, resource** link)
{
    if (link == list)
        return nullptr;
    return reinterpret_cast<resource*>(reinterpret_cast<unsigned char*>(link) -
                                       offsetof(resource, next));
}

} // namespace

index_buckets& index_buckets::operator=(index_buckets&& other) noexcept
{
    if (this != &other) {
        release_buckets(at, count);
        at = std::exchange(other.at, nullptr);
        count = std::exchange(other.count, 0);
        shift = std::exchange(other.shift, 32);
    }
    return *this;
}

index_buckets::~index_buckets()
{
    release_buckets(at, count);
}

void clear_resource_index(resource_index* index)
{
    *index = resource_index{};
}

void fill_record(resource* r, uint32_t type, int32_t id, int32_t size, const char* name,
                 size_t name_bytes)
{
    r->next = nullptr;
    r->type = type;
    r->id = id;
    r->name = reinterpret_cast<char*>(r + 1);
    std::memcpy(r->name, name, name_bytes);
    r->data = data_kept(r) ? nullptr : reinterpret_cast<unsigned char*>(r->name + name_bytes);
    r->size = size;
}

void expect_records(resource_index* index, resource* const* list, size_t count)
{
    if (index != nullptr && (index->used > 0 || *list == nullptr))
        make_room(*index, count);
}

void foresee_record(const resource_index* index, uint32_t type, int32_t id)
{
#if defined(__GNUC__)
    if (index != nullptr && index->buckets.count > 0)
        __builtin_prefetch(&index->buckets.at[tag_of(type, id) >> index->buckets.shift], 1);
#else
    (void)index, (void)type, (void)id;
#endif
}

int place_record(resource** list, resource* r, resource_index* index)
{
    if (index == nullptr || (index->used == 0 && *list != nullptr)) {
        place_by_walking(list, r);
    } else if (!place_by_index(list, *index, r)) {
        release_record(r);
        fail("add_resource malloc() failed\n");
        return -1;
    }
    if (index != nullptr && index->noting)
        index->placed.emplace_back(r->type, r->id);
    return 0;
}

const resource* find_resource(const resource* list, uint32_t type, int32_t id,
                              const resource_index* index)
{
    if (index != nullptr && index->used > 0) {
        const place found = find_key(*index, tag_of(type, id), type, id);
        return found.bucket != nowhere.bucket ? *link_at(*index, found) : nullptr;
    }
    for (; list != nullptr; list = list->next)
        if (list->type == type && list->id == id)
            return list;
    return nullptr;
}

int remove_resource(resource** list, uint32_t type, int32_t id, resource_index* index)
{
    if (index == nullptr || index->used == 0) {
        for (resource** link = list; *link != nullptr; link = &(*link)->next)
            if ((*link)->type == type && (*link)->id == id) {
                resource* r = *link;
                *link = r->next;
                release_record(r);
                return 0;
            }
        return 1;
    }
    const place found = find_key(*index, tag_of(type, id), type, id);
    if (found.bucket == nowhere.bucket)
        return 1;
    resource** link = link_at(*index, found);
    resource* r = *link;
    *link = r->next;
    relink(*index, r->next, &r->next, link);
    auto run = index->runs.find(type);
    if (run != index->runs.end() && run->second == r) {
        resource* before = holder_of(list, link);
        if (before != nullptr && before->type == type) {
            run->second = before;
        } else {
            if (index->run == &run->second)
                index->run = nullptr;
            index->runs.erase(run);
        }
    }
    erase_link(index->buckets, found);
    --index->used;
    release_record(r);
    return 0;
}

int add_resource(resource** list, uint32_t type, int32_t id, const void* data, int32_t size,
                 const char* name, resource_index* index)
{
    const size_t name_bytes = std::strlen(name) + 1;
    const size_t data_bytes = size > 0 ? size_t(size) : 0;
    resource* r = allocate_record(record_head_room(name_bytes), data_bytes);
    if (r == nullptr) {
        fail("add_resource malloc() failed\n");
        return -1;
    }
    fill_record(r, type, id, size, name, name_bytes);
    if (data_bytes > 0)
        std::memcpy(r->data, data, data_bytes);
    return place_record(list, r, index);
}

namespace {
// The cursor value that marks a finished walk.
resource* const finished = reinterpret_cast<resource*>(~uintptr_t(0));
} // namespace

int next_resource(resource* head, resource** cursor, uint32_t* type, int32_t* id,
                  unsigned char** data, int32_t* size, char** name)
{
    *type = 0;
    *id = 0;
    *data = nullptr;
    *size = 0;
    *name = nullptr;
    if (head == nullptr || cursor == nullptr)
        return -1;
    if (*cursor == nullptr)
        *cursor = head;
    else if (*cursor == finished)
        return 1;
    resource* r = *cursor;
    *type = r->type;
    *id = r->id;
    *data = r->data;
    *size = r->size;
    *name = r->name;
    *cursor = r->next != nullptr ? r->next : finished;
    return 0;
}

void free_resources(resource* head)
{
    while (head != nullptr) {
        resource* next = head->next;
        release_record(head);
        head = next;
    }
}

int count_resources(const resource* head)
{
    int n = 0;
    for (; head != nullptr; head = head->next)
        ++n;
    return n;
}
