#include "testkit.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <ostream>
#include <sys/mman.h>
#include <unistd.h>

#include "driver/driver.h"

void PrintTo(const resource_value& r, std::ostream* os)
{
    *os << "'" << char(r.type >> 24) << char(r.type >> 16) << char(r.type >> 8) << char(r.type)
        << "' " << r.id << " \"" << r.name.substr(0, 40) << (r.name.size() > 40 ? "...\"" : "\"")
        << " [" << r.data.size() << " bytes]";
}

std::vector<resource_value> values_of(const resource* head)
{
    std::vector<resource_value> out;
    for (const resource* r = head; r != nullptr; r = r->next) {
        EXPECT_NE(r->name, nullptr);
        EXPECT_GE(r->size, 0) << "record " << r->id;
        out.push_back({r->type, r->id, r->name != nullptr ? r->name : "",
                       bytes(r->data, r->data + std::max(r->size, 0))});
    }
    return out;
}

resource* list_of(const std::vector<resource_value>& values)
{
    resource* head = nullptr;
    for (const auto& v : values)
        EXPECT_EQ(add_resource(&head, v.type, v.id, v.data.data(), int32_t(v.data.size()),
                               v.name.c_str()),
                  0);
    return head;
}

owned_list::~owned_list()
{
    free_resources(head);
}

scratch_dir::scratch_dir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tamb-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp failed";
    path = pattern;
}

scratch_dir::~scratch_dir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

bytes read_file(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open " << path;
        return {};
    }
    bytes out = read_fd(fd);
    close(fd);
    return out;
}

void write_file(const std::string& path, const bytes& content)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
    close(fd);
}

bytes read_fd(int fd)
{
    off_t here = lseek(fd, 0, SEEK_CUR);
    off_t end = lseek(fd, 0, SEEK_END);
    bytes out(size_t(end > 0 ? end : 0));
    EXPECT_EQ(pread(fd, out.data(), out.size(), 0), ssize_t(out.size()));
    lseek(fd, here, SEEK_SET);
    return out;
}

int memory_file(const bytes& content)
{
    int fd = memfd_create("tamb-test", 0);
    EXPECT_GE(fd, 0);
    if (!content.empty()) {
        EXPECT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

void put32(bytes& out, uint32_t v, bool big_endian)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(big_endian ? v >> (24 - 8 * i) : v >> (8 * i)));
}

void put16(bytes& out, uint16_t v, bool big_endian)
{
    out.push_back(uint8_t(big_endian ? v >> 8 : v));
    out.push_back(uint8_t(big_endian ? v : v >> 8));
}

uint32_t get32(const bytes& in, size_t at, bool big_endian)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(in.at(at + i)) << (big_endian ? 24 - 8 * i : 8 * i);
    return v;
}

bytes hex(const std::string& text)
{
    bytes out;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(uint8_t(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}
