// The text form of a resource list: a UTF-8 text that describes every record
// exactly and diffs well, read back into a list and printed from one; and the
// JSON listing of the records of several inputs.
//
// The text begins with the line "# tamb resource text 1". Each record is a
// line `resource 'TYPE' ID ["NAME"]` at column 0, followed by indented data
// lines (hex, text, int16 ... uint64, float32, float64, file) whose bytes,
// concatenated, are its data. Typed data is described as a list holds it:
// little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "container/container.h"
#include "resfile/resfile.h"

// True when the first n bytes begin with text_form_mark, the
// text_mark_length bytes that tell the text form.
bool is_text_form(const unsigned char* first, size_t n);

// Reads the whole text behind fd (from offset 0; a descriptor that cannot
// seek, such as a pipe, from where it is, to its end) and adds its resources
// to *list with add_resource, in order, through index when it is not null.
// Relative paths of `file` lines are taken from the directory of path; with
// allow_files false every `file` line is refused. On the first fault in the
// text prints "PATH:LINE: error: WHAT" and adds nothing. 0, or -1.
int read_text_resources(resource** list, int fd, const char* path, resource_index* index,
                        bool allow_files = true);

// The same over a source: a descriptor as above, or a text in memory, whose
// `file` lines, with allow_files false, fail with "PATH:LINE: error: a text
// in memory cannot name a file".
int read_text_resources(resource** list, source& s, const char* path, resource_index* index,
                        bool allow_files);

// The same, for a text already in memory.
int parse_text_resources(resource** list, const unsigned char* text, size_t length,
                         const char* path, resource_index* index, bool allow_files = true);

// "# tamb resource text 1", printed once before the first listing.
void print_text_start(FILE* out);

// A blank line, "# ARGUMENT (FORMAT format)", a blank line, then every
// record of the list in the canonical text form, each followed by a blank
// line. format_word is "PE", "PEF" or "text".
void print_text_listing(FILE* out, const char* argument, const char* format_word,
                        const resource* head);

// One JSON document listing the records of every input: json_file for each
// input in turn, then json_end once (which prints the whole document when no
// input was listed).
struct json_listing {
    int64_t files = 0; // inputs listed so far
};
void json_file(json_listing* listing, FILE* out, const char* argument, const char* format_word,
               const resource* head);
void json_end(json_listing* listing, FILE* out);
