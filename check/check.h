// Whether an input is sound: every line the reader printed for it, and what
// a lenient read passes over in silence: data blocks that overlap each other
// or the image's own parts, a resource that appears more than once in one
// map, data that stays in the input and so was never read, and the checksum
// of a PE executable.
#pragma once

#include <string>
#include <vector>

#include "resfile/resfile.h"

// What a check found in one input. Each line has no newline and carries
// type codes as their bytes (a terminal is shown them with shown_on).
struct check_report {
    std::vector<std::string> reader_lines; // every line the reader printed
    std::vector<std::string> problems;     // every other problem, as --check words it
    bool sound() const { return reader_lines.empty() && problems.empty(); }
};

// Reads the image at fd's position as read_resource_file does (into the same
// list, through the same index, printing the same lines), keeps the lines
// it prints in report->reader_lines, then looks over what it saw with
// check_resources. 0 whatever was found; -1 when the image could not be
// read, after the reader's line or check_resources' own.
int read_checked(resource** list, int fd, pe_format format, resource_index* index,
                 check_report* report);

// Adds to report->problems what seen shows (overlaps, repeats, the PE
// checksum), after reading whole every block whose data stayed in fd.
// 0, or -1 after "check_resources(): read() failed".
int check_resources(int fd, const image_seen& seen, check_report* report);

// Reads whole the data of every record of list that stays in its file (a
// text's `file` lines), so that a check finds a file that cannot be read.
// 0, or -1 after the line of the read that failed.
int read_kept_records(const resource* list);

// Adds to problems what seen shows without reading anything: data blocks
// that overlap each other or the image's own parts, and a type and id that
// more than one entry of the map carries. (check_resources finds these
// too.)
void find_layout_problems(const image_seen& seen, std::vector<std::string>& problems);

// For a merge that may not take damage: prints every problem but the
// reader's lines (already printed) as "check_resources(): PROBLEM". 0 when
// the report is sound, otherwise -1.
int fail_unsound(const check_report& report);
