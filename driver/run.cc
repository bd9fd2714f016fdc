// Walking the command line: input files are located and read into the one
// resource list; output switches and the end of the arguments flush it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include "check/check.h"
#include "container/container.h"
#include "driver/driver.h"
#include "output/journal.h"
#include "output/lock.h"
#include "output/output.h"
#include "output/progress.h"
#include "platform/platform.h"
#include "resfile/fail.h"
#include "textform/textform.h"

namespace {

int error(const char* format, const char* name)
{
    std::fprintf(stderr, format, name);
    return 1;
}

// The error line that goes with how a write of the file at path ended.
int report(output_result result, const char* path, const char* not_written)
{
    switch (result) {
    case output_result::written:
        return 0;
    case output_result::cannot_create:
        return error("error: cannot create %s\n", path);
    case output_result::not_a_resource_file:
        return error("error: output file %s is not a resource file\n", path);
    case output_result::not_written:
        break;
    }
    return error(not_written, path);
}

// Descriptors 0-2 that are closed are opened on /dev/null, so that no input
// or output file takes their place (and a listing never lands in an output).
// True when standard output was closed.
bool fill_standard_descriptors()
{
    const bool stdout_closed = !descriptor_open(1);
    for (int fd = 0; fd <= 2; ++fd)
        if (!descriptor_open(fd) && syscalls.open(null_device, O_RDWR, 0) < 0)
            break;
    return stdout_closed;
}

// A --extract request, once the walk has reached it.
struct extraction {
    resource_request what;
    char type[5];           // as given, for messages
    bool to_stdout = false; // "-", or the file standard output is open on
    bool written = false;   // its file has been written at least once
    size_t read_before = 0; // --depfile: the files read up to its last save
    bool brought = false;   // the input being read brought such a resource
    std::shared_ptr<resource> held; // to_stdout: the last version, written at the end
};

// How inputs are listed: not at all (they are gathered for an output), as
// the table, in the text form, as one JSON document, or as a verdict on
// each (--check).
enum class listing_form { none, table, text, json, check };

// The switches that change the whole run wherever they stand.
struct run_switches {
    bool check = false;  // --check
    bool strict = false; // --strict: any problem --check would find fails its input
    const char* depfile = nullptr; // --depfile FILE
    progress_mode progress = progress_mode::automatic; // the last of --progress, --no-progress
};

// --depfile: a rule for make and ninja for every file the run writes,
// naming the files it was made from.
struct dependencies {
    const char* file = nullptr; // null: no --depfile
    bool to_stdout = false;
    std::string rules;
    std::vector<std::string> read; // every file read, in the order first read
    std::unordered_set<std::string> seen;
    std::vector<std::string> for_output; // those read for the current output
    std::unordered_set<std::string> seen_for_output;
};

// The state of one run.
struct run_state {
    resource_list list;
    output_lock lock;           // on the output, while the run gathers for it and writes it
    bool output_sought = false; // the lock has been sought for the current output
    listing_form listing = listing_form::none;
    bool text_started = false; // the text form's first line is printed
    json_listing json;
    const char* output = default_output_path;
    std::vector<extraction> extractions;
    bool stdout_closed = false; // descriptor 1 was closed at start
    bool stdout_used = false;   // the run has printed to standard output
    bool strict = false;
    bool unsound = false; // --check: a file was not ok
    dependencies deps;
    bool output_lost = false; // the output, read as an input of its batch, lost resources
    flush_function flush_to = flush_resources;
};

// Notes that the run has read the file at path.
void note_read(run_state& run, const char* path)
{
    dependencies& d = run.deps;
    if (d.file == nullptr)
        return;
    if (d.seen.insert(path).second)
        d.read.push_back(path);
    if (d.seen_for_output.insert(path).second)
        d.for_output.push_back(path);
}

// What make and ninja read back as path: a space and '#' escaped with a
// backslash, '$' doubled.
std::string escaped(const std::string& path)
{
    std::string out;
    for (const char c : path) {
        if (c == ' ' || c == '#')
            out += '\\';
        if (c == '$')
            out += '$';
        out += c;
    }
    return out;
}

// Before a file is written: make and ninja can read back its path and the
// paths of the files it is made from. 0, or 1 after the error line.
int check_dependencies(const run_state& run, const char* target,
                       const std::vector<std::string>& from, size_t count)
{
    if (run.deps.file == nullptr)
        return 0;
    for (size_t i = 0; i <= count; ++i) {
        const std::string& path = i < count ? from[i] : target;
        if (path.find('\n') != std::string::npos || path.find(": ") != std::string::npos ||
            (!path.empty() && path.back() == ':'))
            return error("error: cannot write a dependency on %s\n", path.c_str());
    }
    return 0;
}

// The rule of a file written, made from the first count files of from: all
// but the file itself (a read-modify-write makes no file depend on itself).
void add_rule(run_state& run, const char* target, const std::vector<std::string>& from,
              size_t count)
{
    if (run.deps.file == nullptr)
        return;
    file_identity written;
    const bool known = path_identity(target, &written) == 0;
    std::string& rule = run.deps.rules;
    rule += escaped(target) + ":";
    for (size_t i = 0; i < count; ++i)
        if (from[i] != target && !(known && names_file(from[i].c_str(), written)))
            rule += " " + escaped(from[i]);
    rule += "\n";
}

// Before the walk first reads an input or an --add file for the current
// output, that output is locked against other runs, so that reading it
// and writing it are one turn. A listing reads for no output.
void hold_output(run_state& run)
{
    if (run.listing != listing_form::none || run.output_sought)
        return;
    run.output_sought = true;
    lock_output(&run.lock, run.output);
}

// Lets the current output go: its batch is written, or there is none.
void let_output_go(run_state& run)
{
    unlock_output(&run.lock);
    run.output_sought = false;
}

// Writes the gathered list into the output file and empties the list. The
// output changes only when every step succeeds: on failure (or when the
// run is ended by a signal) it is left as it was.
int flush(run_state& run)
{
    resource_list& list = run.list;
    // An output that lost resources as its own input would be written
    // without them: it is left as it is.
    if (run.output_lost)
        return error("error: %s lost resources while being read; not written (use --check to see why)\n",
                     run.output);
    // The list is only written from here on: its index can go first.
    clear_resource_index(&list.index);
    // An output that has appeared since the walk began is locked now.
    if (run.lock.held < 0)
        lock_output(&run.lock, run.output);
    // Data waiting for standard output must not be lost with the output's
    // old bytes.
    for (extraction& e : run.extractions)
        if (move_aside_if_in(e.held.get(), run.output) != 0)
            return error("error: problem writing resource file %s\n", run.output);
    if (check_dependencies(run, run.output, run.deps.for_output, run.deps.for_output.size()) != 0)
        return 1;
    // What a run that was cut off left of it or beside it is made good first.
    if (settle_file(run.output, &run.lock, true) != 0)
        return 1;
    const int status = report(run.flush_to(&list.head, run.output), run.output,
                              "error: problem writing resource file %s\n");
    let_output_go(run);
    if (status != 0)
        return 1;
    add_rule(run, run.output, run.deps.for_output, run.deps.for_output.size());
    list.clear();
    run.output_lost = false;
    return 0;
}

// The end of a run that has not failed: a listing that could not be fully
// written to standard output fails it, and so does anything printed to a
// standard output that was closed at start. A run that ends with status 0
// writes its dependency file: the rules of its outputs, then those of its
// extractions to files.
int finish(run_state& run, int status)
{
    dependencies& d = run.deps;
    if (status == 0 && d.file != nullptr) {
        for (const extraction& e : run.extractions)
            if (e.written && !e.to_stdout)
                add_rule(run, e.what.file, d.read, e.read_before);
        if (d.to_stdout && !d.rules.empty()) {
            std::fwrite(d.rules.data(), 1, d.rules.size(), stdout);
            run.stdout_used = true;
        }
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || (run.stdout_closed && run.stdout_used)) {
        std::fprintf(stderr, "error: problem writing the listing\n");
        return 1;
    }
    if (status == 0 && d.file != nullptr && !d.to_stdout)
        return report(write_whole_file(d.file, d.rules), d.file, "error: problem writing %s\n");
    return status;
}

const char* format_word(pe_format format)
{
    return format != 0 ? "PE" : "PEF";
}

// Lists what was gathered under the argument's name and drops it.
void list_resources(run_state& run, const char* argument, const char* word)
{
    if (run.listing == listing_form::table) {
        print_listing(argument, word, run.list.head);
    } else if (run.listing == listing_form::text) {
        if (!run.text_started)
            print_text_start(stdout);
        run.text_started = true;
        print_text_listing(stdout, argument, word, run.list.head);
    } else {
        json_file(&run.json, stdout, argument, word, run.list.head);
    }
    run.stdout_used = true;
    run.list.clear();
    unlock_output(&run.lock); // nothing gathered is left to write
}

// True when an extraction's file is standard output: "-", or the very file
// that standard output is open on.
bool to_standard_output(const char* file, bool stdout_closed)
{
    return std::strcmp(file, "-") == 0 || (!stdout_closed && same_file(file, 1));
}

// The checks that look at the whole command line before anything is done:
// one listing form a run, none of the text or JSON forms when an extraction
// writes to standard output, a --check that only checks input files, a
// --depfile with its file, which is standard output only when no listing,
// check or extraction prints there.
// The arguments of the switches that take one are skipped. Sets *switches.
// 0, or 1 after the error line.
int check_command_line(int argc, char** argv, bool stdout_closed, run_switches* switches)
{
    listing_form seen = listing_form::none;
    bool clash = false, extract_to_stdout = false, requests = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        switches->check |= arg == "--check";
        switches->strict |= arg == "--strict";
        if (arg == "--progress" || arg == "--no-progress")
            switches->progress = arg == "--progress" ? progress_mode::always : progress_mode::never;
        requests |= arg == "--add" || arg == "--delete" || arg == "--extract";
        if (arg == "--extract" && i + 1 < argc) {
            resource_request what;
            extract_to_stdout |= parse_request(argv[i + 1], request_kind::extract, &what) &&
                                 to_standard_output(what.file, stdout_closed);
        }
        if (arg == "--depfile" && i + 1 >= argc) {
            std::fprintf(stderr, "error: --depfile requires an argument\n");
            return 1;
        }
        if (arg == "--depfile")
            switches->depfile = argv[i + 1];
        if (arg == "-o" || arg == "--output" || arg == "--add" || arg == "--delete" ||
            arg == "--extract" || arg == "--depfile") {
            ++i;
            continue;
        }
        const listing_form form = arg == "-l" || arg == "--list" ? listing_form::table
                                  : arg == "--text"              ? listing_form::text
                                  : arg == "--json"              ? listing_form::json
                                                                 : listing_form::none;
        if (form == listing_form::none)
            continue;
        clash |= seen != listing_form::none && seen != form;
        seen = form;
    }
    if (clash) {
        std::fprintf(stderr, "error: -l, --text and --json cannot be combined\n");
        return 1;
    }
    if (extract_to_stdout && (seen == listing_form::text || seen == listing_form::json)) {
        std::fprintf(stderr, "error: --extract to standard output cannot be combined with --text "
                             "or --json\n");
        return 1;
    }
    if (switches->check && seen != listing_form::none) {
        std::fprintf(stderr, "error: --check cannot be combined with -l, --text or --json\n");
        return 1;
    }
    if (switches->check && requests) {
        std::fprintf(stderr, "error: --check takes only input files\n");
        return 1;
    }
    if (switches->depfile != nullptr && to_standard_output(switches->depfile, stdout_closed) &&
        (seen != listing_form::none || switches->check || extract_to_stdout)) {
        std::fprintf(stderr, "error: --depfile - cannot share standard output with a listing or "
                             "an extraction\n");
        return 1;
    }
    return 0;
}

