// Building and placing resource records, shared by the list operations and
// the reader (which reads each resource's data straight into its record).
#pragma once

#include <cstddef>

#include "resfile/resfile.h"

// Bytes in front of the data in a record whose name has name_bytes bytes,
// NUL included.
inline size_t record_head_room(size_t name_bytes)
{
    return sizeof(resource) + name_bytes;
}

// Fills the fields and the name of a record whose block holds the record,
// name_bytes bytes of name (NUL included) and then its data.
void fill_record(resource* r, uint32_t type, int32_t id, int32_t size, const char* name,
                 size_t name_bytes);

// Links a filled record into the list: after the last record of the first
// run of its type, in place of the record with its type and id, or at the
// end. 0, or -1 (after "add_resource malloc() failed") when the index cannot
// grow, in which case r is freed and the list is unchanged.
int place_record(resource** list, resource* r, resource_index* index);

