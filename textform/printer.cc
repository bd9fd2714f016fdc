// Printing a list in the canonical text form, one form for each list, and
// the JSON listing.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "textform/forms.h"
#include "textform/textform.h"

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// Calls visit(piece, length) for each piece of a record's data in host
// order, wherever it lies (kept data is read a bounded piece at a time).
// False when the data could not all be read (after the line saying why).
template <typename Visit>
bool for_each_piece(const resource* r, Visit&& visit)
{
    data_pieces pieces(r);
    const unsigned char* p = nullptr;
    for (ssize_t n; (n = next_piece(&pieces, &p)) != 0;) {
        if (n < 0)
            return false;
        visit(p, size_t(n));
    }
    return true;
}

void print_escape(FILE* out, const char* escape, unsigned char b)
{
    std::fputs(escape, out);
    std::putc(hex_digits[b >> 4], out);
    std::putc(hex_digits[b & 15], out);
}

// The escapes that names and text share: " \ LF CR tab as \" \\ \n \r \t.
// False when b has none of them.
bool print_string_escape(FILE* out, unsigned char b)
{
    const char* escape = b == '"' ? "\\\"" : b == '\\' ? "\\\\" : b == '\n' ? "\\n"
                       : b == '\r' ? "\\r" : b == '\t' ? "\\t" : nullptr;
    if (escape != nullptr)
        std::fputs(escape, out);
    return escape != nullptr;
}

// A name between double quotes: the shared escapes; other bytes below 0x20,
// 0x7F and bytes outside valid UTF-8 as \xHH.
void print_name(FILE* out, const unsigned char* p, size_t n)
{
    std::putc('"', out);
    for (size_t i = 0; i < n;) {
        const unsigned char b = p[i];
        size_t length = utf8_length(p + i, n - i);
        if (print_string_escape(out, b))
            length = 1;
        else if (b < 0x20 || b == 0x7F || length == 0)
            print_escape(out, "\\x", b);
        else
            std::fwrite(p + i, 1, length, out);
        i += length == 0 ? 1 : length;
    }
    std::putc('"', out);
}

void print_type(FILE* out, uint32_t type)
{
    std::putc('\'', out);
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto b = uint8_t(type >> shift);
        if (b == '\'' || b == '\\')
            std::putc('\\', out), std::putc(b, out);
        else if (b < 0x20 || b > 0x7E)
            print_escape(out, "\\x", b);
        else
            std::putc(b, out);
    }
    std::putc('\'', out);
}

// `hex` lines of 32 bytes, in groups of 4: the data from byte `at` of the
// whole on, n bytes of it at p.
void print_hex(FILE* out, const unsigned char* p, size_t n, size_t at = 0)
{
    for (size_t i = 0; i < n; ++i, ++at) {
        if (at % 32 == 0)
            std::fputs(at == 0 ? "  hex" : "\n  hex", out);
        if (at % 4 == 0)
            std::putc(' ', out);
        std::putc(hex_digits[p[i] >> 4], out);
        std::putc(hex_digits[p[i] & 15], out);
    }
}

// Whether data reads as text: printable ASCII, tab, CR, LF and valid
// multi-byte UTF-8, with a NUL only as the very last byte. Looked at a
// piece at a time; a character cut by the end of a piece waits for the rest.
struct text_check {
    size_t size;   // of the whole
    size_t at = 0; // bytes of the whole looked at
    bool text = true;
    unsigned char held[4] = {};
    size_t held_n = 0;

    void look(const unsigned char* p, size_t n)
    {
        size_t i = 0;
        if (held_n > 0 && text) {
            unsigned char joint[4];
            const size_t had = held_n;
            std::copy_n(held, had, joint);
            size_t jn = had;
            while (jn < 4 && i < n)
                joint[jn++] = p[i++];
            const size_t length = utf8_length(joint, jn);
            held_n = 0;
            if (length == 0 && jn < 4 && at + jn < size) { // still cut short
                std::copy_n(joint, jn, held);
                held_n = jn;
                return;
            }
            if (length == 0) {
                text = false;
                return;
            }
            at += length;
            i = length - had;
        }
        for (; i < n && text;) {
            const unsigned char b = p[i];
            const size_t length = utf8_length(p + i, n - i);
            if (length == 0 && n - i < 4 && at + (n - i) < size) { // cut by the piece's end
                held_n = n - i;
                std::copy(p + i, p + n, held);
                return;
            }
            const bool allowed_control =
                b == '\t' || b == '\n' || b == '\r' || (b == 0 && at + 1 == size);
            if (length == 0 || (b < 0x20 && !allowed_control) || b == 0x7F)
                text = false;
            i += length > 0 ? length : 1;
            at += length > 0 ? length : 1;
        }
    }
};