// Notes which resources the next input brings, for the extractions.
void watch_extractions(run_state& run)
{
    run.list.index.noting = !run.extractions.empty();
}

// Saves a resource's data, as the list holds it, to the request's file,
// which is replaced only once all of it is written. Bytes for standard
// output are kept until the walk ends.
int extract(const run_state& run, extraction& e, const resource* r)
{
    if (e.to_stdout) {
        // A record of its own: kept data stays where it lies until the end.
        e.held.reset(copy_record(r), release_record);
        if (!e.held)
            return error("error: problem writing %s\n", e.what.file);
        return 0;
    }
    if (check_dependencies(run, e.what.file, run.deps.read, run.deps.read.size()) != 0 ||
        settle_file(e.what.file, &run.lock, true) != 0)
        return 1;
    e.read_before = run.deps.read.size();
    return report(extract_resource(r, e.what.file), e.what.file, "error: problem writing %s\n");
}

// Writes the file of every extraction whose resource the last input brought.
int deliver_extractions(run_state& run)
{
    resource_index& index = run.list.index;
    for (const resource_key& key : index.placed)
        for (extraction& e : run.extractions)
            if (e.what.type == key.first && e.what.id == key.second)
                e.brought = true;
    index.placed.clear();
    index.noting = false;
    for (extraction& e : run.extractions) {
        if (!e.brought)
            continue;
        e.brought = false;
        const resource* r = find_resource(run.list.head, e.what.type, e.what.id, &run.list.index);
        if (r == nullptr)
            continue;
        if (extract(run, e, r) != 0)
            return 1;
        e.written = true;
    }
    return 0;
}

