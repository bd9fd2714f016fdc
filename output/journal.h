// What a run that was cut off leaves beside a file, made good by the next
// run that reads or writes it.
//
// An output written in place has a journal beside it while it is written:
// `.NAME.tamb-journal` (platform.h: journal_of), holding the output's name,
// its length and every byte the flush overwrites, each record with a check
// of its own, synced (and its directory) before the first byte is
// overwritten, and removed once the output is synced. A journal found
// beside a file means the run that wrote the file was cut off: its old bytes
// and length are put back. An output replaced through a temporary can leave
// the temporary `.NAME.tamb-XXXXXX` beside it when the run is killed in the
// moment between naming it and the rename.
#pragma once

#include "output/lock.h"

// Before a run reads (writing false) or writes the file at path: where a
// journal lies beside it, takes the file's lock (unless held, the run's own
// lock, is on it), waiting for it as a writer does, and then, under the
// lock, puts the old bytes and length back, syncs and removes the journal;
// when writing, and under the lock, removes the temporaries killed runs
// left beside it. A journal whose own check fails was cut off before any
// byte was overwritten and is removed; one beside no file protects nothing
// and is removed; one that names another file is left alone after a
// warning. 0, or -1 after one line when the file cannot be put back
// (nothing is touched then).
int settle_file(const char* path, const output_lock* held, bool writing);
