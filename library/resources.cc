// The library: a program reads the resources of a file, or of itself, at
// run time, through the reader, the container module and the checks that
// tamb itself uses (see tamb/resources.h).
//
// What the whole process shares (the files that kept data lies in, the
// storage of records, the failure collector) is touched only under the
// process lock: opening, closing, and the bookkeeping around each read of
// data that lies in its file (a descriptor lent for the read, given back
// after it), never the read itself. After opening, a handle changes only
// where a resource's data is published, by an atomic store that releases
// it, or released; the threads that read one resource whole take turns on
// its own lock. Lookups and reads of data already published take no lock.
#include "tamb/resources.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "check/check.h"
#include "container/container.h"
#include "platform/platform.h"
#include "resfile/fail.h"
#include "resfile/kept.h"
#include "resfile/list.h"
#include "textform/textform.h"

// The image that tamb_embed_resources links into a module: its length in
// bytes, 8 bytes in host order, 8 bytes of padding, and then the image.
// Every module holds its own (hidden, never exported): the build's, or
// library/no_image.cc's, whose length is 0.
extern "C" const unsigned char tamb_embedded_image[];

namespace {

// One resource of an open file, and its data once it has been read.
struct held_resource {
    const resource* r = nullptr;
    std::atomic<const unsigned char*> data{nullptr}; // null until read, and once released
    std::vector<unsigned char> bytes;                 // data read from its file
    object_lock reading;  // taken to read the data whole, or to release it
    bool settled = false; // read whole or released: its file is not needed for it (process lock)
    data_walk walk;       // where a read of a part may start (process lock)
};

// The resources of one type, which lie together.
struct type_run {
    uint32_t type;
    size_t first, count;
};

// The place of a resource in the file's order, found by type and id or by
// type and name.
struct id_place {
    uint32_t type;
    int32_t id;
    size_t index;
};
struct name_place {
    uint32_t type;
    const char* name;
    size_t index;
};

bool id_before(const id_place& a, const id_place& b)
{
    return a.type != b.type ? a.type < b.type : a.id < b.id;
}

bool name_before(const name_place& a, const name_place& b)
{
    if (a.type != b.type)
        return a.type < b.type;
    // Most resources have no name: their first bytes settle it.
    const int c = a.name[0] != b.name[0] || a.name[0] == '\0'
                      ? int(static_cast<unsigned char>(a.name[0])) - static_cast<unsigned char>(b.name[0])
                      : std::strcmp(a.name, b.name);
    return c != 0 ? c < 0 : a.index < b.index;
}

// What data of no bytes points at.
const unsigned char no_bytes[1] = {0};

thread_local char last_error[1024];

// Makes text the last failure on this thread (cut short at a character's
// start when it is too long) and answers code.
int failed(int code, const char* text)
{
    size_t n = std::strlen(text);
    if (n >= sizeof last_error) {
        n = sizeof last_error - 1;
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
    }
    std::memcpy(last_error, text, n);
    last_error[n] = '\0';
    return code;
}

// A line as a terminal shows it: a type code or a name may hold a NUL,
// which a C string cannot.
int failed(int code, const std::string& text)
{
    return failed(code, shown_to_people(text.data(), text.size()).c_str());
}

// The first line a sink kept, or otherwise when it kept none.
int failed(int code, const failure_sink& sink, const std::string& otherwise)
{
    return failed(code, sink.lines.empty() ? otherwise : sink.lines.front());
}

int out_of_memory()
{
    return failed(TAMB_E_MEMORY, "out of memory");
}

// Runs body, an API call's work: what it answers, or TAMB_E_MEMORY when it
// throws (memory that runs out), so that nothing crosses the C interface.
template <typename Body>
int guarded(Body&& body)
{
    try {
        return body();
    } catch (...) {
        return out_of_memory();
    }
}

constexpr size_t embedded_image_header = 16;

// An address in the module (program or shared library) this copy of the
// library is linked into.
const char in_this_module = 0;

#if defined(_WIN32)
// A DLL that exports nothing by name exports every symbol of its objects
// (the linker's automatic export), libtamb's among them: a program that
// links that DLL before libtamb would call the DLL's tamb_open_self and
// open the DLL's resources. The linker is told to leave them out.
__attribute__((section(".drectve"), used)) const char not_exported[] =
    " -exclude-symbols:tamb_type,tamb_open,tamb_open_memory,tamb_open_self,tamb_close,"
    "tamb_error,tamb_count,tamb_resource_at,tamb_find,tamb_find_named,tamb_data,"
    "tamb_read,tamb_release,tamb_byte_order,tamb_type_range,tamb_version,tamb_embedded_image";
#endif

} // namespace