// --check's lines for one input on standard output: each problem, then the
// verdict, flushed so that a log that takes both outputs keeps them in
// order. report null: the input could not be read.
void print_verdict(run_state& run, const char* path, const check_report* report)
{
    // A line may hold a type code with a NUL in it: it is written whole.
    const auto print_line = [path](const char* lead, const std::string& text) {
        const std::string line =
            std::string(path) + ": " + lead + shown_on(1, text.data(), text.size()) + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
    };
    if (report != nullptr) {
        for (const std::string& line : report->reader_lines)
            print_line("reader: ", line);
        for (const std::string& p : report->problems)
            print_line("", p);
    }
    const char* verdict = report == nullptr ? "unreadable" : report->sound() ? "ok" : "damaged";
    std::printf("%s: %s\n", path, verdict);
    std::fflush(stdout);
    run.stdout_used = true;
    run.unsound |= report == nullptr || !report->sound();
}

int gather(run_state& run, const char* path)
{
    hold_output(run);
    if (settle_file(path, &run.lock, false) != 0)
        return 1;
    owned_descriptor in(syscalls.open(path, O_RDONLY, 0));
    if (in.fd < 0)
        return error("error: cannot open %s\n", path);
    note_read(run, path);
    // A file that begins as the text form does is read as one.
    unsigned char first[text_mark_length];
    const ssize_t got = pread_all(in.fd, first, sizeof first, 0);
    const bool text = got > 0 && is_text_form(first, size_t(got));
    pe_format format = 0;
    if (!text && position_at_map(in.fd, 0, &format) <= 0)
        return error("error: %s is not a resource file\n", path);
    watch_extractions(run);
    // Large data stays in the input until it is written or printed.
    run.list.index.keeping = path;
    std::vector<std::string> file_lines; // what the text's `file` lines read
    run.list.index.files_read = run.deps.file != nullptr ? &file_lines : nullptr;
    // A check, or a strict run, also looks over what the read of an image saw.
    const bool checking = !text && (run.listing == listing_form::check || run.strict);
    check_report report;
    failure_sink lost; // the lines of a lenient read: resources it went on without
    int read = 0;
    {
        collecting_failures collecting(text || checking ? failure_collector : &lost);
        read = text       ? read_text_resources(&run.list.head, in.fd, path, &run.list.index)
               : checking ? read_checked(&run.list.head, in.fd, format, &run.list.index, &report)
                          : read_resource_file(&run.list.head, in.fd, format, nullptr,
                                               &run.list.index);
    }
    if (read == 0 && !lost.lines.empty() && run.listing == listing_form::none &&
        same_file(run.output, in.fd))
        run.output_lost = true;
    // A text's `file` lines whose data stays in their files are read whole too.
    if (text && read == 0 && (run.listing == listing_form::check || run.strict))
        read = read_kept_records(run.list.head);
    run.list.index.keeping = nullptr;
    run.list.index.files_read = nullptr;
    for (const std::string& line : file_lines)
        note_read(run, line.c_str());
    if (read < 0 || (run.strict && run.listing != listing_form::check && fail_unsound(report) != 0))
        return error("error: problem reading resources from %s\n", path);
    if (run.listing == listing_form::check) {
        print_verdict(run, path, &report);
        run.list.clear();
        return 0;
    }
    if (deliver_extractions(run) != 0)
        return 1;
    if (run.listing != listing_form::none)
        list_resources(run, path, text ? "text" : format_word(format));
    return 0;
}

