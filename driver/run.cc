// Walking the command line: input files are located and read into the one
// resource list; output switches and the end of the arguments flush it.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "container/container.h"
#include "driver/driver.h"

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

// Writes the gathered list into the output file and empties the list.
int flush(resource_list& list, const char* path)
{
    open_file out(open(path, O_RDWR | O_CREAT, 0666));
    if (out.fd < 0)
        return error("error: cannot create %s\n", path);
    pe_format format = 0;
    if (position_at_map(out.fd, 1, &format) < 0)
        return error("error: output file %s is not a resource file\n", path);
    if (write_resource_file(list.head, out.fd, format, nullptr) < 0)
        return error("error: problem writing resource file %s\n", path);
    list.clear();
    return 0;
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
        return flush(list, output);
    if (!listing)
        std::fprintf(stderr, "warning: nothing written to %s [use --help for help]\n", output);
    return 0;
}
