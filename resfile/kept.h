// Data that stays in a file until it is written, so that no resource's data
// is held whole in memory unless it must be. A record may keep, instead of
// its data, where that data lies: in the regular file it was read from (an
// input, a text form's `file` line, an --add file), in the byte order it
// has there, or in the run's spill file, an unnamed temporary that holds
// what has nowhere else to be (data from a pipe or a device beyond what is
// held in memory, an in-place output's own data). Everything that needs the
// bytes reads them through here, and a file must still be what it was when
// it was read. At most kept_inputs_open files are held open at a time, and
// at most a quarter of the descriptors the run may open (so that a flush
// has room); the others are opened again by their path when their data is
// needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/platform.h"

struct resource;

constexpr int32_t kept_threshold = 256 << 10;
constexpr int kept_inputs_open = 64;

// Data from a pipe or a device is held in memory up to data_held_at_most
// bytes and spilled beyond; a resource holds at most largest_resource bytes.
// (Variables, so that tests can lower them.)
extern int64_t data_held_at_most;
extern int64_t largest_resource;

// The byte order of kept data in its file.
enum class data_order : uint8_t { big = 0, little = 1 };

// The regular file open on fd (named path, for messages and for opening it
// again) as one that records may keep their data in: its number, or -1 when
// it is not a regular file or cannot be looked at. A file that no record
// keeps data in is let go by forget_unused_input.
int keep_input(int fd, const char* path);
void forget_unused_input(int input);

// True when data of this size, read from a regular file, stays in it.
bool data_may_stay(int64_t size);

// A record block with head_room bytes for the record and its name, whose
// data lies at `offset` in the file `input`, in the given byte order. The
// caller fills it. Null when memory runs out.
resource* allocate_kept_record(size_t head_room, int input, off_t offset, data_order order);

bool data_kept(const resource* r);

// What release_record does for a kept record: its file is let go with its
// last record.
void release_kept_data(const resource* r);

// A second record with r's type, id, name and data (kept data kept where it
// is); null when memory runs out.
resource* copy_record(const resource* r);

// Reads a record's data in host order (typed data little-endian, as a list
// holds it), a piece at a time: each piece whole elements or records of its
// type but for the last, and bounded but for one record longer than a
// piece. Data in memory is one piece, where it lies.
struct data_pieces {
    const resource* r;
    int64_t done = 0;
    std::vector<unsigned char> buffer;
    size_t ready = 0, carried = 0; // bytes handed out from buffer, and held back
    int64_t raw_until = 0;         // data before this point goes unconverted
    explicit data_pieces(const resource* record) : r(record) {}
};

// The next piece: *p and its length, 0 at the end; -1 after
// "copy_resource_data(): FILE changed while tamb was running" (or a read's
// line) when the file is no longer what it was.
ssize_t next_piece(data_pieces* pieces, const unsigned char** p);

// The record's data in host order: r->data, or kept data read whole into
// buffer. Null after the line of next_piece.
const unsigned char* record_data(const resource* r, std::vector<unsigned char>& buffer);

// Writes the record's data at fd's position (which moves past it) in the
// byte order of format (1 little-endian, the host's; 0 big-endian); data in
// memory goes as it is. Kept data is copied from its file by the kernel
// where the system can, converted a bounded piece at a time where the byte
// orders differ. failed: after its own line (the file changed, a copy or a
// read failed); write_failed: a write to fd failed, *written holding the
// count the data got in all, or the failing call's result when it got
// nothing, for the caller's line.
enum class copy_result { copied, failed, write_failed };
copy_result copy_resource_data(const resource* r, int fd, int32_t format, ssize_t* written);

// Appends n bytes to the spill file: where they lie there, or -1 after a
// line. The spill file's descriptor, for reading such bytes back (-1 before
// it is made).
int64_t spill_append(const void* p, size_t n);
int spill_descriptor();

