// tamb-embed TEMPLATE OBJECT ARGUMENT...: the build step of
// tamb_embed_resources. It runs as `tamb -o OBJECT ARGUMENT...` would, with
// the same checks, messages, depfile and exit status, but writes the merged
// image into OBJECT, an object file made from TEMPLATE (see object.h),
// instead of into a resource file: the image is written once, straight
// into what the linker reads.
//
// OBJECT is a build product like any compiler's object: it is removed
// first (so that no earlier image is merged in, and a failed run leaves
// none behind), written in place, and not synced to the disk. Inputs that
// hold no resources give an object that embeds none.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <vector>

#include "container/container.h"
#include "driver/driver.h"
#include "embed/object.h"
#include "platform/platform.h"
#include "resfile/fail.h"

namespace {

const char* template_path = nullptr;

int read_template(const char* path, std::vector<unsigned char>* bytes)
{
    const int fd = syscalls.open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return fail_call("read_template(): open() failed", errno);
    struct stat st;
    const bool small = syscalls.fstat(fd, &st) == 0 && st.st_size >= 0 && st.st_size <= (off_t(1) << 24);
    if (small)
        bytes->resize(size_t(st.st_size));
    const bool read = small && read_all(fd, bytes->data(), bytes->size()) == ssize_t(bytes->size());
    syscalls.close(fd);
    if (!small)
        return fail("read_template(): the template is not a file of at most 16 MiB\n");
    return read ? 0 : fail("read_template(): read() failed\n");
}

// The template, its image section moved to a 16-byte boundary after the
// template's own bytes and holding the image's length word (in the
// object's byte order), 8 bytes of padding, and then the image, `length`
// bytes, which the caller writes next.
int write_head(int fd, uint64_t length)
{
    std::vector<unsigned char> object;
    bool big_endian = false;
    if (read_template(template_path, &object) < 0)
        return -1;
    const uint64_t at = (uint64_t(object.size()) + 15) & ~uint64_t(15);
    if (fill_object_template(object, at, 16 + length, &big_endian) < 0)
        return -1;
    object.resize(at + 16, 0);
    for (int i = 0; i < 8; ++i)
        object[at + (big_endian ? 7 - i : i)] = static_cast<unsigned char>(length >> (8 * i));
    if (write_all(fd, object.data(), object.size()) != ssize_t(object.size()))
        return fail_call("write_head(): write() failed", errno);
    return 0;
}

// The image: a standalone x86 resource file's bytes.
int write_object(resource* list, int fd)
{
    const int64_t length = int64_t(sizeof x86_file_header) + image_length(list);
    if (write_head(fd, uint64_t(length)) < 0)
        return -1;
    const off_t at = syscalls.lseek(fd, 0, SEEK_CUR);
    if (write_all(fd, x86_file_header, sizeof x86_file_header) != ssize_t(sizeof x86_file_header))
        return fail_call("write_object(): write() failed", errno);
    if (write_resource_file(list, fd, 1, nullptr) < 0)
        return -1;
    if (at < 0 || syscalls.lseek(fd, 0, SEEK_END) != at + off_t(length))
        return fail("write_object(): the image is not as long as measured\n");
    return 0;
}

// The list into the object at path; with no list (nothing to embed), an
// image of length 0, which tamb_open_self takes as none embedded.
output_result flush_into_object(resource** records, const char* path)
{
    if (records != nullptr && check_image_fits(*records) < 0)
        return output_result::not_written;
    const int fd = syscalls.open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return output_result::cannot_create;
    int status = records != nullptr ? write_object(*records, fd) : write_head(fd, 0);
    if (syscalls.close(fd) != 0 && status == 0)
        status = fail_call("flush_into_object(): close() failed", errno);
    if (status == 0)
        return output_result::written;
    syscalls.unlink(path);
    return output_result::not_written;
}

// A build product is not synced, as no compiler syncs its objects: the
// build makes it again after a crash.
int no_sync(int)
{
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    start_platform(&argc, &argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: tamb-embed TEMPLATE OBJECT ARGUMENT...\n");
        return 2;
    }
    template_path = argv[1];
    if (syscalls.unlink(argv[2]) != 0 && errno != ENOENT) {
        std::fprintf(stderr, "error: cannot remove %s\n", argv[2]);
        return 1;
    }
    syscalls.fsync = no_sync;
    std::vector<char*> arguments{argv[0], const_cast<char*>("-o"), argv[2]};
    arguments.insert(arguments.end(), argv + 3, argv + argc);
    arguments.push_back(nullptr);
    // Inputs that hold no resources leave the driver nothing to write
    // (it warns so): the object then embeds none, and the target links.
    const int status = tamb_main(int(arguments.size()) - 1, arguments.data(), flush_into_object);
    struct stat st;
    if (status != 0 || syscalls.stat(argv[2], &st) == 0)
        return status;
    if (errno != ENOENT || flush_into_object(nullptr, argv[2]) != output_result::written) {
        std::fprintf(stderr, "error: cannot create %s\n", argv[2]);
        return 1;
    }
    return 0;
}
