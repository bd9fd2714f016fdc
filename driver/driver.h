// The command line: walking the arguments, listing, help and flushing the
// gathered resources to output files.
#pragma once

#include <cstdint>

#include "resfile/resfile.h"

// The whole run; its result is the exit status (0 or 1).
int tamb_main(int argc, char** argv);

// Delivers the record at *cursor (null: start at head) and moves the cursor
// on. 0 when a record was delivered, 1 when the cursor had finished, -1 when
// head or cursor is null. The outputs are zeroed first.
int next_resource(resource* head, resource** cursor, uint32_t* type, int32_t* id,
                  unsigned char** data, int32_t* size, char** name);

// Frees every record of a list, first to last.
void free_resources(resource* head);

// The help text, on standard error, naming the current output path.
void print_help(const char* output_path);

// Prints the listing of one input argument: heading, then one line per record.
void print_listing(const char* argument, pe_format format, resource* head);

constexpr const char* default_output_path = "tamb.output.rsrc";
