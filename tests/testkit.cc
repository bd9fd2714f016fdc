#include "testkit.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <poll.h>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <ostream>
#include <sys/mman.h>
#include <sys/wait.h>
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

std::string printed(const std::function<void(FILE*)>& print)
{
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    EXPECT_NE(out, nullptr);
    print(out);
    std::fclose(out);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}





namespace {

std::string drain(int fd)
{
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, size_t(got));
    close(fd);
    return text;
}

} // namespace

started_run start_tamb(const std::string& dir, const std::vector<std::string>& args,
                       const std::function<void()>& setup, const std::vector<std::string>& command)
{
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv;
        for (const auto& c : command)
            argv.push_back(const_cast<char*>(c.c_str()));
        if (command.empty())
            argv.push_back(const_cast<char*>("tamb"));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        umask(002);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]), close(out[1]), close(err[0]), close(err[1]);
        if (setup)
            setup();
        if (!command.empty()) {
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = tamb_main(int(argv.size() - 1), argv.data());
        std::fflush(nullptr);
        _exit(status);
    }
    close(out[1]);
    close(err[1]);
    return {child, out[0], err[0], ""};
}

bool wait_for_err(started_run& run, const std::string& text, int seconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (run.err_text.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{run.err, POLLIN, 0};
        char buffer[4096];
        ssize_t got = 0;
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0 ||
            (got = read(run.err, buffer, sizeof buffer)) <= 0)
            return false;
        run.err_text.append(buffer, size_t(got));
    }
    return true;
}

run_result finish_tamb(started_run& run)
{
    run_result r{-1, drain(run.out), run.err_text + drain(run.err)};
    int status = 0;
    EXPECT_EQ(waitpid(run.pid, &status, 0), run.pid);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

run_result run_tamb(const std::string& dir, const std::vector<std::string>& args,
                    const std::function<void()>& setup, const std::vector<std::string>& command)
{
    started_run run = start_tamb(dir, args, setup, command);
    return finish_tamb(run);
}

bytes rs_image(const std::vector<resource_value>& values)
{
    int fd = memory_file(hex("52 53 00 00"));
    lseek(fd, 4, SEEK_SET);
    owned_list list(list_of(values));
    EXPECT_EQ(write_resource_file(list.head, fd, 1, nullptr), 0);
    bytes image = read_fd(fd);
    close(fd);
    return image;
}
