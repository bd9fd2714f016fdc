/* libtamb: reading resources at run time.
 *
 * A program opens a file that holds resources (a resource file shipped
 * beside it or, on Windows, its own executable), an image in memory, or
 * the resources built into it (tamb_open_self), and reads them as tamb reads
 * an input: any of the four containers (an x86 resource file, a PE
 * executable, a PowerPC resource file, a PEF executable) or tamb's text
 * form; a later resource of the same type and id replaces an earlier one in
 * its place; the data of the known types comes in host order, as tamb's
 * list holds it.
 *
 *     tamb_file* f;
 *     tamb_resource r;
 *     const void* data;
 *     size_t size;
 *     if (tamb_open("app.rsrc", &f) != 0) {
 *         fprintf(stderr, "app: %s\n", tamb_error());
 *         return 1;
 *     }
 *     if (tamb_find(f, TAMB_TYPE('C', 'S', 'T', 'R'), 128, &r) == 0 &&
 *         tamb_data(f, &r, &data, &size) == 0)
 *         fwrite(data, 1, size, stdout);
 *     tamb_close(f);
 *
 * Every function that can fail answers 0 on success and a negative
 * tamb_code on failure, after which tamb_error() gives its text. Nothing
 * prints, exits or throws. The only allocation the caller frees is the
 * handle, with tamb_close. The manual page is libtamb(3).
 *
 * Usable from C (C99) and C++. Link with the C++ runtime too: the
 * pkg-config file (pkg-config --static --libs tamb) and the CMake target
 * tamb::resources (find_package(tambresources)) name it.
 */
#ifndef TAMB_RESOURCES_H
#define TAMB_RESOURCES_H

#include <stddef.h>
#include <stdint.h>

#include "tamb/version.h" /* TAMB_VERSION_MAJOR, TAMB_VERSION_MINOR, TAMB_VERSION_PATCH */

