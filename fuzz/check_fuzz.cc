// Any bytes as an input file, checked as --check checks it: the check never
// faults, and a file it calls sound lists and merges without a line on
// standard error. Its list is printed and, when it holds a record (a merge
// writes nothing else), written into a new output as a merge writes it and
// read back; the output is sound and holds the same records. A text form is
// read with `file` lines refused. libtamb opens an image exactly when the
// check finds nothing in it but a PE checksum, failing with the first line
// the check has (as a terminal shows it), and then gives the check's
// records, data and all.
#include <cstdio>
#include <string>

#include "check/check.h"
#include "fuzzkit.h"
#include "resfile/fail.h"
#include "tamb/resources.h"

namespace {

// What libtamb makes of the image in fd, against what the check found
// (area: position_at_map's result; read: read_checked's).
void open_as_the_library(int fd, int area, int read, const check_report& report, const resource* list)
{
    tamb_file* f = nullptr;
    const int code = tamb_open(("/proc/self/fd/" + std::to_string(fd)).c_str(), &f);
    std::vector<std::string> found = report.reader_lines;
    for (const std::string& p : report.problems)
        if (p.rfind("PE checksum is ", 0) != 0)
            found.push_back(p);
    if (area != 1 || read != 0 || !found.empty()) {
        require(code == (area != 1 ? TAMB_E_NOT_RESOURCE_FILE : TAMB_E_DAMAGED) && f == nullptr);
        require(read != 0 || found.empty() ||
                shown_to_people(found.front().data(), found.front().size()).substr(0, 1023) ==
                    tamb_error());
        return;
    }
    require(code == 0 && tamb_count(f) == size_t(count_resources(list)));
    size_t i = 0;
    for (const resource* r = list; r != nullptr; r = r->next, ++i) {
        tamb_resource got;
        const void* data = nullptr;
        size_t size = 0;
        require(tamb_resource_at(f, i, &got) == 0 && got.type == r->type && got.id == r->id &&
                std::strcmp(got.name, r->name) == 0 && tamb_data(f, &got, &data, &size) == 0 &&
                size == size_t(r->size) && (size == 0 || std::memcmp(data, r->data, size) == 0));
    }
    tamb_close(f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    require(quiet);
    int fd = file_holding(data, size);
    unsigned char first[text_mark_length];
    const ssize_t got = pread(fd, first, sizeof first, 0);
    const bool text = got > 0 && is_text_form(first, size_t(got));
    resource* list = nullptr;
    pe_format format = 1;
    check_report report;
    bool sound = false;
    if (text) {
        sound = read_text_resources(&list, fd, "input", nullptr, false) == 0;
    } else {
        const int area = position_at_map(fd, 0, &format);
        const int read = area == 1 ? read_checked(&list, fd, format, nullptr, &report) : -1;
        sound = read == 0 && report.sound();
        open_as_the_library(fd, area, read, report, list);
    }
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
