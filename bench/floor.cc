// The floor that tamb's merge and listing are measured against: a program
// that does, per resource, the least a resource-at-a-time tool must do,
// one lseek and one read of the resource's data and one write of it.
//
// floor OUTPUT INPUT...
//
// Each INPUT is an x86 resource file ("RS\0\0", then a little-endian image,
// as make_input writes them). Its chunk map is read in one go; then every
// data chunk in it is read with lseek + read and written to OUTPUT with one
// write. Nothing else is parsed, converted or kept.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

uint32_t le32(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

int copy_chunks(const char* path, int out)
{
    int in = open(path, O_RDONLY);
    unsigned char header[72], slot0[12];
    if (in < 0 || pread(in, header, sizeof header, 0) != ssize_t(sizeof header) ||
        pread(in, slot0, 12, 4 + le32(header + 12)) != 12) {
        std::fprintf(stderr, "floor: cannot read %s\n", path);
        return 1;
    }
    const off_t base = 4;
    const uint32_t bytes = le32(slot0 + 4);
    std::vector<unsigned char> map(bytes);
    if (pread(in, map.data(), bytes, base + le32(header + 12)) != ssize_t(bytes)) {
        std::fprintf(stderr, "floor: cannot read the chunk map of %s\n", path);
        return 1;
    }
    std::vector<unsigned char> data;
    for (uint32_t slot = 11; slot < bytes / 12; ++slot) {
        const unsigned char* s = map.data() + 12 * slot;
        const int32_t size = int32_t(le32(s + 4)), kind = int32_t(le32(s + 8));
        if (kind != 0 || size < 0)
            continue;
        data.resize(size_t(size));
        if (lseek(in, base + le32(s), SEEK_SET) < 0 || read(in, data.data(), data.size()) != size ||
            write(out, data.data(), data.size()) != size) {
            std::fprintf(stderr, "floor: cannot copy a chunk of %s\n", path);
            return 1;
        }
    }
    close(in);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: floor OUTPUT INPUT...\n");
        return 2;
    }
    int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) {
        std::perror(argv[1]);
        return 1;
    }
    for (int i = 2; i < argc; ++i)
        if (copy_chunks(argv[i], out) != 0)
            return 1;
    return close(out) == 0 ? 0 : 1;
}
