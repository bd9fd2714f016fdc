/* Opens the resources compiled into this program and reads every byte of
 * every resource once: prints their count, their bytes and a checksum. */
#include <stdio.h>

#include <tamb/resources.h>

int main(void)
{
    tamb_file* self;
    unsigned long long bytes = 0, sum = 0;
    size_t i, k;
    if (tamb_open_self(&self) != 0) {
        fprintf(stderr, "read_all: %s\n", tamb_error());
        return 1;
    }
    for (i = 0; i < tamb_count(self); ++i) {
        tamb_resource r;
        const void* data;
        size_t size;
        if (tamb_resource_at(self, i, &r) != 0 || tamb_data(self, &r, &data, &size) != 0) {
            fprintf(stderr, "read_all: %s\n", tamb_error());
            return 1;
        }
        for (k = 0; k < size; ++k)
            sum += ((const unsigned char*)data)[k];
        bytes += size;
    }
    printf("%zu resources, %llu bytes, sum %llu\n", tamb_count(self), bytes, sum);
    tamb_close(self);
    return 0;
}
