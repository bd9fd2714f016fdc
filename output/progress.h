// The line of progress that a long write shows on a terminal: the bytes of
// the current output (or extraction) written of those to write, and the
// rate, on standard error.
#pragma once

#include <cstdint>

// Whether the line shows: where standard error is a terminal (automatic,
// the default), whatever standard error is (--progress), or never
// (--no-progress). The driver sets it before the walk.
enum class progress_mode : uint8_t { automatic, always, never };
inline progress_mode progress_wanted = progress_mode::automatic;

// While a meter lives, the writes, copies and reads made through the
// system-call table are watched: data written counts towards `total`, and
// once the write has lasted more than a second the line is drawn after a
// carriage return, at most ten times a second. Writes and copies go in
// pieces of at most 1 MiB then, so that the line moves. The line is erased
// (a carriage return and ESC [ K) before any failure line is printed, and
// when the meter goes. Where the line is not to show, a meter does nothing.
struct progress_meter {
    explicit progress_meter(int64_t total);
    ~progress_meter();
    progress_meter(const progress_meter&) = delete;
    progress_meter& operator=(const progress_meter&) = delete;

    bool started = false; // this meter watches the table (one at a time)
};

// Erases the line when it is drawn; nothing otherwise.
void erase_progress();