// The data of the file open on fd, read from its position to its end (a
// pipe or a device too): held in memory, data from a pipe or a device
// beyond data_held_at_most bytes in the spill file. The record, its head
// room (head_room bytes) still to be filled; null after the error line when
// it cannot be read, held or holds more than largest_resource bytes.
resource* read_added(int fd, const char* path, size_t head_room, bool regular)
{
    data_builder data;
    start_data(&data, head_room, regular ? INT64_MAX : data_held_at_most);
    if (!regular)
        widen_pipe(fd);
    std::vector<unsigned char> buffer(size_t(1) << 16);
    for (;;) {
        const ssize_t n = syscalls.read(fd, buffer.data(), buffer.size());
        if (n < 0) {
            error("error: cannot open %s\n", path);
            return nullptr;
        }
        if (n == 0)
            break;
        if (data.length + n > largest_resource) {
            error("error: %s is too large for a resource\n", path);
            return nullptr;
        }
        if (add_data(&data, buffer.data(), size_t(n)) != 0) {
            error("error: cannot hold the data of %s\n", path);
            return nullptr;
        }
        if (buffer.size() < (size_t(1) << 20))
            buffer.resize(buffer.size() * 2);
    }
    resource* r = finish_data(&data);
    if (r == nullptr)
        error("error: cannot hold the data of %s\n", path);
    return r;
}

