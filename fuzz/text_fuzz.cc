// Any bytes as a text form, with `file` lines refused: reading never faults,
// and a text that is refused adds nothing. A text that is accepted is
// printed and read back, walking the list and through the index, which must
// give the same records; printed again, it must give the same text. Its JSON
// listing is printed too.
#include <cstdio>

#include "fuzzkit.h"
#include "textform/textform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FILE* const null_out = std::fopen("/dev/null", "w");
    require(null_out != nullptr);
    int fd = file_holding(data, size);
    resource* list = nullptr;
    const int result = read_text_resources(&list, fd, "input", nullptr, false);
    close(fd);
    require(result == 0 || (result == -1 && list == nullptr));
    if (result != 0)
        return 0;
    const std::string text = text_form_of(list);
    const auto* printed = reinterpret_cast<const unsigned char*>(text.data());
    resource *back = nullptr, *indexed = nullptr;
    resource_index index;
    require(parse_text_resources(&back, printed, text.size(), "printed", nullptr, false) == 0);
    require(parse_text_resources(&indexed, printed, text.size(), "printed", &index, false) == 0);
    require(same_records(list, back) && same_records(list, indexed));
    require(text_form_of(back) == text);
    json_listing json;
    json_file(&json, null_out, "input", "text", list);
    json_end(&json, null_out);
    free_resources(list);
    free_resources(back);
    free_resources(indexed);
    return 0;
}
