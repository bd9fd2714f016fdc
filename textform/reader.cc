// Reading the text form. The whole text is parsed first, into one buffer of
// data, one of names and one of parsed records; only a text without a fault
// is then added to the list, record by record.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/platform.h"
#include "resfile/fail.h"
#include "resfile/owned.h"
#include "textform/forms.h"
#include "textform/textform.h"

namespace {

constexpr std::string_view text_mark = text_form_mark;
constexpr std::string_view first_line = "# tamb resource text 1";
constexpr size_t longest_name = 32766;
constexpr size_t largest_data = INT32_MAX;

// A growable malloc'd buffer.
struct byte_buffer {
    owned<unsigned char> bytes;
    size_t used = 0;
    size_t capacity = 0;
    unsigned char* end() { return bytes.get() + used; }
};

// Makes room for `more` bytes after the used ones; false when memory runs out.
bool reserve(byte_buffer& b, size_t more)
{
    if (more <= b.capacity - b.used)
        return true;
    if (more > SIZE_MAX / 4 - b.used)
        return false;
    const size_t grown = std::max(b.used + more, b.capacity * 2);
    void* p = std::realloc(b.bytes.get(), grown);
    if (p == nullptr)
        return false;
    (void)b.bytes.release();
    b.bytes.reset(static_cast<unsigned char*>(p));
    b.capacity = grown;
    return true;
}

enum class read_result { done, failed, too_large, no_memory };

// Appends what fd holds from its position to its end (a pipe or a device
// too) to b; too_large as soon as that is more than limit bytes.
read_result read_to_end(int fd, byte_buffer& b, size_t limit)
{
    const size_t start = b.used;
    size_t want = size_t(1) << 16;
    struct stat st;
    if (syscalls.fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (uint64_t(st.st_size) > limit)
            return read_result::too_large;
        want = size_t(st.st_size) + 1; // one more: a file that grew is read on
    }
    for (;;) {
        want = std::min(want, size_t(1) << 30);
        if (!reserve(b, want))
            return read_result::no_memory;
        const ssize_t n = syscalls.read(fd, b.end(), want);
        if (n < 0)
            return read_result::failed;
        if (n == 0)
            return read_result::done;
        b.used += size_t(n);
        if (b.used - start > limit)
            return read_result::too_large;
        want = std::max(b.used - start, size_t(1) << 16);
    }
}

// One resource of the text; its name (NUL-terminated) and data lie in the
// reader's buffers.
struct parsed_resource {
    uint32_t type;
    int32_t id;
    size_t name_at;
    size_t data_at, data_length;
};

struct text_reader {
    const char* path = nullptr;
    bool allow_files = false;
    size_t line = 0; // the number of the line being read
    byte_buffer data, names, records;
    bool open = false; // a resource line has been read
    parsed_resource current{};
};

// "PATH:LINE: error: " and the fault, with token between what and after.
int fault(const text_reader& t, const char* what, std::string_view token = {},
          const char* after = "")
{
    const int length = int(std::min(token.size(), size_t(INT32_MAX)));
    return fail("%s:%zu: error: %s%.*s%s\n", t.path, t.line, what, length,
                token.empty() ? "" : token.data(), after);
}

int out_of_memory()
{
    return fail("read_text_resources(): out of memory\n");
}

// The bytes of one line, LF and a CR before it left out.
struct cursor {
    const unsigned char* at;
    const unsigned char* end;
    bool done() const { return at == end; }
    size_t left() const { return size_t(end - at); }
};

bool is_blank(unsigned char c)
{
    return c == ' ' || c == '\t';
}

void skip_blanks(cursor& c)
{
    while (!c.done() && is_blank(*c.at))
        ++c.at;
}

// The bytes up to the next blank or the end of the line.
std::string_view next_token(cursor& c)
{
    const unsigned char* start = c.at;
    while (!c.done() && !is_blank(*c.at))
        ++c.at;
    return {reinterpret_cast<const char*>(start), size_t(c.at - start)};
}

int hex_digit(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Two hex digits at p.
bool hex_pair(const unsigned char* p, unsigned char* out)
{
    const int high = hex_digit(p[0]), low = hex_digit(p[1]);
    *out = uint8_t(high << 4 | low);
    return high >= 0 && low >= 0;
}

// The `\xHH` after a backslash and an x.
bool escaped_byte(cursor& c, unsigned char* out)
{
    if (c.left() < 2 || !hex_pair(c.at, out))
        return false;
    c.at += 2;
    return true;
}

// 'TYPE': four bytes, each printable ASCII other than ' and \, or \', \\ or
// \xHH.
bool read_type(cursor& c, uint32_t* type)
{
    if (c.done() || *c.at++ != '\'')
        return false;
    uint32_t code = 0;
    for (int i = 0; i < 4; ++i) {
        if (c.done())
            return false;
        unsigned char b = *c.at++;
        if (b == '\\') {
            if (c.done())
                return false;
            const unsigned char e = *c.at++;
            if (e == 'x') {
                if (!escaped_byte(c, &b))
                    return false;
            } else if (e == '\'' || e == '\\') {
                b = e;
            } else {
                return false;
            }
        } else if (b < 0x20 || b > 0x7E || b == '\'') {
            return false;
        }
        code = code << 8 | b;
    }
    if (c.done() || *c.at++ != '\'')
        return false;
    *type = code;
    return true;
}

// Decodes the double-quoted string at c into `to`, which has room for the
// rest of the line: escapes \" \\ \n \r \t \xHH (and \0 when nul_escape),
// any other byte standing for itself within valid UTF-8. The number of
// bytes, or -1 when the string is malformed.
ptrdiff_t decode_string(cursor& c, unsigned char* to, bool nul_escape)
{
    if (c.done() || *c.at++ != '"')
        return -1;
    unsigned char* const start = to;
    for (;;) {
        if (c.done())
            return -1;
        const unsigned char b = *c.at;
        if (b == '"') {
            ++c.at;
            return to - start;
        }
        if (b != '\\') {
            const size_t n = utf8_length(c.at, c.left());
            if (n == 0)
                return -1;
            to = std::copy_n(c.at, n, to);
            c.at += n;
            continue;
        }
        if (++c.at == c.end)
            return -1;
        switch (*c.at++) {
        case '"': *to++ = '"'; break;
        case '\\': *to++ = '\\'; break;
        case 'n': *to++ = '\n'; break;
        case 'r': *to++ = '\r'; break;
        case 't': *to++ = '\t'; break;
        case '0':
            if (!nul_escape)
                return -1;
            *to++ = 0;
            break;
        case 'x':
            if (!escaped_byte(c, to++))
                return -1;
            break;
        default: return -1;
        }
    }
}

// Moves the resource being read, if any, to the parsed records.
bool finish_resource(text_reader& t)
{
    if (!t.open)
        return true;
    t.current.data_length = t.data.used - t.current.data_at;
    if (!reserve(t.records, sizeof t.current))
        return false;
    std::memcpy(t.records.end(), &t.current, sizeof t.current);
    t.records.used += sizeof t.current;
    t.open = false;
    return true;
}

// `resource 'TYPE' ID ["NAME"]`, at column 0.
int read_resource_line(text_reader& t, cursor c)
{
    constexpr std::string_view keyword = "resource";
    if (c.left() < keyword.size() || std::memcmp(c.at, keyword.data(), keyword.size()) != 0 ||
        (c.left() > keyword.size() && !is_blank(c.at[keyword.size()])))
        return fault(t, "expected a resource line");
    c.at += keyword.size();
    if (!finish_resource(t) || !reserve(t.names, c.left() + 1))
        return out_of_memory();
    parsed_resource r{};
    skip_blanks(c);
    if (!read_type(c, &r.type) || (!c.done() && !is_blank(*c.at)))
        return fault(t, "bad type");
    skip_blanks(c);
    const std::string_view id = next_token(c);
    const auto [stop, error] = std::from_chars(id.data(), id.data() + id.size(), r.id);
    if (id.empty() || error != std::errc() || stop != id.data() + id.size())
        return fault(t, "bad id");
    skip_blanks(c);
    r.name_at = t.names.used;
    unsigned char* const name = t.names.end();
    ptrdiff_t length = 0;
    if (!c.done()) {
        length = decode_string(c, name, false);
        skip_blanks(c);
        if (length < 0 || size_t(length) > longest_name || !c.done() ||
            std::memchr(name, 0, size_t(length)) != nullptr)
            return fault(t, "bad name");
    }
    name[length] = 0;
    t.names.used += size_t(length) + 1;
    r.data_at = t.data.used;
    t.current = r;
    t.open = true;
    return 0;
}

template <typename T>
bool store_number(std::string_view token, unsigned char* to)
{
    T value{};
    const char* const last = token.data() + token.size();
    std::from_chars_result got;
    if constexpr (std::is_floating_point_v<T>)
        got = std::from_chars(token.data(), last, value, std::chars_format::general);
    else
        got = std::from_chars(token.data(), last, value);
    if (got.ec != std::errc() || got.ptr != last)
        return false;
    if constexpr (std::is_floating_point_v<T>) {
        if (std::isnan(value))
            return false;
    }
    std::memcpy(to, &value, sizeof value); // little-endian, as the list holds it
    return true;
}

bool store_number(number_kind kind, std::string_view token, unsigned char* to)
{
    switch (kind) {
    case number_kind::int16: return store_number<int16_t>(token, to);
    case number_kind::uint16: return store_number<uint16_t>(token, to);
    case number_kind::int32: return store_number<int32_t>(token, to);
    case number_kind::uint32: return store_number<uint32_t>(token, to);
    case number_kind::int64: return store_number<int64_t>(token, to);
    case number_kind::uint64: return store_number<uint64_t>(token, to);
    case number_kind::float32: return store_number<float>(token, to);
    case number_kind::float64: return store_number<double>(token, to);
    }
    return false;
}

int read_numbers(text_reader& t, cursor c, number_kind kind)
{
    const size_t width = form_of(kind).width;
    if (!reserve(t.data, width * (c.left() / 2 + 1))) // values are at least 1 byte apart
        return out_of_memory();
    for (skip_blanks(c); !c.done(); skip_blanks(c)) {
        const std::string_view token = next_token(c);
        if (!store_number(kind, token, t.data.end()))
            return fault(t, "bad value '", token, "'");
        t.data.used += width;
    }
    return 0;
}

int read_hex(text_reader& t, cursor c)
{
    if (!reserve(t.data, c.left() / 2))
        return out_of_memory();
    for (skip_blanks(c); !c.done(); skip_blanks(c)) {
        const std::string_view token = next_token(c);
        const auto* digits = reinterpret_cast<const unsigned char*>(token.data());
        if (token.size() % 2 != 0)
            return fault(t, "bad value '", token, "'");
        for (size_t i = 0; i < token.size(); i += 2)
            if (!hex_pair(digits + i, t.data.end() + i / 2))
                return fault(t, "bad value '", token, "'");
        t.data.used += token.size() / 2;
    }
    return 0;
}

int read_text(text_reader& t, cursor c)
{
    if (!reserve(t.data, c.left()))
        return out_of_memory();
    const ptrdiff_t length = decode_string(c, t.data.end(), true);
    skip_blanks(c);
    if (length < 0 || !c.done())
        return fault(t, "bad string");
    t.data.used += size_t(length);
    return 0;
}

bool is_absolute(const std::string& path)
{
#if defined(_WIN32)
    if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])))
        return true;
    if (!path.empty() && path[0] == '\\')
        return true;