// A record for --add whose data, the whole content of the large regular
// file open on fd, stays in the file; null when it may not, and the file is
// read then.
resource* kept_file(const resource_request& what, int fd, int64_t length)
{
    if (!data_may_stay(length))
        return nullptr;
    const int input = keep_input(fd, what.file);
    if (input < 0)
        return nullptr;
    resource* r = allocate_kept_record(record_head_room(what.name.size() + 1), input, 0,
                                       data_order::little);
    forget_unused_input(input);
    return r;
}

// --add: one resource gathered as an x86 input holding only it would be.
// The file is opened once: a FIFO or a pipe is read once, to its end.
int add_file(run_state& run, const resource_request& what)
{
    hold_output(run);
    if (settle_file(what.file, &run.lock, false) != 0)
        return 1;
    const size_t name_bytes = what.name.size() + 1;
    resource* r = nullptr;
    {
        owned_descriptor in(syscalls.open(what.file, O_RDONLY, 0));
        if (in.fd < 0)
            return error("error: cannot open %s\n", what.file);
        note_read(run, what.file);
        struct stat st;
        const bool regular = syscalls.fstat(in.fd, &st) == 0 && S_ISREG(st.st_mode);
        if (regular && st.st_size > largest_resource)
            return error("error: %s is too large for a resource\n", what.file);
        if (regular)
            r = kept_file(what, in.fd, st.st_size);
        if (r != nullptr)
            fill_record(r, what.type, what.id, int32_t(st.st_size), what.name.c_str(), name_bytes);
        else if ((r = read_added(in.fd, what.file, record_head_room(name_bytes), regular)) != nullptr)
            fill_record(r, what.type, what.id, r->size, what.name.c_str(), name_bytes);
        else
            return 1;
    }
    watch_extractions(run);
    if (place_record(&run.list.head, r, &run.list.index) < 0)
        return error("error: problem reading resources from %s\n", what.file);
    if (deliver_extractions(run) != 0)
        return 1;
    if (run.listing != listing_form::none)
        list_resources(run, what.file, format_word(1));
    return 0;
}

// --extract: from here on, the request's file follows the resource.
int start_extraction(run_state& run, const resource_request& what, const char* arg)
{
    extraction e;
    e.what = what;
    std::copy_n(arg, 4, e.type);
    e.type[4] = '\0';
    e.to_stdout = to_standard_output(what.file, run.stdout_closed);
    if (const resource* r = find_resource(run.list.head, what.type, what.id, &run.list.index)) {
        if (extract(run, e, r) != 0)
            return 1;
        e.written = true;
    }
    run.extractions.push_back(e);
    return 0;
}

// Writes what the extractions to standard output hold, in the order they
// were asked for.
int deliver_to_stdout(run_state& run)
{
    for (const extraction& e : run.extractions) {
        if (!e.to_stdout || !e.written)
            continue;
        run.stdout_used = true;
        data_pieces pieces(e.held.get());
        const unsigned char* p = nullptr;
        for (ssize_t n; (n = next_piece(&pieces, &p)) != 0;) {
            if (n < 0)
                return error("error: problem writing %s\n", e.what.file);
            const ssize_t put = write_standard_output(p, size_t(n));
            if (put != n) {
                fail_call("extract_resource(): write() failed", put < 0 ? errno : 0);
                return error("error: problem writing %s\n", e.what.file);
            }
        }
    }
    return 0;
}

} // namespace

