// Reading the text form. The text is read a bounded piece at a time and
// parsed as it comes, never held whole: each resource's data goes straight
// into its record (a `file` line's bytes stay in their file when they are
// the whole data). Only a text without a fault is added to the list, record
// by record, once all of it is read.
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
#include <utility>
#include <vector>

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

// The text, a piece at a time: from memory, or from a descriptor through a
// window that is refilled as the parse moves on.
struct text_source {
    const unsigned char* bytes = nullptr; // the window
    size_t at = 0, end = 0;               // the unread bytes of it
    int fd = -1;                          // -1: all of the text is in memory
    std::vector<unsigned char> window;
    bool eof = false, failed = false;

    static constexpr size_t window_bytes = size_t(1) << 16;

    // Makes k + 1 bytes readable when the text holds them.
    bool have(size_t k)
    {
        if (at + k < end)
            return true;
        if (fd < 0 || eof)
            return false;
        if (window.empty())
            window.resize(window_bytes);
        std::memmove(window.data(), window.data() + at, end - at);
        end -= at;
        at = 0;
        while (!eof && end <= k) {
            const ssize_t n = syscalls.read(fd, window.data() + end, window.size() - end);
            if (n < 0)
                failed = true;
            if (n <= 0)
                eof = true;
            else
                end += size_t(n);
        }
        bytes = window.data();
        return k < end;
    }

    // The byte k bytes ahead, or -1 past the end.
    int peek(size_t k = 0) { return have(k) ? bytes[at + k] : -1; }
    void skip(size_t k = 1) { at += k; }

    // At the end of a line: LF, a CR right before one, or the end of the text.
    bool at_line_end()
    {
        const int b = peek();
        return b == -1 || b == '\n' || (b == '\r' && peek(1) == '\n');
    }
};

