#include "driver/driver.h"
#include "platform/platform.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char** argv)
{
#if defined(__GLIBC__)
    // Large blocks (chunk maps, map blocks, the map buffer) are mapped and
    // unmapped on their own rather than kept in the heap once freed, which
    // would raise the peak memory of a run that reads many files.
    mallopt(M_MMAP_THRESHOLD, 256 << 10);
#endif
    start_platform(&argc, &argv);
    return tamb_main(argc, argv);
}
