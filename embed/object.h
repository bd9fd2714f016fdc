// An object file that holds a program's embedded resource image, made from
// a small object the build's own assembler made (the template): in it, the
// symbol tamb_embedded_image (on 32-bit Windows _tamb_embedded_image)
// starts a section of its own that holds 16 bytes, the image's length and
// 8 bytes of padding. The template keeps everything the target's linker
// wants to see (machine, flags, section attributes, the symbol's
// visibility); filling it only moves that section to the end of the file
// and makes it the length word, the padding and the image, so that the
// image is written once and never passed through an assembler.
#pragma once

#include <cstdint>
#include <vector>

// Points the template's image section (ELF, 32- or 64-bit, either byte
// order; or COFF) at the file offset `at`, `size` bytes long, and makes
// the symbol's size (ELF) `size`. *big_endian is set to the object's byte
// order, which the length word takes. 0, or -1 (after one line naming
// fill_object_template) when the bytes are no object of that shape.
int fill_object_template(std::vector<unsigned char>& object, uint64_t at, uint64_t size, bool* big_endian);
