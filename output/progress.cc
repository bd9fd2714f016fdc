// The progress line: the system-call table's writes, copies and reads
// counted and cut into pieces while a meter lives.
#include "output/progress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "resfile/fail.h"

namespace {

using progress_clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr size_t piece_at_most = size_t(1) << 20;

struct meter_state {
    bool active = false;
    bool drawn = false;
    int64_t total = 0, done = 0;
    progress_clock::time_point start, last_drawn;
    system_calls saved; // the table's entries before the meter came
};
meter_state meter;

// n bytes as "512 B", "12.5 KiB", "3.0 MiB" or "1.2 GiB".
std::string amount(double n)
{
    const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    for (; n >= 1024 && unit + 1 < std::size(units); ++unit)
        n /= 1024;
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", n, units[unit]);
    return text;
}

// Counts what a call moved and draws the line when it is due.
void moved(ssize_t n)
{
    if (n > 0)
        meter.done += n;
    const progress_clock::time_point now = progress_clock::now();
    if (now - meter.start <= 1s || (meter.drawn && now - meter.last_drawn < 100ms))
        return;
    const double seconds = std::chrono::duration<double>(now - meter.start).count();
    const std::string line = "\rtamb: " + amount(double(std::min(meter.done, meter.total))) +
                             " of " + amount(double(meter.total)) + ", " +
                             amount(double(meter.done) / seconds) + "/s\033[K";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    meter.drawn = true;
    meter.last_drawn = now;
}

ssize_t counted_write(int fd, const void* buffer, size_t length)
{
    const ssize_t n = meter.saved.write(fd, buffer, std::min(length, piece_at_most));
    moved(n);
    return n;
}

// A gathered write made as several of at most a piece each: the count of
// them all, up to the first that comes up short.
ssize_t counted_writev(int fd, const iovec* parts, int count)
{
    ssize_t total = 0;
    size_t offset = 0; // into parts[i]
    for (int i = 0; i < count;) {
        iovec piece[64];
        int n = 0;
        size_t bytes = 0;
        for (int j = i; j < count && n < 64 && bytes < piece_at_most; ++j) {
            const size_t from = j == i ? offset : 0;
            const size_t take = std::min(parts[j].iov_len - from, piece_at_most - bytes);
            piece[n++] = iovec{static_cast<char*>(parts[j].iov_base) + from, take};
            bytes += take;
        }
        const ssize_t k = bytes > 0 ? meter.saved.writev(fd, piece, n) : 0;
        moved(k);
        if (k < 0)
            return total > 0 ? total : k;
        total += k;
        size_t left = size_t(k);
        for (; i < count && left >= parts[i].iov_len - offset; ++i) {
            left -= parts[i].iov_len - offset;
            offset = 0;
        }
        offset += left;
        if (size_t(k) < bytes)
            break;
    }
    return total;
}

ssize_t counted_copy(int in, off_t* in_at, int out, off_t* out_at, size_t length, unsigned flags)
{
    const ssize_t n =
        meter.saved.copy_file_range(in, in_at, out, out_at, std::min(length, piece_at_most), flags);
    moved(n);
    return n;
}

ssize_t watched_read(int fd, void* buffer, size_t length)
{
    const ssize_t n = meter.saved.read(fd, buffer, length);
    moved(0);
    return n;
}

ssize_t watched_pread(int fd, void* buffer, size_t length, off_t at)
{
    const ssize_t n = meter.saved.pread(fd, buffer, length, at);
    moved(0);
    return n;
}

} // namespace

progress_meter::progress_meter(int64_t total)
{
    const bool shown = progress_wanted == progress_mode::always ||
                       (progress_wanted == progress_mode::automatic && is_terminal(2));
    if (!shown || meter.active)
        return;
    started = true;
    allow_terminal_sequences(2);
    meter = meter_state{true, false, total, 0, progress_clock::now(), {}, syscalls};
    syscalls.write = counted_write;
    syscalls.writev = counted_writev;
    syscalls.copy_file_range = counted_copy;
    syscalls.read = watched_read;
    syscalls.pread = watched_pread;
    before_failure_line = erase_progress;
}

progress_meter::~progress_meter()
{
    if (!started)
        return;
    erase_progress();
    syscalls.write = meter.saved.write;
    syscalls.writev = meter.saved.writev;
    syscalls.copy_file_range = meter.saved.copy_file_range;
    syscalls.read = meter.saved.read;
    syscalls.pread = meter.saved.pread;
    before_failure_line = nullptr;
    meter.active = false;
}

void erase_progress()
{
    if (!meter.drawn)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    meter.drawn = false;
}
