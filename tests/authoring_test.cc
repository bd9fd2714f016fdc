// Making and taking apart resource files from the command line: the forms
// of the --add, --delete and --extract arguments, and what the switches do
// beyond the command-line table (round trips, devices, replaced files).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/driver.h"
#include "testkit.h"
#include "type_table.h"

namespace {

constexpr uint32_t LONG = type_code("LONG");

TEST(parse_request, argument_forms)
{
    const std::string name_32766(32766, 'n');
    struct form {
        request_kind kind;
        std::string arg; // "(none)": a missing argument
        bool valid;
        uint32_t type = 0;
        int32_t id = 0;
        std::string name = "", file = "";
    } const forms[] = {
        {request_kind::add, "LONG:1=f", true, LONG, 1, "", "f"},
        {request_kind::add, "snd :128=beep.bin", true, type_code("snd "), 128, "", "beep.bin"},
        {request_kind::add, "LONG:+007:my name=a=b", true, LONG, 7, "my name", "a=b"},
        {request_kind::add, "LONG:-2147483648:=f", true, LONG, INT32_MIN, "", "f"},
        {request_kind::add, "LONG:2147483647:n:x=f", true, LONG, INT32_MAX, "n:x", "f"},
        {request_kind::add, "a:b::1=f", true, type_code("a:b:"), 1, "", "f"},
        {request_kind::add, "LONG:1:" + name_32766 + "=f", true, LONG, 1, name_32766, "f"},
        {request_kind::add, "LONG:1:" + name_32766 + "n=f", false},
        {request_kind::add, "LONG:2147483648=f", false},
        {request_kind::add, "LONG:-2147483649=f", false},
        {request_kind::add, "LONG:99999999999999999999=f", false},
        {request_kind::add, "LONG:1=", false},
        {request_kind::add, "LONG:1:n", false},
        {request_kind::add, "LONG:1", false},
        {request_kind::add, "LONG:=f", false},
        {request_kind::add, "LONG: 1=f", false},
        {request_kind::add, "LONG:1 =f", false},
        {request_kind::add, "LONG:0x1=f", false},
        {request_kind::add, "LON:1=f", false},
        {request_kind::add, "LONG", false},
        {request_kind::add, "(none)", false},
        {request_kind::remove, "LONG:-0", true, LONG, 0},
        {request_kind::remove, "x\xC3\xA9y:5", true, 0x78C3A979, 5},
        {request_kind::remove, "LONG:1=f", false},
        {request_kind::remove, "LONG:-2147483649", false},
        {request_kind::remove, "(none)", false},
        {request_kind::extract, "LONG:01=f=g", true, LONG, 1, "", "f=g"},
        {request_kind::extract, "LONG:1:n=f", false},
        {request_kind::extract, "LONG:-2147483649=f", false},
        {request_kind::extract, "(none)", false},
    };
    for (const auto& f : forms) {
        SCOPED_TRACE(f.arg.substr(0, 40));
        resource_request got;
        EXPECT_EQ(parse_request(f.arg == "(none)" ? nullptr : f.arg.c_str(), f.kind, &got), f.valid);
        if (f.valid) {
            EXPECT_EQ(got.type, f.type);
            EXPECT_EQ(got.id, f.id);
            EXPECT_EQ(got.name, f.name);
            EXPECT_EQ(std::string(got.file != nullptr ? got.file : ""), f.file);
        }
    }
}

// Every resource of a PowerPC file extracted, then added back in the same
// order, makes the same x86 file as merging the PowerPC file itself.
TEST(authoring, extracting_then_adding_back_is_merging)
{
    std::vector<resource_value> values;
    for (const auto& t : known_types)
        values.push_back({type_code(t.code), int32_t(values.size()) * 3 - 20,
                          values.size() % 3 ? std::string("name of ") + t.code : "", hex(t.host)});
    values.push_back({type_code("CSTR"), 5, "c", hex("68 69 00")});
    values.push_back({type_code("CSTR"), 6, "", {}});
    scratch_dir dir;
    bytes resf(40);
    std::copy_n("Joy!resf", 8, resf.begin());
    int fd = memory_file(resf);
    lseek(fd, 40, SEEK_SET);
    owned_list list(list_of(values));
    ASSERT_EQ(write_resource_file(list.head, fd, 0, nullptr), 0);
    write_file(dir.file("ppc.rsrc"), read_fd(fd));
    close(fd);

    std::vector<std::string> extract_args, add_args{"-o", "added.rsrc"};
    for (size_t k = 0; k < values.size(); ++k) {
        const resource_value& v = values[k];
        const std::string what = std::string{char(v.type >> 24), char(v.type >> 16),
                                             char(v.type >> 8), char(v.type)} +
                                 ":" + std::to_string(v.id);
        const std::string file = "r" + std::to_string(k) + ".bin";
        extract_args.insert(extract_args.end(), {"--extract", what + "=" + file});
        add_args.insert(add_args.end(), {"--add", what + ":" + v.name + "=" + file});
    }
    extract_args.insert(extract_args.end(), {"-l", "ppc.rsrc"});
    run_result r = run_tamb(dir.path, extract_args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("r0.bin")), hex(known_types[0].host)); // host order
    ASSERT_EQ(run_tamb(dir.path, add_args).status, 0);
    ASSERT_EQ(run_tamb(dir.path, {"-o", "merged.rsrc", "ppc.rsrc"}).status, 0);
    EXPECT_EQ(read_file(dir.file("added.rsrc")), read_file(dir.file("merged.rsrc")));
}

