// The command line: walking the arguments, listing, help and flushing the
// gathered resources to output files.
#pragma once

#include <cstdint>
#include <string>

#include "output/output.h"
#include "resfile/resfile.h"

// How a run writes the gathered list into its output: flush_resources, or
// another writer of the same contract where a program runs the driver to
// make a file of another kind.
using flush_function = output_result (*)(resource** list, const char* path);

// The whole run; its result is the exit status (0 or 1).
int tamb_main(int argc, char** argv, flush_function flush_to = flush_resources);

// The help text, on standard error, naming the current output path.
void print_help(const char* output_path);

// Prints the listing of one input argument: heading (naming the input's
// format: "PE", "PEF" or "text"), then one line per record.
void print_listing(const char* argument, const char* format_word, resource* head);

constexpr const char* default_output_path = "tamb.output.rsrc";

// A resource named on the command line by --add, --delete or --extract.
struct resource_request {
    uint32_t type = 0;          // the argument's first four bytes
    int32_t id = 0;
    std::string name;           // --add: empty for no name
    const char* file = nullptr; // --add, --extract: the text after the '='
};

enum class request_kind { add, remove, extract };

// Parses the argument of --add (TYPE:ID[:NAME]=FILE), --delete (TYPE:ID) or
// --extract (TYPE:ID=FILE) into *out. False when it is malformed or null.
bool parse_request(const char* arg, request_kind kind, resource_request* out);