int tamb_main(int argc, char** argv, flush_function flush_to)
{
    run_state run;
    run.flush_to = flush_to;
    run.stdout_closed = fill_standard_descriptors();
    resource_list& list = run.list;
    run_switches switches;
    if (check_command_line(argc, argv, run.stdout_closed, &switches) != 0)
        return 1;
    run.strict = switches.strict;
    run.deps.file = switches.depfile;
    run.deps.to_stdout =
        switches.depfile != nullptr && to_standard_output(switches.depfile, run.stdout_closed);
    progress_wanted = switches.progress;
    if (switches.check)
        run.listing = listing_form::check;

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-?") == 0) {
            print_help(run.output);
            return 1;
        }
        const listing_form forms[] = {listing_form::table, listing_form::table,
                                      listing_form::text, listing_form::json};
        const char* const form_switches[] = {"-l", "--list", "--text", "--json"};
        const auto* form = std::find_if(std::begin(form_switches), std::end(form_switches),
                                        [arg](const char* s) { return std::strcmp(arg, s) == 0; });
        if (form != std::end(form_switches)) {
            run.listing = forms[form - std::begin(form_switches)];
            continue;
        }
        if (std::strcmp(arg, "-o") == 0 || std::strcmp(arg, "--output") == 0) {
            if (i + 1 >= argc || argv[i + 1] == nullptr) {
                std::fprintf(stderr, "error: --output requires an argument\n");
                return 1;
            }
            if (run.listing != listing_form::none) {
                std::fprintf(stderr, "warning: output file is ignored when --list is in effect.\n");
            } else {
                if (list.head != nullptr && flush(run) != 0)
                    return 1;
                let_output_go(run);
                run.output = argv[i + 1];
                run.deps.for_output.clear();
                run.deps.seen_for_output.clear();
                run.output_lost = false;
            }
            ++i;
            continue;
        }
        if (std::strcmp(arg, "--version") == 0) {
            std::printf("tamb %s\n", TAMB_VERSION);
            run.stdout_used = true;
            return finish(run, run.unsound ? 1 : 0); // a check's verdicts keep their status
        }
        if (std::strcmp(arg, "--check") == 0 || std::strcmp(arg, "--strict") == 0 ||
            std::strcmp(arg, "--progress") == 0 || std::strcmp(arg, "--no-progress") == 0)
            continue; // taken before the walk
        if (std::strcmp(arg, "--depfile") == 0) {
            ++i; // taken before the walk
            continue;
        }
        const struct {
            const char* name;
            request_kind kind;
            const char* usage;
        } switches[] = {
            {"--add", request_kind::add, "error: --add requires TYPE:ID[:NAME]=FILE\n"},
            {"--delete", request_kind::remove, "error: --delete requires TYPE:ID\n"},
            {"--extract", request_kind::extract, "error: --extract requires TYPE:ID=FILE\n"},
        };
        const auto* sw = std::find_if(std::begin(switches), std::end(switches),
                                      [arg](const auto& s) { return std::strcmp(arg, s.name) == 0; });
        if (sw != std::end(switches)) {
            const char* value = i + 1 < argc ? argv[++i] : nullptr;
            resource_request what;
            if (!parse_request(value, sw->kind, &what)) {
                std::fprintf(stderr, "%s", sw->usage);
                return 1;
            }
            int status = 0;
            if (sw->kind == request_kind::add)
                status = add_file(run, what);
            else if (sw->kind == request_kind::extract)
                status = start_extraction(run, what, value);
            else if (remove_resource(&list.head, what.type, what.id, &list.index) != 0)
                std::fprintf(stderr, "warning: no resource '%s' %d to delete\n",
                             shown_on(2, value, 4).c_str(), what.id);
            if (status != 0)
                return 1;
            continue;
        }
        if (gather(run, arg) != 0) {
            if (run.listing != listing_form::check)
                return 1;
            // A check goes on: every file gets its verdict.
            print_verdict(run, arg, nullptr);
            list.clear();
        }
    }

    if (deliver_to_stdout(run) != 0)
        return 1;
    bool missing = false;
    for (const extraction& e : run.extractions)
        if (!e.written) {
            std::fprintf(stderr, "error: no resource '%s' %d to extract to %s\n",
                         shown_on(2, e.type, 4).c_str(), e.what.id, e.what.file);
            missing = true;
        }
    if (missing)
        return 1;
    const bool gathered = list.head != nullptr;
    if (gathered && flush(run) != 0)
        return 1;
    if (!gathered && run.listing == listing_form::none)
        std::fprintf(stderr, "warning: nothing written to %s [use --help for help]\n", run.output);
    if (run.listing == listing_form::json) {
        json_end(&run.json, stdout);
        run.stdout_used = true;
    }
    return finish(run, run.unsound ? 1 : 0);
}