#endif
    return !path.empty() && path[0] == '/';
}

// `file "PATH"`: the whole content of the file, a relative path taken from
// the directory of the text.
int read_file(text_reader& t, cursor c)
{
    std::string written(c.left(), '\0');
    auto* const decoded = reinterpret_cast<unsigned char*>(written.data());
    const ptrdiff_t length = decode_string(c, decoded, false);
    skip_blanks(c);
    if (length < 0 || !c.done() || std::memchr(written.data(), 0, size_t(length)) != nullptr)
        return fault(t, "bad string");
    written.resize(size_t(length));
    const std::string path = is_absolute(written) ? written : directory_of(t.path) + "/" + written;
    const int fd = t.allow_files ? syscalls.open(path.c_str(), O_RDONLY, 0) : -1;
    if (fd < 0)
        return fault(t, "cannot open data file ", path);
    const size_t room = largest_data - (t.data.used - t.current.data_at);
    const read_result got = read_to_end(fd, t.data, room);
    syscalls.close(fd);
    switch (got) {
    case read_result::done: return 0;
    case read_result::failed: return fault(t, "cannot open data file ", path);
    case read_result::too_large: return fault(t, "resource too large");
    case read_result::no_memory: return out_of_memory();
    }
    return -1;
}

// An indented line: a keyword and its values, added to the resource's data.
int read_data_line(text_reader& t, cursor c)
{
    if (!t.open)
        return fault(t, "data line before any resource");
    skip_blanks(c);
    const std::string_view keyword = next_token(c);
    int result = 0;
    if (keyword == "hex") {
        result = read_hex(t, c);
    } else if (keyword == "text") {
        skip_blanks(c);
        result = read_text(t, c);
    } else if (keyword == "file") {
        skip_blanks(c);
        result = read_file(t, c);
    } else {
        const number_form* form =
            std::find_if(std::begin(number_forms), std::end(number_forms),
                         [&](const number_form& f) { return keyword == f.keyword; });
        if (form == std::end(number_forms))
            return fault(t, "unknown keyword '", keyword, "'");
        result = read_numbers(t, c, number_kind(form - number_forms));
    }
    if (result == 0 && t.data.used - t.current.data_at > largest_data)
        return fault(t, "resource too large");
    return result;
}

