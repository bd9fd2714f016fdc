// The built tool, run in a fresh directory: exit status, standard output,
// standard error and the bytes of every file it leaves.
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testkit.h"
#include "type_table.h"

namespace {

// The binary under test: the Linux one, or, when TAMB_WINDOWS_EXE names a
// Windows build, that one under the wine loader named by TAMB_WINE (its
// standard output then ends lines with \r\n, which is taken back to \n).
const char* const windows_exe = std::getenv("TAMB_WINDOWS_EXE");

std::vector<std::string> binary()
{
    if (windows_exe == nullptr)
        return {TAMB_BINARY};
    const char* wine = std::getenv("TAMB_WINE");
    return {wine != nullptr ? wine : "wine", windows_exe};
}

// Runs the tamb binary in dir with umask 002; file_limit caps the size of
// files it writes, and standard output may be a pipe whose reader has gone,
// SIGPIPE at its default action (on Linux only: the Windows checks reach
// those failures through the system-call table instead).
run_result tamb(const std::string& dir, const std::vector<std::string>& args,
                rlim_t file_limit = RLIM_INFINITY, bool unread = false)
{
    auto limit = [file_limit, unread] {
        rlimit l{file_limit, file_limit};
        int ends[2];
        if (setrlimit(RLIMIT_FSIZE, &l) != 0 || (unread && pipe(ends) != 0))
            _exit(126);
        signal(SIGXFSZ, SIG_IGN);
        if (unread)
            close(ends[0]), dup2(ends[1], 1), signal(SIGPIPE, SIG_DFL);
    };
    run_result r = run_tamb(dir, args, limit, binary());
    for (size_t at; windows_exe != nullptr && (at = r.out.find("\r\n")) != std::string::npos;)
        r.out.erase(at, 1);
    return r;
}

std::string listing(const std::string& path, const char* format, const std::string& lines)
{
    return path + " resources (" + format +
           " format):\n\n type     ID   size  name\n------------------------------------\n" +
           lines;
}

std::string help(const std::string& output)
{
    return "\nusage: tamb [ -l ] [ -o file ] resourcefile ...\nDefault output file name is '" +
           output + "'.\n\nEach time a new output file is specified, any resourced \n"
                    "gathered from earlier input files are written to that file \n"
                    "and then flushed. I e the output file will be the merge of \n"
                    "all files after it on the line until the next output file.\n"
                    "This is exciting because 'tamb' accepts input files in \n"
                    "both PEF and PE (PPC and X86) formats!\n\n"
                    "If '-l' is given, resources in input files are listed \n"
                    "to stdout rather than copied to the output file.\n\n"
                    "Other switches:\n"
                    "  --add TYPE:ID[:NAME]=FILE   add the bytes of FILE as a resource\n"
                    "  --delete TYPE:ID            remove a gathered resource\n"
                    "  --extract TYPE:ID=FILE      save a resource's bytes in FILE (- for "
                    "standard output)\n"
                    "  --version                   print the version\n"
                    "  --text                      list in the text form\n"
                    "  --json                      list as JSON\n"
                    "  --check                     say whether each file is sound\n"
                    "  --strict                    fail on any damage an input holds\n"
                    "  --depfile FILE              write the files each output was made from, "
                    "for make\n"
                    "  --progress                  show progress, even where standard error is no "
                    "terminal\n"
                    "  --no-progress               never show progress\n\n";
}

using values = std::vector<resource_value>;
const resource_value a_long{type_code("LONG"), 1, "", hex("01 02 03 04")};
const resource_value a_mims{type_code("MIMS"), 2, "X", bytes(34, 0x5A)};
const resource_value b_long{type_code("LONG"), 1, "one", hex("11 12 13 14 15 16 17 18")};
const resource_value b_cstr{type_code("CSTR"), 7, "", hex("68 69 00")};
const values a_values{a_long, a_mims}, b_values{b_long, b_cstr};
const values ab_values{b_long, a_mims, b_cstr}; // b's 'LONG' 1 takes a's place
const std::string a_lines = "'LONG'     1      4  (no name)\n'MIMS'     2     34  X\n";
const std::string b_lines = "'LONG'     1      8  one\n'CSTR'     7      3  (no name)\n";
const std::string ab_lines =
    "'LONG'     1      8  one\n'MIMS'     2     34  X\n'CSTR'     7      3  (no name)\n";

bytes text_bytes(const std::string& text)
{
    return bytes(text.begin(), text.end());
}

// many.txt: 2,000 resources, whose table is longer than the listing's 64 KiB
// buffer, the first of them a `text` line longer than the reader's 64 KiB
// window, whose end cuts a four-byte character three bytes in. Its text and
// its table.
const std::string long_data = std::string(65533, 'a') + "\xF0\x9F\x98\x80" "z";
const std::pair<std::string, std::string>& many()
{
    static const auto made = [] {
        std::string text = "# tamb resource text 1\nresource 'DATA' 0\n  text \"" + long_data + "\"\n",
                    table = "'DATA'     0  65538  (no name)\n";
        char line[64];
        for (int id = 1; id <= 2000; ++id) {
            const std::string name = "line " + std::to_string(id) + " of a long table";
            text += "resource 'LONG' " + std::to_string(id) + " \"" + name + "\"\n";
            std::snprintf(line, sizeof line, "'LONG' %5d      0  %s\n", id, name.c_str());
            table += line;
        }
        return std::pair{text, table};
    }();
    return made;
}

// The files every case starts with.
std::vector<std::pair<std::string, bytes>> inputs()
{
    return {{"a.rsrc", rs_image(a_values)}, {"b.rsrc", rs_image(b_values)},
            {"-x", rs_image(a_values)},     {"empty", {}},
            {"short", hex("52 53")},          {"bad", hex("52 53 00 00 00 10 4F 44")},
            {"blob", hex("0D 0A 1A 0A 0D")}, // no text-mode translation may touch it
            {"t.txt", text_bytes("# tamb resource text 1\r\nresource 'CSTR' -7 \"x\"\n hex 0a\n")},
            {"bad.txt", text_bytes("# tamb resource text 1\n\nresource 'CSTR' 1x\n")},
            {"rsvp.txt", text_bytes("RSVP list: Ann, Bob\n")},
            {"dup.txt", text_bytes("# tamb resource text 1\nresource 'LONG' 1\n hex 01\n"
                                   "resource 'LONG' 1\n hex 02\n")},
            {"f.txt", text_bytes("# tamb resource text 1\nresource 'CSTR' 3\n file \"s p#$\"\n")},
            {"s p#$", hex("0D 0A 1A 0A 0D")},
            {"elf", [] { bytes b(64, 0); std::copy_n("\x7f" "ELF", 4, b.begin()); return b; }()},
            {"many.txt", text_bytes(many().first)}};
}

struct cli_case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
    std::vector<std::pair<std::string, bytes>> written = {}; // new files
    rlim_t file_limit = RLIM_INFINITY;
    bool unread = false; // standard output a pipe nobody reads
    std::vector<std::pair<std::string, bytes>> given = {}; // files besides the inputs
};

