// The one way a procedure reports its failure: one line on standard error,
// then the result -1, so that a failing path reads `return fail("...");`.
#pragma once

#include <cstdarg>
#include <cstdio>

__attribute__((format(printf, 1, 2))) inline int fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    return -1;
}