struct tamb_file {
    resource_list list;
    std::vector<unsigned char> whole; // a file that cannot seek, read whole at opening
    size_t count = 0;
    std::unique_ptr<held_resource[]> held;
    std::vector<id_place> by_id;     // sorted by id_before
    std::vector<name_place> by_name; // sorted by name_before
    std::vector<type_run> runs;      // sorted by type
    int order = TAMB_LITTLE_ENDIAN;  // of the container
    size_t unsettled = 0;            // resources whose data lies in a file, not settled (process lock)
};

namespace {

// Reads the resources of the source (a file named path, or memory) into f,
// as tamb reads an input, leaving an image's data in its file, or lending
// it from memory. A text's `file` lines are read when allow_files is set.
// Under the process lock, with a quiet sink collecting. 0, or a tamb_code
// after its text.
int read_resources(tamb_file* f, source& src, const char* path, const failure_sink& sink,
                   bool allow_files = true)
{
    resource_index& index = f->list.index;
    index.keeping = src.in_memory() ? nullptr : path;
    index.keeping_all = true;
    unsigned char first[text_mark_length];
    const ssize_t got = source_pread_all(src, first, sizeof first, 0);
    if (got > 0 && is_text_form(first, size_t(got))) {
        if (read_text_resources(&f->list.head, src, path, &index, allow_files) != 0)
            return failed(TAMB_E_DAMAGED, sink, "cannot read " + std::string(path));
        return 0; // its numbers are little-endian
    }
    const std::string not_resources = std::string(path) + " is not a resource file";
    pe_format format = 0;
    const int area = position_at_map(src, 0, &format);
    if (area <= 0)
        return failed(TAMB_E_NOT_RESOURCE_FILE, sink, not_resources);
    f->order = format == 1 ? TAMB_LITTLE_ENDIAN : TAMB_BIG_ENDIAN;
    image_seen seen;
    if (read_resource_file(&f->list.head, src, format, nullptr, &index, &seen) != 0 ||
        !sink.lines.empty())
        return failed(TAMB_E_DAMAGED, sink, "cannot read " + std::string(path));
    std::vector<std::string> problems;
    find_layout_problems(seen, problems);
    if (!problems.empty())
        return failed(TAMB_E_DAMAGED, problems.front());
    return 0;
}

// The tables that find f's resources; every resource that holds its data
// in memory has it published.
void index_resources(tamb_file* f)
{
    clear_resource_index(&f->list.index); // lookups go through the tables
    f->count = size_t(count_resources(f->list.head));
    f->held.reset(new held_resource[f->count]);
    f->by_id.reserve(f->count);
    f->by_name.reserve(f->count);
    size_t i = 0;
    for (const resource* r = f->list.head; r != nullptr; r = r->next, ++i) {
        f->held[i].r = r;
        if (!data_kept(r))
            f->held[i].data.store(r->size > 0 ? r->data : no_bytes, std::memory_order_relaxed);
        else
            ++f->unsettled;
        if (f->runs.empty() || f->runs.back().type != r->type)
            f->runs.push_back({r->type, i, 0});
        ++f->runs.back().count;
        f->by_id.push_back({r->type, r->id, i});
        f->by_name.push_back({r->type, r->name, i});
    }
    // An image usually holds each type's resources in order of id already.
    if (!std::is_sorted(f->by_id.begin(), f->by_id.end(), id_before))
        std::sort(f->by_id.begin(), f->by_id.end(), id_before);
    if (!std::is_sorted(f->by_name.begin(), f->by_name.end(), name_before))
        std::sort(f->by_name.begin(), f->by_name.end(), name_before);
    std::sort(f->runs.begin(), f->runs.end(),
              [](const type_run& a, const type_run& b) { return a.type < b.type; });
}

// Reads what is left of a file that cannot seek (a pipe) into whole. 0, or -1.
int read_whole(int fd, std::vector<unsigned char>& whole)
{
    widen_pipe(fd);
    for (size_t got = 0;;) {
        if (whole.size() - got < (size_t(1) << 16))
            whole.resize(std::max(whole.size() * 2, size_t(1) << 16));
        const ssize_t n = syscalls.read(fd, whole.data() + got, whole.size() - got);
        if (n < 0)
            return -1;
        if (n == 0) {
            whole.resize(got);
            return 0;
        }
        got += size_t(n);
    }
}

// A file with a journal beside it was cut off while tamb wrote it in place:
// only tamb, which writes, puts it back. TAMB_E_DAMAGED after its text, or 0.
int refuse_journaled(const char* path)
{
    const std::string journal = journal_of(follow_links(path));
    struct stat st;
    if (syscalls.lstat(journal.c_str(), &st) != 0)
        return 0;
    return failed(TAMB_E_DAMAGED, std::string(path) + " has a journal beside it (" + journal +
                                      "): run tamb on " + path + " to put it back");
}

// What every opening shares: under the process lock, with the reader's
// lines collected quietly, read reads into a new handle, which is indexed
// and handed out. 0, or read's tamb_code after its text.
template <typename Read>
int open_handle(tamb_file** out, Read read)
{
    holding_process_lock lock;
    std::unique_ptr<tamb_file> f(new tamb_file); // freed under the lock
    failure_sink sink;
    sink.quiet = true;
    collecting_failures collecting(&sink);
    if (const int code = read(f.get(), sink); code != 0)
        return code;
    index_resources(f.get());
    *out = f.release();
    return 0;
}

int open_path(const char* path, tamb_file** out)
{
    if (out == nullptr)
        return failed(TAMB_E_ARGUMENT, "tamb_open(): no place for the handle");
    *out = nullptr;
    if (path == nullptr)
        return failed(TAMB_E_ARGUMENT, "tamb_open(): no path");
    return open_handle(out, [path](tamb_file* f, const failure_sink& sink) {
        owned_descriptor in(syscalls.open(path, O_RDONLY, 0));
        if (in.fd < 0)
            return failed(TAMB_E_OPEN, "cannot open " + std::string(path));
        if (const int code = refuse_journaled(path); code != 0)
            return code;
        source src = source::descriptor(in.fd);
        if (syscalls.lseek(in.fd, 0, SEEK_CUR) < 0) {
            if (read_whole(in.fd, f->whole) != 0)
                return failed(TAMB_E_DAMAGED, "cannot read " + std::string(path));
            src = source::memory(f->whole.data(), f->whole.size());
        }
        return read_resources(f, src, path, sink);
    });
}

// An image in memory that the caller keeps: its data lent where it lies.
int open_memory(const void* bytes, size_t size, tamb_file** out)
{
    if (out == nullptr)
        return failed(TAMB_E_ARGUMENT, "tamb_open_memory(): no place for the handle");
    *out = nullptr;
    if (bytes == nullptr && size > 0)
        return failed(TAMB_E_ARGUMENT, "tamb_open_memory(): no bytes");
    return open_handle(out, [bytes, size](tamb_file* f, const failure_sink& sink) {
        source src = source::memory(bytes, size);
        return read_resources(f, src, "memory", sink, false);
    });
}

void describe(const tamb_file* f, size_t index, tamb_resource* out)
{
    const resource* r = f->held[index].r;
    out->type = r->type;
    out->id = r->id;
    out->name = r->name;
    out->size = size_t(std::max(r->size, 0));
    out->index = index;
}

std::string named(uint32_t type, const std::string& rest)
{
    return "no resource '" + type_bytes(type) + "' " + rest;
}

// True when resource is one of f's, exactly as f described it.
bool of_this_file(const tamb_file* f, const tamb_resource* given)
{
    if (given->index >= f->count)
        return false;
    const resource* r = f->held[given->index].r;
    return r->type == given->type && r->id == given->id && r->name == given->name &&
           size_t(std::max(r->size, 0)) == given->size;
}

// Under the process lock: h's data has been read whole or released, so its
// file is not needed for it; once no resource needs them, f's files give
// back their descriptors.
void settle(tamb_file* f, held_resource& h)
{
    if (h.settled || !data_kept(h.r))
        return;
    h.settled = true;
    if (--f->unsettled == 0)
        for (size_t i = 0; i < f->count; ++i)
            if (data_kept(f->held[i].r))
                let_descriptor_go(f->held[i].r);
}

// Reads n bytes of h's data, which lies in its file, from `from` into out,
// holding the process lock only to borrow the file's descriptor and to give
// it back; settles h when settles. 0, or a tamb_code after its text.
int read_from_file(tamb_file* f, held_resource& h, int64_t from, unsigned char* out, size_t n,
                   bool settles)
{
    lent_input in;
    data_walk walk;
    {
        holding_process_lock lock;
        failure_sink sink;
        sink.quiet = true;
        collecting_failures collecting(&sink);
        if (lend_input(h.r, &in) != 0)
            return in.spill ? failed(TAMB_E_DATA, sink, "cannot read " + in.path)
                            : failed(TAMB_E_DATA, in.path + " changed since it was opened");
        walk = h.walk;
    }
    range_result got = range_result::read;
    try {
        got = read_kept_range(h.r, in.fd, from, out, n, &walk);
    } catch (...) { // memory ran out: the loan ends all the same
        holding_process_lock lock;
        end_loan(h.r, f->unsettled == 0);
        throw;
    }
    if (got == range_result::read && !still_as_lent(in))
        got = range_result::changed;
    {
        holding_process_lock lock;
        if (got == range_result::read) {
            h.walk = walk;
            if (settles)
                settle(f, h);
        }
        end_loan(h.r, f->unsettled == 0);
    }
    if (got == range_result::changed)
        return failed(TAMB_E_DATA, in.path + " changed since it was opened");
    if (got == range_result::read_failed)
        return failed(TAMB_E_DATA, "copy_resource_data(): read() failed");
    return 0;
}

// Reads the data of h whole, outside the process lock, and publishes it;
// the threads that ask for it meanwhile wait for it. Its bytes, or null
// after the text of the failure.
const unsigned char* read_data(tamb_file* f, held_resource& h)
{
    holding_lock turn(h.reading);
    if (const unsigned char* p = h.data.load(std::memory_order_acquire))
        return p; // another thread has just read it
    const unsigned char* p = no_bytes;
    if (h.r->size > 0) {
        std::vector<unsigned char> bytes(size_t(h.r->size));
        if (read_from_file(f, h, 0, bytes.data(), bytes.size(), true) != 0)
            return nullptr;
        h.bytes = std::move(bytes);
        p = h.bytes.data();
    } else {
        holding_process_lock lock;
        settle(f, h);
    }
    h.data.store(p, std::memory_order_release);
    return p;
}

} // namespace

