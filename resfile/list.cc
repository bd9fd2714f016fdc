// The resource list: insertion by the walk or through the index, lookup,
// removal, the walk that delivers each record, and freeing. See list.h.
#include "resfile/list.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

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

size_t hash_key(uint32_t type, int32_t id)
{
    uint64_t k = uint64_t(type) << 32 | uint32_t(id);
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return size_t(k);
}

// The table position holding the link to the record with this type and id,
// or the free position where it would go.
size_t find_link(const resource_index& index, uint32_t type, int32_t id)
{
    const size_t mask = index.links.size() - 1;
    size_t at = hash_key(type, id) & mask;
    while (index.links[at] != nullptr) {
        const resource* r = *index.links[at];
        if (r->type == type && r->id == id)
            return at;
        at = (at + 1) & mask;
    }
    return at;
}

// Records that `next` (if any) is now linked from `link`.
void relink(resource_index& index, resource* next, resource** link)
{
    if (next == nullptr)
        index.tail = link;
    else
        index.links[find_link(index, next->type, next->id)] = link;
}

// Keeps the table at most 70% full; false when it cannot grow.
bool make_room(resource_index& index)
{
    if (!index.links.empty() && (index.used + 1) * 10 <= index.links.size() * 7)
        return true;
    std::vector<resource**> old;
    old.swap(index.links);
    try {
        index.links.assign(old.empty() ? 1024 : old.size() * 2, nullptr);
    } catch (...) {
        index.links.swap(old);
        return false;
    }
    for (resource** link : old)
        if (link != nullptr)
            index.links[find_link(index, (*link)->type, (*link)->id)] = link;
    return true;
}

// The same place as place_by_walking, found through the index.
bool place_by_index(resource** list, resource_index& index, resource* r)
{
    if (index.tail == nullptr)
        index.tail = list;
    if (!make_room(index))
        return false;
    size_t at = find_link(index, r->type, r->id);
    if (index.links[at] != nullptr) {
        resource** link = index.links[at];
        resource* old = *link;
        r->next = old->next;
        relink(index, old->next, &r->next);
        *link = r;
        auto run = index.runs.find(r->type);
        if (run != index.runs.end() && run->second == old)
            run->second = r;
        release_record(old);
        return true;
    }
    std::unordered_map<uint32_t, resource*>::iterator run;
    try {
        run = index.runs.try_emplace(r->type, nullptr).first;
    } catch (...) {
        return false;
    }
    resource** link = run->second == nullptr ? index.tail : &run->second->next;
    r->next = *link;
    relink(index, r->next, &r->next);
    *link = r;
    index.links[at] = link; // still free: relink only changed another key's slot
    ++index.used;
    run->second = r;
    return true;
}

// Empties table position `at` and moves later entries of its probe run up,
// so that every remaining key is still found from its home position.
void erase_link(resource_index& index, size_t at)
{
    const size_t mask = index.links.size() - 1;
    for (size_t hole = at, next = at;;) {
        index.links[hole] = nullptr;
        for (;;) {
            next = (next + 1) & mask;
            if (index.links[next] == nullptr)
                return;
            const resource* r = *index.links[next];
            const size_t home = hash_key(r->type, r->id) & mask;
            // The entry stays unless its home lies outside (hole, next].
            const bool stays = hole <= next ? hole < home && home <= next
                                            : hole < home || home <= next;
            if (!stays) {
                index.links[hole] = index.links[next];
                hole = next;
                break;
            }
        }
    }
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
        const resource* const* link = index->links[find_link(*index, type, id)];
        return link != nullptr ? *link : nullptr;
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
    const size_t at = find_link(*index, type, id);
    resource** link = index->links[at];
    if (link == nullptr)
        return 1;
    resource* r = *link;
    *link = r->next;
    relink(*index, r->next, link);
    auto run = index->runs.find(type);
    if (run != index->runs.end() && run->second == r) {
        resource* before = holder_of(list, link);
        if (before != nullptr && before->type == type)
            run->second = before;
        else
            index->runs.erase(run);
    }
    erase_link(*index, at);
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
