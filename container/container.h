// Where the resource file image sits in a file: recognising the container,
// deciding its byte order, and positioning the descriptor at the start of
// the resource area (creating one in write mode where needed).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/source.h"
#include "resfile/resfile.h"

// The first bytes of tamb's text form of a resource list, after a UTF-8
// byte-order mark or not: a file that begins with them is no container,
// and write mode refuses it. text_mark_length bytes (or all of a shorter
// file) tell.
constexpr char text_form_mark[] = "# tamb resource text";
constexpr char utf8_byte_order_mark[] = "\xEF\xBB\xBF";
constexpr size_t text_mark_length = sizeof utf8_byte_order_mark - 1 + sizeof text_form_mark - 1;

// What a standalone x86 resource file holds before its image.
constexpr char x86_file_header[4] = {'R', 'S', 0, 0};

// The length of the byte-order mark that the n bytes at first begin with
// (0 or 3), and whether they begin as the text form.
size_t byte_order_mark_length(const unsigned char* first, size_t n);
bool begins_as_text_form(const unsigned char* first, size_t n);

// Positions fd at the base offset of its resource area and sets *format
// (always written). mode 0 inspects an input; nonzero prepares an output: an
// empty file becomes a standalone x86 resource file, a PE executable without
// a resource area gets one at its end. A PE executable whose word names a
// place inside the file that holds no image, while the size word after it
// is not 0, keeps a table of its own there: write mode refuses it. Write
// mode refuses a signed one too (a real optional header whose certificate
// table has a non-zero size), before anything else. Write mode writes only
// into containers: it refuses the text form, a file that begins "RS" but
// not "RS\0\0", a PowerPC file that carries neither 'resf' nor the tags of
// a PEF executable, and a PEF executable whose area would cover its section
// headers or lie past its end. Result -1 on failure
// (after one line on stderr), 0 when there is no resource area (in write
// mode fd is where a new image goes), 1 when there is one and fd is at its
// start. The source form reads an image in memory by the same lines (its
// cursor is the position); write mode needs a descriptor.
int position_at_map(source& s, int mode, pe_format* format);
int position_at_map(int fd, int mode, pe_format* format);

// The file offset of a PE executable's resource-area word (the only place
// before its resource area that write mode may change, besides the
// checksum), or -1 when fd holds no PE executable whose word can be read.
// Moves the position.
off_t pe_area_word(int fd);

// The file offset of the checksum word (e_lfanew + 88) of a PE executable
// whose optional header is real and whose checksum is not 0, or -1: the word
// that a flush keeps right. The header is real when its magic (e_lfanew +
// 24) is 0x10B or 0x20B, the file reaches e_lfanew + 92 and, when the header
// counts five data directory entries or more, also past the certificate
// entry (e_lfanew + 160, or + 176 in PE32+). Moves the position.
off_t pe_checksum_word(int fd);

// Stores at `at` the checksum of the file behind fd as it is now: the sum of
// its bytes as 16-bit little-endian words (the four bytes at `at` counted as
// 0, an odd last byte as a word of its own) with the carry folded back into
// the low 16 bits after each addition and once more at the end, plus the
// file's length. Nothing is done when at is -1, or when the word does not
// lie wholly before base, where the image starts (the image holds it then).
// Reads the file once. 0, or -1 after one line on stderr.
int pe_checksum(int fd, off_t at, off_t base);

// The checksum that pe_checksum would store at `at`, computed into
// *checksum without writing anything. Reads the file once. 0, or -1 when
// a read fails (with no line: the caller says what it was doing).
int pe_file_checksum(int fd, off_t at, uint32_t* checksum);

// Big-endian PEF container header (40 bytes) and section headers (28 bytes
// each) converted to host order in place.
void swap_pef_header(unsigned char* header);
void swap_section_headers(unsigned char* headers, int count);

constexpr int pef_header_length = 40;
constexpr int pef_section_length = 28;
constexpr int pe_resource_word = 136; // from e_lfanew
constexpr int pe_checksum_field = 88; // from e_lfanew, in PE32 and PE32+
