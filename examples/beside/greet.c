/* A Linux program whose resources are shipped beside it: greet.rsrc, which
 * the Makefile merges from resources.txt with tamb. When it runs, the
 * program finds the file next to its own executable, reads it with libtamb
 * and prints its greeting and the window it describes. */
#define _POSIX_C_SOURCE 200809L
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <tamb/resources.h>

int main(void)
{
    char path[4096];
    char* slash;
    tamb_file* file;
    tamb_resource r;
    const void* data;
    size_t size;
    int32_t rect[4];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - sizeof "greet.rsrc");
    if (n <= 0 || (size_t)n >= sizeof path - sizeof "greet.rsrc" ||
        (path[n] = '\0', slash = strrchr(path, '/')) == NULL) {
        fprintf(stderr, "greet: cannot tell where the program lies\n");
        return 1;
    }
    strcpy(slash + 1, "greet.rsrc");
    if (tamb_open(path, &file) != 0) {
        fprintf(stderr, "greet: %s\n", tamb_error());
        return 1;
    }
    if (tamb_find_named(file, TAMB_TYPE('C', 'S', 'T', 'R'), "greeting", &r) != 0 ||
        tamb_data(file, &r, &data, &size) != 0)
        goto failed;
    printf("%.*s", (int)strnlen(data, size), (const char*)data); /* its text ends at its NUL */
    if (tamb_find(file, TAMB_TYPE('R', 'E', 'C', 'T'), 200, &r) != 0 ||
        tamb_data(file, &r, &data, &size) != 0)
        goto failed;
    if (size == sizeof rect) {
        memcpy(rect, data, sizeof rect); /* four int32 values, in host order */
        printf("window: %d %d %d %d\n", (int)rect[0], (int)rect[1], (int)rect[2], (int)rect[3]);
    }
    tamb_close(file);
    return 0;
failed:
    fprintf(stderr, "greet: %s\n", tamb_error());
    tamb_close(file);
    return 1;
}
