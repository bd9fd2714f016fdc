// The one way a procedure reports its failure: one line on standard error,
// then the result -1, so that a failing path reads `return fail("...");`.
#pragma once

#include <cstdarg>
#include <cstdio>

#if defined(__MINGW32__)
#define TAMB_PRINTF_FORMAT gnu_printf // mingw-w64's C99 printf (__USE_MINGW_ANSI_STDIO)
#else
#define TAMB_PRINTF_FORMAT printf
#endif

__attribute__((format(TAMB_PRINTF_FORMAT, 1, 2))) inline int fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    return -1;
}