// What a run killed while writing `old` in place from `at` on leaves beside
// it: the journal of the bytes it overwrote and of the old length, each
// record ending with its check (FNV-1a, going on from the record before).
bytes journal_of_run(const std::string& name, const bytes& old, size_t at)
{
    bytes j = text_bytes("TAMBJRN1");
    uint64_t check = 0xcbf29ce484222325u;
    const auto number = [&j](uint64_t v, int n) {
        for (int i = 0; i < n; ++i)
            j.push_back(uint8_t(v >> 8 * i));
    };
    const auto seal = [&](size_t from) {
        for (size_t i = from; i < j.size(); ++i)
            check = (check ^ j[i]) * 0x100000001b3u;
        number(check, 8);
    };
    number(old.size(), 8), number(name.size(), 4);
    j.insert(j.end(), name.begin(), name.end());
    seal(0);
    const size_t record = j.size();
    number(at, 8), number(old.size() - at, 8);
    j.insert(j.end(), old.begin() + std::ptrdiff_t(at), old.end());
    seal(record);
    return j;
}

std::vector<cli_case> cli_cases()
{
    const std::string nothing =
        "warning: nothing written to tamb.output.rsrc [use --help for help]\n";
    const bytes a = rs_image(a_values), b = rs_image(b_values), blob = hex("0D 0A 1A 0A 0D");
    const std::string sample = TAMB_SAMPLES "/example.rsrc";
    bytes mixed = a; // the image overwritten in part, and longer
    std::fill(mixed.begin() + 4, mixed.begin() + 40, 0xEE);
    mixed.insert(mixed.end(), 20, 0xEE);
    return {
        {{"--help"}, 1, "", help("tamb.output.rsrc")},
        {{"a.rsrc", "-?", "b.rsrc"}, 1, "", help("tamb.output.rsrc")},
        {{"-o", "x", "a.rsrc", "--help"}, 1, "", help("x")},
        {{}, 0, "", nothing},
        {{"-l"}, 0, "", ""},
        {{"--list", "a.rsrc", "-l", "b.rsrc"}, 0,
         listing("a.rsrc", "PE", a_lines) + listing("b.rsrc", "PE", b_lines), ""},
        {{"a.rsrc", "-l", "b.rsrc"}, 0, listing("b.rsrc", "PE", ab_lines), ""},
        {{"-l", "-x"}, 0, listing("-x", "PE", a_lines), ""},
        // A journal left by a run killed while writing j.rsrc in place: a
        // listing puts the file back first.
        {{"-l", "j.rsrc"}, 0, listing("j.rsrc", "PE", a_lines),
         "warning: j.rsrc was put back from its journal .j.rsrc.tamb-journal, left by a run that "
         "was cut off\n", {{"j.rsrc", a}}, RLIM_INFINITY, false,
         {{"j.rsrc", mixed}, {".j.rsrc.tamb-journal", journal_of_run("j.rsrc", a, 4)}}},
        {{"-l", sample}, 0,
         listing(sample, "PE", "'LONG'     1      4  a\n'CSTR'     5      3  (no name)\n"), ""},
        {{"-l", "-o", "x", "a.rsrc"}, 0, listing("a.rsrc", "PE", a_lines),
         "warning: output file is ignored when --list is in effect.\n"},
        {{"a.rsrc", "b.rsrc"}, 0, "", "", {{"tamb.output.rsrc", rs_image(ab_values)}}},
        {{"-o", "x", "a.rsrc", "--output", "y", "b.rsrc"}, 0, "", "", {{"x", a}, {"y", b}}},
        {{"a.rsrc", "-o", "x", "b.rsrc"}, 0, "", "", {{"tamb.output.rsrc", a}, {"x", b}}},
        {{"a.rsrc", "-l"}, 0, "", "", {{"tamb.output.rsrc", a}}},
        {{"a.rsrc", "-o"}, 1, "", "error: --output requires an argument\n"},
        {{"a.rsrc", "nope", "b.rsrc"}, 1, "", "error: cannot open nope\n"},
        {{"a.rsrc", "empty"}, 1, "", "error: empty is not a resource file\n"},
        {{"short"}, 1, "",
         "position_at_map(): read() signature failed\nerror: short is not a resource file\n"},
        {{"bad"}, 1, "",
         "read_resource_file() read() resource header failed\n"
         "error: problem reading resources from bad\n"},
        {{"-o", "missing/x", "a.rsrc"}, 1, "", "error: cannot create missing/x\n"},
        {{"-o", "missing/", "a.rsrc"}, 1, "", "error: cannot create missing/\n"},
        {{"-o", "short", "a.rsrc"}, 1, "",
         "position_at_map(): read() signature failed\n"
         "error: output file short is not a resource file\n"},
        {{"-o", "new", "a.rsrc"}, 1, "",
         "position_at_map(): write() file_header failed\n"
         "error: output file new is not a resource file\n", {}, 2},
        {{"-o", "out", "a.rsrc"}, 1, "",
         "write_resource_file() resource header write() failed: 56\n"
         "error: problem writing resource file out\n", {}, 60},
        // Only containers are written into; each file is left as it was.
        {{"-o", "t.txt", "a.rsrc"}, 1, "",
         "position_at_map(): output is in the text form (print one with --text)\n"
         "error: output file t.txt is not a resource file\n"},
        {{"-o", "rsvp.txt", "a.rsrc"}, 1, "",
         "position_at_map(): not an x86 resource file\n"
         "error: output file rsvp.txt is not a resource file\n"},
        {{"-o", "elf", "a.rsrc"}, 1, "",
         "position_at_map(): not a PEF executable\nerror: output file elf is not a resource file\n"},
        // Once a flush is done, a listing into a closed pipe ends the run as ever.
        {{"-o", "x", "a.rsrc", "-o", "y", "-l", "b.rsrc"}, 128 + SIGPIPE, "", "", {{"x", a}},
         RLIM_INFINITY, true},
        // Making and taking apart resource files.
        {{"a.rsrc", "--version", "-o", "x"}, 0, "tamb " TAMB_VERSION "\n", ""},
        {{"-o", "x", "a.rsrc", "--add", "LONG:+01:n=blob"}, 0, "", "",
         {{"x", rs_image({{a_long.type, 1, "n", blob}, a_mims})}}},
        {{"-o", "x", "a.rsrc", "--add", "CSTR:-5=blob", "--add", "MIMS:3:=blob"}, 0, "", "",
         {{"x", rs_image({a_long, a_mims, {a_mims.type, 3, "", blob}, {b_cstr.type, -5, "", blob}})}}},
        {{"--add", "LONG:1=nope"}, 1, "", "error: cannot open nope\n"},
        {{"--add=LONG:1=blob"}, 1, "", "error: cannot open --add=LONG:1=blob\n"},
        {{"--add", "LONG:1"}, 1, "", "error: --add requires TYPE:ID[:NAME]=FILE\n"},
        {{"a.rsrc", "--delete"}, 1, "", "error: --delete requires TYPE:ID\n"},
        {{"a.rsrc", "--delete", "LONG:-2147483649"}, 1, "", "error: --delete requires TYPE:ID\n"},
        {{"--extract", "LONG:1:n=f"}, 1, "", "error: --extract requires TYPE:ID=FILE\n"},
        {{"-o", "x", "a.rsrc", "--delete", "MIMS:2", "--delete", "MIMS:02"}, 0, "",
         "warning: no resource 'MIMS' 2 to delete\n", {{"x", rs_image({a_long})}}},
        {{"--extract", "LONG:1=l.bin", "a.rsrc", "-o", "x", "--extract", "CSTR:7=c.bin", "b.rsrc"},
         0, "", "", {{"l.bin", b_long.data}, {"c.bin", b_cstr.data}, {"tamb.output.rsrc", a}, {"x", b}}},
        {{"b.rsrc", "-l", "--extract", "CSTR:7=c.bin", "a.rsrc"}, 0,
         listing("a.rsrc", "PE",
                 "'LONG'     1      4  (no name)\n'CSTR'     7      3  (no name)\n" + a_lines.substr(31)),
         "", {{"c.bin", b_cstr.data}}},
        {{"-o", "x", "--extract", "LONG:5=n.bin", "a.rsrc", "--extract", "MIMS:9=m.bin", "--version"},
         0, "tamb " TAMB_VERSION "\n", ""},
        {{"-o", "x", "--extract", "LONG:5=n.bin", "a.rsrc", "--extract", "MIMS:9=m.bin"}, 1, "",
         "error: no resource 'LONG' 5 to extract to n.bin\n"
         "error: no resource 'MIMS' 9 to extract to m.bin\n"},
        {{"a.rsrc", "--extract", "LONG:1=missing/l.bin"}, 1, "",
         "error: cannot create missing/l.bin\n"},
        // Standard output takes the bytes once, at the end of the walk, the
        // last version, after the listing and before unmatched requests.
        {{"-l", "--extract", "LONG:1=-", "--extract", "CSTR:7=-", "a.rsrc", "b.rsrc",
          "--extract", "LONG:9=n.bin"},
         1,
         listing("a.rsrc", "PE", a_lines) + listing("b.rsrc", "PE", b_lines) +
             "\x11\x12\x13\x14\x15\x16\x17\x18hi" + std::string(1, '\0'),
         "error: no resource 'LONG' 9 to extract to n.bin\n"},
        {{"a.rsrc", "--extract", "MIMS:2=m.bin"}, 1, "",
         "extract_resource(): write() failed\nerror: problem writing m.bin\n", {}, 10},
        // Names and paths beyond ASCII reach the same bytes on every system.
        {{"-o", "sortie-\xC3\xA9.rsrc", "a.rsrc", "--add", "CSTR:1:na\xC3\xAFve=blob",
          "--extract", "MIMS:2=\xE2\x82\xAC.bin"},
         0, "", "",
         {{"sortie-\xC3\xA9.rsrc", rs_image({a_long, a_mims, {b_cstr.type, 1, "na\xC3\xAFve", blob}})},
          {"\xE2\x82\xAC.bin", a_mims.data}}},
        {{"a.rsrc", "-l", "--add", "CSTR:9:na\xC3\xAFve=blob"}, 0,
         listing("blob", "PE", a_lines + "'CSTR'     9      5  na\xC3\xAFve\n"), ""},
        // The text form and the JSON listing.
        {{"--json", sample, "t.txt"}, 0,
         "{\"tamb\": 1, \"files\": [\n {\"file\": \"" + sample + "\", \"format\": \"PE\", \"resources\": [\n"
         "  {\"type\": \"LONG\", \"type_code\": 1280265799, \"id\": 1, \"size\": 4, \"name\": \"a\"},\n"
         "  {\"type\": \"CSTR\", \"type_code\": 1129534546, \"id\": 5, \"size\": 3, \"name\": null}]},\n"
         " {\"file\": \"t.txt\", \"format\": \"text\", \"resources\": [\n"
         "  {\"type\": \"CSTR\", \"type_code\": 1129534546, \"id\": -7, \"size\": 1, \"name\": \"x\"}]}]}\n", ""},
        {{"--json"}, 0, "{\"tamb\": 1, \"files\": []}\n", ""},
        {{"-l", "--extract", "DATA:0=x.bin", "many.txt"}, 0, listing("many.txt", "text", many().second), "",
         {{"x.bin", text_bytes(long_data)}}},
        {{"-l", "t.txt", "bad.txt"}, 1, listing("t.txt", "text", "'CSTR'    -7      1  x\n"),
         "bad.txt:3: error: bad id\nerror: problem reading resources from bad.txt\n"},
        {{"--text", "-o", "x", "--add", "CSTR:9:c=t.txt"}, 0,
         "# tamb resource text 1\n\n# t.txt (PE format)\n\nresource 'CSTR' 9 \"c\"\n"
         "  text \"# tamb resource text 1\\r\\n\"\n  text \"resource 'CSTR' -7 \\\"x\\\"\\n\"\n"
         "  text \" hex 0a\\n\"\n\n",
         "warning: output file is ignored when --list is in effect.\n"},
        {{"-o", "--text", "-l", "a.rsrc"}, 0, listing("a.rsrc", "PE", a_lines), ""},
        {{"--list", "a.rsrc", "--json", "--help"}, 1, "",
         "error: -l, --text and --json cannot be combined\n"},
        {{"--json", "--extract", "LONG:1=-", "a.rsrc"}, 1, "",
         "error: --extract to standard output cannot be combined with --text or --json\n"},
        {{"--text", "--extract", "LONG:1=-", "a.rsrc"}, 1, "",
         "error: --extract to standard output cannot be combined with --text or --json\n"},
        // Is this file sound? A check goes on after a file that fails; a
        // text form's repeated resource is no problem.
        {{"--check", sample, "dup.txt", "--strict", "a.rsrc"}, 0,
         sample + ": ok\ndup.txt: ok\na.rsrc: ok\n", ""},
        {{"--check"}, 0, "", ""},
        {{"--check", "nope", "empty", "short", "bad", "bad.txt", "t.txt"}, 1,
         "nope: unreadable\nempty: unreadable\nshort: unreadable\nbad: unreadable\n"
         "bad.txt: unreadable\nt.txt: ok\n",
         "error: cannot open nope\nerror: empty is not a resource file\n"
         "position_at_map(): read() signature failed\nerror: short is not a resource file\n"
         "read_resource_file() read() resource header failed\n"
         "error: problem reading resources from bad\n"
         "bad.txt:3: error: bad id\nerror: problem reading resources from bad.txt\n"},
        {{"-o", "x", "--check", "a.rsrc", "-o", "y"}, 0, "a.rsrc: ok\n",
         "warning: output file is ignored when --list is in effect.\n"
         "warning: output file is ignored when --list is in effect.\n"},
        {{"--check", "a.rsrc", "--help"}, 1, "a.rsrc: ok\n", help("tamb.output.rsrc")},
        {{"--check", "--list", "--json"}, 1, "", "error: -l, --text and --json cannot be combined\n"},
        {{"a.rsrc", "--json", "--check", "--add", "LONG:1=blob"}, 1, "",
         "error: --check cannot be combined with -l, --text or --json\n"},
        {{"--extract", "LONG:1=l.bin", "--check"}, 1, "", "error: --check takes only input files\n"},
        {{"-o", "--check", "--strict", "a.rsrc", "--add", "CSTR:7=blob"}, 0, "", "",
         {{"--check", rs_image({a_long, a_mims, {b_cstr.type, 7, "", blob}})}}},
        // The files each output was made from, for make: escaped, in the
        // order first read, never the output itself; an extraction's up to
        // its last save; written only by a run that ends with status 0.
        {{"--depfile", "d", "-o", "x", "f.txt", "--add", "CSTR:4=s p#$", "-o", "x", "./x"}, 0, "", "",
         {{"x", rs_image({{b_cstr.type, 3, "", blob}, {b_cstr.type, 4, "", blob}})},
          {"d", text_bytes("x: f.txt ./s\\ p\\#$$ s\\ p\\#$$\nx:\n")}}},
        {{"--extract", "LONG:1=l.bin", "a.rsrc", "-o", "x", "b.rsrc", "--add", "CSTR:9=blob",
          "--depfile", "--check"}, 0, "", "",
         {{"l.bin", b_long.data}, {"tamb.output.rsrc", a},
          {"x", rs_image({b_long, b_cstr, {b_cstr.type, 9, "", blob}})},
          {"--check", text_bytes("tamb.output.rsrc: a.rsrc\nx: b.rsrc blob\nl.bin: a.rsrc b.rsrc\n")}}},
        {{"-l", "a.rsrc", "--depfile", "d"}, 0, listing("a.rsrc", "PE", a_lines), "", {{"d", {}}}},
        {{"a.rsrc", "--depfile", "-"}, 0, "tamb.output.rsrc: a.rsrc\n", "", {{"tamb.output.rsrc", a}}},
        {{"a.rsrc", "nope", "--depfile", "blob"}, 1, "", "error: cannot open nope\n"},
        {{"--depfile", "d", "-o", "x", "a.rsrc", "-o", "x\ny", "b.rsrc"}, 1, "",
         "error: cannot write a dependency on x\ny\n", {{"x", a}}},
        {{"a.rsrc", "--extract", "LONG:1=l:", "--depfile", "d"}, 1, "",
         "error: cannot write a dependency on l:\n"},
        {{"-o", "x: y", "a.rsrc", "--depfile", "d"}, 1, "", "error: cannot write a dependency on x: y\n"},
        {{"a.rsrc", "--depfile", "missing/d"}, 1, "", "error: cannot create missing/d\n",
         {{"tamb.output.rsrc", a}}},
        {{"--extract", "LONG:1=-", "a.rsrc", "--depfile", "d"}, 0, "\x01\x02\x03\x04", "",
         {{"tamb.output.rsrc", a}, {"d", text_bytes("tamb.output.rsrc: a.rsrc\n")}}},
        {{"--check", "a.rsrc", "--depfile", "-"}, 1, "",
         "error: --depfile - cannot share standard output with a listing or an extraction\n"},
        {{"--extract", "LONG:1=-", "a.rsrc", "--depfile", "-"}, 1, "",
         "error: --depfile - cannot share standard output with a listing or an extraction\n"},
        {{"a.rsrc", "--depfile"}, 1, "", "error: --depfile requires an argument\n"},
        {{"-l", "a.rsrc", "--depfile", "-"}, 1, "",
         "error: --depfile - cannot share standard output with a listing or an extraction\n"},
    };
}