// A device is read to its end; an extracted file replaces the old one,
// whose other links keep the old bytes.
TEST(authoring, devices_and_replaced_files)
{
    scratch_dir dir;
    write_file(dir.file("a.rsrc"), rs_image({{LONG, 1, "", hex("01 02 03 04")}}));
    run_result r = run_tamb(dir.path, {"-l", "--add", "NULL:0=/dev/null"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("'NULL'     0      0  (no name)\n"), std::string::npos) << r.out;

    write_file(dir.file("one.bin"), hex("EE"));
    ASSERT_EQ(chmod(dir.file("one.bin").c_str(), 0600), 0);
    ASSERT_EQ(link(dir.file("one.bin").c_str(), dir.file("other.bin").c_str()), 0);
    r = run_tamb(dir.path, {"-l", "--extract", "LONG:1=one.bin", "a.rsrc"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("one.bin")), hex("01 02 03 04"));
    EXPECT_EQ(read_file(dir.file("other.bin")), hex("EE"));
    struct stat st;
    ASSERT_EQ(stat(dir.file("one.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u); // a new file: 0666 less the umask
}

// Extracting to the very file standard output is appended to: its content
// stays, the listing comes first, then the resource's bytes.
TEST(authoring, standard_output_as_a_destination)
{
    scratch_dir dir;
    write_file(dir.file("a.rsrc"), rs_image({{LONG, 1, "a", hex("01 02 03 04")}}));
    write_file(dir.file("log.txt"), {'o', 'l', 'd', '\n'});
    const std::string log = dir.file("log.txt");
    run_result r = run_tamb(dir.path, {"-l", "--extract", "LONG:1=/dev/stdout", "a.rsrc"}, [&log] {
        dup2(open(log.c_str(), O_WRONLY | O_APPEND), 1);
    });
    EXPECT_EQ(r.status, 0) << r.err;
    const bytes text = read_file(log);
    const std::string heading = "old\na.rsrc resources (PE format):\n\n type     ID   size  name\n"
                                "------------------------------------\n'LONG'     1      4  a";
    ASSERT_GT(text.size(), heading.size());
    EXPECT_EQ(std::string(text.begin(), text.begin() + long(heading.size())), heading);
    EXPECT_EQ(bytes(text.end() - 4, text.end()), hex("01 02 03 04"));

}

} // namespace
