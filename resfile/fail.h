// The one way a procedure reports its failure: one line on standard error,
// then the result -1, so that a failing path reads `return fail("...");`.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "byteorder/byteorder.h"
#include "platform/platform.h"

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

// The same for a line that quotes a type code: `before`, the type's four
// bytes in quotes, a space and `after` (a terminal on stderr sees no
// control bytes in the type).
inline int fail_quoting(const char* before, uint32_t type, const std::string& after)
{
    const std::string t = type_bytes(type);
    const std::string line = before + ("'" + shown_on(2, t.data(), t.size()) + "' ") + after;
    std::fwrite(line.data(), 1, line.size(), stderr);
    return -1;
}