TEST(cli, command_lines)
{
    for (const auto& c : cli_cases()) {
        if (windows_exe != nullptr && (c.file_limit != RLIM_INFINITY || c.unread))
            continue;
        std::string line;
        for (const auto& a : c.args)
            line += " " + a;
        SCOPED_TRACE("tamb" + line);
        scratch_dir dir;
        for (const auto& [name, content] : inputs())
            write_file(dir.file(name), content);
        for (const auto& [name, content] : c.given)
            write_file(dir.file(name), content), chmod(dir.file(name).c_str(), 0664);
        run_result r = tamb(dir.path, c.args, c.file_limit, c.unread);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        for (const auto& [name, content] : inputs())
            EXPECT_EQ(read_file(dir.file(name)), content) << name;
        for (const auto& [name, content] : c.written) {
            EXPECT_EQ(read_file(dir.file(name)), content) << name;
            struct stat st {};
            EXPECT_EQ(stat(dir.file(name).c_str(), &st), 0);
            if (windows_exe == nullptr) { // Windows has no umask: a new file is read-write
                EXPECT_EQ(st.st_mode & 07777, 0664u) << name; // 0666 less the umask
            }
        }
        auto entries = std::filesystem::directory_iterator(dir.path);
        EXPECT_EQ(size_t(std::distance(begin(entries), end(entries))),
                  inputs().size() + c.written.size());
    }
}

