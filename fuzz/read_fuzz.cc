// Any bytes as an input file: locate the resource area and read it twice, as
// a run given the same file twice does (the second read replaces every
// record), once walking the list and once through the index that finds each
// record's place; both lists must agree, and agree with the bytes read from
// memory. List it, then write it in both byte
// orders and read each image back, which must give the same records.
#include <cstdio>
#include <initializer_list>

#include "fuzzkit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    require(quiet);
    int fd = file_holding(data, size);
    resource *list = nullptr, *indexed = nullptr;
    resource_index index;
    pe_format format = 0;
    for (int pass = 0; pass < 2 && position_at_map(fd, 0, &format) == 1; ++pass) {
        const int walked = read_resource_file(&list, fd, format, nullptr);
        require(position_at_map(fd, 0, &format) == 1);
        require(read_resource_file(&indexed, fd, format, nullptr, &index) == walked);
        require(same_records(list, indexed));
    }
    // The same bytes in memory: the same area, byte order and records.
    source s = source::memory(data, size);
    pe_format in_memory = 0;
    const int area = position_at_map(s, 0, &in_memory);
    require(area == position_at_map(fd, 0, &format) && in_memory == format);
    resource* from_memory = nullptr;
    if (area == 1)
        read_resource_file(&from_memory, s, format, nullptr);
    require(same_records(list, from_memory));
    free_resources(from_memory);
    if (list != nullptr)
        print_listing("input", format != 0 ? "PE" : "PEF", list);
    for (pe_format order : {1, 0}) {
        if (list == nullptr)
            break;
        int out = file_holding(nullptr, 0);
        require(write_resource_file(list, out, order, nullptr) == 0);
        require(lseek(out, 0, SEEK_SET) == 0);
        resource* back = nullptr;
        require(read_resource_file(&back, out, order, nullptr) == 0);
        require(same_records(list, back));
        free_resources(back);
        close(out);
    }
    free_resources(list);
    free_resources(indexed);
    close(fd);
    return 0;
}