// One `text` line for each line of the data, each ending after its LF, a
// piece at a time: *open tells whether a line is begun.
void print_text(FILE* out, const unsigned char* p, size_t n, bool* open)
{
    for (size_t i = 0; i < n; ++i) {
        if (!*open)
            std::fputs("  text \"", out);
        *open = true;
        const unsigned char b = p[i];
        if (b == 0)
            std::fputs("\\0", out);
        else if (!print_string_escape(out, b))
            std::putc(b, out);
        if (b == '\n') {
            std::fputs("\"\n", out);
            *open = false;
        }
    }
}

template <typename T>
T load(const unsigned char* p)
{
    T value;
    std::memcpy(&value, p, sizeof value); // little-endian, as the list holds it
    return value;
}

// The shortest text that reads back to the same value.
char* format_number(char* to, char* end, number_kind kind, const unsigned char* p)
{
    switch (kind) {
    case number_kind::int16: return std::to_chars(to, end, load<int16_t>(p)).ptr;
    case number_kind::uint16: return std::to_chars(to, end, load<uint16_t>(p)).ptr;
    case number_kind::int32: return std::to_chars(to, end, load<int32_t>(p)).ptr;
    case number_kind::uint32: return std::to_chars(to, end, load<uint32_t>(p)).ptr;
    case number_kind::int64: return std::to_chars(to, end, load<int64_t>(p)).ptr;
    case number_kind::uint64: return std::to_chars(to, end, load<uint64_t>(p)).ptr;
    case number_kind::float32: return std::to_chars(to, end, load<float>(p)).ptr;
    case number_kind::float64: return std::to_chars(to, end, load<double>(p)).ptr;
    }
    return to;
}

bool holds_nan(number_kind kind, const unsigned char* p, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if ((kind == number_kind::float32 && std::isnan(load<float>(p + 4 * i))) ||
            (kind == number_kind::float64 && std::isnan(load<double>(p + 8 * i))))
            return true;
    return false;
}

const array_type* array_of(uint32_t type)
{
    for (const array_type& a : array_types)
        if (a.type == type)
            return &a;
    return nullptr;
}

// Whole elements as numbers, 8 to a line, then a shorter tail as `hex`, a
// piece at a time: pieces hold whole elements but for the last.
struct number_printer {
    FILE* out;
    const array_type& array;
    size_t elements = 0;
    unsigned char tail[8] = {};
    size_t tail_n = 0;

    void print(const unsigned char* p, size_t n)
    {
        const number_form& form = form_of(array.kind);
        size_t i = 0;
        for (; i + form.width <= n; i += form.width, ++elements) {
            if (elements % 8 == 0)
                std::fprintf(out, elements == 0 ? "  %s" : "\n  %s", form.keyword);
            char text[64] = " ";
            const char* end = format_number(text + 1, text + sizeof text, array.kind, p + i);
            std::fwrite(text, 1, size_t(end - text), out);
        }
        tail_n = n - i; // only the last piece has one
        std::copy(p + i, p + n, tail);
    }

    void finish()
    {
        if (elements > 0)
            std::putc('\n', out);
        print_hex(out, tail, tail_n);
        if (tail_n > 0)
            std::putc('\n', out);
    }
};

