// The one way a procedure reports its failure: one line on standard error,
// then the result -1, so that a failing path reads `return fail("...");`.
//
// A caller that wants to know what the procedures it calls reported (a
// check of a file, say) lets a failure_sink collect: every line is then
// also kept there, while it is printed exactly as ever. A quiet sink (the
// library's, which never prints) keeps the lines without printing them.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "byteorder/byteorder.h"
#include "platform/platform.h"

#if defined(__MINGW32__)
#define TAMB_PRINTF_FORMAT gnu_printf // mingw-w64's C99 printf (__USE_MINGW_ANSI_STDIO)
#else
#define TAMB_PRINTF_FORMAT printf
#endif

// The lines printed while it collected, in order, each as its bytes were
// before any terminal's '?' and without its newline.
struct failure_sink {
    std::vector<std::string> lines;
    bool quiet = false; // keep the lines, print nothing
};

// The sink collecting now, or null.
inline failure_sink* failure_collector = nullptr;

// Lets sink collect from its making to its end, then the one it replaced.
struct collecting_failures {
    failure_sink* replaced;
    explicit collecting_failures(failure_sink* sink) : replaced(failure_collector)
    {
        failure_collector = sink;
    }
    collecting_failures(const collecting_failures&) = delete;
    collecting_failures& operator=(const collecting_failures&) = delete;
    ~collecting_failures() { failure_collector = replaced; }
};

// Run before a failure line is printed, when set (the driver's progress
// line is erased then).
inline void (*before_failure_line)() = nullptr;

// True when the line is to be printed: no quiet sink collects it.
inline bool failure_printed()
{
    const bool printed = failure_collector == nullptr || !failure_collector->quiet;
    if (printed && before_failure_line != nullptr)
        before_failure_line();
    return printed;
}

inline void collect_failure(std::string line)
{
    if (failure_collector == nullptr)
        return;
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    failure_collector->lines.push_back(std::move(line));
}

__attribute__((format(TAMB_PRINTF_FORMAT, 1, 0))) inline std::string format_line(const char* format,
                                                                                 va_list args)
{
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    std::string line(n > 0 ? size_t(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(line.data(), line.size() + 1, format, args);
    return line;
}

__attribute__((format(TAMB_PRINTF_FORMAT, 1, 2))) inline int fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    if (failure_collector != nullptr) {
        va_list kept;
        va_copy(kept, args);
        collect_failure(format_line(format, kept));
        va_end(kept);
    }
    if (failure_printed())
        std::vfprintf(stderr, format, args);
    va_end(args);
    return -1;
}

// The line of a system call that failed: "TEXT: REASON\n", the reason
// being what error (errno) says; "TEXT\n" for one that came up short and
// set none (error 0).
inline int fail_call(const char* text, int error)
{
    return error != 0 ? fail("%s: %s\n", text, std::strerror(error)) : fail("%s\n", text);
}

// The same for a line that quotes a type code: `before`, the type's four
// bytes in quotes, a space and `after` (a terminal on stderr sees no
// control bytes in the type).
inline int fail_quoting(const char* before, uint32_t type, const std::string& after)
{
    const std::string t = type_bytes(type);
    collect_failure(before + ("'" + t + "' ") + after);
    if (!failure_printed())
        return -1;
    const std::string line = before + ("'" + shown_on(2, t.data(), t.size()) + "' ") + after;
    std::fwrite(line.data(), 1, line.size(), stderr);
    return -1;
}

// The same for a line of `before` and then `text`, which may quote type
// codes or names and is shown as a terminal may show it.
inline int fail_shown(const std::string& before, const std::string& text)
{
    collect_failure(before + text);
    if (!failure_printed())
        return -1;
    const std::string line = before + shown_on(2, text.data(), text.size()) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    return -1;
}
