// The listing and the help text.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/driver.h"
#include "platform/platform.h"

void print_help(const char* output_path)
{
    std::fprintf(stderr,
                 "\nusage: tamb [ -l ] [ -o file ] resourcefile ...\n"
                 "Default output file name is '%s'.\n"
                 "\nEach time a new output file is specified, any resourced \n"
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
                 "  --extract TYPE:ID=FILE      save a resource's bytes in FILE (- for standard "
                 "output)\n"
                 "  --version                   print the version\n"
                 "  --text                      list in the text form\n"
                 "  --json                      list as JSON\n"
                 "  --check                     say whether each file is sound\n"
                 "  --strict                    fail on any damage an input holds\n"
                 "  --depfile FILE              write the files each output was made from, for "
                 "make\n"
                 "\n",
                 output_path);
}

namespace {

// n right-aligned in `width` columns, as printf's %*d writes it.
void append_number(std::string& out, int32_t n, size_t width)
{
    char digits[16];
    const char* end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    const size_t length = size_t(end - digits);
    if (length < width)
        out.append(width - length, ' ');
    out.append(digits, length);
}

} // namespace

void print_listing(const char* argument, const char* format_word, resource* head)
{
    std::printf("%s resources (%s format):\n", argument, format_word);
    std::printf("\n type     ID   size  name\n");
    std::printf("------------------------------------\n");
    resource* cursor = nullptr;
    uint32_t type;
    int32_t id;
    unsigned char* data;
    int32_t size;
    char* name;
    // A terminal is shown no control bytes of a type code or a name.
    const bool terminal = is_terminal(1);
    // Lines go out a large piece at a time, each as
    // "'%c%c%c%c' %5d %6d  %s\n" prints it.
    std::string lines;
    while (next_resource(head, &cursor, &type, &id, &data, &size, &name) == 0) {
        const char* shown_name = name == nullptr || name[0] == '\0' ? "(no name)" : name;
        if (!terminal) {
            const char quoted[6] = {'\'', char(type >> 24), char(type >> 16), char(type >> 8),
                                    char(type), '\''};
            lines.append(quoted, sizeof quoted).push_back(' ');
            append_number(lines, id, 5);
            lines.push_back(' ');
            append_number(lines, size, 6);
            lines.append("  ").append(shown_name).push_back('\n');
            if (lines.size() >= (size_t(1) << 16)) {
                std::fwrite(lines.data(), 1, lines.size(), stdout);
                lines.clear();
            }
            continue;
        }
        const std::string t = type_bytes(type);
        std::printf("'%s' %5d %6d  %s\n", shown_on(1, t.data(), 4).c_str(), id, size,
                    shown_on(1, shown_name, std::strlen(shown_name)).c_str());
    }
    std::fwrite(lines.data(), 1, lines.size(), stdout);
}
