// The arguments of --add, --delete and --extract: "TYPE:ID", then for --add
// an optional ":NAME", then for --add and --extract "=FILE".
#include <cstring>

#include "driver/driver.h"

namespace {

// The longest name a resource map can hold (its field, NUL included, is at
// most 32767 bytes).
constexpr size_t longest_name = 32766;

// "TYPE:ID" at the start of arg: TYPE is its first four bytes, whatever they
// are, followed by ':'; ID an optional sign and decimal digits whose value
// fits 32 bits. The text after ID, or null.
const char* parse_type_and_id(const char* arg, resource_request* out)
{
    if (arg == nullptr || std::strlen(arg) < 5 || arg[4] != ':')
        return nullptr;
    out->type = uint32_t(uint8_t(arg[0])) << 24 | uint32_t(uint8_t(arg[1])) << 16 |
                uint32_t(uint8_t(arg[2])) << 8 | uint32_t(uint8_t(arg[3]));
    const char* p = arg + 5;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-')
        ++p;
    if (*p < '0' || *p > '9')
        return nullptr;
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > int64_t(1) << 31)
            return nullptr;
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return nullptr;
    out->id = int32_t(value);
    return p;
}

} // namespace

bool parse_request(const char* arg, request_kind kind, resource_request* out)
{
    *out = resource_request{};
    const char* p = parse_type_and_id(arg, out);
    if (p == nullptr)
        return false;
    if (kind == request_kind::remove)
        return *p == '\0';
    if (kind == request_kind::add && *p == ':') {
        const char* equals = std::strchr(p + 1, '=');
        if (equals == nullptr || size_t(equals - (p + 1)) > longest_name)
            return false;
        out->name.assign(p + 1, equals);
        p = equals;
    }
    if (*p != '=' || p[1] == '\0')
        return false;
    out->file = p + 1;
    return true;
}
