// Any bytes as an input file, checked as --check checks it: the check never
// faults, and a file it calls sound lists and merges without a line on
// standard error. Its list is printed and, when it holds a record (a merge
// writes nothing else), written into a new output as a merge writes it and
// read back; the output is sound and holds the same records. A text form is
// read with `file` lines refused.
#include <cstdio>

#include "check/check.h"
#include "fuzzkit.h"
#include "resfile/fail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    require(quiet);
    int fd = file_holding(data, size);
    unsigned char first[text_mark_length];
    const bool text = pread(fd, first, sizeof first, 0) == ssize_t(sizeof first) &&
                      is_text_form(first, sizeof first);
    resource* list = nullptr;
    pe_format format = 1;
    check_report report;
    bool sound = false;
    if (text)
        sound = read_text_resources(&list, fd, "input", nullptr, false) == 0;
    else if (position_at_map(fd, 0, &format) == 1)
        sound = read_checked(&list, fd, format, nullptr, &report) == 0 && report.sound();
    close(fd);
    if (sound) {
        failure_sink lines;
        {
            collecting_failures collecting(&lines);
            print_listing("input", text ? "text" : format != 0 ? "PE" : "PEF", list);
        }
        if (list != nullptr) {
            collecting_failures collecting(&lines);
            int out = file_holding(nullptr, 0);
            pe_format written = 0;
            require(position_at_map(out, 1, &written) == 0 && written == 1);
            require(write_resource_file(list, out, written, nullptr) == 0);
            require(position_at_map(out, 0, &written) == 1);
            resource* back = nullptr;
            check_report again;
            require(read_checked(&back, out, written, nullptr, &again) == 0 && again.sound());
            require(same_records(list, back));
            free_resources(back);
            close(out);
        }
        require(lines.lines.empty());
    }
    free_resources(list);
    return 0;
}
