// libtamb against GLib's GResource, reading the same resources: each
// opened once and every resource looked up and its data taken once.
//
// peers make DIR COUNT SIZE
//     writes COUNT resources of SIZE bytes (data that depends on i) as
//     DIR/files/<i> with DIR/bundle.xml, which glib-compile-resources turns
//     into a bundle (paths /r/<i / 1000>/<i>: a directory of a bundle that
//     holds many files takes the compiler time quadratic in their number),
//     and as DIR/tamb.rsrc, an x86 resource file of type 'blob', ids 0 to
//     COUNT - 1.
// peers KIND FILE COUNT SIZE
//     KIND tamb-memory (the file read into memory, then tamb_open_memory),
//     gres-memory (the same, then g_resource_new_from_data), tamb-file
//     (tamb_open) or gres-file (g_resource_load); then every resource by
//     its id or path, each of SIZE bytes, and the close. Prints the seconds
//     from the open to the close. The file is read into memory before the
//     clock starts. Around the open, getppid() marks the system calls that
//     come after it (for strace).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include <gio/gio.h>

#include "resfile/resfile.h"
#include "tamb/resources.h"

namespace {

int usage()
{
    std::fprintf(stderr, "usage: peers make DIR COUNT SIZE | peers KIND FILE COUNT SIZE\n");
    return 2;
}

std::vector<unsigned char> data_of(long i, long size)
{
    std::vector<unsigned char> d(static_cast<size_t>(size));
    uint32_t x = uint32_t(i) * 2654435761u + 1;
    for (auto& b : d)
        b = uint8_t((x = x * 1103515245u + 12345u) >> 24);
    return d;
}

std::string path_of(long i)
{
    return "/r/" + std::to_string(i / 1000) + "/" + std::to_string(i);
}

int make(const std::string& dir, long count, long size)
{
    const std::string files = dir + "/files";
    std::string xml = "<?xml version=\"1.0\"?>\n<gresources><gresource prefix=\"/r\">\n";
    resource_list list;
    if (system(("mkdir -p '" + files + "'").c_str()) != 0)
        return 1;
    for (long i = 0; i < count; ++i) {
        const auto d = data_of(i, size);
        std::ofstream(files + "/" + std::to_string(i), std::ios::binary)
            .write(reinterpret_cast<const char*>(d.data()), std::streamsize(d.size()));
        xml += "<file alias=\"" + path_of(i).substr(3) + "\">" + std::to_string(i) + "</file>\n";
        if (add_resource(&list.head, type_code("blob"), int32_t(i), d.data(), int32_t(size), "",
                         &list.index) != 0)
            return 1;
    }
    xml += "</gresource></gresources>\n";
    std::ofstream(dir + "/bundle.xml") << xml;
    const int fd = open((dir + "/tamb.rsrc").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    const bool ok = fd >= 0 && write(fd, "RS\0\0", 4) == 4 &&
                    write_resource_file(list.head, fd, 1, nullptr) == 0;
    if (fd >= 0)
        close(fd);
    return ok ? 0 : 1;
}

// Every resource through tamb: false when one is missing or its size is not SIZE.
bool read_tamb(tamb_file* f, long count, long size, unsigned long* sum)
{
    for (long i = 0; i < count; ++i) {
        tamb_resource r;
        const void* data;
        size_t n;
        if (tamb_find(f, TAMB_TYPE('b', 'l', 'o', 'b'), int32_t(i), &r) != 0 ||
            tamb_data(f, &r, &data, &n) != 0 || n != size_t(size))
            return false;
        *sum += static_cast<const unsigned char*>(data)[0];
    }
    return true;
}

bool read_gresource(GResource* g, const std::vector<std::string>& paths, long size,
                    unsigned long* sum)
{
    for (const std::string& p : paths) {
        GBytes* b = g_resource_lookup_data(g, p.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
        gsize n = 0;
        const auto* data = b != nullptr ? static_cast<const unsigned char*>(g_bytes_get_data(b, &n))
                                        : nullptr;
        if (data == nullptr || n != gsize(size))
            return false;
        *sum += data[0];
        g_bytes_unref(b);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5)
        return usage();
    const std::string kind = argv[1], file = argv[2];
    const long count = std::atol(argv[3]), size = std::atol(argv[4]);
    if (kind == "make")
        return make(file, count, size);
    std::vector<unsigned char> bytes;
    if (kind == "tamb-memory" || kind == "gres-memory") {
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<std::string> paths;
    for (long i = 0; kind[0] == 'g' && i < count; ++i)
        paths.push_back(path_of(i));
    unsigned long sum = 0;
    bool ok = false;
    const auto start = std::chrono::steady_clock::now();
    if (kind[0] == 't') {
        tamb_file* f = nullptr;
        const int opened = kind == "tamb-file" ? tamb_open(file.c_str(), &f)
                                               : tamb_open_memory(bytes.data(), bytes.size(), &f);
        getppid();
        ok = opened == 0 && read_tamb(f, count, size, &sum);
        getppid();
        tamb_close(f);
    } else if (kind[0] == 'g') {
        GBytes* b = g_bytes_new_static(bytes.data(), bytes.size());
        GResource* g = kind == "gres-file" ? g_resource_load(file.c_str(), nullptr)
                                           : g_resource_new_from_data(b, nullptr);
        getppid();
        ok = g != nullptr && read_gresource(g, paths, size, &sum);
        getppid();
        if (g != nullptr)
            g_resource_unref(g);
        g_bytes_unref(b);
    } else {
        return usage();
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (!ok) {
        std::fprintf(stderr, "peers: %s: cannot read %ld resources of %ld bytes: %s\n",
                     kind.c_str(), count, size, kind[0] == 't' ? tamb_error() : "GResource");
        return 1;
    }
    std::printf("%.6f %lu\n", took.count(), sum);
    return 0;
}