int read_line(text_reader& t, cursor line)
{
    if (t.line == 1) {
        const std::string_view text(reinterpret_cast<const char*>(line.at), line.left());
        return text == first_line ? 0 : fault(t, "unsupported text version");
    }
    cursor c = line;
    skip_blanks(c);
    if (c.done() || *c.at == '#')
        return 0;
    if (c.at == line.at)
        return read_resource_line(t, line);
    return read_data_line(t, line);
}

} // namespace

bool is_text_form(const unsigned char* first, size_t n)
{
    return n >= text_mark.size() && std::memcmp(first, text_mark.data(), text_mark.size()) == 0;
}

int parse_text_resources(resource** list, const unsigned char* text, size_t length,
                         const char* path, resource_index* index, bool allow_files)
{
    text_reader t;
    t.path = path;
    t.allow_files = allow_files;
    const unsigned char* const end = text + length;
    for (const unsigned char* at = text;;) {
        const void* found = at == end ? nullptr : std::memchr(at, '\n', size_t(end - at));
        const auto* lf = static_cast<const unsigned char*>(found);
        cursor line{at, lf != nullptr ? lf : end};
        if (lf != nullptr && line.end != at && line.end[-1] == '\r')
            --line.end;
        ++t.line;
        if (read_line(t, line) != 0)
            return -1;
        if (lf == nullptr || lf + 1 == end)
            break;
        at = lf + 1;
    }
    if (!finish_resource(t))
        return out_of_memory();
    const auto* names = reinterpret_cast<const char*>(t.names.bytes.get());
    for (size_t at = 0; at < t.records.used; at += sizeof(parsed_resource)) {
        parsed_resource r;
        std::memcpy(&r, t.records.bytes.get() + at, sizeof r);
        if (add_resource(list, r.type, r.id, t.data.bytes.get() + r.data_at, int32_t(r.data_length),
                         names + r.name_at, index) != 0)
            return fail("read_text_resources(): cannot add the resources of %s\n", path);
    }
    return 0;
}

int read_text_resources(resource** list, int fd, const char* path, resource_index* index,
                        bool allow_files)
{
    (void)syscalls.lseek(fd, 0, SEEK_SET); // fails on a pipe, which is read from where it is
    byte_buffer text;
    switch (read_to_end(fd, text, SIZE_MAX)) {
    case read_result::done: break;
    case read_result::failed: return fail("read_text_resources(): read() failed\n");
    case read_result::too_large: // cannot happen without a limit
    case read_result::no_memory: return out_of_memory();
    }
    return parse_text_resources(list, text.bytes.get(), text.used, path, index, allow_files);
}
