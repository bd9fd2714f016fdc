/* libtamb as a C program uses it: one table of files opened with tamb_open,
 * each with the resources it gives or the error it fails with; the same
 * bytes opened from memory, and read from a FIFO, give the same (a memory
 * image is named "memory"). The files are built here from the bytes of a
 * one-resource image ('LONG' 1 "a", data 1) typed below in either byte
 * order, put into each kind of container and patched for the damaged rows.
 * Nothing may reach standard error. */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <sys/wait.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tamb/resources.h"

static int failures = 0;

#define EXPECT(cond, ...)                                                   \
    do {                                                                    \
        if (!(cond)) {                                                      \
            printf("%s:%d: %s: ", __FILE__, __LINE__, #cond);               \
            printf(__VA_ARGS__);                                            \
            printf("\n");                                                   \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

/* Hex text ("4A B0 4E 4B") into bytes; their count. */
static size_t unhex(const char* text, unsigned char* out)
{
    size_t n = 0;
    unsigned v = 0;
    int half = 0;
    for (; *text != '\0'; ++text) {
        const char c = *text;
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0)
            continue;
        v = v << 4 | (unsigned)d;
        if (++half == 2) {
            out[n++] = (unsigned char)v;
            v = 0;
            half = 0;
        }
    }
    return n;
}

static void put32(unsigned char* p, uint32_t v, int big)
{
    int i;
    for (i = 0; i < 4; ++i)
        p[i] = (unsigned char)(big ? v >> (24 - 8 * i) : v >> (8 * i));
}

enum { image_length = 2000 };

/* The image of one resource: header, 128 slots, the hole map, the data at
 * 1964 and the map at 1968. */
static void make_image(unsigned char* b, int big)
{
    static const char* const map[2] = {
        "47 4E 4F 4C 01 00 00 00 01 00 00 00 02 00 61 00 FF FF FF FF FF FF FF FF "
        "4A B0 4E 4B 00 00 00 00",
        "4C 4F 4E 47 00 00 00 01 00 00 00 01 00 02 61 00 FF FF FF FF FF FF FF FF "
        "4C 51 AF 47 00 00 00 00"};
    static const char* const header[2] = {"00 10 4F 44 01 00 00 00 44 00 00 00 44 06 00 00",
                                          "44 4F 10 00 00 00 00 01 00 00 00 44 00 00 06 44"};
    static const uint32_t slots[][4] = {/* slot, offset, size, kind */
                                        {0, 68, 1536, 1001},
                                        {1, 1604, 360, 1001},
                                        {10, 1968, 32, 1001},
                                        {11, 1964, 4, 0}};
    int i;
    memset(b, 0, image_length);
    unhex(header[big], b);
    for (i = 0; i < 128 + 30; ++i) { /* every slot and hole empty first */
        put32(b + 68 + 12 * i + 4, 0xFFFFFFFFu, big);
        put32(b + 68 + 12 * i + 8, 1001, big);
    }
    for (i = 0; i < 4; ++i) {
        unsigned char* slot = b + 68 + 12 * slots[i][0];
        put32(slot, slots[i][1], big);
        put32(slot + 4, slots[i][2], big);
        put32(slot + 8, slots[i][3], big);
    }
    put32(b + 1964, 1, big);
    unhex(map[big], b + 1968);
}

enum container { rs, pe, resf, pef, text, raw, missing, directory };

struct row {
    const char* name;
    enum container kind;
    const char* content; /* text and raw: the whole file */
    long at;             /* a patch: its hex bytes written at this file offset */
    const char* patch;
    long length;         /* the file cut to this length (0: as made) */
    int changed;         /* the file grows between opening and reading data */
    int code;            /* of tamb_open, or of tamb_data when changed */
    const char* error;   /* %s stands for the file's path */
    const char* resources;
};

static const char text_form[] = "# tamb resource text 1\n"
                                "resource 'LONG' 1 \"a\"\n  hex 01 00 00 00\n"
                                "resource 'CSTR' 5\n  text \"hi\"\n"
                                "resource 'LONG' 1 \"b\"\n  int32 2\n";

/* RS images start at 4, PE ones at 512, resf ones at 40 and PEF ones at 168. */
static const struct row rows[] = {
    {"x86 resource file", rs, 0, 0, 0, 0, 0, 0, "", "'LONG' 1 \"a\" 01000000\n"},
    {"PE executable", pe, 0, 0, 0, 0, 0, 0, "", "'LONG' 1 \"a\" 01000000\n"},
    {"PowerPC resource file", resf, 0, 0, 0, 0, 0, 0, "", "'LONG' 1 \"a\" 01000000\n"},
    {"PEF executable", pef, 0, 0, 0, 0, 0, 0, "", "'LONG' 1 \"a\" 01000000\n"},
    {"text form", text, text_form, 0, 0, 0, 0, 0, "",
     "'LONG' 1 \"b\" 02000000\n'CSTR' 5 \"\" 6869\n"},
    {"map without checksum", rs, 0, 4 + 192, "18 00 00 00", 0, 0, 0, "",
     "'LONG' 1 \"a\" 01000000\n"},
    {"map changed, big-endian", pef, 0, 168 + 1982, "62", 0, 0, TAMB_E_DAMAGED,
     "parse_resource_map(): map checksum is bad", ""},
    {"wrong version", pe, 0, 512 + 3, "45", 0, 0, TAMB_E_DAMAGED,
     "read_resource_file() resource header version is wrong", ""},
    {"chunk map cut short", rs, 0, 0, 0, 1000, 0, TAMB_E_DAMAGED,
     "read_resource_file() read() offset table failed", ""},
    {"data past the end", resf, 0, 40 + 200, "00 00 10 00", 0, 0, TAMB_E_DAMAGED,
     "read_block(): read() failed", ""},
    {"data over the map", rs, 0, 4 + 200, "B0 07 00 00", 0, 0, TAMB_E_DAMAGED,
     "data of 'LONG' 1 overlaps the header, the chunk map, the hole map or the map", ""},
    {"data in the hole map", rs, 0, 4 + 200, "53", 0, 0, TAMB_E_DAMAGED,
     "data of 'LONG' 1 overlaps the header, the chunk map, the hole map or the map", ""},
    {"'LONG' 1 twice", rs,
     /* slot 10 42 bytes long, slot 12 an empty block, and a map of two entries */
     0, 4 + 192,
     "2A 00 00 00 E9 03 00 00 AC 07 00 00 04 00 00 00 00 00 00 00 AC 07 00 00 00 00 00 00 "
     "00 00 00 00",
     0, 0, TAMB_E_DAMAGED, "'LONG' 1 appears more than once", ""},
    {"text form after a byte-order mark", text, "\xEF\xBB\xBF# tamb resource text 1\nresource 'LONG' 1\n", 0,
     0, 0, 0, 0, "", "'LONG' 1 \"\" \n"},
    {"fault in a text form", text, "# tamb resource text 1\nresource 'LONG' 1\n  int32 x\n", 0, 0,
     0, 0, TAMB_E_DAMAGED, "%s:3: error: bad value 'x'", ""},
    {"small data changed after opening", rs, 0, 0, 0, 0, 1, 0, "", "'LONG' 1 \"a\" 01000000\n"},
    {"data of 4 KiB changed after opening", rs, 0, 4 + 200, "D0 07 00 00 00 10 00 00", 6100, 1,
     TAMB_E_DATA, "%s changed since it was opened", ""},
    {"file line", text, "# tamb resource text 1\nresource 'LONG' 1\n  file \"/nonexistent/x\"\n", 0,
     0, 0, 0, TAMB_E_DAMAGED, "%s:3: error: cannot open data file /nonexistent/x", ""},
    {"empty file", raw, "", 0, 0, 0, 0, TAMB_E_NOT_RESOURCE_FILE, "%s is not a resource file", ""},
    {"no such file", missing, 0, 0, 0, 0, 0, TAMB_E_OPEN, "cannot open %s", ""},
    {"a directory", directory, 0, 0, 0, 0, 0, TAMB_E_NOT_RESOURCE_FILE,
     "position_at_map(): read() signature failed", ""},
};

/* The error of the row "file line" from memory. */
static const char in_memory[] = "%s:3: error: a text in memory cannot name a file";

/* The map of the row that names 'LONG' 1 twice, written over the old one. */
static const char twice_map[] = "47 4E 4F 4C 01 00 00 00 01 00 00 00 02 00 61 00 "
                                "01 00 00 00 02 00 00 00 00 00 FF FF FF FF FF FF FF FF "
                                "49 B0 50 4E 00 00 00 00";

static unsigned char file[8192];

/* The bytes of the row's file; their count. */
static size_t make_file(const struct row* r)
{
    size_t n = 0;
    memset(file, 0, sizeof file);
    switch (r->kind) {
    case rs:
        memcpy(file, "RS\0\0", 4);
        make_image(file + 4, 0);
        n = 4 + image_length;
        break;
    case pe:
        memcpy(file, "MZ", 2);
        put32(file + 60, 64, 0);
        memcpy(file + 64, "PE\0\0", 4);
        put32(file + 64 + 136, 512, 0);
        make_image(file + 512, 0);
        n = 512 + image_length;
        break;
    case resf:
        memcpy(file + 4, "resf", 4);
        make_image(file + 40, 1);
        n = 40 + image_length;
        break;
    case pef: /* one section, 100 bytes of data at 68 */
        memcpy(file, "Joy!peff", 8);
        file[33] = 1;
        put32(file + 40 + 16, 100, 1);
        put32(file + 40 + 20, 68, 1);
        make_image(file + 168, 1);
        n = 168 + image_length;
        break;
    default:
        n = strlen(r->content);
        memcpy(file, r->content, n);
    }
    if (r->patch != NULL)
        unhex(r->patch, file + r->at);
    if (strstr(r->name, "twice") != NULL)
        n = 4 + 1968 + unhex(twice_map, file + 4 + 1968);
    return r->length != 0 ? (size_t)r->length : n;
}

static void write_whole(const char* path, size_t n)
{
    FILE* f = fopen(path, "wb");
    EXPECT(f != NULL && fwrite(file, 1, n, f) == n && fclose(f) == 0, "cannot write %s", path);
}

/* Each resource as "'TYPE' ID "NAME" HEX\n", with its data, in order, each
 * also found by its id and by its name, its data read in parts that cut its
 * elements first. 0, or the code of a tamb_read or tamb_data that failed. */
static int list_resources(tamb_file* f, char* out, size_t room)
{
    size_t i, k;
    out[0] = '\0';
    for (i = 0; i < tamb_count(f); ++i) {
        tamb_resource r, again;
        const void* data = NULL;
        size_t size = 0;
        char* end = out + strlen(out);
        unsigned char parts[64];
        int code;
        EXPECT(tamb_resource_at(f, i, &r) == 0 && r.index == i, "resource %zu", i);
        EXPECT(tamb_find(f, r.type, r.id, &again) == 0 && again.index == i, "find %zu", i);
        EXPECT(tamb_find_named(f, r.type, r.name, &again) == 0 && again.index == i, "named %zu", i);
        for (k = 0; k < r.size && k < sizeof parts; k += 3)
            if ((code = tamb_read(f, &r, k, parts + k, r.size - k < 3 ? r.size - k : 3)) != 0)
                return code;
        if ((code = tamb_data(f, &r, &data, &size)) != 0)
            return code;
        EXPECT(data != NULL && size == r.size && memcmp(data, parts, size < 64 ? size : 64) == 0,
               "data of %zu", i);
        end += sprintf(end, "'%c%c%c%c' %d \"%s\" ", (int)(r.type >> 24), (int)(r.type >> 16 & 0xFF),
                       (int)(r.type >> 8 & 0xFF), (int)(r.type & 0xFF), (int)r.id, r.name);
        for (k = 0; k < size && (size_t)(end - out) + 4 < room; ++k)
            end += sprintf(end, "%02X", ((const unsigned char*)data)[k]);
        strcpy(end, "\n");
    }
    return 0;
}

/* Whether the data of every resource lies in the n bytes at image. */
static int all_lent(tamb_file* f, const unsigned char* image, size_t n)
{
    size_t i;
    int lent = 1;
    for (i = 0; i < tamb_count(f); ++i) {
        tamb_resource r;
        const void* data = NULL;
        size_t size = 0;
        tamb_resource_at(f, i, &r);
        if (tamb_data(f, &r, &data, &size) != 0 || (const unsigned char*)data < image ||
            (const unsigned char*)data + size > image + n)
            lent = 0;
    }
    return lent;
}

/* The row's file as memory and as a FIFO written by a child: the same code
 * and error (named "memory", or the FIFO's path) and the same resources as
 * the file. Data of a little-endian image is lent where it lies, converted
 * data (a big-endian image's 'LONG', a text's) is not. */
static void run_elsewhere(const struct row* r, const char* dir, int code, const char* listing)
{
    char path[512], error[1024], got[4096] = "";
    const size_t n = make_file(r);
    tamb_file* f = NULL;
    int pass, now;
    for (pass = 0; pass < 2; ++pass) {
        sprintf(path, "%s/%s.fifo", dir, r->name);
        if (pass == 0) {
            now = tamb_open_memory(file, n, &f);
        } else {
            pid_t child;
            EXPECT(mkfifo(path, 0600) == 0, "mkfifo %s", path);
            if ((child = fork()) == 0) {
                const int fd = open(path, O_WRONLY);
                _exit(fd >= 0 && write(fd, file, n) == (ssize_t)n ? 0 : 1);
            }
            now = tamb_open(path, &f);
            EXPECT(child > 0 && waitpid(child, NULL, 0) == child, "%s: the writer", path);
        }
        got[0] = '\0';
        if (now == 0) {
            EXPECT(tamb_byte_order(f) == (r->kind == resf || r->kind == pef ? 2 : 1), "order");
            now = list_resources(f, got, sizeof got);
            if (pass == 0)
                EXPECT(all_lent(f, file, n) == (r->kind == rs || r->kind == pe), "%s: lent", r->name);
            tamb_close(f);
        }
        sprintf(error, pass == 0 && strstr(r->name, "file line") != NULL ? in_memory : r->error,
                pass == 0 ? "memory" : path);
        EXPECT(now == code && strcmp(got, listing) == 0, "%s %d: code %d, wanted %d (%s)", r->name,
               pass, now, code, tamb_error());
        if (code != 0)
            EXPECT(strcmp(tamb_error(), error) == 0, "%s %d: error \"%s\", wanted \"%s\"", r->name,
                   pass, tamb_error(), error);
    }
}

static void run_row(const struct row* r, const char* dir)
{
    char path[512], error[1024], listing[4096] = "";
    tamb_file* f = (tamb_file*)&failures; /* anything but null */
    int code;
    sprintf(path, "%s/%s", dir, r->name);
    if (r->kind == directory)
        EXPECT(mkdir(path, 0777) == 0, "mkdir %s", path);
    else if (r->kind != missing)
        write_whole(path, make_file(r));
    code = tamb_open(path, &f);
    if (code != 0) {
        EXPECT(f == NULL, "%s: a failed open leaves a handle", r->name);
    } else {
        EXPECT(tamb_byte_order(f) == (r->kind == resf || r->kind == pef ? TAMB_BIG_ENDIAN : 1),
               "%s: byte order %d", r->name, tamb_byte_order(f));
        if (r->changed) {
            FILE* grown = fopen(path, "ab");
            EXPECT(grown != NULL && fputc(0, grown) == 0 && fclose(grown) == 0, "grow %s", path);
        }
        code = list_resources(f, listing, sizeof listing);
        tamb_close(f);
    }
    sprintf(error, r->error, path);
    EXPECT(code == r->code, "%s: code %d, wanted %d (%s)", r->name, code, r->code, tamb_error());
    if (r->code != 0)
        EXPECT(strcmp(tamb_error(), error) == 0, "%s: error \"%s\", wanted \"%s\"", r->name,
               tamb_error(), error);
    else
        EXPECT(strcmp(listing, r->resources) == 0, "%s: resources\n%s, wanted\n%s", r->name,
               listing, r->resources);
    if (r->kind != missing && r->kind != directory && !r->changed)
        run_elsewhere(r, dir, code, listing);
}

/* 'LONG' 1, 'LONG' 2 (placed with the first of its type) and 'CSTR' 5. */
static const char three[] = "# tamb resource text 1\nresource 'LONG' 1\n int32 1\n"
                            "resource 'CSTR' 5\n text \"hi\"\nresource 'LONG' 2\n int32 2\n";

/* The calls around the table: type codes, lookups that fail, arguments,
 * types' runs, the version, and resources not of the handle. */
static void run_calls(const char* dir)
{
    char path[512], name[1001], want[1100], version[64];
    tamb_file *f = NULL, *g = NULL;
    tamb_resource r, copy;
    int i;
    const void* data;
    size_t size, first = 9, count = 9, k;
    unsigned char part[4];
    EXPECT(tamb_open_memory(three, sizeof three - 1, &g) == 0 &&
               tamb_type_range(g, tamb_type("LONG"), &first, &count) == 0 && first + count == 2 &&
               tamb_type_range(g, tamb_type("CSTR"), &first, &count) == 0 && first + count == 3 &&
               tamb_type_range(g, tamb_type("RECT"), &first, &count) == TAMB_E_NOT_FOUND &&
               count == 0 && strcmp(tamb_error(), "no resource of type 'RECT'") == 0,
           "runs %zu %zu (%s)", first, count, tamb_error());
    tamb_close(g);
    sprintf(version, "%d.%d.%d", TAMB_VERSION_MAJOR, TAMB_VERSION_MINOR, TAMB_VERSION_PATCH);
    EXPECT(strcmp(tamb_version(), version) == 0 && strcmp(version, TAMB_PROJECT_VERSION) == 0,
           "version %s, header %s, tamb %s", tamb_version(), version, TAMB_PROJECT_VERSION);
    EXPECT(tamb_type("APPV") == 0x41505056u && TAMB_TYPE('A', 'P', 'P', 'V') == 0x41505056u, "APPV");
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    char none[600];
    sprintf(none, "no resources embedded in %.*s", (int)(n > 0 ? n : 0), path);
    EXPECT(tamb_open_self(&f) == TAMB_E_NOT_RESOURCE_FILE && f == NULL &&
               strcmp(tamb_error(), none) == 0, "open_self: %s", tamb_error());
    EXPECT(tamb_open(NULL, &f) == TAMB_E_ARGUMENT, "null path");
    EXPECT(tamb_open_memory(NULL, 1, &f) == TAMB_E_ARGUMENT && f == NULL, "null bytes");
    sprintf(path, "%s/%s", dir, rows[0].name);
    if (tamb_open(path, &f) != 0) {
        EXPECT(0, "%s: %s", path, tamb_error());
        return;
    }
    for (i = -1; i <= 1; i += 2) { /* an absent id of a present type, before its id and after */
        sprintf(want, "no resource 'LONG' %d", 1 + i);
        EXPECT(tamb_find(f, TAMB_TYPE('L', 'O', 'N', 'G'), 1 + i, &r) == TAMB_E_NOT_FOUND &&
                   strcmp(tamb_error(), want) == 0, "%s", tamb_error());
    }
    /* An error text cut at 1023 bytes ends before a character it would cut:
     * a four-byte one from byte 1021 on. */
    memset(name, 'a', 995);
    strcpy(name + 995, "\xF0\x9F\x98\x80" "b");
    sprintf(want, "no resource 'LONG' named \"%.995s", name);
    EXPECT(tamb_find_named(f, TAMB_TYPE('L', 'O', 'N', 'G'), name, &r) == TAMB_E_NOT_FOUND &&
               strcmp(tamb_error(), want) == 0, "%s", tamb_error());
    EXPECT(tamb_find_named(f, TAMB_TYPE('L', 'O', 'N', 'G'), "b", &r) == TAMB_E_NOT_FOUND &&
               strcmp(tamb_error(), "no resource 'LONG' named \"b\"") == 0, "%s", tamb_error());
    EXPECT(tamb_resource_at(f, 1, &r) == TAMB_E_ARGUMENT, "index 1 of 1");
    EXPECT(tamb_resource_at(f, 0, &r) == 0, "index 0");
    EXPECT(tamb_read(f, &r, 2, part, 3) == TAMB_E_ARGUMENT &&
               tamb_read(f, &r, UINT64_MAX, part, 2) == TAMB_E_ARGUMENT, "past the end");
    EXPECT(tamb_open(path, &g) == 0 && tamb_resource_at(g, 0, &copy) == 0, "%s", tamb_error());
    EXPECT(tamb_data(f, &copy, &data, &size) == TAMB_E_ARGUMENT &&
               tamb_read(f, &copy, 0, part, 1) == TAMB_E_ARGUMENT &&
               tamb_release(f, &copy) == TAMB_E_ARGUMENT, "another handle's resource");
    tamb_close(g);
    for (k = 0; k < 3; ++k) { /* copies with another id, size or name */
        copy = r;
        copy.id += k == 0;
        copy.size -= k == 1;
        copy.name = k == 2 ? "a" : r.name;
        EXPECT(tamb_data(f, &copy, &data, &size) == TAMB_E_ARGUMENT &&
                   strcmp(tamb_error(), "tamb_data(): not a resource of this file") == 0, "%zu", k);
    }
    tamb_close(f);
    tamb_close(NULL);
}

int main(void)
{
    char dir[] = "/tmp/library_test.XXXXXX", command[64];
    FILE* err = tmpfile();
    const int saved = dup(2);
    size_t i;
    EXPECT(strcmp(tamb_error(), "") == 0, "before any failure: \"%s\"", tamb_error());
    if (mkdtemp(dir) == NULL || err == NULL || saved < 0 || dup2(fileno(err), 2) < 0) {
        printf("cannot make a scratch directory\n");
        return 1;
    }
    for (i = 0; i < sizeof rows / sizeof rows[0]; ++i)
        run_row(&rows[i], dir);
    run_calls(dir);
    fflush(stderr);
    dup2(saved, 2);
    EXPECT(ftell(err) == 0 && lseek(fileno(err), 0, SEEK_END) == 0, "the library printed");
    sprintf(command, "rm -rf %s", dir);
    if (system(command) != 0)
        printf("cannot remove %s\n", dir);
    printf("%zu rows, %d failed\n", sizeof rows / sizeof rows[0], failures);
    return failures == 0 ? 0 : 1;
}
