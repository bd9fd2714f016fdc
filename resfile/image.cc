// Pieces of the image shared by the reader and the writer: the map checksum
// and the insertion rule of the resource list.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "resfile/resfile.h"

uint32_t map_checksum(const unsigned char* bytes, int32_t length)
{
    uint32_t sum = 0;
    int32_t at = 0;
    for (; length - at >= 4; at += 4)
        sum += (uint32_t(bytes[at]) << 24) | (uint32_t(bytes[at + 1]) << 16) |
               (uint32_t(bytes[at + 2]) << 8) | uint32_t(bytes[at + 3]);
    uint32_t last = 0;
    for (int32_t i = at; i < length; ++i)
        last = (last << 8) | bytes[i];
    return sum + last;
}

int add_resource(resource** list, uint32_t type, int32_t id, const void* data, int32_t size,
                 const char* name)
{
    size_t name_bytes = std::strlen(name) + 1;
    size_t data_bytes = size > 0 ? size_t(size) : 0;
    auto* r = static_cast<resource*>(std::malloc(sizeof(resource) + name_bytes + data_bytes));
    if (r == nullptr) {
        std::fprintf(stderr, "add_resource malloc() failed\n");
        return -1;
    }
    r->type = type;
    r->id = id;
    r->name = reinterpret_cast<char*>(r + 1);
    std::memcpy(r->name, name, name_bytes);
    r->data = reinterpret_cast<unsigned char*>(r->name + name_bytes);
    if (data_bytes > 0)
        std::memcpy(r->data, data, data_bytes);
    r->size = size;

    // Find the link to replace: the record with this type and id in the first
    // run of the type, the record right after that run, or the end.
    resource** link = list;
    bool in_run = false;
    while (*link != nullptr) {
        resource* at = *link;
        if (in_run && at->type != type)
            break;
        if (at->type == type && at->id == id) {
            r->next = at->next;
            *link = r;
            std::free(at);
            return 0;
        }
        in_run = at->type == type;
        link = &at->next;
    }
    r->next = *link;
    *link = r;
    return 0;
}
