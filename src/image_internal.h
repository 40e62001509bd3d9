// image_internal.h - what the image library's codecs, and this project's own
// programs, use of the front end beyond image.h: the per-thread record of why
// the last load or save failed, and loading that also tells the format found.
#ifndef IMAGE_INTERNAL_H
#define IMAGE_INTERNAL_H

#include <cstdint>

// Records why the calling thread's current load or save fails, formatted as
// printf does; image_error() then gives it after the name of the file the
// front end is working on ("out.png: ..."), or alone when a codec was called
// directly. The later of two records wins. Safe to call from a function that
// holds a setjmp: it leaves nothing to destroy.
void set_image_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The same, for a failure whose message the library has printed (or is about
// to print) on standard error.
void set_printed_image_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The system's description of an errno value; never "Success": 0 gives a
// plain "input/output failed".
const char *errno_text(int error);

// 1 if the library printed a message of its own for the calling thread's
// last failure, 0 if it only recorded the reason.
int image_error_printed(void);

// load_image that also stores the format found (IMAGE_FORMAT_*) through
// format when it returns pixels. format may be null.
uint32_t *load_image_format(const char *path, uint32_t *width, uint32_t *height, unsigned int *format);

#endif
