// Helpers shared by the fuzz targets and the seed generator.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "container/container.h"
#include "driver/driver.h"
#include "textform/textform.h"

// A property that must hold for every input: when it does not, the process
// aborts, which the fuzzer and the replay report as a finding.
inline void require(bool holds)
{
    if (!holds)
        std::abort();
}

// An anonymous in-memory file holding size bytes, positioned at 0.
inline int file_holding(const uint8_t* data, size_t size)
{
    int fd = memfd_create("tamb-fuzz", 0);
    require(fd >= 0 && (size == 0 || write(fd, data, size) == ssize_t(size)));
    require(lseek(fd, 0, SEEK_SET) == 0);
    return fd;
}

// True when both lists hold the same records (type, id, name, size, data) in
// the same order.
inline bool same_records(const resource* a, const resource* b)
{
    for (; a != nullptr && b != nullptr; a = a->next, b = b->next)
        if (a->type != b->type || a->id != b->id || a->size != b->size ||
            std::strcmp(a->name, b->name) != 0 ||
            (a->size > 0 && std::memcmp(a->data, b->data, size_t(a->size)) != 0))
            return false;
    return a == nullptr && b == nullptr;
}

// The text form of a list, as the first input listed prints it.
inline std::string text_form_of(const resource* list)
{
    char* bytes = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&bytes, &size);
    require(out != nullptr);
    print_text_start(out);
    print_text_listing(out, "input", "text", list);
    require(std::fclose(out) == 0);
    std::string text(bytes, size);
    std::free(bytes);
    return text;
}
