// image_tga.h - the tga codec behind the image library's front end.
#ifndef IMAGE_TGA_H
#define IMAGE_TGA_H

#include <cstdint>
#include <cstdio>

// 1 if the stream holds this format, else 0: the version 2 footer, or with
// IMAGE_READ_ANY a header only TGA files have. May move the position; never
// closes.
int check_tga(FILE *stream);
// Reads the image; from the call on owns the stream and closes it on every path.
// Returns a malloc'd pixel buffer (0xAARRGGBB) and its size, or null.
uint32_t *load_tga(FILE *stream, uint32_t *width, uint32_t *height);
// True when a tga file can hold a width x height image: 1 to 65535 pixels a
// side; otherwise fails with a message. save_tga checks it too; the front end
// asks first, before it makes any file.
bool tga_can_hold(uint32_t width, uint32_t height);
// Writes the pixels; owns and closes the stream. 0 on success, -1 on failure.
int save_tga(FILE *stream, const uint32_t *pixels, uint32_t width, uint32_t height);

// Reads the header alone, with the reader's checks of it and its messages
// (not the pixel limit): 0 and the size it gives, or -1. Owns the stream and
// closes it on every path, as load_tga does.
int info_tga(FILE *stream, uint32_t *width, uint32_t *height);
// 1 if the stream starts with a header some TGA image could have (of any
// type, with or without a footer), else 0; always 0 with IMAGE_READ_ANY,
// where check_tga has taken every header it reads. Moves the position; never
// closes.
int looks_like_tga(FILE *stream);
// From the header at the start of the stream: the most bytes a TGA file with
// that header can take (header, ID, colour map, pixels, extension and
// developer areas, footer; with IMAGE_READ_ANY, run-length pixels at their
// worst) and the pixels it claims. 1, or 0 when the stream
// ends inside the header. Moves the position; never closes.
int tga_size_bound(FILE *stream, uint64_t *bytes, uint64_t *pixels);

#endif
