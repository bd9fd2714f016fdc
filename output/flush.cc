// The ways a run writes files, each one call: the flush of the gathered
// list, an extraction, and a file of text (the dependency file).
#include "output/output.h"

#include "container/container.h"
#include "output/replace.h"
#include "platform/platform.h"
#include "resfile/fail.h"

output_result flush_resources(resource** records, const char* path)
{
    output_file out;
    if (open_output(&out, path) < 0)
        return output_result::cannot_create;
    resource* list = *records;
    if (copy_output(&out) < 0)
        return output_result::not_written;
    // A PE executable that carries a checksum gets the checksum of the file
    // as the flush leaves it; whether it does is decided before any write.
    const off_t checksum_at = pe_checksum_word(out.fd);
    // Written in place, the file keeps what the flush overwrites: the
    // resource-area word and the checksum of a PE executable, then the
    // image's bytes.
    if (out.way == output_way::in_place && (keep_output_bytes(&out, pe_area_word(out.fd), 4) < 0 ||
                                            keep_output_bytes(&out, checksum_at, 4) < 0))
        return output_result::not_written;
    pe_format format = 0;
    if (position_at_map(out.fd, 1, &format) < 0)
        return output_result::not_a_resource_file;
    // The base offset: where position_at_map left the descriptor, and where
    // the writer starts.
    const off_t base = syscalls.lseek(out.fd, 0, SEEK_CUR);
    if (keep_output_bytes(&out, base, image_length(list)) < 0)
        return output_result::not_written;
    // Written over in place, the file cannot also be where data is copied
    // from: data kept in it is taken from the bytes just kept, or moved to
    // the spill file. (A replaced file stays as it was, under its old
    // descriptor, until the rename.)
    if (out.way == output_way::in_place) {
        const kept_bytes* saved = out.kept.empty() || out.kept.back().at != base ? nullptr : &out.kept.back();
        if (saved != nullptr && saved->spilled >= 0
                ? move_kept_data_aside(list, out.fd, saved->at, int64_t(saved->length), saved->spilled) < 0
                : move_kept_data_aside(list, out.fd) < 0)
            return output_result::not_written;
    }
    if (write_resource_file(list, out.fd, format, nullptr) < 0 ||
        pe_checksum(out.fd, checksum_at, base) < 0 || commit_output(&out) < 0)
        return output_result::not_written;
    return output_result::written;
}

output_result extract_resource(const resource* r, const char* path)
{
    output_file out;
    if (open_output(&out, path, output_fresh) < 0)
        return output_result::cannot_create;
    ssize_t written = 0;
    switch (copy_resource_data(r, out.fd, 1, &written)) {
    case copy_result::copied:
        break;
    case copy_result::write_failed:
        fail("extract_resource(): write() failed\n");
        return output_result::not_written;
    case copy_result::failed:
        return output_result::not_written;
    }
    if (commit_output(&out) < 0)
        return output_result::not_written;
    return output_result::written;
}

output_result write_whole_file(const char* path, const std::string& text)
{
    output_file out;
    if (open_output(&out, path, output_fresh) < 0)
        return output_result::cannot_create;
    if (write_all(out.fd, text.data(), text.size()) != ssize_t(text.size())) {
        fail("write_whole_file(): write() failed\n");
        return output_result::not_written;
    }
    if (commit_output(&out) < 0)
        return output_result::not_written;
    return output_result::written;
}
