// Any bytes as an input file: locate the resource area, read it, list it,
// then write the list in both byte orders and read each image back, which
// must give the same records.
#include <cstdio>
#include <initializer_list>

#include "fuzzkit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    require(quiet);
    int fd = file_holding(data, size);
    pe_format format = 0;
    resource* list = nullptr;
    if (position_at_map(fd, 0, &format) == 1 && read_resource_file(&list, fd, format, nullptr) == 0) {
        print_listing("input", format, list);
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
    }
    free_resources(list);
    close(fd);
    return 0;
}
