// Several threads reading one handle at once: each thread walks every
// resource of two open files (one little-endian, one big-endian, each with
// data small and large, typed and not) and of the same two images opened
// from memory, many times, finding each by its
// index, its id and its name and checking its bytes. The threads start
// together, so that first reads of data meet. Run under ThreadSanitizer by
// the `threads` preset (and by the other builds without it).
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <cstring>
#include <fcntl.h>
#include <latch>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "resfile/resfile.h"
#include "tamb/resources.h"

namespace {

constexpr int thread_count = 4;
constexpr int rounds = 20;

struct value {
    uint32_t type;
    int32_t id;
    std::string name;
    std::vector<unsigned char> data;
};

// Resources of known types (converted between the byte orders) and others,
// small and large (the tool keeps 256 KiB or more in its file).
std::vector<value> values()
{
    std::vector<value> out;
    for (int i = 0; i < 24; ++i) {
        const char* types[] = {"LONG", "RECT", "DBLE", "CSTR", "SHRT", "blob"};
        const size_t sizes[] = {4, 16, 8, 13, 2, 3000};
        value v{tamb_type(types[i % 6]), i, "r" + std::to_string(i), {}};
        v.data.resize(sizes[i % 6] * size_t(1 + i / 6));
        for (size_t k = 0; k < v.data.size(); ++k)
            v.data[k] = uint8_t(k * 7 + size_t(i));
        out.push_back(v);
    }
    out.push_back({type_code("LONG"), 1000, "large", std::vector<unsigned char>(300 << 10, 5)});
    out.push_back({type_code("blob"), 1000, "", std::vector<unsigned char>(260 << 10, 9)});
    out.push_back({type_code("blob"), 1001, "empty", {}});
    return out;
}

// A resource file of the values: "RS\0\0" and a little-endian image, or a
// 'resf' header and a big-endian one.
bool write_file(const std::string& path, const std::vector<value>& vs, bool big_endian)
{
    resource* list = nullptr;
    for (const value& v : vs)
        add_resource(&list, v.type, v.id, v.data.data(), int32_t(v.data.size()), v.name.c_str());
    unsigned char header[40] = {'R', 'S', 0, 0};
    if (big_endian)
        std::memcpy(header, "\0\0\0\0resf", 8);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    const size_t n = big_endian ? 40 : 4;
    const bool ok = fd >= 0 && write(fd, header, n) == ssize_t(n) &&
                    write_resource_file(list, fd, big_endian ? 0 : 1, nullptr) == 0;
    if (fd >= 0)
        close(fd);
    free_resources(list);
    return ok;
}

// One thread's walks. The number of mismatches found.
int walk(tamb_file* f, const std::vector<value>& vs)
{
    int bad = 0;
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < vs.size(); ++i) {
            // Each thread takes the resources in another order.
            const value& v = vs[(i * 7 + size_t(round)) % vs.size()];
            tamb_resource r, by_name, at;
            const void* data = nullptr;
            size_t size = 0;
            if (tamb_find(f, v.type, v.id, &r) != 0 ||
                tamb_find_named(f, v.type, v.name.c_str(), &by_name) != 0 ||
                by_name.index != r.index || tamb_resource_at(f, r.index, &at) != 0 ||
                at.id != v.id || std::strcmp(r.name, v.name.c_str()) != 0 ||
                tamb_data(f, &r, &data, &size) != 0 || size != v.data.size() ||
                (size > 0 && std::memcmp(data, v.data.data(), size) != 0)) {
                ++bad;
            }
        }
    }
    return bad;
}

} // namespace

int main()
{
    char dir[] = "/tmp/library_threads.XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    const std::vector<value> vs = values();
    const std::string little = std::string(dir) + "/little.rsrc", big = std::string(dir) + "/big.rsrc";
    tamb_file* files[4] = {nullptr, nullptr, nullptr, nullptr};
    std::vector<char> images[2];
    const auto image = [&](const std::string& path, std::vector<char>& bytes, tamb_file** f) {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
        return tamb_open_memory(bytes.data(), bytes.size(), f) == 0;
    };
    if (!write_file(little, vs, false) || !write_file(big, vs, true) ||
        tamb_open(little.c_str(), &files[0]) != 0 || tamb_open(big.c_str(), &files[1]) != 0 ||
        !image(little, images[0], &files[2]) || !image(big, images[1], &files[3])) {
        std::printf("cannot make or open the files: %s\n", tamb_error());
        return 1;
    }
    std::atomic<int> bad{0};
    std::latch start(thread_count);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int k = 0; k < 4; ++k)
                bad += walk(files[(t + k) % 4], vs);
        });
    for (std::thread& t : threads)
        t.join();
    bool counted = true;
    for (tamb_file* f : files) {
        counted = counted && tamb_count(f) == vs.size();
        tamb_close(f);
    }
    unlink(little.c_str());
    unlink(big.c_str());
    rmdir(dir);
    std::printf("%d threads, %d rounds over %zu resources in 2 files and 2 images: %d mismatches\n",
                thread_count, rounds, vs.size(), bad.load());
    return bad == 0 && counted ? 0 : 1;
}