uint32_t tamb_type(const char* code)
{
    return code == nullptr ? 0 : TAMB_TYPE(code[0], code[1], code[2], code[3]);
}

int tamb_open(const char* path, tamb_file** out)
{
    return guarded([&] { return open_path(path, out); });
}

int tamb_open_memory(const void* bytes, size_t size, tamb_file** out)
{
    return guarded([&] { return open_memory(bytes, size, out); });
}

int tamb_open_self(tamb_file** out)
{
    return guarded([&] {
        if (out == nullptr)
            return failed(TAMB_E_ARGUMENT, "tamb_open_self(): no place for the handle");
        *out = nullptr;
        uint64_t size;
        std::memcpy(&size, tamb_embedded_image, sizeof size);
        if (size > 0)
            return tamb_open_memory(tamb_embedded_image + embedded_image_header, size_t(size), out);
        const std::string path = own_module_path(&in_this_module);
        if (path.empty() && programs_carry_resources())
            return failed(TAMB_E_OPEN, "tamb_open_self(): GetModuleFileNameW() failed");
        const std::string none = "no resources embedded in " + path;
        if (!programs_carry_resources())
            return failed(TAMB_E_NOT_RESOURCE_FILE, none);
        // A Windows module may carry resources attached to its own file.
        const int code = open_path(path.c_str(), out);
        return code == TAMB_E_NOT_RESOURCE_FILE ? failed(code, none) : code;
    });
}

