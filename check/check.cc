// Looking over what a read of an image saw. Every check is linear or
// n log n in the number of map entries, and prints at most one line per
// entry for each kind of problem, so that a hostile map cannot make it
// print without end.
#include "check/check.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <utility>

#include "container/container.h"
#include "platform/platform.h"
#include "resfile/fail.h"
#include "resfile/owned.h"

namespace {

using entry = image_seen::entry;

std::string named(const entry& e)
{
    return "'" + type_bytes(e.type) + "' " + std::to_string(e.id);
}

// True when the n bytes at a and the m bytes at b share one.
bool overlap(off_t a, int64_t n, off_t b, int64_t m)
{
    return n > 0 && m > 0 && a < b + m && b < a + n;
}

// Reads every block whose data stayed in the input, to its last byte.
int read_kept_data(int fd, const image_seen& seen)
{
    constexpr size_t chunk = size_t(1) << 20;
    owned<unsigned char> buffer;
    for (const entry& e : seen.entries) {
        if (!e.kept)
            continue;
        if (!buffer)
            buffer.reset(static_cast<unsigned char*>(std::malloc(chunk)));
        if (!buffer)
            return fail("check_resources(): read() failed\n");
        for (int64_t done = 0; done < e.size;) {
            const size_t want = size_t(std::min<int64_t>(int64_t(chunk), e.size - done));
            errno = 0;
            if (pread_all(fd, buffer.get(), want, e.data_at + done) != ssize_t(want))
                return fail_call("check_resources(): read() failed", errno);
            done += int64_t(want);
        }
    }
    return 0;
}

// Data blocks that share bytes with another one, or with the header, the
// chunk map, the hole map or the map. The blocks are taken in the order of their place in
// the file; one that starts before the furthest end met so far overlaps the
// block that reaches there, and is named with it. Each block that overlaps
// another is so named once, with the one it meets first in the file.
void find_overlaps(const image_seen& seen, std::vector<std::string>& problems)
{
    const std::vector<entry>& entries = seen.entries;
    std::vector<size_t> blocks;
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i].data_at >= 0 && entries[i].size > 0)
            blocks.push_back(i);
    std::sort(blocks.begin(), blocks.end(), [&](size_t a, size_t b) {
        return entries[a].data_at != entries[b].data_at ? entries[a].data_at < entries[b].data_at
                                                        : a < b;
    });
    std::vector<size_t> met(entries.size(), entries.size()); // none
    size_t reach = entries.size();
    off_t reach_end = 0;
    for (size_t i : blocks) {
        const off_t end = entries[i].data_at + entries[i].size;
        if (reach != entries.size() && entries[i].data_at < reach_end)
            met[i] = reach;
        if (reach == entries.size() || end > reach_end)
            reach = i, reach_end = end;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        const entry& e = entries[i];
        if (e.data_at < 0)
            continue;
        if (overlap(e.data_at, e.size, seen.base, header_length) ||
            overlap(e.data_at, e.size, seen.chunk_map_at, seen.chunk_map_length) ||
            overlap(e.data_at, e.size, seen.hole_map_at, hole_map_length) ||
            overlap(e.data_at, e.size, seen.map_at, seen.map_length))
            problems.push_back("data of " + named(e) +
                               " overlaps the header, the chunk map, the hole map or the map");
        if (met[i] != entries.size())
            problems.push_back("data of " + named(e) + " overlaps data of " + named(entries[met[i]]));
    }
}

// A type and id that more than one entry of the map carries, once each, in
// the order of their first entry.
void find_repeats(const image_seen& seen, std::vector<std::string>& problems)
{
    const std::vector<entry>& entries = seen.entries;
    std::vector<size_t> order(entries.size());
    std::iota(order.begin(), order.end(), size_t(0));
    auto key = [&](size_t i) { return std::pair(entries[i].type, entries[i].id); };
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return key(a) != key(b) ? key(a) < key(b) : a < b;
    });
    std::vector<size_t> firsts;
    for (size_t k = 1; k < order.size(); ++k)
        if (key(order[k]) == key(order[k - 1]) && (k == 1 || key(order[k - 2]) != key(order[k])))
            firsts.push_back(order[k - 1]);
    std::sort(firsts.begin(), firsts.end());
    for (size_t i : firsts)
        problems.push_back(named(entries[i]) + " appears more than once");
}

// The checksum of a PE executable that carries one, as a flush keeps it:
// not 0, in a real optional header, before the image.
int check_pe_checksum(int fd, off_t base, std::vector<std::string>& problems)
{
    const off_t at = pe_checksum_word(fd);
    if (at < 0 || at + 4 > base)
        return 0;
    unsigned char word[4];
    uint32_t computed = 0;
    errno = 0;
    if (pread_all(fd, word, 4, at) != 4 || pe_file_checksum(fd, at, &computed) != 0)
        return fail_call("check_resources(): read() failed", errno);
    const uint32_t stored = uint32_t(word[0]) | uint32_t(word[1]) << 8 | uint32_t(word[2]) << 16 |
                            uint32_t(word[3]) << 24;
    if (stored != computed) {
        char line[64];
        std::snprintf(line, sizeof line, "PE checksum is 0x%08x, the file's is 0x%08x",
                      unsigned(stored), unsigned(computed));
        problems.emplace_back(line);
    }
    return 0;
}

} // namespace

void find_layout_problems(const image_seen& seen, std::vector<std::string>& problems)
{
    find_overlaps(seen, problems);
    find_repeats(seen, problems);
}

int check_resources(int fd, const image_seen& seen, check_report* report)
{
    if (read_kept_data(fd, seen) != 0)
        return -1;
    find_layout_problems(seen, report->problems);
    return check_pe_checksum(fd, seen.base, report->problems);
}

int read_checked(resource** list, int fd, pe_format format, resource_index* index,
                 check_report* report)
{
    image_seen seen;
    failure_sink sink;
    int read = 0;
    {
        collecting_failures collecting(&sink);
        read = read_resource_file(list, fd, format, nullptr, index, &seen);
    }
    if (read < 0)
        return -1;
    report->reader_lines = std::move(sink.lines);
    return check_resources(fd, seen, report);
}

int read_kept_records(const resource* list)
{
    for (const resource* r = list; r != nullptr; r = r->next) {
        data_pieces pieces(r);
        const unsigned char* p = nullptr;
        for (ssize_t n; (n = next_piece(&pieces, &p)) != 0;)
            if (n < 0)
                return -1;
    }
    return 0;
}

int fail_unsound(const check_report& report)
{
    for (const std::string& p : report.problems)
        fail_shown("check_resources(): ", p);
    return report.sound() ? 0 : -1;
}
