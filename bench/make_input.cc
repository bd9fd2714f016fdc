// Makes resource files for the benchmarks with the project's own writer.
//
// make_input [-n COUNT] [-s SIZE] [-t TYPES] [-k FILES] [--names] [--opaque] [--kind rs|resf] OUTPUT
// make_input --pe BYTES OUTPUT
//
// Resource i (0 <= i < COUNT) has id i, SIZE data bytes that depend on i, the
// name "r<i>" with --names, and type code i % TYPES taken from the list of
// convertible array types (LONG, SHRT, DBLE, ...) first and then from unknown
// codes 'x000', 'x001', ... (with --opaque, only from those, so that no
// data is converted or read into memory by the merge). With -k FILES the resources are split into FILES
// files OUTPUT.0 ... OUTPUT.<FILES-1> by consecutive id ranges; otherwise the
// one file is OUTPUT. Within a file the records of one type are contiguous,
// ids ascending, as the merging tool keeps them. --kind rs writes an x86
// resource file ("RS\0\0", little-endian image); --kind resf a PowerPC one
// (40-byte header with "resf" at bytes 4-7, big-endian image). COUNT 0 with
// resf writes the bare 40-byte header, an empty output container.
//
// make_input --pe BYTES OUTPUT writes instead a PE executable of BYTES
// bytes with no resource area: "MZ", e_lfanew 64, "PE", a resource-area word
// of 0, and pseudo-random bytes after the headers.
//
// Records are built in place, so a file needs its data once in memory.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "resfile/resfile.h"

namespace {

constexpr uint32_t known_types[] = {
    type_code("LONG"), type_code("SHRT"), type_code("DBLE"), type_code("ULNG"),
    type_code("USHT"), type_code("LLNG"), type_code("FLOT"), type_code("TIME"),
    type_code("ULLG"), type_code("SIZT"), type_code("SSZT"), type_code("OFFT"),
    type_code("RECT"), type_code("BPNT"), type_code("APPF"),
};
constexpr int64_t known_count = sizeof known_types / sizeof known_types[0];

uint32_t type_of(int64_t t)
{
    if (t < known_count)
        return known_types[t];
    const char* digits = "0123456789abcdefghijklmnopqrstuvwxyz";
    int64_t u = t - known_count;
    return uint32_t('x') << 24 | uint32_t(digits[u / 1296 % 36]) << 16 |
           uint32_t(digits[u / 36 % 36]) << 8 | uint32_t(digits[u % 36]);
}

resource* make_record(int64_t i, uint32_t type, int64_t size, bool named)
{
    std::string name = named ? "r" + std::to_string(i) : "";
    auto* r = static_cast<resource*>(std::malloc(sizeof(resource) + name.size() + 1 + size_t(size)));
    if (r == nullptr) {
        std::fprintf(stderr, "make_input: out of memory\n");
        std::exit(1);
    }
    *r = resource{nullptr, type, int32_t(i), reinterpret_cast<char*>(r + 1), nullptr, int32_t(size), 0};
    std::memcpy(r->name, name.c_str(), name.size() + 1);
    r->data = reinterpret_cast<unsigned char*>(r->name + name.size() + 1);
    uint32_t x = uint32_t(i) * 2654435761u + 1;
    for (int64_t j = 0; j < size; ++j) {
        x = x * 1103515245u + 12345u;
        r->data[j] = uint8_t(x >> 24);
    }
    return r;
}

int write_file(const std::string& path, int64_t lo, int64_t hi, int64_t size, int64_t types,
               int64_t first_type, bool named, bool resf)
{
    resource* head = nullptr;
    resource** tail = &head;
    for (int64_t t = 0; t < types; ++t)
        for (int64_t i = lo + ((t - lo % types) % types + types) % types; i < hi; i += types) {
            *tail = make_record(i, type_of(first_type + t), size, named);
            tail = &(*tail)->next;
        }
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::perror(path.c_str());
        return 1;
    }
    unsigned char header[40] = {0, 0, 0, 0, 'r', 'e', 's', 'f'};
    ssize_t want = resf ? 40 : 4;
    int status = write(fd, resf ? header : reinterpret_cast<const unsigned char*>("RS\0\0"),
                       size_t(want)) == want ? 0 : 1;
    if (status == 0 && head != nullptr)
        status = write_resource_file(head, fd, resf ? 0 : 1, nullptr) == 0 ? 0 : 1;
    if (close(fd) != 0 || status != 0) {
        std::fprintf(stderr, "make_input: cannot write %s\n", path.c_str());
        status = 1;
    }
    while (head != nullptr) {
        resource* next = head->next;
        std::free(head);
        head = next;
    }
    return status;
}

int write_pe(const char* path, int64_t length)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::perror(path);
        return 1;
    }
    static unsigned char block[1 << 20];
    uint32_t x = 12345;
    int status = 0;
    for (int64_t at = 0; at < length && status == 0; at += sizeof block) {
        for (auto& b : block) {
            x = x * 1103515245u + 12345u;
            b = uint8_t(x >> 24);
        }
        if (at == 0) {
            std::memset(block, 0, 256);
            block[0] = 'M', block[1] = 'Z', block[60] = 64, block[64] = 'P', block[65] = 'E';
        }
        size_t n = size_t(std::min<int64_t>(sizeof block, length - at));
        status = write(fd, block, n) == ssize_t(n) ? 0 : 1;
    }
    if (close(fd) != 0 || status != 0) {
        std::fprintf(stderr, "make_input: cannot write %s\n", path);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int64_t count = 1000, size = 16, types = 1, files = 1, pe = -1, first_type = 0;
    bool named = false, resf = false, bad = false;
    const char* output = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "-n" && has_value) count = std::atoll(argv[++i]);
        else if (a == "-s" && has_value) size = std::atoll(argv[++i]);
        else if (a == "-t" && has_value) types = std::atoll(argv[++i]);
        else if (a == "-k" && has_value) files = std::atoll(argv[++i]);
        else if (a == "--pe" && has_value) pe = std::atoll(argv[++i]);
        else if (a == "--kind" && has_value) {
            std::string kind = argv[++i];
            resf = kind == "resf";
            bad = bad || (kind != "rs" && !resf);
        } else if (a == "--names") named = true;
        else if (a == "--opaque") first_type = known_count;
        else if (a[0] != '-' && output == nullptr) output = argv[i];
        else bad = true;
    }
    if (bad || output == nullptr || count < 0 || count > INT32_MAX || size < 0 || size > INT32_MAX ||
        types < 1 || files < 1) {
        std::fprintf(stderr, "usage: make_input [-n COUNT] [-s SIZE] [-t TYPES] [-k FILES] "
                             "[--names] [--opaque] [--kind rs|resf] OUTPUT\n"
                             "       make_input --pe BYTES OUTPUT\n");
        return 2;
    }
    if (pe >= 0)
        return write_pe(output, std::max<int64_t>(pe, 256));
    for (int64_t k = 0; k < files; ++k) {
        std::string path = files == 1 ? output : std::string(output) + "." + std::to_string(k);
        if (write_file(path, count * k / files, count * (k + 1) / files, size, types, first_type,
                       named, resf))
            return 1;
    }
    return 0;
}
