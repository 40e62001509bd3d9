// image_front.h - what this project's own programs use of the image library's
// front end beyond image.h.
#ifndef IMAGE_FRONT_H
#define IMAGE_FRONT_H

#include <cstdint>

// load_image that also stores the format found (IMAGE_FORMAT_*) through
// format when it returns pixels. format may be null.
uint32_t *load_image_format(const char *path, uint32_t *width, uint32_t *height, unsigned int *format);

#endif
