// image_png.h - the png codec behind the image library's front end.
#ifndef IMAGE_PNG_H
#define IMAGE_PNG_H

#include <cstdint>
#include <cstdio>

// 1 if the stream holds this format, else 0. May move the position; never closes.
int check_png(FILE *stream);
// Reads the image; from the call on owns the stream and closes it on every path.
// Returns a malloc'd pixel buffer (0xAARRGGBB) and its size, or null.
uint32_t *load_png(FILE *stream, uint32_t *width, uint32_t *height);
// Writes the pixels; owns and closes the stream. 0 on success, -1 on failure.
int save_png(FILE *stream, const uint32_t *pixels, uint32_t width, uint32_t height);

// Reads the chunks up to the image data alone, with the reader's checks of
// them and its messages (not the pixel limit): 0 and the size the header
// gives, or -1. Called, like load_png, after check_png; owns the stream and
// closes it on every path.
int info_png(FILE *stream, uint32_t *width, uint32_t *height);

#endif
