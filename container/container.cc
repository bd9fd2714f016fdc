// Recognition by the first bytes: "RS" a standalone x86 resource file, "MZ"
// a PE executable, an empty file nothing yet, anything else a PowerPC
// container (a 'resf' resource file or a PEF executable).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "container/container.h"

#include <cerrno>
#include "platform/platform.h"
#include "resfile/fail.h"
#include "resfile/owned.h"

namespace {

int32_t le32(const unsigned char* p)
{
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                   uint32_t(p[3]) << 24);
}

template <typename T>
T host_field(const unsigned char* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// True when the bytes at `at` start a resource file image: its first word
// is the little-endian version word, whose bytes 2-3 are 4F 44. An area
// that holds one is tamb's own, whatever the size word after the area
// word says; anything else there belongs to the executable (its resource
// table in a 32-bit PE, its export table in a 64-bit one).
bool image_at(int fd, off_t at)
{
    unsigned char first[4];
    return syscalls.lseek(fd, at, SEEK_SET) == at && syscalls.read(fd, first, 4) == 4 && first[2] == 0x4F &&
           first[3] == 0x44;
}

// The largest resource-area word a PE header can hold: one with its top bit
// set reads back as "no resource area".
constexpr off_t largest_pe_area = 0x7FFFFFFF;

// What a real optional header says about the file as a whole.
struct optional_header {
    uint32_t checksum;
    uint32_t certificates; // the size of the certificate table, 0 when none
};

// Reads the optional header of the PE executable whose signature is at
// e_lfanew. False when it is not real (see pe_checksum_word). A header that
// ends before its count of data directory entries counts none.
bool read_optional_header(int fd, off_t e_lfanew, optional_header* h)
{
    unsigned char b[176] = {};
    const ssize_t read = pread_all(fd, b, sizeof b, e_lfanew);
    const size_t got = read > 0 ? size_t(read) : 0;
    const unsigned magic = b[24] | unsigned(b[25]) << 8;
    if ((magic != 0x10B && magic != 0x20B) || got < pe_checksum_field + 4)
        return false;
    const size_t count_at = magic == 0x10B ? 116 : 132, entry_at = magic == 0x10B ? 152 : 168;
    const uint32_t count = got >= count_at + 4 ? uint32_t(le32(b + count_at)) : 0;
    if (count >= 5 && got < entry_at + 8)
        return false;
    h->checksum = uint32_t(le32(b + pe_checksum_field));
    h->certificates = count >= 5 ? uint32_t(le32(b + entry_at + 4)) : 0;
    return true;
}

// The offset of the "PE" signature of the executable in fd, or -1 when fd
// holds none. Moves the position.
off_t pe_signature(int fd)
{
    unsigned char b[4];
    if (syscalls.lseek(fd, 0, SEEK_SET) != 0 || syscalls.read(fd, b, 2) != 2 || b[0] != 'M' || b[1] != 'Z' ||
        syscalls.lseek(fd, 60, SEEK_SET) != 60 || syscalls.read(fd, b, 4) != 4)
        return -1;
    const off_t e_lfanew = le32(b);
    if (e_lfanew < 0 || syscalls.lseek(fd, e_lfanew, SEEK_SET) != e_lfanew || syscalls.read(fd, b, 2) != 2 ||
        b[0] != 'P' || b[1] != 'E')
        return -1;
    return e_lfanew;
}

uint32_t fold(uint32_t sum)
{
    return (sum & 0xFFFF) + (sum >> 16);
}

int pe_path(source& s, int mode)
{
    if (source_seek(s, 60, SEEK_SET) < 0)
        return fail("position_at_map(): cannot seek to PE offset location\n");
    unsigned char word[4];
    if (source_read(s, word, 4) != 4)
        return fail("position_at_map(): read() PE offset failed\n");
    const off_t e_lfanew = le32(word);
    if (source_seek(s, e_lfanew, SEEK_SET) < 0)
        return fail("position_at_map(): lseek() to PE failed\n");
    if (source_read(s, word, 2) != 2)
        return fail("position_at_map(): read() PE signature failed\n");
    if (word[0] != 'P' || word[1] != 'E')
        return fail("position_at_map(): expected PE signature\n");
    // A signature covers the headers, the area word among them, and every
    // byte before the certificate table; what is added after the table lies
    // outside it. Writing would leave a program whose signature is broken.
    optional_header h;
    if (mode != 0 && read_optional_header(s.fd, e_lfanew, &h) && h.certificates != 0)
        return fail("position_at_map(): executable is signed (certificate table of %u bytes)\n",
                    h.certificates);
    const off_t f = source_seek(s, e_lfanew + pe_resource_word, SEEK_SET);
    if (f < 0)
        return fail("position_at_map(): cannot seek to resource section offset\n");
    if (source_read(s, word, 4) != 4)
        return fail("position_at_map(): cannot read resource section offset\n");
    const off_t r = le32(word);
    // The word after it is the size of the table the executable itself
    // keeps there; one that cannot be read counts as 0.
    uint32_t table_size = 0;
    if (mode != 0 && source_read(s, word, 4) == 4)
        table_size = uint32_t(le32(word));

    if (r <= 0) {
        if (mode == 0)
            return 0;
        const off_t e = source_seek(s, 0, SEEK_END);
        if (e < 0)
            return fail("position_at_map(): cannot get end of file\n");
        const off_t a = (e + 15) & ~off_t(15);
        if (a > largest_pe_area)
            return fail("position_at_map(): end of file too far for a resource section offset\n");
        if (source_seek(s, f, SEEK_SET) < 0)
            return fail("position_at_map(): cannot re-seek to resource section offset\n");
        const uint32_t v = uint32_t(a);
        const unsigned char le[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        if (write_all(s.fd, le, 4) != 4)
            return fail("position_at_map(): write of new resource section offset failed\n");
        if (source_seek(s, a, SEEK_SET) < 0)
            return fail("position_at_map(): final lseek with allocated map failed\n");
        return 0;
    }
    const off_t e = source_seek(s, 0, SEEK_END);
    if (e < 0)
        return fail("position_at_map(): cannot get EOF\n");
    if (mode != 0 && r < e && table_size != 0 && !image_at(s.fd, r))
        return fail("position_at_map(): resource table in use by the executable (size %u)\n",
                    table_size);
    if (source_seek(s, r, SEEK_SET) < 0)
        return fail("position_at_map(): final lseek() failed\n");
    return r < e ? 1 : 0;
}

// What write mode demands of a PowerPC file before it writes there: the tags
// of a PEF executable (or a 'resf' resource file, whatever its first tag),
// so that a file of another kind is never taken for one by a few bytes.
bool powerpc_tags(const unsigned char* header)
{
    const uint32_t tag2 = host_field<uint32_t>(header + 4);
    // tag1 is not among the fields converted with the header.
    const uint32_t tag1 = uint32_t(header[0]) << 24 | uint32_t(header[1]) << 16 |
                          uint32_t(header[2]) << 8 | header[3];
    return tag2 == type_code("resf") || (tag1 == type_code("Joy!") && tag2 == type_code("peff"));
}

int powerpc_path(source& s, int mode)
{
    source_seek(s, 0, SEEK_SET);
    unsigned char header[pef_header_length];
    if (source_read(s, header, sizeof header) != ssize_t(sizeof header))
        return fail("position_at_map(): read() file header failed\n");
    swap_pef_header(header);
    if (mode != 0 && !powerpc_tags(header))
        return fail("position_at_map(): not a PEF executable\n");
    if (host_field<uint32_t>(header + 4) == type_code("resf"))
        return 1;

    // A count of 0 is an empty table: the area then starts right after the
    // container header.
    const int count = host_field<int16_t>(header + 32);
    owned<unsigned char> sections;
    if (count != 0) {
        sections.reset(count > 0 ? static_cast<unsigned char*>(
                                       std::calloc(pef_section_length, size_t(count)))
                                 : nullptr);
        if (!sections)
            return fail("position_at_map(): calloc(%d, %d) failed\n", pef_section_length, count);
    }
    const ssize_t want = ssize_t(count) * pef_section_length;
    if (count > 0) {
        const ssize_t got = source_read(s, sections.get(), size_t(want));
        if (got != want)
            return fail("position_at_map(): cannot read section headers (read(%d) returns %d)\n",
                        int(want), int(got));
    }
    swap_section_headers(sections.get(), count);

    off_t b = pef_header_length;
    for (int i = 0; i < count; ++i) {
        const unsigned char* s = sections.get() + i * pef_section_length;
        const int32_t end =
            int32_t(host_field<uint32_t>(s + 20) + host_field<uint32_t>(s + 16));
        if (off_t(end) > b)
            b = end;
    }
    sections.reset();
    // An image written at B must neither cover the executable's own headers
    // nor leave a gap after a file cut short.
    if (mode != 0 && b < pef_header_length + off_t(count) * pef_section_length)
        return fail("position_at_map(): resource area would cover the section headers\n");

    const off_t e = source_seek(s, 0, SEEK_END);
    if (e < 0)
        return fail("position_at_map(): can't find EOF\n");
    if (mode != 0 && b > e)
        return fail("position_at_map(): section data reaches past the end of the file\n");
    if (source_seek(s, b, SEEK_SET) < 0)
        return fail("position_at_map(): lseek() to resource data failed\n");
    return e != b ? 1 : 0;
}

} // namespace

void swap_pef_header(unsigned char* header)
{
    for (int at : {4, 8, 12, 16, 20, 24, 28, 36})
        swap32(header + at);
    swap16(header + 32);
    swap16(header + 34);
}

void swap_section_headers(unsigned char* headers, int count)
{
    for (int i = 0; i < count; ++i)
        for (int at = 0; at < 24; at += 4)
            swap32(headers + i * pef_section_length + at);
}

off_t pe_area_word(int fd)
{
    const off_t e_lfanew = pe_signature(fd);
    return e_lfanew < 0 ? -1 : e_lfanew + pe_resource_word;
}

off_t pe_checksum_word(int fd)
{
    const off_t e_lfanew = pe_signature(fd);
    optional_header h;
    if (e_lfanew < 0 || !read_optional_header(fd, e_lfanew, &h) || h.checksum == 0)
        return -1;
    return e_lfanew + pe_checksum_field;
}

int pe_file_checksum(int fd, off_t at, uint32_t* checksum)
{
    const off_t length = syscalls.lseek(fd, 0, SEEK_END);
    if (length < 0)
        return -1;
    static unsigned char buffer[1 << 20];
    uint32_t sum = 0;
    int low = -1; // an odd byte read, waiting for the high half of its word
    for (off_t done = 0; done < length;) {
        const ssize_t k =
            syscalls.pread(fd, buffer, size_t(std::min<off_t>(sizeof buffer, length - done)), done);
        if (k <= 0)
            return -1;
        for (off_t i = std::max<off_t>(at - done, 0); i < std::min<off_t>(at + 4 - done, k); ++i)
            buffer[i] = 0; // the checksum word counts as 0
        ssize_t i = 0;
        if (low >= 0)
            sum = fold(sum + (unsigned(low) | unsigned(buffer[i++]) << 8));
        for (; i + 1 < k; i += 2)
            sum = fold(sum + (buffer[i] | unsigned(buffer[i + 1]) << 8));
        low = i < k ? buffer[i] : -1;
        done += k;
    }
    if (low >= 0)
        sum = fold(sum + unsigned(low));
    *checksum = fold(sum) + uint32_t(length);
    return 0;
}

int pe_checksum(int fd, off_t at, off_t base)
{
    if (at < 0 || at + 4 > base)
        return 0;
    uint32_t sum = 0;
    errno = 0;
    if (pe_file_checksum(fd, at, &sum) != 0)
        return fail_call("pe_checksum(): read() failed", errno);
    const unsigned char word[4] = {uint8_t(sum), uint8_t(sum >> 8), uint8_t(sum >> 16),
                                   uint8_t(sum >> 24)};
    const ssize_t put = pwrite_all(fd, word, 4, at);
    if (put != 4)
        return fail_call("pe_checksum(): write() failed", put < 0 ? errno : 0);
    return 0;
}

size_t byte_order_mark_length(const unsigned char* first, size_t n)
{
    const size_t k = sizeof utf8_byte_order_mark - 1;
    return n >= k && std::memcmp(first, utf8_byte_order_mark, k) == 0 ? k : 0;
}

bool begins_as_text_form(const unsigned char* first, size_t n)
{
    const size_t skip = byte_order_mark_length(first, n), k = sizeof text_form_mark - 1;
    return n - skip >= k && std::memcmp(first + skip, text_form_mark, k) == 0;
}

int position_at_map(source& s, int mode, pe_format* format)
{
    *format = 0;
    if (source_seek(s, 0, SEEK_SET) < 0)
        return fail("position_at_map(): lseek() to beginning failed\n");
    *format = 1;
    unsigned char signature[4];
    const ssize_t got = source_read(s, signature, 4);
    if (got == 0) {
        if (mode == 0)
            return 0;
        // A short write would put the image at the wrong offset: any count
        // other than 4 fails.
        if (write_all(s.fd, x86_file_header, sizeof x86_file_header) != sizeof x86_file_header)
            return fail("position_at_map(): write() file_header failed\n");
        return 0;
    }
    if (got != 4)
        return fail("position_at_map(): read() signature failed\n");
    // Write mode writes only into containers: never into the text form, nor
    // into a file that merely begins with the letters RS.
    unsigned char mark[text_mark_length];
    ssize_t marked = 0;
    if (mode != 0 && (marked = source_pread_all(s, mark, sizeof mark, 0)) > 0 &&
        begins_as_text_form(mark, size_t(marked)))
        return fail("position_at_map(): output is in the text form (print one with --text)\n");
    if (signature[0] == 'R' && signature[1] == 'S') {
        if (mode != 0 && (signature[2] != 0 || signature[3] != 0))
            return fail("position_at_map(): not an x86 resource file\n");
        return 1;
    }
    if (signature[0] == 'M' && signature[1] == 'Z') {
        *format = 1;
        return pe_path(s, mode);
    }
    *format = 0;
    return powerpc_path(s, mode);
}

int position_at_map(int fd, int mode, pe_format* format)
{
    source s = source::descriptor(fd);
    return position_at_map(s, mode, format);
}
