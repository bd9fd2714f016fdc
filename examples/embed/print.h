/* Prints the resources embedded in the module that includes this (the
 * program, or the library), one line each: "WHO: 'TYPE' ID "NAME": DATA",
 * the data as text with other bytes as \xHH. Static, so that each module
 * runs its own copy, and tamb_open_self opens that module's own resources. */
#include <stdio.h>

#include <tamb/resources.h>

static int print_own_resources(const char* who)
{
    tamb_file* self;
    size_t i, k;
    if (tamb_open_self(&self) != 0) {
        fprintf(stderr, "%s: %s\n", who, tamb_error());
        return 1;
    }
    for (i = 0; i < tamb_count(self); ++i) {
        tamb_resource r;
        const void* data;
        size_t size;
        if (tamb_resource_at(self, i, &r) != 0 || tamb_data(self, &r, &data, &size) != 0) {
            fprintf(stderr, "%s: %s\n", who, tamb_error());
            tamb_close(self);
            return 1;
        }
        printf("%s: '%c%c%c%c' %d \"%s\": ", who, (int)(r.type >> 24 & 0xFF),
               (int)(r.type >> 16 & 0xFF), (int)(r.type >> 8 & 0xFF), (int)(r.type & 0xFF), (int)r.id,
               r.name);
        for (k = 0; k < size; ++k) {
            const unsigned char c = ((const unsigned char*)data)[k];
            printf(c >= 0x20 && c < 0x7F && c != '\\' ? "%c" : "\\x%02X", c);
        }
        printf("\n");
    }
    tamb_close(self);
    return 0;
}
