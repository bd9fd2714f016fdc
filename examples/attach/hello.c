/* A small Windows console program whose resources are attached by the build
 * (resources.txt) and read by the program itself when it runs, with
 * libtamb: it prints its greeting and the window it describes. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <tamb/resources.h>

/* The data of the resource of this type and id, or of this type and name. */
static const void* data_of(tamb_file* self, uint32_t type, int32_t id, const char* name, size_t* size)
{
    tamb_resource r;
    const void* data = NULL;
    const int found = name != NULL ? tamb_find_named(self, type, name, &r) : tamb_find(self, type, id, &r);
    if (found != 0 || tamb_data(self, &r, &data, size) != 0) {
        fprintf(stderr, "hello: %s\n", tamb_error());
        return NULL;
    }
    return data;
}

int main(void)
{
    tamb_file* self;
    const void* greeting;
    const void* window;
    size_t size = 0;
    int32_t rect[4];
    if (tamb_open_self(&self) != 0) {
        fprintf(stderr, "hello: %s\n", tamb_error());
        return 1;
    }
    greeting = data_of(self, TAMB_TYPE('C', 'S', 'T', 'R'), 0, "greeting", &size);
    if (greeting != NULL) { /* a C string: its text ends at its NUL */
        const char* end = memchr(greeting, 0, size);
        printf("%.*s", (int)(end != NULL ? (size_t)(end - (const char*)greeting) : size),
               (const char*)greeting);
    }
    window = data_of(self, TAMB_TYPE('R', 'E', 'C', 'T'), 200, NULL, &size);
    if (window != NULL && size == sizeof rect) {
        memcpy(rect, window, sizeof rect); /* four int32 values, in host order */
        printf("window: %d %d %d %d\n", (int)rect[0], (int)rect[1], (int)rect[2], (int)rect[3]);
    }
    tamb_close(self);
    return greeting != NULL && window != NULL ? 0 : 1;
}