#ifdef __cplusplus
extern "C" {
#endif

/* The results of the functions that can fail. */
enum tamb_code {
    TAMB_OK = 0,
    /* A null pointer where one is needed, an index past the last resource,
     * a range past the end of the data, or a tamb_resource that is not
     * this file's, exactly as it gave it. */
    TAMB_E_ARGUMENT = -1,
    /* No resource of that type and id (or name). */
    TAMB_E_NOT_FOUND = -2,
    /* The file cannot be opened. */
    TAMB_E_OPEN = -3,
    /* The file holds no resources: not a container tamb knows, or one
     * without a resource area. */
    TAMB_E_NOT_RESOURCE_FILE = -4,
    /* The resources cannot be read sound: a damaged or cut-short image
     * (anything tamb --check finds but a PE checksum and what only reading
     * the data finds), a read that failed, or a fault in a text form. */
    TAMB_E_DAMAGED = -5,
    /* A resource's data cannot be read whole, or its file is no longer
     * what it was when it was opened. */
    TAMB_E_DATA = -6,
    /* Memory ran out. */
    TAMB_E_MEMORY = -7,
    /* No longer returned (tamb_open_self once gave it outside Windows);
     * kept so that programs that name it still build. */
    TAMB_E_UNSUPPORTED = -8
};

/* An open file: its resources, read when it was opened, and their data, read
 * when first asked for. */
typedef struct tamb_file tamb_file;

/* One resource, as tamb_resource_at, tamb_find and tamb_find_named fill it.
 * Its name stays valid until the file is closed. */
typedef struct tamb_resource {
    uint32_t type;    /* the type code, first character in the top byte */
    int32_t id;
    const char* name; /* never null: "" for a resource without a name */
    size_t size;      /* the length of its data in bytes */
    size_t index;     /* its place in the file's order, from 0 */
} tamb_resource;

/* The type code of four characters, as tamb writes it ('APPV'): the first in
 * the most significant byte. A constant expression, for switch cases too. */
#define TAMB_TYPE(a, b, c, d)                                                         \
    ((uint32_t)(unsigned char)(a) << 24 | (uint32_t)(unsigned char)(b) << 16 |       \
     (uint32_t)(unsigned char)(c) << 8 | (uint32_t)(unsigned char)(d))

/* The type code of the first four bytes of code ("APPV"): TAMB_TYPE of
 * them. code must hold at least four bytes; a null code gives 0. */
uint32_t tamb_type(const char* code);

/* Opens the file at path (UTF-8) and reads its resources: the container,
 * the image's header, chunk map and map, whether data blocks overlap each
 * other or the image's own parts, and whether a type and id appear twice in
 * one map; or the whole text of a text form, whose data is held then. The
 * data of an image's blocks under 4 KiB (at most 8 MiB of it in all) is
 * read now, with the map, in as few reads as their places allow, and is
 * handed out later without a look at the file; larger data stays in the
 * file until tamb_data asks for it. A file that cannot seek, such as a pipe
 * or a FIFO, is read whole now and then read as an image in memory
 * (tamb_open_memory), its text's `file` lines taken from beside path. The PE
 * checksum is not looked at. Sets *out to the new handle, or to null on
 * failure. 0; TAMB_E_ARGUMENT, TAMB_E_OPEN, TAMB_E_NOT_RESOURCE_FILE,
 * TAMB_E_DAMAGED or TAMB_E_MEMORY. */
int tamb_open(const char* path, tamb_file** out);

/* Opens the size bytes at bytes, which the caller keeps unchanged until
 * tamb_close, as tamb_open opens a file of those bytes: any of the four
 * containers or the text form, read by the same procedures and checks. A
 * text in memory may not name files: a `file` line fails the open with
 * TAMB_E_DAMAGED and "memory:LINE: error: a text in memory cannot name a
 * file"; other texts name the image "memory". The data of a resource that
 * needs no conversion (any from a little-endian image; one of a type whose
 * data is not converted from a big-endian one) is handed out by tamb_data
 * as a pointer into bytes, with no copy and no system call; converted data
 * (and a text's) is made once, at opening, and kept. Sets *out to the new
 * handle, or to null on failure. 0; TAMB_E_ARGUMENT (a null out, or null
 * bytes with a size), TAMB_E_NOT_RESOURCE_FILE, TAMB_E_DAMAGED or
 * TAMB_E_MEMORY. */
int tamb_open_memory(const void* bytes, size_t size, tamb_file** out);

/* Opens the resources embedded in the module that calls it: the program's
 * own, or a shared library's (a DLL's) own when the library calls it, each
 * module its own image even when both embed one (the build links it in:
 * tamb_embed_resources in tamb's CMake package). The image is opened as
 * tamb_open_memory opens one, its data lent where it lies. On Windows, a
 * module with none embedded opens the resources attached to its own file
 * (the path GetModuleFileNameW gives), as tamb_open does. A module with
 * neither fails with TAMB_E_NOT_RESOURCE_FILE and "no resources embedded
 * in PATH", PATH its file. */
int tamb_open_self(tamb_file** out);

/* Closes the file and frees its handle, its resources and every piece of
 * data read from it. A null file is ignored. */
void tamb_close(tamb_file* file);

/* The text of the last call on this thread that failed: the first line tamb
 * would print for the problem, without its newline, such as
 * "parse_resource_map(): map checksum is bad", "read_block(): read()
 * failed", "data of 'LONG' 1 overlaps data of 'CSTR' 5" or, for a text form,
 * "PATH:LINE: error: WHAT"; where tamb itself says "error: cannot open PATH"
 * or "error: PATH is not a resource file", the same words without
 * "error: ". It is shown as on a terminal: control bytes (a type code may
 * hold a NUL), DEL and bytes that are not UTF-8 are '?'. "" before any
 * failure. The text belongs to the library (at most 1023 bytes); a later
 * failure on the same thread replaces it. */
const char* tamb_error(void);

/* The number of resources in the file (0 for a null file). */
size_t tamb_count(const tamb_file* file);

/* The resource at index (from 0, in the file's order: the types in the
 * order they first appear, the resources of one type together).
 * 0; TAMB_E_ARGUMENT for an index at or past tamb_count. */
int tamb_resource_at(const tamb_file* file, size_t index, tamb_resource* out);

/* The resource of this type and id. 0; TAMB_E_NOT_FOUND. */
int tamb_find(const tamb_file* file, uint32_t type, int32_t id, tamb_resource* out);

/* The first resource, in the file's order, of this type whose name is name
 * (compared byte for byte; "" finds one without a name). 0;
 * TAMB_E_NOT_FOUND. */
int tamb_find_named(const tamb_file* file, uint32_t type, const char* name,
                    tamb_resource* out);

/* Sets *data and *size to the resource's data, in host order (never a null
 * pointer, even for no bytes). The pointer may be unaligned: data that lies
 * in an image in memory is handed out where it lies, so copy it (memcpy)
 * before reading it as wider numbers. Data read at opening (a text's, a
 * small block's, an image's in memory) is handed out as it is; otherwise
 * the first call for a resource reads its data whole and checks that the
 * file is still what it was when it was opened; the bytes stay valid and
 * unchanged until tamb_release of the resource or tamb_close. resource
 * must be one this file gave, unchanged.
 * 0; TAMB_E_ARGUMENT, TAMB_E_DATA or TAMB_E_MEMORY (a call that fails may
 * be made again). */
int tamb_data(tamb_file* file, const tamb_resource* resource, const void** data, size_t* size);

/* Reads size bytes of the resource's data from offset, in host order, into
 * buffer, without holding the rest: a program streams a large resource in
 * memory of its own choosing. The bytes are those of the same range of
 * tamb_data's, even where the range cuts through an element or a record of
 * a converted type; reads at increasing offsets cost their own length. Data
 * already read whole is copied from memory; otherwise the file is checked
 * to be still what it was, as by tamb_data. 0; TAMB_E_ARGUMENT (a range
 * past the data's end, or a null buffer with a size), TAMB_E_DATA or
 * TAMB_E_MEMORY. */
int tamb_read(tamb_file* file, const tamb_resource* resource, uint64_t offset, void* buffer,
              size_t size);

/* Gives back the memory of the resource's data that tamb_data read, before
 * the file is closed: its pointer is no longer valid. A later tamb_data
 * reads the data again, from the file opened again by its path if its
 * descriptor was given back, and fails with TAMB_E_DATA unless that is the
 * same file, unchanged. Data that has no other place than the handle's
 * memory (a text form's inline data, data read from a pipe), data read at
 * opening and data lent from an image in memory are kept. 0 (also when
 * nothing was read); TAMB_E_ARGUMENT. */
int tamb_release(tamb_file* file, const tamb_resource* resource);

/* The byte order of the file's numbers. */
enum tamb_order {
    TAMB_LITTLE_ENDIAN = 1, /* an x86 resource file, a PE executable, a text form */
    TAMB_BIG_ENDIAN = 2     /* a PowerPC resource file, a PEF executable */
};

/* The byte order of the file's container (TAMB_LITTLE_ENDIAN or
 * TAMB_BIG_ENDIAN), so that a program can convert the data of its own
 * types; the data of the known types comes in host order whatever it is.
 * TAMB_E_ARGUMENT for a null file. */
int tamb_byte_order(const tamb_file* file);

/* The resources of one type lie together in the file's order: sets *first
 * to the index of the first and *count to their number. 0;
 * TAMB_E_NOT_FOUND (with *count 0) when the file holds none of that type. */
int tamb_type_range(const tamb_file* file, uint32_t type, size_t* first, size_t* count);

/* The library's version, "MAJOR.MINOR.PATCH": that of the tamb it came
 * with, and of TAMB_VERSION_MAJOR, TAMB_VERSION_MINOR and
 * TAMB_VERSION_PATCH when the program was built against the same one. */
const char* tamb_version(void);

/* Threads: after tamb_open has returned, any number of threads may use one
 * file at once with every function but tamb_close, which must come after
 * all of them; releasing data that another thread still uses, or reads, is
 * the caller's error. No read of data waits for another thread's: a read
 * takes the process's turn only to borrow the file's descriptor and to
 * give it back, and only the threads that ask for the same resource's data
 * whole wait for each other. Opening (which reads the map in that turn)
 * and closing take turns across the process.
 *
 * Descriptors: a file keeps a descriptor open while some resource's data
 * lies in it unread (at most 64 across the process; the others are opened
 * again by their path). Once every resource's data has been read whole or
 * released, the descriptor is given back. */

#ifdef __cplusplus
}
#endif

#endif