void print_resource(FILE* out, const resource* r)
{
    std::fputs("resource ", out);
    print_type(out, r->type);
    std::fprintf(out, " %d", int(r->id));
    if (r->name[0] != '\0') {
        std::putc(' ', out);
        print_name(out, reinterpret_cast<const unsigned char*>(r->name), std::strlen(r->name));
    }
    std::putc('\n', out);
    // The form is chosen by a look at the whole data, then it is printed: a
    // piece at a time, so that big data is never held.
    const size_t size = r->size > 0 ? size_t(r->size) : 0;
    const array_type* array = array_of(r->type);
    bool nan = false;
    text_check text{size};
    const bool read = for_each_piece(r, [&](const unsigned char* p, size_t n) {
        if (array != nullptr)
            nan = nan || holds_nan(array->kind, p, n / form_of(array->kind).width);
        text.look(p, n);
    });
    if (!read) { // an input that changed: no data
    } else if (array != nullptr && !nan) {
        number_printer numbers{out, *array, 0, {}, 0};
        for_each_piece(r, [&](const unsigned char* p, size_t n) { numbers.print(p, n); });
        numbers.finish();
    } else if (text.text) {
        bool open = false;
        for_each_piece(r, [&](const unsigned char* p, size_t n) { print_text(out, p, n, &open); });
        if (open)
            std::fputs("\"\n", out);
    } else {
        size_t at = 0;
        for_each_piece(r, [&](const unsigned char* p, size_t n) {
            print_hex(out, p, n, at);
            at += n;
        });
        if (size > 0)
            std::putc('\n', out);
    }
    std::putc('\n', out);
}

// A JSON string: " \ BS FF LF CR tab as \" \\ \b \f \n \r \t, other bytes
// below 0x20 and 0x7F as \u00xx, valid UTF-8 as it is, and any other byte as
// the code point of its value.
void print_json_string(FILE* out, const unsigned char* p, size_t n)
{
    std::putc('"', out);
    for (size_t i = 0; i < n;) {
        const unsigned char b = p[i];
        const size_t length = utf8_length(p + i, n - i);
        const char* escape = b == '"' ? "\\\"" : b == '\\' ? "\\\\" : b == '\b' ? "\\b"
                           : b == '\f' ? "\\f" : b == '\n' ? "\\n" : b == '\r' ? "\\r"
                           : b == '\t' ? "\\t" : nullptr;
        if (escape != nullptr)
            std::fputs(escape, out);
        else if (b < 0x20 || b == 0x7F || length == 0)
            print_escape(out, "\\u00", b);
        else
            std::fwrite(p + i, 1, length, out);
        i += length == 0 ? 1 : length;
    }
    std::putc('"', out);
}

void print_json_string(FILE* out, const char* s)
{
    print_json_string(out, reinterpret_cast<const unsigned char*>(s), std::strlen(s));
}

} // namespace

void print_text_start(FILE* out)
{
    std::fputs("# tamb resource text 1\n", out);
}

void print_text_listing(FILE* out, const char* argument, const char* format_word,
                        const resource* head)
{
    std::fputs("\n# ", out);
    for (const char* c = argument; *c != '\0'; ++c) { // the comment stays on one line
        if (*c == '\n' || *c == '\r')
            std::fputs(*c == '\n' ? "\\n" : "\\r", out);
        else
            std::putc(*c, out);
    }
    std::fprintf(out, " (%s format)\n\n", format_word);
    for (const resource* r = head; r != nullptr; r = r->next)
        print_resource(out, r);
}

void json_file(json_listing* listing, FILE* out, const char* argument, const char* format_word,
               const resource* head)
{
    std::fputs(listing->files++ == 0 ? "{\"tamb\": 1, \"files\": [\n" : ",\n", out);
    std::fputs(" {\"file\": ", out);
    print_json_string(out, argument);
    std::fputs(", \"format\": ", out);
    print_json_string(out, format_word);
    std::fputs(", \"resources\": [", out);
    for (const resource* r = head; r != nullptr; r = r->next) {
        const unsigned char type[4] = {uint8_t(r->type >> 24), uint8_t(r->type >> 16),
                                       uint8_t(r->type >> 8), uint8_t(r->type)};
        std::fputs(r == head ? "\n  {\"type\": " : ",\n  {\"type\": ", out);
        print_json_string(out, type, 4);
        std::fprintf(out, ", \"type_code\": %u, \"id\": %d, \"size\": %d, \"name\": ",
                     unsigned(r->type), int(r->id), int(r->size));
        if (r->name[0] == '\0')
            std::fputs("null", out);
        else
            print_json_string(out, r->name);
        std::putc('}', out);
    }
    std::fputs("]}", out);
}

void json_end(json_listing* listing, FILE* out)
{
    std::fputs(listing->files == 0 ? "{\"tamb\": 1, \"files\": []}\n" : "]}\n", out);
    listing->files = 0;
}
