// png_write.h - writes 8-bit RGB PNG files for the tools, through libpng's own
// write API (the image library reads PNG but does not write it).
#ifndef PNG_WRITE_H
#define PNG_WRITE_H

#include <cstddef>

// Writes width x height pixels of packed RGB bytes, top row first, to path.
// Returns false, after one line on standard error ("caustic-make-maps: cannot write
// PATH: No space left on device", the program's name first), if the file
// cannot be written; a partly written file may then be left behind.
bool write_rgb_png(const char *path, int width, int height, const unsigned char *rgb);

#endif
