// Writing files that people trust: the gathered resources into an output
// file, and one resource's bytes into a file of its own. Either the file
// ends complete, or it is left exactly as it was (see replace.h for how),
// whatever fails and whichever signal ends the run.
#pragma once

#include <string>

#include "resfile/resfile.h"

// How a write ended; the caller prints the error line that goes with it.
enum class output_result {
    written,
    cannot_create,       // the file can be neither opened for writing nor created
    not_a_resource_file, // no place for an image can be found or made in it
    not_written,         // a step failed after its own line; the file is as it was
};

// Writes a non-empty list as one image into the file at path: opens it
// (creating it), finds or makes its resource area, writes the image in the
// byte order of the container, keeps a PE executable's checksum right, and
// makes the written bytes the file, or puts the file back. Data that stays
// in the output's own file is read into the list first when the file is
// written in place.
output_result flush_resources(resource** list, const char* path);

// Writes r's data, as the list holds it, into the file at path: always a new
// file (mode 0666 less the umask) that replaces the old one once complete;
// a device or FIFO is written as it is.
output_result extract_resource(const resource* r, const char* path);

// Writes text as the whole content of the file at path, in the same way.
output_result write_whole_file(const char* path, const std::string& text);