// Moves the kept data of every record whose file is the very file open on
// fd out of the way, so that the file may be written over: data that lies
// within the n bytes from `at` that were saved at `saved` in the spill file
// is taken from there, any other is copied into the spill file a bounded
// piece at a time. 0, or -1 after a line.
int move_kept_data_aside(resource* list, int fd, off_t at = 0, int64_t n = 0, int64_t saved = -1);

// The same for one record, not in a list, whose data may be kept in the
// file that path names (which is about to be written): 0, or -1 after a
// line.
int move_aside_if_in(resource* r, const char* path);

// Gathers the data of one resource that arrives in pieces (from a pipe or a
// device, or the lines of a text): in a growing record in memory, and, once
// more than `held_at_most` bytes have come, or when a file's bytes join
// data it cannot be kept with, in the spill file. A regular file's bytes that
// are a resource's whole data are kept in that file.
struct data_builder {
    size_t head_room = 0;
    int64_t held_at_most = 0;
    resource* growing = nullptr; // in memory: the record block being filled
    size_t capacity = 0;
    int64_t length = 0;   // bytes gathered
    int spill_at = -1;    // -1, or 0 when the data lies in the spill file from spill_start
    int64_t spill_start = 0;
    int input = -1;       // the data is the whole of this kept file, from offset 0
    data_builder() = default;
    data_builder(const data_builder&) = delete;
    data_builder& operator=(const data_builder&) = delete;
    ~data_builder();
};

// Starts gathering a resource whose record has head_room bytes before its
// data. 0.
int start_data(data_builder* b, size_t head_room, int64_t held_at_most);

// Adds n bytes. 0; -1 after a line when memory runs out or the spill file
// cannot be made or written.
int add_data(data_builder* b, const void* p, size_t n);

// Adds the bytes of the regular file open on fd (named path), `length` of
// them from its start: kept in that file when they are the whole data. 0; -1
// after a line.
int add_file_data(data_builder* b, int fd, const char* path, int64_t length);

// The gathered data as a record whose size is its length, its head room
// still to be filled with fill_record; null after a line when memory runs
// out. The builder is empty afterwards.
resource* finish_data(data_builder* b);

// Reading a kept record's data outside the process lock (the library, whose
// threads do not wait for each other's reads). Under the process lock, a
// descriptor on the record's file is lent while the file is still what it
// was (opened again by its path when its descriptor was let go); the read
// itself touches nothing the process shares; the loan ends under the lock
// again. A lent descriptor is never closed under its borrower.
struct lent_input {
    int fd = -1;
    file_state was = {};
    std::string path; // the file as it was named
    bool spill = false; // the spill file, which nothing else changes
};

// Under the process lock: 0, or -1 after the line of next_piece when the
// file cannot be opened again or is no longer what it was (or the spill
// file's when it cannot be written); in->path and in->spill are filled
// either way.
int lend_input(const resource* r, lent_input* in);

// Under the process lock: the loan ends; with give_back, the descriptor is
// closed too, unless another loan holds it.
void end_loan(const resource* r, bool give_back);

// Under the process lock: closes the descriptor on r's file unless it is
// lent (the file is opened again by its path when it is needed).
void let_descriptor_go(const resource* r);

// True while the file of a loan is still what it was.
bool still_as_lent(const lent_input& in);

// Where a walk of a record's 'RREF' records may start again: a record that
// starts at `at` (and ends at `end`, when that is known), and the point
// from which nothing is converted, once that is known.
struct data_walk {
    int64_t at = 0, end = -1;
    int64_t raw_from = INT64_MAX;
};

// Reads n bytes of a kept record's data from `from` (from + n within its
// size) into out, in host order: the bytes of the same range of
// record_data's. Reads cost their own length and a record's: a walk of
// 'RREF' records goes on from where *walk says, and leaves there where it
// got to. Through fd, a lent descriptor; nothing the process shares is
// touched, and no line is printed.
enum class range_result { read, changed, read_failed };
range_result read_kept_range(const resource* r, int fd, int64_t from, unsigned char* out, size_t n,
                             data_walk* walk);
