// Several threads reading one handle at once: each thread walks every
// resource of two open files (one little-endian, one big-endian, each with
// data small and large, typed and not) and of the same two images opened
// from memory, many times, finding each by its index, its id and its name
// and checking its bytes. The threads start together, so that first reads
// of data meet. Before them, each shape's data is read in parts, and one
// thread is held inside its read while another handle opens and reads;
// after them, the files hold no descriptor, and released data is read
// again. Run under ThreadSanitizer by the `threads` preset (and by the
// other builds without it).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstring>
#include <fcntl.h>
#include <latch>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
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
    // Each shape, read from the file (an element cut short at the end; names
    // of 'RREF' records short and long, and the last without its NUL).
    for (const char* t : {"SHRT", "LONG", "DBLE", "MSNG", "APPV", "RREF"}) {
        value v{tamb_type(t), 2000, t, {}};
        for (size_t k = 0; v.data.size() < 9000; ++k) { // values, a name and its NUL
            for (size_t b = 0; b < 12; ++b)
                v.data.push_back(uint8_t(k * 13 + b + 1));
            v.data.insert(v.data.end(), k == 50 ? 3000 : k % 40 + 1, 'n');
            v.data.push_back(0);
        }
        v.data.resize(9021, 'x');
        for (size_t k = 0; t[0] != 'R' && k < v.data.size(); ++k)
            v.data[k] = uint8_t(k * 7 + 1);
        out.push_back(v);
    }
    return out;
}

// Under the library's reads: bytes are counted, and a read on a thread that
// asks to be held waits inside until let go (at most 10 s).
ssize_t (*system_pread)(int, void*, size_t, off_t) = nullptr;
std::atomic<int64_t> bytes_read{0};
std::atomic<bool> inside{false}, let_go{false}, timed_out{false};
thread_local bool hold_here = false;

bool wait_for(const std::atomic<bool>& flag)
{
    for (int i = 0; i < 10000 && !flag; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return flag;
}

ssize_t seam_pread(int fd, void* p, size_t n, off_t at)
{
    if (hold_here) {
        hold_here = false;
        inside = true;
        timed_out = !wait_for(let_go);
    }
    const ssize_t got = system_pread(fd, p, n, at);
    bytes_read += std::max<ssize_t>(got, 0);
    return got;
}

// v's data read with tamb_read in parts of `part` bytes, forwards or
// backwards: whether they are its bytes.
bool read_in_parts(tamb_file* f, const value& v, size_t part, bool backwards)
{
    tamb_resource r;
    std::vector<unsigned char> got(v.data.size());
    bool ok = tamb_find(f, v.type, v.id, &r) == 0;
    for (size_t k = 0; ok && k < got.size(); k += part) {
        const size_t n = std::min(part, got.size() - k), at = backwards ? got.size() - k - n : k;
        ok = tamb_read(f, &r, at, got.data() + at, n) == 0;
    }
    return ok && got == v.data;
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
    const auto open_descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto descriptors = open_descriptors();
    system_pread = syscalls.pread;
    syscalls.pread = seam_pread;
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
    int costly = 0;
    for (tamb_file* f : {files[0], files[1], files[3]})
        for (size_t part : {3, 100, 4099})
            for (size_t i = vs.size() - 6; i < vs.size(); ++i) {
                // Forwards, each part costs its length, an element's and a record's.
                const int64_t before = bytes_read, size = int64_t(vs[i].data.size());
                bad += !read_in_parts(f, vs[i], part, false);
                costly += bytes_read - before >
                          2 * size + (size / int64_t(part) + 1) * int64_t(part + 404);
                bad += !read_in_parts(f, vs[i], 701, true);
            }
    tamb_resource held_r;
    bool meanwhile = false, held_read = tamb_find(files[0], type_code("LONG"), 1000, &held_r) == 0;
    std::thread held([&] {
        const void* data;
        size_t size;
        hold_here = true;
        held_read = held_read && tamb_data(files[0], &held_r, &data, &size) == 0;
    });
    if (wait_for(inside)) {
        tamb_file* other = nullptr;
        meanwhile =
            tamb_open(big.c_str(), &other) == 0 && read_in_parts(other, vs[24], 1 << 16, false);
        tamb_close(other);
    }
    let_go = true;
    held.join();
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
    const bool given_back = open_descriptors() == descriptors; // the files have none
    tamb_resource r;
    const void* data;
    size_t size;
    bool again = tamb_find(files[1], type_code("LONG"), 1000, &r) == 0 &&
                 tamb_release(files[1], &r) == 0 && tamb_data(files[1], &r, &data, &size) == 0 &&
                 std::memcmp(data, vs[24].data.data(), size) == 0 && open_descriptors() == descriptors;
    if (FILE* grown = std::fopen(big.c_str(), "ab"); grown != nullptr && std::fputc(0, grown) == 0)
        std::fclose(grown);
    again = again && tamb_release(files[1], &r) == 0 &&
            tamb_data(files[1], &r, &data, &size) == TAMB_E_DATA &&
            tamb_error() == big + " changed since it was opened";
    bool counted = true;
    for (tamb_file* f : files) {
        counted = counted && tamb_count(f) == vs.size();
        tamb_close(f);
    }
    unlink(little.c_str());
    unlink(big.c_str());
    rmdir(dir);
    std::printf("%d threads, %d rounds over %zu resources in 2 files and 2 images: %d mismatches; "
                "%d costly parts; read meanwhile %d, held read %d; descriptors given back %d; "
                "read again %d\n",
                thread_count, rounds, vs.size(), bad.load(), costly, meanwhile,
                held_read && !timed_out, given_back, again);
    const bool ok = bad == 0 && counted && costly == 0 && meanwhile && held_read && !timed_out;
    return ok && given_back && again ? 0 : 1;
}
