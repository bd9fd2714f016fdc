// Any bytes as an existing output file: prepare it in write mode and write a
// small fixed list. When reading the file back lands on the same base offset
// in the same byte order, the image there must give the same records.
#include "fuzzkit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static resource* const list = [] {
        const unsigned char bytes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 'r', 0};
        resource* l = nullptr;
        require(add_resource(&l, type_code("LONG"), 1, bytes, 8, "a") == 0);
        require(add_resource(&l, type_code("CSTR"), 5, "hi", 3, "") == 0);
        require(add_resource(&l, type_code("RREF"), -2, bytes, sizeof bytes, "ref") == 0);
        require(add_resource(&l, type_code("LONG"), 7, bytes, 0, "") == 0);
        return l;
    }();
    int fd = file_holding(data, size);
    pe_format format = 0, again = 0;
    if (position_at_map(fd, 1, &format) >= 0) {
        const off_t base = lseek(fd, 0, SEEK_CUR);
        if (write_resource_file(list, fd, format, nullptr) == 0 &&
            position_at_map(fd, 0, &again) == 1 && again == format &&
            lseek(fd, 0, SEEK_CUR) == base) {
            resource* back = nullptr;
            require(read_resource_file(&back, fd, format, nullptr) == 0);
            require(same_records(list, back));
            free_resources(back);
        }
    }
    close(fd);
    return 0;
}
