// tamb with every write and copy made slow (0.15 s a call), so that a test
// sees the progress line of a long write.
#include <chrono>
#include <thread>

#include "driver/driver.h"
#include "platform/platform.h"

namespace {

system_calls system_own;

void slow_down()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

} // namespace

int main(int argc, char** argv)
{
    start_platform(&argc, &argv);
    system_own = syscalls;
    syscalls.write = [](int fd, const void* p, size_t n) { return slow_down(), system_own.write(fd, p, n); };
    syscalls.writev = [](int fd, const iovec* parts, int n) {
        return slow_down(), system_own.writev(fd, parts, n);
    };
    syscalls.copy_file_range = [](int in, off_t* in_at, int out, off_t* out_at, size_t n, unsigned f) {
        return slow_down(), system_own.copy_file_range(in, in_at, out, out_at, n, f);
    };
    return tamb_main(argc, argv);
}