// A write that lasts over a second shows its progress on a terminal (a
// pseudo-terminal made by `script`), each time after a carriage return, and
// erases it at the end; standard error that is a file gets nothing.
TEST(cli, progress_on_a_terminal)
{
    if (windows_exe != nullptr)
        GTEST_SKIP() << "no pseudo-terminal under wine";
    scratch_dir dir;
    bytes big(size_t(5) << 20);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i % 251);
    write_file(dir.file("big"), big);
    const auto run = [](const char* output) {
        return "cat big | " + std::string(TAMB_SLOW_BINARY) + " -o " + output +
               " --add DATA:1=/dev/stdin";
    };
    const run_result shown = run_tamb(dir.path, {"-qec", run("shown"), "/dev/null"}, {}, {"/usr/bin/script"});
    EXPECT_EQ(shown.status, 0);
    EXPECT_TRUE(std::regex_match(shown.out, std::regex("(\r(tamb: [0-9.]+ (B|KiB|MiB) of 5.0 MiB, "
                                                       "[0-9.]+ (B|KiB|MiB)/s)\x1b\\[K)+\r\x1b\\[K")))
        << shown.out;
    const run_result quiet = run_tamb(dir.path, {"-c", run("quiet") + " 2> err"}, {}, {"/bin/sh"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(read_file(dir.file("err")), bytes{});
    EXPECT_EQ(read_file(dir.file("shown")), read_file(dir.file("quiet")));
}

// The JSON listings of the rows above, of the samples and of a file whose
// type codes and name need every escape meet the schema, checked by the
// system's validator.
TEST(cli, json_listings_meet_the_schema)
{
    scratch_dir dir;
    write_file(dir.file("odd.rsrc"), rs_image({{0x22007f80, -1, "\b\f\n\r\t\x01\\\xc3\xa9\xff", {1}},
                                               {0xF09F9880, 0, "", {}}}));
    std::vector<std::string> args = {TAMB_SOURCE "/tests/validate_listing.py",
                                     TAMB_SOURCE "/docs/tamb-listing.schema.json"};
    for (const std::vector<std::string>& json_args :
         {std::vector<std::string>{"--json", TAMB_SAMPLES "/example.rsrc", TAMB_SAMPLES "/example.txt"},
          std::vector<std::string>{"--json", "odd.rsrc"}}) {
        args.push_back(std::to_string(args.size()) + ".json");
        write_file(dir.file(args.back()), text_bytes(tamb(dir.path, json_args).out));
    }
    for (const cli_case& c : cli_cases())
        if (c.status == 0 && std::find(c.args.begin(), c.args.end(), "--json") != c.args.end()) {
            args.push_back(std::to_string(args.size()) + ".json");
            write_file(dir.file(args.back()), text_bytes(c.out));
        }
    const run_result r = run_tamb(dir.path, args, {}, {TAMB_PYTHON});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, std::to_string(args.size() - 2) +
                         " listings valid; an extra field refused at each level\n");
}

