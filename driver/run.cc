// Walking the command line: input files are located and read into the one
// resource list; output switches and the end of the arguments flush it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "container/container.h"
#include "driver/driver.h"
#include "output/output.h"

namespace {

// Owns the descriptor of one open file.
struct open_file {
    int fd;
    explicit open_file(int f) : fd(f) {}
    open_file(const open_file&) = delete;
    open_file& operator=(const open_file&) = delete;
    ~open_file()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Owns the gathered list and the index that finds places in it.
struct resource_list {
    resource* head = nullptr;
    resource_index index;
    resource_list() = default;
    resource_list(const resource_list&) = delete;
    resource_list& operator=(const resource_list&) = delete;
    ~resource_list() { clear(); }
    void clear()
    {
        free_resources(head);
        head = nullptr;
        clear_resource_index(&index);
    }
};

int error(const char* format, const char* name)
{
    std::fprintf(stderr, format, name);
    return 1;
}

// Writes the gathered list into the output file and empties the list. The
// output changes only when every step succeeds: on failure (or when the
// run is ended by a signal) it is left as it was.
int flush(resource_list& list, const char* path)
{
    // The list is only written from here on: its index can go first.
    clear_resource_index(&list.index);
    output_file out;
    if (open_output(&out, path) < 0)
        return error("error: cannot create %s\n", path);
    if (copy_output(&out) < 0)
        return error("error: problem writing resource file %s\n", path);
    // Written in place, the file keeps what the flush overwrites: the
    // resource-area word of a PE executable, then the image's bytes.
    if (out.way == output_way::in_place && keep_output_bytes(&out, pe_area_word(out.fd), 4) < 0)
        return error("error: problem writing resource file %s\n", path);
    pe_format format = 0;
    if (position_at_map(out.fd, 1, &format) < 0)
        return error("error: output file %s is not a resource file\n", path);
    if (out.way == output_way::in_place &&
        keep_output_bytes(&out, lseek(out.fd, 0, SEEK_CUR), image_length(list.head)) < 0)
        return error("error: problem writing resource file %s\n", path);
    if (write_resource_file(list.head, out.fd, format, nullptr) < 0 || commit_output(&out) < 0)
        return error("error: problem writing resource file %s\n", path);
    list.clear();
    return 0;
}

// Descriptors 0-2 that are closed are opened on /dev/null, so that no input
// or output file takes their place (and a listing never lands in an output).
void fill_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) < 0)
            return;
}

// The end of a run that has not failed: a listing that could not be fully
// written to standard output fails it.
int finish(int status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "error: problem writing the listing\n");
        return 1;
    }
    return status;
}

int gather(resource_list& list, const char* path, bool listing)
{
    open_file in(open(path, O_RDONLY));
    if (in.fd < 0)
        return error("error: cannot open %s\n", path);
    pe_format format = 0;
    if (position_at_map(in.fd, 0, &format) <= 0)
        return error("error: %s is not a resource file\n", path);
    if (read_resource_file(&list.head, in.fd, format, nullptr, &list.index) < 0)
        return error("error: problem reading resources from %s\n", path);
    if (listing) {
        print_listing(path, format, list.head);
        list.clear();
    }
    return 0;
}

} // namespace

int tamb_main(int argc, char** argv)
{
    fill_standard_descriptors();
    resource_list list;
    bool listing = false;
    const char* output = default_output_path;

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-?") == 0) {
            print_help(output);
            return 1;
        }
        if (std::strcmp(arg, "-l") == 0 || std::strcmp(arg, "--list") == 0) {
            listing = true;
            continue;
        }
        if (std::strcmp(arg, "-o") == 0 || std::strcmp(arg, "--output") == 0) {
            if (i + 1 >= argc || argv[i + 1] == nullptr) {
                std::fprintf(stderr, "error: --output requires an argument\n");
                return 1;
            }
            if (listing) {
                std::fprintf(stderr, "warning: output file is ignored when --list is in effect.\n");
            } else {
                if (list.head != nullptr && flush(list, output) != 0)
                    return 1;
                output = argv[i + 1];
            }
            ++i;
            continue;
        }
        if (gather(list, arg, listing) != 0)
            return 1;
    }

    if (list.head != nullptr)
        return flush(list, output) != 0 ? 1 : finish(0);
    if (!listing)
        std::fprintf(stderr, "warning: nothing written to %s [use --help for help]\n", output);
    return finish(0);
}