void tamb_close(tamb_file* file)
{
    if (file == nullptr)
        return;
    holding_process_lock lock;
    delete file;
}

const char* tamb_error(void)
{
    return last_error;
}

size_t tamb_count(const tamb_file* file)
{
    return file != nullptr ? file->count : 0;
}

int tamb_resource_at(const tamb_file* file, size_t index, tamb_resource* out)
{
    return guarded([&] {
        if (file == nullptr || out == nullptr)
            return failed(TAMB_E_ARGUMENT, "tamb_resource_at(): null argument");
        if (index >= file->count)
            return failed(TAMB_E_ARGUMENT,
                          "tamb_resource_at(): no resource at index " + std::to_string(index));
        describe(file, index, out);
        return 0;
    });
}

int tamb_find(const tamb_file* file, uint32_t type, int32_t id, tamb_resource* out)
{
    return guarded([&] {
        if (file == nullptr || out == nullptr)
            return failed(TAMB_E_ARGUMENT, "tamb_find(): null argument");
        const id_place key{type, id, 0};
        const auto at = std::lower_bound(file->by_id.begin(), file->by_id.end(), key, id_before);
        if (at == file->by_id.end() || at->type != type || at->id != id)
            return failed(TAMB_E_NOT_FOUND, named(type, std::to_string(id)));
        describe(file, at->index, out);
        return 0;
    });
}