TEST(cli, output_is_overwritten_in_place)
{
    scratch_dir dir;
    write_file(dir.file("b.rsrc"), rs_image(b_values));
    bytes old = rs_image(a_values);
    old.insert(old.end(), 300, 0xEE);
    write_file(dir.file("big"), old);
    EXPECT_EQ(tamb(dir.path, {"-o", "big", "b.rsrc"}).status, 0);
    bytes expected = rs_image(b_values);
    ASSERT_LT(expected.size(), old.size());
    expected.insert(expected.end(), old.begin() + ptrdiff_t(expected.size()), old.end());
    EXPECT_EQ(read_file(dir.file("big")), expected);
}

TEST(cli, powerpc_round_trip)
{
    scratch_dir dir;
    values all; // every type the data conversion knows, and one it does not
    for (const auto& t : known_types)
        all.push_back({type_code(t.code), 100 + int32_t(all.size()),
                       all.size() % 2 ? "n" + std::string(t.code) : "", hex(t.host)});
    all.push_back({type_code("CSTR"), 118, "", hex("68 69 00")});
    write_file(dir.file("all.rsrc"), rs_image(all));
    bytes resf(40), pef(100, 0xAB);
    std::copy_n("Joy!resf", 8, resf.begin());
    std::copy_n("Joy!peff", 8, pef.begin());
    std::fill(pef.begin() + 8, pef.begin() + 68, 0);
    pef[33] = 1; // one section, of 32 bytes at 68
    std::copy_n(hex("00 00 00 20 00 00 00 44").begin(), 8, pef.begin() + 56);
    write_file(dir.file("ppc.resf"), resf);
    write_file(dir.file("app.pef"), pef);

    run_result r = tamb(dir.path, {"-o", "ppc.resf", "all.rsrc", "-o", "app.pef", "all.rsrc"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string lines =
        tamb(dir.path, {"-l", "all.rsrc"}).out.substr(listing("all.rsrc", "PE", "").size());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 19);
    r = tamb(dir.path, {"-l", "all.rsrc", "ppc.resf", "app.pef"});
    EXPECT_EQ(r.out, listing("all.rsrc", "PE", lines) + listing("ppc.resf", "PEF", lines) +
                         listing("app.pef", "PEF", lines));

    for (auto [name, area] : {std::pair{"ppc.resf", 40}, std::pair{"app.pef", 100}}) {
        SCOPED_TRACE(name);
        const bytes out = read_file(dir.file(name));
        EXPECT_EQ(bytes(out.begin(), out.begin() + area), area == 40 ? resf : pef);
        EXPECT_EQ(bytes(out.begin() + area, out.begin() + area + 4), hex("44 4F 10 00"));
        for (const auto& t : known_types) { // the data is stored converted
            const bytes big = hex(t.big);
            EXPECT_NE(std::search(out.begin(), out.end(), big.begin(), big.end()), out.end())
                << t.code;
        }
        EXPECT_EQ(tamb(dir.path, {"-o", "back", name}).status, 0);
        EXPECT_EQ(read_file(dir.file("back")), rs_image(all));
        std::filesystem::remove(dir.file("back"));
    }

    // The text form of each input, cut data and a name of every kind of byte
    // added, merges into the same bytes as the input itself and prints again
    // as it was printed (but for the comment naming the input).
    ASSERT_EQ(tamb(dir.path, {"-o", "all.exe", "--add", "LONG:-9:\x01\"\\\n\xff\xc3\xa9=all.rsrc",
                              "all.rsrc", "--add", "FLOT:0=ppc.resf"}).status, 0);
    for (const std::string name : {"all.rsrc", "ppc.resf", "app.pef", "all.exe"}) {
        SCOPED_TRACE(name);
        std::string text = tamb(dir.path, {"--text", name}).out;
        write_file(dir.file("t.txt"), bytes(text.begin(), text.end()));
        EXPECT_EQ(tamb(dir.path, {"-o", "a.rsrc", "t.txt", "-o", "b.rsrc", name}).status, 0);
        EXPECT_EQ(read_file(dir.file("a.rsrc")), read_file(dir.file("b.rsrc")));
        const bool powerpc = name == "ppc.resf" || name == "app.pef";
        const std::string comment = "# " + name + (powerpc ? " (PEF" : " (PE");
        EXPECT_EQ(tamb(dir.path, {"--text", "t.txt"}).out,
                  text.replace(text.find(comment), comment.size(), "# t.txt (text"));
        std::filesystem::remove(dir.file("a.rsrc")), std::filesystem::remove(dir.file("b.rsrc"));
    }
}

const std::string data_dir = TAMB_SAMPLES "/../tests/data/";

// A 32-bit program and a 64-bit one (whose word is its export table's), both
// without a table of their own at the word. Each ends with the checksum that
// the system's own routine (CheckSumMappedFile) gives the merged file; one
// whose checksum word is 0 keeps it so.
TEST(cli, merges_into_a_real_pe_executable)
{
    const struct {
        const char* program;
        size_t overlay;
        bool zeroed;       // the checksum word set to 0 first
        uint32_t checksum; // afterwards
    } rows[] = {{"hello.exe", 0, false, 0x10067},
                {"hello.exe", 9, false, 0xE2E1},
                {"hello64.exe", 0, false, 0x9689},
                {"hello64.exe", 0, true, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.program << " + " << row.overlay
                                        << (row.zeroed ? ", checksum 0" : ""));
        const bytes exe = read_file(data_dir + row.program);
        ASSERT_GT(exe.size(), 64u);
        const size_t word_at = get32(exe, 60, false) + 136, checksum_at = word_at - 136 + 88;
        ASSERT_EQ(get32(exe, word_at, false), 0u) << "the executable already has resources";
        ASSERT_NE(get32(exe, checksum_at, false), 0u) << "the linker stored no checksum";
        scratch_dir dir;
        bytes original = exe;
        original.insert(original.end(), row.overlay, 'x');
        if (row.zeroed)
            set32(original, checksum_at, 0, false);
        write_file(dir.file("hello.exe"), original);
        write_file(dir.file("a.rsrc"), rs_image(a_values));
        write_file(dir.file("b.rsrc"), rs_image(b_values));
        EXPECT_EQ(tamb(dir.path, {"-o", "hello.exe", "a.rsrc", "b.rsrc"}).status, 0);
        run_result r = tamb(dir.path, {"-l", "hello.exe"});
        EXPECT_EQ(r.out, listing("hello.exe", "PE", ab_lines));

        const size_t area = (original.size() + 15) / 16 * 16;
        bytes expected = original;
        expected.resize(area, 0);
        set32(expected, word_at, uint32_t(area), false);
        set32(expected, checksum_at, row.checksum, false);
        const bytes image = rs_image(ab_values);
        expected.insert(expected.end(), image.begin() + 4, image.end());
        EXPECT_EQ(read_file(dir.file("hello.exe")), expected);
    }
}

// Damaged copies of the sample, one problem each: --check names the problem
// and calls the file damaged, --strict fails the merge that reads it (an
// earlier batch stays written, its own output is left as it was), and a
// plain merge goes on as ever. The sample is "RS\0\0" and an image whose
// chunk map starts at file offset 72 (slot n at 72 + 12 n); slot 11 holds
// 'LONG' 1's 4 bytes at image offset 1964, slot 12 'CSTR' 5's 3 bytes at
// 1968, and slot 10 the map: 54 bytes at 1971 (file offset 1975), its last
// 8 the checksum and the terminator.
TEST(cli, check_and_strict_find_damage)
{
    const bytes sample = read_file(TAMB_SAMPLES "/example.rsrc");
    ASSERT_EQ(sample.size(), 2029u);
    const size_t map_slot = 72 + 12 * 10, cstr_slot = 72 + 12 * 12, map = 4 + 1971;
    auto unsummed = [&](bytes& b) { set32(b, map_slot + 4, 46, false); }; // ends with -1 instead
    // hello.exe with the image of the merge whose checksum imagehlp gives
    // as 0x10067 (see merges_into_a_real_pe_executable), its checksum left
    // as the linker stored it.
    bytes exe = read_file(data_dir + "hello.exe");
    const size_t word_at = get32(exe, 60, false) + 136, checksum_at = word_at - 136 + 88;
    const uint32_t stored = get32(exe, checksum_at, false);
    exe.resize((exe.size() + 15) / 16 * 16, 0);
    set32(exe, word_at, uint32_t(exe.size()), false);
    const bytes image = rs_image(ab_values);
    exe.insert(exe.end(), image.begin() + 4, image.end());
    char pe_line[64];
    std::snprintf(pe_line, sizeof pe_line, "PE checksum is 0x%08x, the file's is 0x00010067", stored);
    // 'DATA' 1 to 7 of 8, 2, 6, 2, 1, 1 and 1 bytes, in slots 11 to 17 from
    // image offset 1964 on; the map at file offset 1989, its ids 10 bytes
    // apart from 1993.
    values seven;
    for (int32_t id = 1; id <= 7; ++id)
        seven.push_back({type_code("DATA"), id, "", bytes(id == 1 ? 8 : id == 3 ? 6 : id < 5 ? 2 : 1, 0)});

    const struct {
        std::function<void(bytes&)> damage;
        std::vector<std::string> reader, problems;
    } rows[] = {
        {[&](bytes& b) { b[map + 46] ^= 1; }, {"parse_resource_map(): map checksum is bad"}, {}},
        {[&](bytes& b) { set32(b, cstr_slot, 4000, false); },
         {"read_block(): read() failed", "parse_resource_map(): skipping resource 'CSTR' 5"}, {}},
        {[&](bytes& b) { unsummed(b), b[map + 15] = 'b'; }, {"parse_resource_map(): name without NUL"}, {}},
        {[&](bytes& b) { set32(b, cstr_slot, 1964, false); }, {},
         {"data of 'CSTR' 5 overlaps data of 'LONG' 1"}},
        {[&](bytes& b) { set32(b, cstr_slot, 1971, false); }, {},
         {"data of 'CSTR' 5 overlaps the header, the chunk map, the hole map or the map"}},
        {[&](bytes& b) { set32(b, cstr_slot, 1961, false); }, {},
         {"data of 'CSTR' 5 overlaps the header, the chunk map, the hole map or the map"}},
        // A type code with a NUL in it is shown whole.
        {[&](bytes& b) { unsummed(b), set32(b, map, 0x4c4f0047, false), set32(b, map + 24, 0x4c4f0047, false),
                         set32(b, map + 28, 1, false); },
         {}, {std::string("'LO\0G' 1 appears more than once", 31)}},
        {[&](bytes& b) { b = exe; }, {}, {pe_line}},
        // 1 holds 2, 3 ends where 1 does, 4 starts in 1 after 2 ends and
        // overlaps 3: each is named with 1, which reaches furthest and first;
        // 5 three times is one line.
        {[&](bytes& b) { b = rs_image(seven), set32(b, 72 + 12 * 10 + 4, 82, false); // unsummed
                         set32(b, 72 + 12 * 12, 1965, false), set32(b, 72 + 12 * 13, 1966, false);
                         set32(b, 72 + 12 * 14, 1969, false);
                         set32(b, 1993 + 50, 5, false), set32(b, 1993 + 60, 5, false); },
         {}, {"data of 'DATA' 2 overlaps data of 'DATA' 1", "data of 'DATA' 3 overlaps data of 'DATA' 1",
              "data of 'DATA' 4 overlaps data of 'DATA' 1", "'DATA' 5 appears more than once"}},
    };
    for (const auto& row : rows) {
        bytes damaged = sample;
        row.damage(damaged);
        std::string reader, checked, strict;
        for (const std::string& line : row.reader)
            reader += line + "\n", checked += "d.rsrc: reader: " + line + "\n";
        for (const std::string& p : row.problems)
            checked += "d.rsrc: " + p + "\n", strict += "check_resources(): " + p + "\n";
        SCOPED_TRACE(checked);
        scratch_dir dir;
        write_file(dir.file("d.rsrc"), damaged);
        write_file(dir.file("a.rsrc"), rs_image(a_values));
        write_file(dir.file("out.rsrc"), rs_image(b_values));
        run_result r = tamb(dir.path, {"--check", "d.rsrc", "a.rsrc"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, checked + "d.rsrc: damaged\na.rsrc: ok\n");
        EXPECT_EQ(r.err, reader);
        r = tamb(dir.path, {"-o", "x", "a.rsrc", "-o", "out.rsrc", "--strict", "a.rsrc", "d.rsrc"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, reader + strict + "error: problem reading resources from d.rsrc\n");
        EXPECT_EQ(read_file(dir.file("x")), rs_image(a_values));
        EXPECT_EQ(read_file(dir.file("out.rsrc")), rs_image(b_values));
        r = tamb(dir.path, {"-o", "out.rsrc", "a.rsrc", "d.rsrc"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, reader);
        // --version ends a check at once, keeping its verdicts' status.
        EXPECT_EQ(tamb(dir.path, {"--check", "d.rsrc", "--version"}).status, 1);
        // An output that lost resources as its own input (by any name) is not
        // written; read for another output, it is.
        r = tamb(dir.path, {"-o", "d.rsrc", "./d.rsrc", "a.rsrc"});
        EXPECT_EQ(r.status, row.reader.empty() ? 0 : 1);
        EXPECT_EQ(r.err, row.reader.empty() ? reader
                                            : reader + "error: d.rsrc lost resources while being read; "
                                                       "not written (use --check to see why)\n");
        EXPECT_EQ(read_file(dir.file("d.rsrc")) == damaged, !row.reader.empty());
        r = tamb(dir.path, {"d.rsrc", "-o", "d.rsrc", "a.rsrc"});
        if (r.status != 0 && windows_exe != nullptr) {
            // Once seen under wine, not reproduced: shown, and tried again.
            std::cerr << "under wine, d.rsrc -o d.rsrc a.rsrc failed once: " << r.err;
            r = tamb(dir.path, {"d.rsrc", "-o", "d.rsrc", "a.rsrc"});
        }
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

} // namespace

namespace {

// A program whose word is the address of its own Windows resource table, an
// address that lies inside the file: writing there would overwrite it.
TEST(cli, refuses_a_program_s_own_resource_table)
{
    const bytes exe = read_file(data_dir + "versioned.exe");
    ASSERT_GT(exe.size(), 64u);
    const size_t word_at = get32(exe, 60, false) + 136;
    const uint32_t word = get32(exe, word_at, false), table_size = get32(exe, word_at + 4, false);
    ASSERT_TRUE(word > 0 && word < exe.size() && table_size != 0) << word << " " << table_size;
    scratch_dir dir;
    write_file(dir.file("prog.exe"), exe);
    write_file(dir.file("a.rsrc"), rs_image(a_values));
    run_result r = tamb(dir.path, {"-o", "prog.exe", "a.rsrc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "position_at_map(): resource table in use by the executable (size " +
                         std::to_string(table_size) +
                         ")\nerror: output file prog.exe is not a resource file\n");
    EXPECT_EQ(read_file(dir.file("prog.exe")), exe);
}

// A signed program is refused and left as it was, a 32-bit and a 64-bit
// one; with its signature removed, it takes resources again. The key and
// the self-signed certificate are made here.
TEST(cli, refuses_a_signed_program)
{
    scratch_dir dir;
    write_file(dir.file("a.rsrc"), rs_image(a_values));
    for (const char* program : {"hello.exe", "hello64.exe"})
        write_file(dir.file(program), read_file(data_dir + program));
    const std::string sign =
        "cd '" + dir.path + "' && (openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=tamb-test "
        "-days 2 -keyout k.pem -out c.pem && for p in hello.exe hello64.exe; do osslsigncode sign "
        "-certs c.pem -key k.pem -in $p -out s-$p && osslsigncode remove-signature -in s-$p -out "
        "u-$p || exit 1; done) > /dev/null 2>&1";
    ASSERT_EQ(std::system(sign.c_str()), 0) << "needs openssl and osslsigncode";
    for (const std::string program : {"hello.exe", "hello64.exe"}) {
        SCOPED_TRACE(program);
        const bytes signed_exe = read_file(dir.file("s-" + program));
        const size_t table = signed_exe.size() - read_file(dir.file(program)).size(); // appended
        run_result r = tamb(dir.path, {"-o", "s-" + program, "a.rsrc"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "position_at_map(): executable is signed (certificate table of " +
                             std::to_string(table) + " bytes)\nerror: output file s-" + program +
                             " is not a resource file\n");
        EXPECT_EQ(read_file(dir.file("s-" + program)), signed_exe);
        EXPECT_EQ(tamb(dir.path, {"-o", "u-" + program, "a.rsrc"}).status, 0);
        EXPECT_EQ(tamb(dir.path, {"-l", "u-" + program}).out,
                  listing("u-" + program, "PE", a_lines));
    }
}

} // namespace

namespace {

// A sparse PE executable ending just short of 2 GiB takes its area at its
// end; one whose rounded end would reach 2 GiB is refused and left as it was.
TEST(cli, sparse_output_near_2_gib)
{
    scratch_dir dir;
    const bytes a = rs_image(a_values);
    write_file(dir.file("a.rsrc"), a);
    const std::string out = dir.file("big.exe");
    for (off_t length : {off_t(0x7FFFFFF8), off_t(0x7FFFFFF0)}) {
        SCOPED_TRACE(length);
        write_file(out, pe_file(1000, 0));
        ASSERT_EQ(truncate(out.c_str(), length), 0);
        run_result r = tamb(dir.path, {"-o", "big.exe", "a.rsrc"});
        const bool refused = length > 0x7FFFFFF0;
        EXPECT_EQ(r.status, refused ? 1 : 0);
        EXPECT_EQ(r.err, refused ? "position_at_map(): end of file too far for a resource section "
                                   "offset\nerror: output file big.exe is not a resource file\n"
                                 : "");
        int fd = open(out.c_str(), O_RDONLY);
        bytes word(4), image(a.size() - 4);
        EXPECT_EQ(pread(fd, word.data(), 4, 64 + 136), 4);
        EXPECT_EQ(word, refused ? hex("00 00 00 00") : hex("F0 FF FF 7F"));
        EXPECT_EQ(lseek(fd, 0, SEEK_END), length + (refused ? 0 : off_t(image.size())));
        if (!refused) {
            EXPECT_EQ(pread(fd, image.data(), image.size(), length), ssize_t(image.size()));
            EXPECT_TRUE(std::equal(image.begin(), image.end(), a.begin() + 4));
        }
        close(fd);
        auto entries = std::filesystem::directory_iterator(dir.path);
        EXPECT_EQ(std::distance(begin(entries), end(entries)), 2); // no temporary left
    }
    // A file of 2^31 bytes cannot be a resource, read or kept in its file;
    // it is refused unread.
    ASSERT_EQ(truncate(out.c_str(), off_t(1) << 31), 0);
    for (const std::string type : {"LONG", "BIGD"}) {
        run_result r = tamb(dir.path, {"--add", type + ":9=big.exe"});
        EXPECT_EQ(r.status, 1) << type;
        EXPECT_EQ(r.err, "error: big.exe is too large for a resource\n") << type;
    }
}

} // namespace

namespace {

// An extraction to standard output whose data lies in an output that an
// -o writes before the walk ends keeps its bytes, the output written in
// place or replaced (Windows renames nothing over the input the data stays in).
TEST(cli, standard_output_keeps_data_from_an_output_written_before_the_end)
{
    scratch_dir dir;
    bytes big(300000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i * 7 + i / 251);
    write_file(dir.file("big.bin"), big);
    write_file(dir.file("a.rsrc"), rs_image(a_values));
    ASSERT_EQ(tamb(dir.path, {"-o", "f.rsrc", "--add", "BIGD:1=big.bin"}).status, 0);
    for (bool linked : {true, false}) {
        if (!linked && windows_exe != nullptr)
            continue;
        if (linked)
            ASSERT_EQ(link(dir.file("f.rsrc").c_str(), dir.file("f2.rsrc").c_str()), 0);
        else
            ASSERT_EQ(unlink(dir.file("f2.rsrc").c_str()), 0);
        const run_result r =
            tamb(dir.path, {"-o", "f.rsrc", "f.rsrc", "--extract", "BIGD:1=-", "-o", "g.rsrc", "a.rsrc"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(r.out == std::string(big.begin(), big.end())) << linked;
    }
}

// True once the process has the file at path open for reading only, within
// `seconds` (not as the descriptor a child inherits before it runs tamb).
bool reads_from(int pid, const std::string& path, int seconds)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    for (int tries = 0; tries < seconds * 100; ++tries, usleep(10000)) {
        std::error_code e;
        for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd", e)) {
            std::ifstream info(proc + "/fdinfo/" + fd.path().filename().string());
            std::string word;
            unsigned flags = O_RDWR;
            while (info >> word && word != "flags:") {
            }
            info >> std::oct >> flags;
            if (std::filesystem::read_symlink(fd.path(), e) == path && (flags & O_ACCMODE) == O_RDONLY)
                return true;
        }
    }
    return false;
}

// Two runs on one output take turns: the first holds the output's lock from
// the moment it reads the output until it has written it, here while its
// --add waits on a FIFO (held open by the test, so that it waits for data);
// the second waits, says so once, and then reads what the first wrote, so
// the output ends with both additions. The first run's earlier output is
// free by then; and a later output that appears while it waits on a second
// FIFO, locked by the test as another run would, is waited for before it is
// written (on Linux, where the test takes the lock as tamb does, by flock).
TEST(cli, two_runs_on_one_output_take_turns)
{
    scratch_dir dir;
    write_file(dir.file("l.rsrc"), rs_image(a_values));
    write_file(dir.file("x.rsrc"), rs_image(b_values));
    write_file(dir.file("two"), hex("02"));
    const std::string fifo = std::filesystem::canonical(dir.path).string() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((fifo + "2").c_str(), 0600), 0);
    const int feed = open(fifo.c_str(), O_RDWR | O_CLOEXEC),
              feed2 = open((fifo + "2").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_TRUE(feed >= 0 && feed2 >= 0);
    const bool flocks = windows_exe == nullptr;
    auto lockable = [&](const char* name) {
        const int fd = open(dir.file(name).c_str(), O_RDONLY | O_CLOEXEC);
        const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
        return close(fd), free;
    };
    std::vector<std::string> args = {"-o", "x.rsrc", "x.rsrc", "-o", "l.rsrc", "l.rsrc", "--add", "DATA:1=fifo"};
    if (flocks)
        args.insert(args.end(), {"-o", "n.rsrc", "--add", "DATA:3=fifo2"});
    started_run one = start_tamb(dir.path, args, {}, binary());
    ASSERT_TRUE(reads_from(one.pid, fifo, 60)) << "the first run never opened the FIFO";
    EXPECT_TRUE(!flocks || lockable("x.rsrc"));
    started_run two = start_tamb(dir.path, {"-o", "l.rsrc", "l.rsrc", "--add", "DATA:2=two"}, {},
                                 binary());
    const std::string waiting = "warning: waiting for l.rsrc, which another run is writing\n",
                      waiting_n = "warning: waiting for n.rsrc, which another run is writing\n";
    EXPECT_TRUE(wait_for_err(two, waiting, 60)) << two.err_text;
    EXPECT_EQ(read_file(dir.file("l.rsrc")), rs_image(a_values));
    EXPECT_EQ(write(feed, "\x01", 1), 1);
    close(feed);
    const uint32_t data = type_code("DATA");
    if (flocks) {
        EXPECT_TRUE(reads_from(one.pid, fifo + "2", 60));
        write_file(dir.file("n.rsrc"), hex("52 53 00 00"));
        const int held = open(dir.file("n.rsrc").c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(flock(held, LOCK_EX), 0);
        EXPECT_EQ(write(feed2, "\x03", 1), 1);
        close(feed2);
        EXPECT_TRUE(wait_for_err(one, waiting_n, 60)) << one.err_text;
        EXPECT_EQ(read_file(dir.file("n.rsrc")), hex("52 53 00 00"));
        close(held);
    } else {
        close(feed2);
    }
    const run_result first = finish_tamb(one), second = finish_tamb(two);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.err, flocks ? waiting_n : "");
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.err, waiting);
    EXPECT_EQ(read_file(dir.file("l.rsrc")),
              rs_image({a_long, a_mims, {data, 1, "", hex("01")}, {data, 2, "", hex("02")}}));
    EXPECT_EQ(read_file(dir.file("x.rsrc")), rs_image(b_values));
    EXPECT_TRUE(!flocks || read_file(dir.file("n.rsrc")) == rs_image({{data, 3, "", hex("03")}}));
}

// On a terminal, no control byte of a type code or a name reaches the screen.
TEST(cli, a_terminal_is_shown_no_control_bytes)
{
    if (windows_exe != nullptr || system("command -v script > /dev/null") != 0)
        GTEST_SKIP() << "needs script(1) for a pseudo-terminal";
    scratch_dir dir;
    write_file(dir.file("e.rsrc"), rs_image({{type_code("\x1b[2J"), 1, "a\x1b]0;\xc2\x85\xff\xc3\xa9", {}}}));
    run_result r = run_tamb(dir.path, {"-qc", std::string(TAMB_BINARY) + " -l e.rsrc", "/dev/null"},
                            {}, {"/usr/bin/script"});
    EXPECT_NE(r.out.find("'?[2J'     1      0  a?]0;??\xc3\xa9\r\n"), std::string::npos) << r.out;
}

} // namespace
