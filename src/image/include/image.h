/* image.h - public interface of the image library.
 *
 * Reads PNG, JFIF JPEG and TGA (version 2, with footer) into one pixel
 * format, recognising each file by its content, and writes TGA. With the read
 * flag IMAGE_READ_ANY it also reads the files this strict default refuses.
 *
 * Pixels are 32-bit words 0xAARRGGBB, row-major, top row first, with no gaps
 * between rows; pixel (x, y) is element y * width + x. Opaque formats get
 * alpha 0xFF. Most failures are also told as one plain line on standard
 * error, or to a handler of the caller's (set_image_message_handler);
 * image_error says why any load, save or image_info failed. Every call that
 * reports a size or a format takes null for what the caller does not want.
 *
 * Needs Linux and glibc (fopencookie, O_TMPFILE, the GNU strerror_r).
 *
 * Threads: loads, saves, image_info and image_error may be called from any
 * number of threads at once. The settings (save flags, read flags, pixel
 * limit, messages) are process-wide; each may be changed while other threads
 * load or save, and a call running then works with the old value or the new
 * one, read once where the call needs it. */
#ifndef CAUSTIC_IMAGE_H
#define CAUSTIC_IMAGE_H

#include <stddef.h>
#include <stdint.h>

/* IMAGE_VERSION_MAJOR, IMAGE_VERSION_MINOR, IMAGE_VERSION_PATCH and
 * IMAGE_VERSION_STRING ("1.2.3"): the library's version. */
#include "image_version.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Format codes for save_image, and what image_info reports. */
enum {
    IMAGE_FORMAT_PNG = 0,
    IMAGE_FORMAT_JPEG = 1,
    IMAGE_FORMAT_TGA = 2
};

/* Save flags, read by the TGA writer. */
enum {
    IMAGE_SAVE_ALPHA = 1, /* write 32-bit pixels with alpha instead of 24-bit */
    IMAGE_SAVE_FLIP = 4   /* announce bottom-first rows: readers show it flipped */
};

/* Loads the file at path, whatever its name, as PNG, JPEG or TGA (probed in
 * that order). Returns a pixel buffer that the caller owns and releases with
 * free_image, and writes the size through width and height; returns null on
 * failure (the values left in width and height are then unspecified). */
uint32_t *load_image(const char *path, uint32_t *width, uint32_t *height);

/* load_image from an open descriptor as it stands, from its current position:
 * a pipe, a socket, a file partly read (whose image starts where its position
 * is, and whose position is left there), a file the caller could open but the
 * process could not open again. The descriptor stays the caller's, open, its
 * flags untouched: a non-blocking one is waited for (poll) while it has nothing
 * to give. The same probes, limits and reasons, which name the source "fd N". */
uint32_t *load_image_fd(int fd, uint32_t *width, uint32_t *height);

/* load_image from the size bytes at data, which stay the caller's: the same
 * probes, limits, messages and reasons, and no file is opened or made. The
 * reasons name the source "memory" ("memory: not a PNG, JFIF JPEG or TGA
 * image"); a size of 0 fails with "memory: the data is empty". */
uint32_t *load_image_memory(const void *data, size_t size, uint32_t *width, uint32_t *height);

/* Reads only the headers of the file at path: returns 0 and writes its size
 * and its IMAGE_FORMAT_* code through width, height and format, or returns -1
 * with the reason in image_error (the values left are then unspecified). It
 * succeeds where load_image gets past the headers' checks (a refused colour
 * type, TGA type or depth, a JPEG that is not JFIF fail here too); the
 * image's data is not read, so a file damaged further on still succeeds. The
 * size is the one the file claims, even above set_image_max_pixels' limit,
 * which image_info does not apply. Its cost does not grow with the image's,
 * except for a TGA file from a stream that cannot seek (a pipe), which is
 * read to its end for the footer that makes it one. */
int image_info(const char *path, uint32_t *width, uint32_t *height, unsigned int *format);