// One resource of the text, complete: its record, filled but not yet linked.
struct text_reader {
    const char* path = nullptr;
    bool allow_files = false;
    bool in_memory = false; // an image in memory, whose `file` lines name nothing
    std::vector<std::string>* files_read = nullptr; // see resource_index
    size_t line = 0; // the number of the line being read
    std::vector<resource*> records;
    bool open = false; // a resource line has been read
    uint32_t type = 0;
    int32_t id = 0;
    std::string name;
    data_builder data;
    text_reader() = default;
    text_reader(const text_reader&) = delete;
    text_reader& operator=(const text_reader&) = delete;
    ~text_reader()
    {
        for (resource* r : records)
            if (r != nullptr)
                release_record(r);
    }
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

// Decodes the bytes of a double-quoted string, after its opening quote, from
// c into `to`, which has room for c's bytes: escapes \" \\ \n \r \t \xHH
// (and \0 when nul_escape), any other byte standing for itself within valid
// UTF-8. Stops after the closing quote (*closed set), or, when more of the
// line follows c (`more`), at c's end or before a character or an escape
// that c cuts short. The number of bytes, or -1 when the string is
// malformed (or ends with c when nothing more follows).
ptrdiff_t decode_part(cursor& c, unsigned char* to, bool nul_escape, bool more, bool* closed)
{
    unsigned char* const start = to;
    while (!c.done()) {
        const unsigned char b = *c.at;
        if (b == '"') {
            ++c.at;
            *closed = true;
            return to - start;
        }
        if (b != '\\') {
            const size_t n = utf8_length(c.at, c.left());
            if (n == 0)
                return more && c.left() < 4 ? to - start : -1;
            to = std::copy_n(c.at, n, to);
            c.at += n;
            continue;
        }
        const size_t need = c.left() >= 2 && c.at[1] == 'x' ? 4 : 2;
        if (c.left() < need) {
            if (more)
                return to - start;
            if (c.left() < 2)
                return -1;
        }
        ++c.at;
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
    return more ? to - start : -1;
}

// The double-quoted string at c, whole, into `to`: the number of bytes, or
// -1 when it is malformed.
ptrdiff_t decode_string(cursor& c, unsigned char* to, bool nul_escape)
{
    if (c.done() || *c.at++ != '"')
        return -1;
    bool closed = false;
    const ptrdiff_t n = decode_part(c, to, nul_escape, false, &closed);
    return closed ? n : -1;
}

// Moves the resource being read, if any, to the records read. 0, or -1
// after a line.
int finish_resource(text_reader& t)
{
    if (!t.open)
        return 0;
    t.open = false;
    resource* r = finish_data(&t.data);
    if (r == nullptr)
        return -1;
    fill_record(r, t.type, t.id, r->size, t.name.c_str(), t.name.size() + 1);
    try {
        t.records.push_back(r);
    } catch (...) {
        release_record(r);
        return out_of_memory();
    }
    return 0;
}

// `resource 'TYPE' ID ["NAME"]`, at column 0.
int read_resource_line(text_reader& t, cursor c)
{
    constexpr std::string_view keyword = "resource";
    if (c.left() < keyword.size() || std::memcmp(c.at, keyword.data(), keyword.size()) != 0 ||
        (c.left() > keyword.size() && !is_blank(c.at[keyword.size()])))
        return fault(t, "expected a resource line");
    c.at += keyword.size();
    if (finish_resource(t) != 0)
        return -1;
    skip_blanks(c);
    if (!read_type(c, &t.type) || (!c.done() && !is_blank(*c.at)))
        return fault(t, "bad type");
    skip_blanks(c);
    const std::string_view id = next_token(c);
    const auto [stop, error] = std::from_chars(id.data(), id.data() + id.size(), t.id);
    if (id.empty() || error != std::errc() || stop != id.data() + id.size())
        return fault(t, "bad id");
    skip_blanks(c);
    t.name.assign(c.left(), '\0');
    ptrdiff_t length = 0;
    if (!c.done()) {
        length = decode_string(c, reinterpret_cast<unsigned char*>(t.name.data()), false);
        skip_blanks(c);
        if (length < 0 || size_t(length) > longest_name || !c.done() ||
            std::memchr(t.name.data(), 0, size_t(length)) != nullptr)
            return fault(t, "bad name");
    }
    t.name.resize(size_t(length));
    start_data(&t.data, record_head_room(t.name.size() + 1), INT64_MAX);
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

// The values of a data line, decoded into bytes a buffer at a time and
// added to the resource's data.
struct line_bytes {
    text_reader& t;
    unsigned char buffer[4096];
    size_t used = 0;
    bool failed = false;
    explicit line_bytes(text_reader& reader) : t(reader) {}

    unsigned char* room(size_t n)
    {
        if (sizeof buffer - used < n)
            flush();
        return buffer + used;
    }
    void flush()
    {
        if (used > 0 && !failed && add_data(&t.data, buffer, used) != 0)
            failed = true;
        used = 0;
    }
};

int read_numbers(text_reader& t, cursor c, number_kind kind)
{
    const size_t width = form_of(kind).width;
    line_bytes out(t);
    for (skip_blanks(c); !c.done(); skip_blanks(c)) {
        const std::string_view token = next_token(c);
        if (!store_number(kind, token, out.room(width)))
            return fault(t, "bad value '", token, "'");
        out.used += width;
    }
    out.flush();
    return out.failed ? -1 : 0;
}

int read_hex(text_reader& t, cursor c)
{
    line_bytes out(t);
    for (skip_blanks(c); !c.done(); skip_blanks(c)) {
        const std::string_view token = next_token(c);
        const auto* digits = reinterpret_cast<const unsigned char*>(token.data());
        if (token.size() % 2 != 0)
            return fault(t, "bad value '", token, "'");
        for (size_t i = 0; i < token.size(); i += 2) {
            if (!hex_pair(digits + i, out.room(1)))
                return fault(t, "bad value '", token, "'");
            ++out.used;
        }
    }
    out.flush();
    return out.failed ? -1 : 0;
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
// the directory of the text. A regular file that is a resource's whole data
// stays where it is.
int read_file(text_reader& t, cursor c)
{
    std::string written(c.left(), '\0');
    auto* const decoded = reinterpret_cast<unsigned char*>(written.data());
    const ptrdiff_t length = decode_string(c, decoded, false);
    skip_blanks(c);
    if (length < 0 || !c.done() || std::memchr(written.data(), 0, size_t(length)) != nullptr)
        return fault(t, "bad string");
    written.resize(size_t(length));
    if (t.in_memory && !t.allow_files)
        return fault(t, "a text in memory cannot name a file");
    const std::string path = is_absolute(written) ? written : directory_of(t.path) + "/" + written;
    const int fd = t.allow_files ? syscalls.open(path.c_str(), O_RDONLY, 0) : -1;
    if (fd < 0)
        return fault(t, "cannot open data file ", path);
    if (t.files_read != nullptr)
        t.files_read->push_back(path);
    const int64_t room = int64_t(largest_data) - t.data.length;
    struct stat st;
    int result = 0;
    if (syscalls.fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (st.st_size > room)
            result = fault(t, "resource too large");
        else if (add_file_data(&t.data, fd, path.c_str(), st.st_size) != 0)
            result = -1;
    } else {
        // A pipe or a device, read to its end.
        t.data.held_at_most = std::min(t.data.held_at_most, data_held_at_most);
        unsigned char buffer[1 << 16];
        for (int64_t got = 0;;) {
            const ssize_t n = syscalls.read(fd, buffer, sizeof buffer);
            if (n < 0) {
                result = fault(t, "cannot open data file ", path);
                break;
            }
            if (n == 0)
                break;
            if ((got += n) > room) {
                result = fault(t, "resource too large");
                break;
            }
            if (add_data(&t.data, buffer, size_t(n)) != 0) {
                result = -1;
                break;
            }
        }
    }
    syscalls.close(fd);
    return result;
}

// The keyword of an indented line, and the line after it.
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
        std::vector<unsigned char> decoded(c.left());
        const ptrdiff_t length = decode_string(c, decoded.data(), true);
        skip_blanks(c);
        if (length < 0 || !c.done())
            return fault(t, "bad string");
        result = add_data(&t.data, decoded.data(), size_t(length));
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
    if (result == 0 && t.data.length > int64_t(largest_data))
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

// A line gathered whole, however long, and read as one.
int read_line_whole(text_reader& t, text_source& src)
{
    std::string whole;
    while (!src.at_line_end()) {
        whole.append(reinterpret_cast<const char*>(src.bytes + src.at), 1);
        src.skip();
    }
    const auto* p = reinterpret_cast<const unsigned char*>(whole.data());
    return read_line(t, cursor{p, p + whole.size()});
}

// A line longer than the window: a `text` line is decoded a window at a
// time (its string may be as long as its data); any other is gathered
// whole and read as one. The window holds the line's start.
int read_long_line(text_reader& t, text_source& src)
{
    cursor c{src.bytes + src.at, src.bytes + src.end};
    skip_blanks(c);
    const bool indented = c.at != src.bytes + src.at;
    cursor k = c;
    const std::string_view keyword = next_token(k);
    if (t.line == 1 || !indented || !t.open || keyword != "text" || k.done())
        return read_line_whole(t, src);
    skip_blanks(k);
    if (k.done())
        return read_line_whole(t, src);
    if (*k.at != '"')
        return fault(t, "bad string");
    src.skip(size_t(k.at + 1 - (src.bytes + src.at)));
    std::vector<unsigned char> decoded;
    bool closed = false;
    while (!closed) {
        // The part of the line the window holds, and whether more follows.
        src.have(text_source::window_bytes - 1);
        const unsigned char* const from = src.bytes + src.at;
        const void* lf = std::memchr(from, '\n', src.end - src.at);
        const unsigned char* stop = lf != nullptr ? static_cast<const unsigned char*>(lf) : src.bytes + src.end;
        const bool more = lf == nullptr && !src.eof;
        if (lf != nullptr && stop > from && stop[-1] == '\r')
            --stop;
        cursor part{from, stop};
        decoded.resize(part.left());
        const ptrdiff_t n = decode_part(part, decoded.data(), true, more, &closed);
        if (n < 0 || (!closed && !more) || (!closed && part.at == from && more))
            return fault(t, "bad string");
        if (add_data(&t.data, decoded.data(), size_t(n)) != 0)
            return -1;
        src.skip(size_t(part.at - from));
        if (src.failed)
            return fail("read_text_resources(): read() failed\n");
    }
    while (!src.at_line_end() && is_blank(static_cast<unsigned char>(src.peek())))
        src.skip();
    if (!src.at_line_end())
        return fault(t, "bad string");
    if (t.data.length > int64_t(largest_data))
        return fault(t, "resource too large");
    return 0;
}

// Reads the text from src, line by line, into t's records.
int read_lines(text_reader& t, text_source& src)
{
    for (;;) {
        ++t.line;
        // The line, when the window can hold it.
        const unsigned char* lf = nullptr;
        for (size_t looked = 0;;) {
            const void* found = std::memchr(src.bytes + src.at + looked, '\n', src.end - src.at - looked);
            if (found != nullptr || src.eof || src.end - src.at >= text_source::window_bytes) {
                lf = static_cast<const unsigned char*>(found);
                break;
            }
            looked = src.end - src.at;
            src.have(src.end - src.at);
        }
        if (src.failed)
            return fail("read_text_resources(): read() failed\n");
        const unsigned char* const at = src.bytes + src.at;
        if (lf == nullptr && !src.eof) {
            if (read_long_line(t, src) != 0)
                return -1;
        } else {
            cursor line{at, lf != nullptr ? lf : src.bytes + src.end};
            if (lf != nullptr && line.end != at && line.end[-1] == '\r')
                --line.end;
            if (read_line(t, line) != 0)
                return -1;
            src.skip(size_t((lf != nullptr ? lf : src.bytes + src.end) - at));
        }
        if (src.failed)
            return fail("read_text_resources(): read() failed\n");
        // The line's end: its LF, if it has one, and the end of the text.
        if (src.peek() == '\r' && src.peek(1) == '\n')
            src.skip();
        if (src.peek() == -1)
            break;
        src.skip(); // the LF
        if (src.peek() == -1)
            break;
    }
    if (src.failed)
        return fail("read_text_resources(): read() failed\n");
    return finish_resource(t);
}

// Reads the text and, when it has no fault, adds its records to the list.
int read_text(resource** list, text_source& src, const char* path, resource_index* index,
              bool allow_files, bool in_memory = false)
{
    text_reader t;
    t.path = path;
    t.allow_files = allow_files;
    t.in_memory = in_memory;
    t.files_read = index != nullptr ? index->files_read : nullptr;
    if (read_lines(t, src) != 0)
        return -1;
    for (size_t i = 0; i < t.records.size(); ++i) {
        resource* r = std::exchange(t.records[i], nullptr);
        if (place_record(list, r, index) != 0)
            return fail("read_text_resources(): cannot add the resources of %s\n", path);
    }
    return 0;
}

} // namespace

bool is_text_form(const unsigned char* first, size_t n)
{
    return n >= text_mark.size() && std::memcmp(first, text_mark.data(), text_mark.size()) == 0;
}

int parse_text_resources(resource** list, const unsigned char* text, size_t length,
                         const char* path, resource_index* index, bool allow_files)
{
    text_source src;
    src.bytes = text;
    src.end = length;
    src.eof = true;
    return read_text(list, src, path, index, allow_files);
}

int read_text_resources(resource** list, int fd, const char* path, resource_index* index,
                        bool allow_files)
{
    (void)syscalls.lseek(fd, 0, SEEK_SET); // fails on a pipe, which is read from where it is
    text_source src;
    src.fd = fd;
    src.window.resize(text_source::window_bytes);
    src.bytes = src.window.data();
    return read_text(list, src, path, index, allow_files);
}

int read_text_resources(resource** list, source& s, const char* path, resource_index* index,
                        bool allow_files)
{
    if (!s.in_memory())
        return read_text_resources(list, s.fd, path, index, allow_files);
    text_source src;
    src.bytes = s.bytes;
    src.end = s.size;
    src.eof = true;
    return read_text(list, src, path, index, allow_files, true);
}
