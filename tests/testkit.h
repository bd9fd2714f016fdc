// Helpers shared by the tests: scratch files, whole-file reads, lists as
// plain values, and hand-made images.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "images.h"
#include "resfile/resfile.h"


// A resource as a plain value, for comparing lists.
struct resource_value {
    uint32_t type;
    int32_t id;
    std::string name;
    bytes data;
    bool operator==(const resource_value&) const = default;
};

// Prints as 'TYPE' id "name" [size] in test failures, a long name cut short.
void PrintTo(const resource_value& r, std::ostream* os);

// The records of a list, in order.
std::vector<resource_value> values_of(const resource* head);

// Builds a list from values with add_resource; the caller frees it with
// free_resources (or holds it in an owned_list).
resource* list_of(const std::vector<resource_value>& values);

// Frees a list when it goes out of scope.
struct owned_list {
    resource* head = nullptr;
    owned_list() = default;
    explicit owned_list(resource* h) : head(h) {}
    owned_list(const owned_list&) = delete;
    owned_list& operator=(const owned_list&) = delete;
    ~owned_list();
};

// A fresh directory removed with its contents when the object dies.
struct scratch_dir {
    std::string path;
    scratch_dir();
    ~scratch_dir();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// Whole-file helpers; they fail the current test on error.
bytes read_file(const std::string& path);
void write_file(const std::string& path, const bytes& content);
bytes read_fd(int fd); // the whole file behind fd, position unchanged

// An anonymous read/write file holding content, positioned at 0.
int memory_file(const bytes& content = {});

// What print writes to the stream it is given.
std::string printed(const std::function<void(FILE*)>& print);



// "RS\0\0" and the image of values, as our writer makes it.
bytes rs_image(const std::vector<resource_value>& values);

// One run of tamb: exit status (128 + the signal for a run ended by one),
// standard output and standard error.
struct run_result {
    int status;
    std::string out, err;
};

// Runs tamb in a child process in dir with umask 002: `command` and then the
// arguments when a command is given (a binary, or wine and a Windows
// binary), otherwise tamb_main in the forked test process itself (so that a
// test can replace system calls in `setup`, which runs in the child first).
run_result run_tamb(const std::string& dir, const std::vector<std::string>& args,
                    const std::function<void()>& setup = {},
                    const std::vector<std::string>& command = {});

// The same, started in the background: run_tamb is finish_tamb(start_tamb(...)).
// wait_for_err reads standard error until it holds text (false when the run
// ends or `seconds` pass first).
struct started_run {
    int pid;
    int out, err; // the read ends of its pipes
    std::string err_text; // read so far
};
started_run start_tamb(const std::string& dir, const std::vector<std::string>& args,
                       const std::function<void()>& setup = {},
                       const std::vector<std::string>& command = {});
bool wait_for_err(started_run& run, const std::string& text, int seconds);
run_result finish_tamb(started_run& run);


