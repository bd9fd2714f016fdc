// Replacing an output file so that a failed or interrupted flush leaves it
// as it was: the steps that output/flush.cc takes, in this order:
// open_output, copy_output, keep_output_bytes (for what an in-place write
// overwrites), then position_at_map and write_resource_file on out.fd,
// then commit_output. An output_file that goes out of scope uncommitted is
// abandoned.
//
// An existing regular file is copied into a temporary beside it, the image
// is written into the copy, and the copy, given the file's owner, mode and
// extended attributes, is synced and renamed over the file. Where the file
// system allows, the temporary has no name until that moment. Where a
// rename would break what people rely on (a file with more than one hard
// link, a directory that refuses the temporary, an owner or an attribute
// the temporary cannot be given) the file is written in place, after the
// bytes the flush will overwrite have been kept in memory, and put back as
// they were when a step fails or SIGINT, SIGTERM or SIGHUP arrives. A file
// that is not a regular file (a device, a FIFO) is written in place as it
// is.
//
// From the moment an output is opened until it is committed, a closed pipe
// or the file-size limit makes a write fail instead of ending the run (after
// a failure, until the run ends). Every call to the file system goes
// through the platform layer's table (`syscalls`), where tests make them
// fail, but for the restore, which a signal handler runs too.
#pragma once

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

enum class output_way {
    replace,  // a temporary renamed over the file
    in_place, // the file itself, with its overwritten bytes kept for restoring
    plain,    // the file itself, nothing kept (not a regular file)
};

// Flags of open_output.
constexpr int output_fresh = 1; // new bytes from 0, not a copy of the old; a new
                                // file's mode; never written in place

// Bytes of the file kept for putting back: in memory, or, when there are
// many, in the spill file from `spilled`.
struct kept_bytes {
    off_t at;
    size_t length;
    unsigned char* bytes; // null when spilled
    int64_t spilled = -1;
};

struct output_file {
    int fd = -1; // where the image is written

    output_way way = output_way::plain;
    int original = -1;      // replace: the old file (read); in_place: a spare descriptor
    off_t old_length = 0;   // in_place: the length to put back
    std::vector<kept_bytes> kept;
    std::string path;       // as named by the caller
    std::string target;     // the file that is replaced: path with symlinks followed
    std::string temp;       // replace: the temporary's name
    struct stat old_stat = {}; // replace: the old file, when there is one
    bool unnamed = false;   // replace: the temporary has no name until it is complete
    int handle = -1;        // unnamed: what reaches the temporary once fd is closed
    volatile int temp_made = 0; // the temporary has a name (to remove on failure)
    volatile int finished = 0;
    // in_place: the journal of the bytes the flush overwrites (journal.cc)
    std::string journal;          // its path, once made
    size_t journaled = 0;         // entries of kept that it holds
    off_t journal_end = 0;        // its length
    uint64_t journal_check = 0;   // the check of its last record
    volatile int journal_made = 0; // it exists (removed once the file is synced or put back)
    bool unjournaled = false;     // the directory refused it: written without one

    output_file() = default;
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();
};

// Opens path for replacement and sets out->fd. -1 when the output can be
// neither opened for reading and writing nor created (the caller reports
// that it cannot create it); nothing is changed on disk then.
int open_output(output_file* out, const char* path, int flags = 0);

// Copies the old file's bytes into the temporary (a reflink where the file
// system offers one). 0, or -1 after one line on stderr.
int copy_output(output_file* out);

// In place: keeps the file's bytes in [at, at + length) so that they can be
// put back: in memory, or in the spill file when they are many. Does
// nothing on the other ways. 0, or -1 after one line.
int keep_output_bytes(output_file* out, off_t at, int64_t length);

// Makes the written bytes the output: syncs and closes the descriptor and
// renames the temporary over the file. 0, or -1 after one line (the output
// is then as it was).
int commit_output(output_file* out);

// Leaves the output as it was: removes the temporary, or puts back what was
// kept. Does nothing once the output is committed.
void abandon_output(output_file* out);

// In place, before the first byte is overwritten: the journal beside the
// output (see journal.h) is made, or given what was kept since, and synced,
// and its directory when it is made. Where the directory refuses it, or it
// cannot be written whole (a full disk, the file-size limit), the file is
// written without one, after a warning.
void journal_output(output_file* out);

// In place, a file that already has its resource area: keeps the bytes
// that the image of list will cover, so that the journal holds them before
// anything is written (what position_at_map writes into a file without an
// area lies in bytes kept already). 0, or -1 after one line.
int keep_image_ahead(output_file* out, const struct resource* list);

// In place, once the output is synced: removes the journal and syncs its
// directory. 0, or -1 after one line (the output is then to be put back).
int drop_journal(output_file* out);