int tamb_find_named(const tamb_file* file, uint32_t type, const char* name, tamb_resource* out)
{
    return guarded([&] {
        if (file == nullptr || name == nullptr || out == nullptr)
            return failed(TAMB_E_ARGUMENT, "tamb_find_named(): null argument");
        const name_place key{type, name, 0};
        const auto at =
            std::lower_bound(file->by_name.begin(), file->by_name.end(), key, name_before);
        if (at == file->by_name.end() || at->type != type || std::strcmp(at->name, name) != 0)
            return failed(TAMB_E_NOT_FOUND, named(type, "named \"" + std::string(name) + "\""));
        describe(file, at->index, out);
        return 0;
    });
}

int tamb_data(tamb_file* file, const tamb_resource* resource, const void** data, size_t* size)
{
    return guarded([&] {
        if (file == nullptr || resource == nullptr || data == nullptr || size == nullptr)
            return failed(TAMB_E_ARGUMENT, "tamb_data(): null argument");
        if (!of_this_file(file, resource))
            return failed(TAMB_E_ARGUMENT, "tamb_data(): not a resource of this file");
        held_resource& h = file->held[resource->index];
        const unsigned char* p = h.data.load(std::memory_order_acquire);
        if (p == nullptr && (p = read_data(file, h)) == nullptr)
            return int(TAMB_E_DATA);
        *data = p;
        *size = size_t(std::max(h.r->size, 0));
        return 0;
    });
}

int tamb_read(tamb_file* file, const tamb_resource* resource, uint64_t offset, void* buffer,
              size_t size)
{
    return guarded([&] {
        if (file == nullptr || resource == nullptr || (buffer == nullptr && size > 0))
            return failed(TAMB_E_ARGUMENT, "tamb_read(): null argument");
        if (!of_this_file(file, resource))
            return failed(TAMB_E_ARGUMENT, "tamb_read(): not a resource of this file");
        held_resource& h = file->held[resource->index];
        const size_t length = size_t(std::max(h.r->size, 0));
        if (offset > length || size > length - offset)
            return failed(TAMB_E_ARGUMENT, "tamb_read(): " + std::to_string(size) + " bytes at " +
                                               std::to_string(offset) + " run past the end of " +
                                               std::to_string(length));
        if (size == 0)
            return 0;
        if (const unsigned char* p = h.data.load(std::memory_order_acquire)) {
            std::memcpy(buffer, p + offset, size);
            return 0;
        }
        return read_from_file(file, h, int64_t(offset), static_cast<unsigned char*>(buffer), size,
                              false);
    });
}

int tamb_release(tamb_file* file, const tamb_resource* resource)
{
    return guarded([&] {
        if (file == nullptr || resource == nullptr)
            return failed(TAMB_E_ARGUMENT, "tamb_release(): null argument");
        if (!of_this_file(file, resource))
            return failed(TAMB_E_ARGUMENT, "tamb_release(): not a resource of this file");
        held_resource& h = file->held[resource->index];
        if (!data_kept(h.r))
            return 0; // its data has no other place
        holding_lock turn(h.reading);
        h.data.store(nullptr, std::memory_order_relaxed);
        std::vector<unsigned char>().swap(h.bytes);
        holding_process_lock lock;
        settle(file, h);
        return 0;
    });
}

int tamb_byte_order(const tamb_file* file)
{
    if (file == nullptr)
        return failed(TAMB_E_ARGUMENT, "tamb_byte_order(): null argument");
    return file->order;
}

int tamb_type_range(const tamb_file* file, uint32_t type, size_t* first, size_t* count)
{
    return guarded([&] {
        if (file == nullptr || first == nullptr || count == nullptr)
            return failed(TAMB_E_ARGUMENT, "tamb_type_range(): null argument");
        const auto at = std::lower_bound(
            file->runs.begin(), file->runs.end(), type,
            [](const type_run& run, uint32_t t) { return run.type < t; });
        *first = 0;
        *count = 0;
        if (at == file->runs.end() || at->type != type)
            return failed(TAMB_E_NOT_FOUND, "no resource of type '" + type_bytes(type) + "'");
        *first = at->first;
        *count = at->count;
        return 0;
    });
}

#define TAMB_STRING(x) #x
#define TAMB_VERSION_TEXT(a, b, c) TAMB_STRING(a) "." TAMB_STRING(b) "." TAMB_STRING(c)

const char* tamb_version(void)
{
    return TAMB_VERSION_TEXT(TAMB_VERSION_MAJOR, TAMB_VERSION_MINOR, TAMB_VERSION_PATCH);
}