/* image_info of what load_image_fd and load_image_memory read. */
int image_info_fd(int fd, uint32_t *width, uint32_t *height, unsigned int *format);
int image_info_memory(const void *data, size_t size, uint32_t *width, uint32_t *height, unsigned int *format);

/* Releases a buffer returned by a load. Null is allowed. */
void free_image(uint32_t *pixels);

/* Writes width x height pixels to path in the given format. Returns 0 on
 * success, -1 on failure; a failed save leaves an existing file at path as it
 * was. Only IMAGE_FORMAT_TGA is implemented; the other codes report so. */
int save_image(const char *path, const uint32_t *pixels, uint32_t width,
               uint32_t height, unsigned int format);

/* Why the calling thread's last load, save or image_info failed, as one line
 * without a line break (but for any the file's name holds, kept as given)
 * that names the file and the cause ("out.png: Permission denied",
 * "normal.png: grey PNG images are not supported"); every failure
 * has one, including those the library does not print. A successful call
 * clears it to "". Never null; the text belongs to the library and is good
 * until the thread's next load, save or image_info. */
const char *image_error(void);

/* 1 if the library handed out a message (printed it, or gave it to the
 * handler) for the calling thread's last failed call, 0 if it only recorded
 * the reason: a program that tells failures itself need not tell them twice. */
int image_error_printed(void);

/* Process-wide save flags (IMAGE_SAVE_*), 0 at start. */
void set_image_save_flags(int flags);
int get_image_save_flags(void);

/* Read flags. IMAGE_READ_ANY also reads what the strict mode refuses: any
 * JPEG libjpeg decodes (Exif, Adobe or no APP0 first; grey; CMYK and YCCK,
 * as R = (255 - C)(255 - K) / 255), whose Exif orientation is not applied;
 * PNG of every colour type and depth (grey, grey and alpha, palette, tRNS as
 * alpha); TGA without the footer (by a header only TGA files have),
 * run-length encoded, colour-mapped and grey, of 8 to 32 bits, in every
 * origin. The limits hold in either mode, and a file the strict mode reads
 * loads the same in the other, but for a PNG's tRNS chunk (alpha here) and
 * a TGA file's right-to-left columns (honoured here). */
enum {
    IMAGE_READ_ANY = 1
};

/* Process-wide read flags (IMAGE_READ_*), 0 at start: the strict mode. */
void set_image_read_flags(int flags);
int get_image_read_flags(void);

/* Process-wide limit on the pixels (width x height) of an image a load may
 * return, 2^29 at start (a 2 GiB buffer); 0 means no limit. Each reader checks
 * it from the file's header, before anything large is allocated, and refuses a
 * larger image with "image of W x H pixels is larger than the limit of N
 * pixels". */
void set_image_max_pixels(uint64_t max_pixels);
uint64_t get_image_max_pixels(void);

/* Message kinds a handler receives. */
enum { IMAGE_MESSAGE_ERROR = 0, IMAGE_MESSAGE_WARNING = 1 };
/* Receives each line the library (libpng's and libjpeg's included) would
 * print, without a line break (but for any a file's name holds; cut, as a
 * reason is, only past PATH_MAX + 511 bytes). It may be called from any thread that loads or saves, may call the
 * library itself, and must return (not throw, not jump out). */
typedef void (*image_message_handler)(void *context, int kind, const char *line);
/* Process-wide. Null restores the default handler, which prints on standard
 * error exactly what the library always printed (two messages of save_image's
 * without a line break). A call running while it changes hands each line to
 * the old handler or the new one, with its own context. Each different pair
 * of handler and context set is kept (a few words) while the process runs. */
void set_image_message_handler(image_message_handler handler, void *context);

/* set_image_messages(0) is no handler: nothing is printed, and image_error
 * still says why a call failed (image_error_printed is then 0).
 * set_image_messages(1) gives the default handler back where there was none.
 * get_image_messages is 1 while there is a handler, as there is at start. */
void set_image_messages(int on);
int get_image_messages(void);

#ifdef __cplusplus
}
#endif

#endif
