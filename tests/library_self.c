/* tamb_open_self in a program with an image embedded as tamb_embed_resources
 * embeds one (the sample, by .incbin below): the same resources and data as
 * the sample opened by path, each resource's data lent from the image. */
#include <stdio.h>
#include <string.h>

#include "tamb/resources.h"

extern const unsigned char tamb_embedded_image[];

int main(void)
{
    tamb_file* self = NULL;
    tamb_file* file = NULL;
    size_t i, failures = 0, size;
    unsigned long long length;
    memcpy(&length, tamb_embedded_image, sizeof length);
    if (tamb_open_self(&self) != 0 || tamb_open(SAMPLE, &file) != 0) {
        printf("cannot open: %s\n", tamb_error());
        return 1;
    }
    if (tamb_count(self) != tamb_count(file) || tamb_count(self) == 0)
        printf("%zu resources embedded, %zu in the file\n", tamb_count(self), tamb_count(file)), ++failures;
    for (i = 0; i < tamb_count(self) && i < tamb_count(file); ++i) {
        tamb_resource a, b;
        const void *in_image, *in_file;
        const unsigned char* p;
        if (tamb_resource_at(self, i, &a) != 0 || tamb_resource_at(file, i, &b) != 0 ||
            tamb_data(self, &a, &in_image, &size) != 0 || tamb_data(file, &b, &in_file, &size) != 0) {
            printf("resource %zu: %s\n", i, tamb_error());
            return 1;
        }
        p = in_image;
        if (a.type != b.type || a.id != b.id || strcmp(a.name, b.name) != 0 || a.size != b.size ||
            memcmp(in_image, in_file, size) != 0)
            printf("resource %zu differs from the file's\n", i), ++failures;
        if (size > 0 && (p < tamb_embedded_image + 16 || p + size > tamb_embedded_image + 16 + length))
            printf("resource %zu: data not lent from the image\n", i), ++failures;
    }
    tamb_close(self);
    tamb_close(file);
    printf("%zu resources embedded, %zu failed\n", i, failures);
    return failures != 0;
}

/* The image, as tamb_embed_resources assembles it. */
__asm__(".section .lrodata.tamb_image,\"a\"\n\t.balign 16\n\t.globl tamb_embedded_image\n"
        "\t.hidden tamb_embedded_image\ntamb_embedded_image:\n\t.quad 1f - 0f\n\t.quad 0\n"
        "0:\t.incbin \"" SAMPLE "\"\n1:\n\t.previous");
